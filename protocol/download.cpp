// Unit download commands.
#include "protocol/download.h"

#include <cstring>

#include "can/can.h"
#include "log/log.h"
#include "protocol/commands.h"
#include "protocol/frames.h"

namespace {
// Every failed start window costs 50 of this budget; 201 windows in all.
constexpr int32_t kStartBudget = 10000;
constexpr int32_t kStartBudgetStep = 50;
constexpr int kEraseWindows = 91;

int32_t send_without_answer(uint8_t code, uint32_t argument, const char* failure_text,
                            const char* sent_text) {
  uint8_t frame[8];
  command_frame(frame, code, argument, UNIT_ARGUMENT_OFFSET);
  if (can_send_frame(CAN_ID_UNIT_COMMAND, frame) != 0) {
    log_write(failure_text, LOG_ALWAYS);
    return -3;
  }
  log_write(sent_text, LOG_CAN_FRAMES);
  return 0;
}
}  // namespace

int32_t dl_start_loading() {
  if (can_accept_id(CAN_ID_UNIT_ANSWER) != 0 || can_accept_id(CAN_ID_UNIT_DATA) != 0) return -1;
  if (can_open() != 0) return -1;
  uint8_t frame[8];
  uint32_t id = 0;
  for (int32_t waited = 0;;) {
    command_frame(frame, DL_START_LOADING, 0, UNIT_ARGUMENT_OFFSET);
    if (can_send_frame(CAN_ID_UNIT_COMMAND, frame) != 0) {
      log_write("DL_START_LOADING send failure\n", LOG_ALWAYS);
      return -3;
    }
    log_write("DL_START_LOADING\n", LOG_CAN_FRAMES);
    log_frame(CAN_ID_UNIT_COMMAND, frame);
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 50) >= 0 && id == CAN_ID_UNIT_ANSWER) break;
    waited += kStartBudgetStep;
    if (waited > kStartBudget) {
      log_write("No answer DL_START_LOADING\n", LOG_ALWAYS);
      console_print("No answer DL_START_LOADING\n");
      return -3;
    }
  }
  log_frame(id, frame);
  if (frame[0] == DL_START_LOADING_ANSWER) return 0;
  report_short_answer("Invalid answer\n", id, frame);
  return -5;
}

int32_t dl_erase_app() {
  uint8_t frame[8];
  command_frame(frame, DL_ERASE_APP, 0, UNIT_ARGUMENT_OFFSET);
  if (can_send_frame(CAN_ID_UNIT_COMMAND, frame) != 0) {
    log_write("DL_ERASE_APP send failure\n", LOG_ALWAYS);
    return -3;
  }
  log_write("DL_ERASE_APP\n", LOG_CAN_FRAMES);
  uint32_t id = 0;
  for (int window = 0; window < kEraseWindows; ++window) {
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 1000) < 0) continue;
    // The first frame the channel delivers is the answer, whatever its identifier.
    if (frame[0] == DL_ERASE_APP_ANSWER) return 0;
    report_short_answer("Invalid answer\n", id, frame);
    return -5;
  }
  log_write("No answer DL_ERASE_APP\n", LOG_ALWAYS);
  return -3;
}

int32_t dl_download(uint32_t page_address) {
  return send_without_answer(DL_DOWNLOAD, page_address, "DL_DOWNLOAD send failure\n",
                             "DL_DOWNLOAD\n");
}

int32_t dl_end_of_download() {
  return send_without_answer(DL_END_OF_DOWNLOAD, 0, "DL_END_OF_DOWNLOAD send failure\n",
                             "DL_END_OF_DOWNLOAD\n");
}

int32_t dl_send_data(const uint8_t data[8]) {
  const int32_t sent = can_send_frame(CAN_ID_UNIT_DATA, data);
  if (sent != 0) {
    log_write("DL_SEND_DATA failure\n", LOG_ALWAYS);
    return sent;
  }
  log_write("Write CAN frame   ", LOG_CAN_FRAMES);
  log_frame(CAN_ID_UNIT_DATA, data);
  return 0;
}

int32_t dl_flash_command(uint32_t page_checksum) {
  uint8_t frame[8];
  command_frame(frame, DL_FLASH_COMMAND, page_checksum, UNIT_ARGUMENT_OFFSET);
  const int32_t sent = can_send_frame(CAN_ID_UNIT_COMMAND, frame);
  if (sent != 0) {
    log_write("DL_FLASH_COMMAND send failure\n", LOG_ALWAYS);
    return sent;
  }
  log_write("DL_FLASH_COMMAND\n", LOG_CAN_FRAMES);
  std::memset(frame, 0, sizeof frame);
  uint32_t id = 0;
  const int32_t received = can_receive_frame(frame, &id, 5, 50);
  if (received < 0) {
    log_write("No answer DL_WRITE_TO_FLASH_COMMAND\n", LOG_ALWAYS);
    console_print("No answer DL_WRITE_TO_FLASH_COMMAND\n");
    return received;
  }
  if (frame[0] == DL_FLASH_COMMAND_ANSWER && answer_tail_is_zero(frame)) return 0;
  report_long_answer("Invalid Write to flash answer\n", "ERROR --- Invalid answer data\n", id,
                     frame);
  return -5;
}
