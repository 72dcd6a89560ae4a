// Parameter page commands: the unit's parameter service through the command layer.
#include "protocol/parameters.h"

#include "can/channel.h"
#include "protocol/command_layer.h"
#include "protocol/command_codes.h"
#include "protocol/identifiers.h"

namespace {
const Route kUnit{UNIT_COMMAND_ID, UNIT_ARGUMENT_OFFSET, {UNIT_ANSWER_ID, 0}};

// Sent once; frames on other identifiers are dropped while 201 windows pass.
const CommandRule kEnterTestMode{
    COMMAND_ID_ENTER_PRODUCTION_TEST_MODE, "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE", true,
    {201, 5, 50, Listen::OWN_IDS, false},
    {"No answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n", true, COMMAND_FAILED},
    {Judge::CODE, PARAMETER_ANSWER, "Invalid answer\n", nullptr, COMMAND_REJECTED}};

// The page commands differ only in these; each is sent once and given one receive window of
// about 60 ms, and takes the one frame it brings as the answer, whatever its identifier.
struct PageCommand {
  uint8_t code;
  const char* name;
  const char* no_answer;
  const char* rejected;
};
const PageCommand kStartBackup{COMMAND_ID_START_PAGE_BACKUP, "COMMAND_ID_START_PAGE_BACKUP",
                               "No answer COMMAND_ID_START_PAGE_BACKUP\n",
                               "Invalid Write to flash answer\n"};
const char* const kRestoreRejected = "Invalid Write restored data to flash answer\n";
const PageCommand kStartRestore{COMMAND_ID_START_PAGE_RESTORE, "COMMAND_ID_START_PAGE_RESTORE",
                                "No answer COMMAND_ID_START_PAGE_RESTORE\n", kRestoreRejected};
const PageCommand kFinishRestore{COMMAND_ID_FINISH_PAGE_RESTORE, "COMMAND_ID_FINISH_PAGE_RESTORE",
                                 "No answer COMMAND_ID_FINISH_PAGE_RESTORE\n", kRestoreRejected};
const PageCommand kEraseSector{COMMAND_ID_ERASE_SECTOR, "COMMAND_ID_ERASE_SECTOR",
                               "No answer COMMAND_ID_ERASE_SECTOR\n", kRestoreRejected};

// Listens only: 61 tries of about 52 ms for one frame on the awaited identifier.
const CommandRule kAwaitFrame{0, "", false, {61, 1, 50, Listen::OWN_IDS, false},
                              {"No answer\n", true, COMMAND_FAILED}, {}};

int32_t page_command(const PageCommand& command, uint32_t argument, uint8_t answer_code) {
  const CommandRule rule{command.code, command.name, false,
                         {1, 5, 50, Listen::ANY_ID, false}, {command.no_answer, true, COMMAND_SILENT},
                         {Judge::CODE_ZERO_TAIL, answer_code, command.rejected,
                          "ERROR --- Invalid answer data\n", COMMAND_REJECTED}};
  return command_run_with(rule, kUnit, argument);
}
}  // namespace

int32_t enter_production_test_mode() { return command_run_with(kEnterTestMode, kUnit, 0); }

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
  CommandCall call;
  const int32_t result = command_run(kAwaitFrame, Route{0, 0, {identifier, 0}}, &call);
  for (int i = 0; i < 8; ++i) data[i] = call.answer[i];
  return result;
}

int32_t listen_for_unit_frame(int32_t window_ms, uint32_t* id, uint8_t data[8]) {
  // Steps of 5 ms (a polling receive sleeps as few times as it can): window_ms / 5 tries.
  CanFrame frame{};
  if (can_receive_frame(&frame, 5, window_ms - 10) == 0) {
    *id = frame.id;
    for (int i = 0; i < 8; ++i) data[i] = frame.data[i];
    return 0;
  }
  return can_stopped() != 0 ? COMMAND_FAILED : COMMAND_SILENT;
}
