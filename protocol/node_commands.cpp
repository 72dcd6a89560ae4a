// Sensor-node download commands.
#include "protocol/node_commands.h"

#include <cstring>

#include "can/can.h"
#include "log/log.h"
#include "protocol/commands.h"
#include "protocol/frames.h"

uint8_t sensor_node_id = NODE_ID_NOT_SET;
uint8_t node_force_mode = 0;

namespace {
// One budget for the wake and start phases: 50 per failed wait, given up above 10000 (201 waits).
constexpr int32_t kStartBudget = 10000;
constexpr int32_t kStartBudgetStep = 50;
constexpr int kEraseWaits = 91;
constexpr int kFlashTries = 10;

bool node_id_set() {
  if (sensor_node_id != NODE_ID_NOT_SET) return true;
  console_print("W2 Node id not set! \n");
  return false;
}

bool is_wake_answer(uint32_t id) {
  return id == node_identifier(NODE_WAKE_ANSWER_ID) || id == node_identifier(NODE_ALIVE_ID);
}

// The channel delivers only the unit's identifiers unless told otherwise before it opens.
int32_t accept_node_answers() {
  if (can_accept_id(CAN_ID_UNIT_ANSWER) != 0 || can_accept_id(CAN_ID_UNIT_DATA) != 0) return -1;
  for (uint32_t base : {NODE_WAKE_ANSWER_ID, NODE_ALIVE_ID, NODE_ANSWER_ID}) {
    if (can_accept_id(node_identifier(base)) != 0) {
      log_writef(LOG_ALWAYS, "CAN channel cannot deliver identifier %08X\n", node_identifier(base));
      return -1;
    }
  }
  return 0;
}

int32_t send_command(uint8_t code, uint32_t argument, const char* failure_text,
                     const char* sent_text) {
  uint8_t frame[8];
  command_frame(frame, code, argument, NODE_ARGUMENT_OFFSET);
  if (can_send_frame(node_identifier(NODE_COMMAND_ID), frame) != 0) {
    log_write(failure_text, LOG_ALWAYS);
    return -3;
  }
  log_write(sent_text, LOG_CAN_FRAMES);
  return 0;
}

int32_t no_start_answer() {
  log_write("No answer DL_START_LOADING\n", LOG_ALWAYS);
  console_print("No answer DL_START_LOADING\n");
  return -3;
}
}  // namespace

uint32_t node_identifier(uint32_t base) { return base + sensor_node_id; }

int32_t node_dl_start_loading(uint8_t force) {
  if (!node_id_set()) return -1;
  if (accept_node_answers() != 0) return -1;
  if (can_open() != 0) return -1;
  node_force_mode = force != 0 ? 1 : 0;

  uint8_t frame[8];
  uint32_t id = 0;
  int32_t budget = 0;
  // Wake phase: with force the operator powers the node on and the tool only listens.
  for (;;) {
    if (!node_force_mode) {
      std::memset(frame, 0, sizeof frame);
      if (can_send_frame(node_identifier(NODE_WAKE_ID), frame) != 0) {
        log_write("DL_START_LOADING send failure\n", LOG_ALWAYS);
        return -3;
      }
      log_write("DL_START_LOADING\n", LOG_CAN_FRAMES);
    }
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 50) == 0 && is_wake_answer(id)) break;
    budget += kStartBudgetStep;
    if (budget > kStartBudget) return no_start_answer();
  }
  // Start phase: DL_START_LOADING again after every wait that brought no frame on the answer id.
  for (;;) {
    command_frame(frame, DL_START_LOADING, 0, NODE_ARGUMENT_OFFSET);
    const uint32_t command_id = node_identifier(NODE_COMMAND_ID);
    if (can_send_frame(command_id, frame) != 0) {
      log_write("DL_START_LOADING send failure\n", LOG_ALWAYS);
      return -3;
    }
    log_write("DL_START_LOADING\n", LOG_CAN_FRAMES);
    log_frame(command_id, frame);
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 50) == 0 && id == node_identifier(NODE_ANSWER_ID)) break;
    budget += kStartBudgetStep;
    if (budget > kStartBudget) return no_start_answer();
  }
  log_frame(id, frame);
  if (frame[0] == DL_START_LOADING_ANSWER) return 0;
  report_short_answer("Invalid answer\n", id, frame);
  return -5;
}

int32_t node_dl_erase_app() {
  if (!node_id_set()) return -5;
  const int32_t sent = send_command(DL_ERASE_APP, 0, "DL_ERASE_APP send failure\n", "DL_ERASE_APP\n");
  if (sent != 0) return sent;
  uint8_t frame[8];
  uint32_t id = 0;
  for (int wait = 0; wait < kEraseWaits; ++wait) {
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 1000) != 0) continue;
    // The first frame the channel delivers is the answer, whatever its identifier.
    if (frame[0] == DL_ERASE_APP_ANSWER) return 0;
    report_short_answer("Invalid answer\n", id, frame);
    return -5;
  }
  log_write("No answer DL_ERASE_APP\n", LOG_ALWAYS);
  return -3;
}

int32_t node_dl_download(int32_t address) {
  if (!node_id_set()) return -3;
  return send_command(DL_DOWNLOAD, static_cast<uint32_t>(address), "DL_DOWNLOAD send failure\n",
                      "DL_DOWNLOAD\n");
}

int32_t node_dl_send_data(const uint8_t data[8]) {
  if (!node_id_set()) return -1;
  const uint32_t data_id = node_identifier(NODE_DATA_ID);
  const int32_t sent = can_send_frame(data_id, data);
  if (sent != 0) {
    log_write("DL_SEND_DATA failure\n", LOG_ALWAYS);
    return sent;
  }
  log_write("Write CAN frame   ", LOG_CAN_FRAMES);
  log_frame(data_id, data);
  return 0;
}

int32_t node_dl_flash_command(uint32_t checksum) {
  if (!node_id_set()) return -3;
  const int32_t sent = send_command(DL_FLASH_COMMAND, checksum, "DL_FLASH_COMMAND send failure\n",
                                    "DL_FLASH_COMMAND\n");
  if (sent != 0) return sent;
  uint8_t frame[8];
  uint32_t id = 0;
  for (int attempt = 1; attempt <= kFlashTries; ++attempt) {
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 30) != 0) continue;
    // Frames of other identifiers are skipped, except on the last try.
    if (id != node_identifier(NODE_ANSWER_ID) && attempt < kFlashTries) continue;
    if (frame[0] == DL_FLASH_COMMAND_ANSWER && (answer_tail_is_zero(frame) || node_force_mode)) {
      return 0;
    }
    report_long_answer("Illegal Write to flash answer\n", "ERROR --- Illegal answer data\n", id,
                       frame);
    return -1;
  }
  log_write("No answer DL_WRITE_TO_FLASH_COMMAND\n", LOG_ALWAYS);
  console_print("No answer DL_WRITE_TO_FLASH_COMMAND\n");
  return -3;
}

int32_t node_dl_end_of_download() {
  return send_command(DL_END_OF_DOWNLOAD, 0, "DL_END_OF_DOWNLOAD send failure\n",
                      "DL_END_OF_DOWNLOAD\n");
}
