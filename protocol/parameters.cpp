// Parameter page commands.
#include "protocol/parameters.h"

#include <cstring>

#include "can/can.h"
#include "log/log.h"
#include "protocol/commands.h"
#include "protocol/frames.h"

namespace {

// Every failed window of production test mode costs 50 of this budget: 201 windows.
constexpr int32_t kTestModeBudget = 10000;
constexpr int32_t kTestModeBudgetStep = 50;
// Every failed try of wait_for_frame costs 5 of this budget: 61 tries.
constexpr int32_t kFrameBudget = 300;
constexpr int32_t kFrameBudgetStep = 5;

struct PageCommand {
  uint8_t code;
  const char* send_failure;
  const char* sent;
  const char* no_answer;
  const char* rejected;
};

const PageCommand kStartBackup{
    COMMAND_ID_START_PAGE_BACKUP, "COMMAND_ID_START_PAGE_BACKUP send failure\n",
    "COMMAND_ID_START_PAGE_BACKUP\n", "No answer COMMAND_ID_START_PAGE_BACKUP\n",
    "Invalid Write to flash answer\n"};
const PageCommand kStartRestore{
    COMMAND_ID_START_PAGE_RESTORE, "COMMAND_ID_START_PAGE_RESTORE send failure\n",
    "COMMAND_ID_START_PAGE_RESTORE\n", "No answer COMMAND_ID_START_PAGE_RESTORE\n",
    "Invalid Write restored data to flash answer\n"};
const PageCommand kFinishRestore{
    COMMAND_ID_FINISH_PAGE_RESTORE, "COMMAND_ID_FINISH_PAGE_RESTORE send failure\n",
    "COMMAND_ID_FINISH_PAGE_RESTORE\n", "No answer COMMAND_ID_FINISH_PAGE_RESTORE\n",
    "Invalid Write restored data to flash answer\n"};
const PageCommand kEraseSector{
    COMMAND_ID_ERASE_SECTOR, "COMMAND_ID_ERASE_SECTOR send failure\n",
    "COMMAND_ID_ERASE_SECTOR\n", "No answer COMMAND_ID_ERASE_SECTOR\n",
    "Invalid Write restored data to flash answer\n"};

int32_t page_command(const PageCommand& command, uint32_t argument, uint8_t expected) {
  uint8_t frame[8];
  command_frame(frame, command.code, argument, UNIT_ARGUMENT_OFFSET);
  const int32_t sent = can_send_frame(CAN_ID_UNIT_COMMAND, frame);
  if (sent != 0) {
    log_write(command.send_failure, LOG_ALWAYS);
    return sent;
  }
  log_write(command.sent, LOG_CAN_FRAMES);
  std::memset(frame, 0, sizeof frame);
  uint32_t id = 0;
  const int32_t received = can_receive_frame(frame, &id, 5, 50);
  if (received < 0) {
    log_write(command.no_answer, LOG_ALWAYS);
    console_print("%s", command.no_answer);
    return received;
  }
  if (frame[0] == expected && answer_tail_is_zero(frame)) return 0;
  report_long_answer(command.rejected, "ERROR --- Invalid answer data\n", id, frame);
  return -5;
}
}  // namespace

int32_t enter_production_test_mode() {
  if (can_accept_id(CAN_ID_UNIT_ANSWER) != 0 || can_accept_id(CAN_ID_UNIT_DATA) != 0) return -1;
  const int32_t opened = can_open();
  // A back-end that reports failure with a positive code must not pass for an open channel.
  if (opened != 0) return opened < 0 ? opened : -1;
  uint8_t frame[8];
  command_frame(frame, COMMAND_ID_ENTER_PRODUCTION_TEST_MODE, 0, UNIT_ARGUMENT_OFFSET);
  const int32_t sent = can_send_frame(CAN_ID_UNIT_COMMAND, frame);
  if (sent != 0) {
    log_write("COMMAND_ID_ENTER_PRODUCTION_TEST_MODE send failure\n", LOG_ALWAYS);
    return sent;
  }
  log_write("COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n", LOG_CAN_FRAMES);
  log_frame(CAN_ID_UNIT_COMMAND, frame);
  uint32_t id = 0;
  for (int32_t waited = 0; waited <= kTestModeBudget; waited += kTestModeBudgetStep) {
    std::memset(frame, 0, sizeof frame);
    if (can_receive_frame(frame, &id, 5, 50) < 0 || id != CAN_ID_UNIT_ANSWER) continue;
    log_frame(id, frame);
    if (frame[0] == PARAMETER_ANSWER) return 0;
    report_short_answer("Invalid answer\n", id, frame);
    return -5;
  }
  log_write("No answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n", LOG_ALWAYS);
  console_print("No answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n");
  return -3;
}

int32_t start_page_backup(uint32_t page_address) {
  return page_command(kStartBackup, page_address, PARAMETER_ANSWER);
}

int32_t start_page_restore(uint32_t page_address, uint8_t answer_code) {
  return page_command(kStartRestore, page_address, answer_code);
}

int32_t finish_page_restore(uint32_t page_checksum, uint8_t answer_code) {
  return page_command(kFinishRestore, page_checksum, answer_code);
}

int32_t erase_sector(uint32_t page_address, uint8_t answer_code) {
  return page_command(kEraseSector, page_address, answer_code);
}

int32_t wait_for_frame(uint32_t identifier, uint8_t data[8]) {
  uint32_t id = 0;
  for (int32_t waited = 0; waited <= kFrameBudget; waited += kFrameBudgetStep) {
    std::memset(data, 0, 8);
    if (can_receive_frame(data, &id, 1, 50) >= 0 && id == identifier) return 0;
  }
  log_write("No answer\n", LOG_ALWAYS);
  console_print("No answer\n");
  return -3;
}
