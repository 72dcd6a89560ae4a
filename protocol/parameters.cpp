// Parameter page commands: the unit's parameter service through the command layer.
#include "protocol/parameters.h"

#include "protocol/command.h"
#include "protocol/commands.h"
#include "protocol/identifiers.h"

namespace {
const Route kUnit{UNIT_COMMAND_ID, UNIT_ARGUMENT_OFFSET, {UNIT_ANSWER_ID, 0}};

const CommandRule kEnterTestMode{
    COMMAND_ID_ENTER_PRODUCTION_TEST_MODE, "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n",
    "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE send failure\n", true,
    {201, 5, 50, Listen::OWN_IDS, false},
    {"No answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n", true, -3},
    {Judge::CODE, PARAMETER_ANSWER, "Invalid answer\n", nullptr, -5}};

// The page commands: one send, one receive window, whatever identifier the answer comes on.
constexpr CommandWait kOneWindow{1, 5, 50, Listen::ANY_ID, false};
const CommandRule kStartBackup{
    COMMAND_ID_START_PAGE_BACKUP, "COMMAND_ID_START_PAGE_BACKUP\n",
    "COMMAND_ID_START_PAGE_BACKUP send failure\n", false, kOneWindow,
    {"No answer COMMAND_ID_START_PAGE_BACKUP\n", true, -1},
    {Judge::CODE_ZERO_TAIL, PARAMETER_ANSWER, "Invalid Write to flash answer\n",
     "ERROR --- Invalid answer data\n", -5}};
const CommandRule kStartRestore{
    COMMAND_ID_START_PAGE_RESTORE, "COMMAND_ID_START_PAGE_RESTORE\n",
    "COMMAND_ID_START_PAGE_RESTORE send failure\n", false, kOneWindow,
    {"No answer COMMAND_ID_START_PAGE_RESTORE\n", true, -1},
    {Judge::CODE_ZERO_TAIL, PARAMETER_ANSWER, "Invalid Write restored data to flash answer\n",
     "ERROR --- Invalid answer data\n", -5}};
const CommandRule kFinishRestore{
    COMMAND_ID_FINISH_PAGE_RESTORE, "COMMAND_ID_FINISH_PAGE_RESTORE\n",
    "COMMAND_ID_FINISH_PAGE_RESTORE send failure\n", false, kOneWindow,
    {"No answer COMMAND_ID_FINISH_PAGE_RESTORE\n", true, -1},
    {Judge::CODE_ZERO_TAIL, PARAMETER_ANSWER, "Invalid Write restored data to flash answer\n",
     "ERROR --- Invalid answer data\n", -5}};
const CommandRule kEraseSector{
    COMMAND_ID_ERASE_SECTOR, "COMMAND_ID_ERASE_SECTOR\n", "COMMAND_ID_ERASE_SECTOR send failure\n",
    false, kOneWindow, {"No answer COMMAND_ID_ERASE_SECTOR\n", true, -1},
    {Judge::CODE_ZERO_TAIL, PARAMETER_ANSWER, "Invalid Write restored data to flash answer\n",
     "ERROR --- Invalid answer data\n", -5}};

// Listens only: 61 tries of about 52 ms for one frame on the awaited identifier.
const CommandRule kAwaitFrame{0, "", "", false, {61, 1, 50, Listen::OWN_IDS, false},
                              {"No answer\n", true, -3}, {Judge::NONE, 0, nullptr, nullptr, 0}};

int32_t page_command(const CommandRule& rule, uint32_t argument, uint8_t answer_code) {
  CommandCall call;
  call.argument = argument;
  call.expected = answer_code;
  return command_run(rule, kUnit, &call);
}
}  // namespace

int32_t enter_production_test_mode() {
  const int32_t opened = command_open_channel(nullptr, 0);
  // A back-end that reports failure with a positive code must not pass for an open channel.
  if (opened != 0) return opened < 0 ? opened : -1;
  return command_run_with(kEnterTestMode, kUnit, 0);
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
  CommandCall call;
  const int32_t result = command_run(kAwaitFrame, Route{0, 0, {identifier, 0}}, &call);
  for (int i = 0; i < 8; ++i) data[i] = call.answer[i];
  return result;
}
