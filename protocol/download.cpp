// Unit download commands: the unit's route through the command layer.
#include "protocol/download.h"

#include "protocol/command_layer.h"
#include "protocol/command_codes.h"
#include "protocol/identifiers.h"

namespace {
const Route kUnit{UNIT_COMMAND_ID, UNIT_ARGUMENT_OFFSET, {UNIT_ANSWER_ID, 0}};

// One receive window, whatever identifier the answer comes on.
const CommandRule kFlashCommand{
    DL_FLASH_COMMAND, "DL_FLASH_COMMAND", false, {1, 5, 50, Listen::ANY_ID, false},
    {"No answer DL_WRITE_TO_FLASH_COMMAND\n", true, COMMAND_SILENT},
    {Judge::CODE_ZERO_TAIL, DL_FLASH_COMMAND_ANSWER, "Invalid Write to flash answer\n",
     "ERROR --- Invalid answer data\n", COMMAND_REJECTED}};
}  // namespace

int32_t dl_start_loading() { return command_run_with(DL_START_LOADING_RULE, kUnit, 0); }

int32_t dl_erase_app() { return command_run_with(DL_ERASE_APP_RULE, kUnit, 0); }

int32_t dl_download(uint32_t page_address) {
  return command_run_with(DL_DOWNLOAD_RULE, kUnit, page_address);
}

int32_t dl_end_of_download() { return command_run_with(DL_END_OF_DOWNLOAD_RULE, kUnit, 0); }

int32_t dl_send_data(const uint8_t data[8]) { return command_send_data(UNIT_DATA_ID, data); }

int32_t dl_send_page(const uint8_t page[256], uint32_t* sum) {
  return command_send_page(UNIT_PAGE, page, UNIT_DATA_ID, sum);
}

int32_t dl_flash_command(uint32_t page_checksum) {
  return command_run_with(kFlashCommand, kUnit, page_checksum);
}
