// The command layer: sending, waiting and judging by table rows.
#include "protocol/command_layer.h"

#include <cstring>

#include "can/channel.h"
#include "log/log.h"
#include "protocol/command_codes.h"

const CommandRule DL_START_LOADING_RULE{
    DL_START_LOADING, "DL_START_LOADING", true, {201, 5, 50, Listen::OWN_IDS, true},
    {"No answer DL_START_LOADING\n", true, COMMAND_FAILED},
    {Judge::CODE, DL_START_LOADING_ANSWER, "Invalid answer\n", nullptr, COMMAND_REJECTED}};
// The first frame the channel delivers is the answer, whatever its identifier.
const CommandRule DL_ERASE_APP_RULE{
    DL_ERASE_APP, "DL_ERASE_APP", false, {91, 5, 1000, Listen::ANY_ID, false},
    {"No answer DL_ERASE_APP\n", false, COMMAND_FAILED},
    {Judge::CODE, DL_ERASE_APP_ANSWER, "Invalid answer\n", nullptr, COMMAND_REJECTED}};
const CommandRule DL_DOWNLOAD_RULE{DL_DOWNLOAD, "DL_DOWNLOAD", false, {}, {}, {}};
const CommandRule DL_END_OF_DOWNLOAD_RULE{DL_END_OF_DOWNLOAD, "DL_END_OF_DOWNLOAD", false, {}, {}, {}};

namespace {
// The answers that resent commands may still bring: each send beyond the one whose answer was
// taken may be answered too, late, with a frame alike (same identifier, same byte 0).
struct LateAnswer {
  uint32_t id;
  uint8_t code;
  const char* name;  // the command's
  int due;           // sends not answered yet
};
constexpr int kLateAnswerKinds = 4;  // the unit's start, a node's wake and start: three
struct LateState {
  LateAnswer answers[kLateAnswerKinds];
  int count;
};
LateState g_late;

// After `rule`'s answer was taken on the `sends`th send: the other sends' answers are due.
void expect_late_answers(const CommandRule& rule, const CommandCall& call, int sends) {
  if (sends < 2) return;
  LateAnswer* slot = nullptr;
  for (int i = 0; i < g_late.count; ++i) {
    LateAnswer& known = g_late.answers[i];
    if (known.id == call.answer_id && known.code == call.answer[0]) slot = &known;
  }
  if (!slot && g_late.count < kLateAnswerKinds) {
    slot = &g_late.answers[g_late.count++];
    *slot = LateAnswer{call.answer_id, call.answer[0], rule.name, 0};
  }
  if (slot) slot->due += sends - 1;
}

// True (logged) when the frame is a late answer that is still due: no wait takes it.
bool late_answer(uint32_t id, const uint8_t data[8]) {
  for (int i = 0; i < g_late.count; ++i) {
    LateAnswer& late = g_late.answers[i];
    if (late.due == 0 || late.id != id || late.code != data[0]) continue;
    --late.due;
    log_writef(LOG_ALWAYS, "Late answer to %s, ignored\n", late.name);
    log_frame(id, data);
    return true;
  }
  return false;
}

int32_t send_command(const CommandRule& rule, const Route& route, uint32_t argument) {
  if (route.to == 0) return 0;
  CanFrame frame{route.to, {}};
  frame.data[0] = rule.code;
  frame_put_value(&frame.data[route.argument_offset], argument);
  if (can_send_frame(frame) != 0) {
    log_writef(LOG_ALWAYS, "%s send failure\n", rule.name);
    return COMMAND_FAILED;
  }
  log_writef(LOG_CAN_FRAMES, "%s\n", rule.name);
  if (rule.trace) log_frame(route.to, frame.data);
  return 0;
}

bool ends_wait(Listen listen, const Route& route, uint32_t id, bool last) {
  if (listen == Listen::ANY_ID || (listen == Listen::OWN_IDS_UNTIL_LAST && last)) return true;
  return id == route.answers[0] || (route.answers[1] != 0 && id == route.answers[1]);
}

bool tail_is_zero(const uint8_t data[8]) {
  return data[4] == 0 && data[5] == 0 && data[6] == 0 && data[7] == 0;
}

int32_t judge(const CommandCheck& check, const CommandCall& call) {
  const uint8_t* data = call.answer;
  if (check.judge == Judge::NONE) return 0;
  if (check.judge == Judge::CODE) {
    if (data[0] == check.code) return 0;
    log_write(check.log_text, LOG_ALWAYS);
    console_problem("ERROR --- Invalid answer\n");
    console_problem("%08X  %02X  %02X  %02X  %02X\n", call.answer_id, data[0], data[1], data[2],
                  data[3]);
    return check.result;
  }
  if (data[0] == check.code && (call.force || tail_is_zero(data))) return 0;
  log_write(check.log_text, LOG_ALWAYS);
  console_problem("%s", check.console_text);
  console_problem("%08X  %02X %02X %02X %02X %02X %02X %02X %02X\n", call.answer_id, data[0],
                data[1], data[2], data[3], data[4], data[5], data[6], data[7]);
  return check.result;
}
}  // namespace

int32_t command_run(const CommandRule& rule, const Route& route, CommandCall* call) {
  if (send_command(rule, route, call->argument) != 0) return COMMAND_FAILED;
  if (rule.wait.waits == 0) return 0;
  int own_budget = rule.wait.waits;
  int* left = call->budget != nullptr ? call->budget : &own_budget;
  int sends = route.to != 0 ? 1 : 0;
  for (;;) {
    CanFrame answer{};
    const bool received = can_receive_frame(&answer, rule.wait.step_ms, rule.wait.extra_ms) == 0;
    call->answer_id = answer.id;
    std::memcpy(call->answer, answer.data, 8);
    // A late answer to an earlier command costs no wait: a new one starts.
    if (received && late_answer(call->answer_id, call->answer)) continue;
    if (received && ends_wait(rule.wait.listen, route, call->answer_id, *left == 1)) break;
    // A stopped channel said why already: no further windows, no "No answer" line.
    if (!received && can_stopped() != 0) return rule.silence.result;
    if (--*left <= 0) {
      log_write(rule.silence.text, LOG_ALWAYS);
      if (rule.silence.printed) console_problem("%s", rule.silence.text);
      return rule.silence.result;
    }
    if (rule.wait.resend) {
      if (send_command(rule, route, call->argument) != 0) return COMMAND_FAILED;
      if (route.to != 0) ++sends;
    }
  }
  if (rule.trace) log_frame(call->answer_id, call->answer);
  const int32_t judged = judge(rule.check, *call);
  if (judged == 0 && rule.wait.resend) expect_late_answers(rule, *call, sends);
  return judged;
}

void command_forget_late_answers() { g_late = LateState{}; }

int32_t command_run_with(const CommandRule& rule, const Route& route, uint32_t argument) {
  CommandCall call;
  call.argument = argument;
  return command_run(rule, route, &call);
}

int32_t command_send_data(uint32_t id, const uint8_t data[8]) {
  const int32_t sent = can_send_frame(can_frame_of(id, data));
  if (sent != 0) {
    log_write("DL_SEND_DATA failure\n", LOG_ALWAYS);
    return sent;
  }
  log_write("Write CAN frame   ", LOG_CAN_FRAMES);
  log_frame(id, data);
  return 0;
}

int32_t command_send_page(const PageFormat& format, const uint8_t* page, uint32_t id,
                          uint32_t* sum) {
  *sum = 0;
  for (int index = 0; index < format.frames; ++index) {
    uint8_t frame[8];
    *sum += page_build_frame(format, index, page, frame);
    const int32_t sent = command_send_data(id, frame);
    if (sent != 0) return sent;
  }
  return 0;
}
