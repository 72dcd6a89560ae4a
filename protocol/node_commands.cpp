// Sensor-node download commands: a node's route through the command layer.
#include "protocol/node_commands.h"

#include "log/log.h"
#include "protocol/command_layer.h"
#include "protocol/command_codes.h"

namespace {
// The wake frame is all zeros: code 0, argument 0. Its wait ends on the node's wake answer or on
// its power-on announcement.
const CommandRule kWake{0, "DL_START_LOADING", false, {201, 5, 50, Listen::OWN_IDS, true},
                        {"No answer DL_START_LOADING\n", true, COMMAND_FAILED}, {}};
// Frames of other identifiers are skipped, except on the tenth try.
const CommandRule kFlashCommand{
    DL_FLASH_COMMAND, "DL_FLASH_COMMAND", false, {10, 5, 30, Listen::OWN_IDS_UNTIL_LAST, false},
    {"No answer DL_WRITE_TO_FLASH_COMMAND\n", true, COMMAND_FAILED},
    {Judge::CODE_ZERO_TAIL, DL_FLASH_COMMAND_ANSWER, "Illegal Write to flash answer\n",
     "ERROR --- Illegal answer data\n", COMMAND_SILENT}};

bool node_id_set(uint8_t node) {
  if (node != NODE_ID_NOT_SET) return true;
  console_problem("W2 Node id not set! \n");
  return false;
}

Route commands_of(uint8_t node) {
  return Route{node_identifier(NODE_COMMAND_ID, node), NODE_ARGUMENT_OFFSET,
               {node_identifier(NODE_ANSWER_ID, node), 0}};
}
}  // namespace

uint32_t node_identifier(uint32_t base, uint8_t node) { return base + node; }

int node_dl_listen_ids(uint8_t node, uint32_t ids[NODE_LISTEN_ID_COUNT]) {
  if (!node_id_set(node)) return COMMAND_SILENT;
  const uint32_t listen[NODE_LISTEN_ID_COUNT] = {
      UNIT_LISTEN_IDS[0], UNIT_LISTEN_IDS[1], node_identifier(NODE_WAKE_ANSWER_ID, node),
      node_identifier(NODE_ALIVE_ID, node), node_identifier(NODE_ANSWER_ID, node)};
  for (int i = 0; i < NODE_LISTEN_ID_COUNT; ++i) ids[i] = listen[i];
  return NODE_LISTEN_ID_COUNT;
}

int32_t node_dl_start_loading(uint8_t node, bool force) {
  if (!node_id_set(node)) return COMMAND_SILENT;
  const uint32_t answers[] = {node_identifier(NODE_WAKE_ANSWER_ID, node),
                              node_identifier(NODE_ALIVE_ID, node)};

  // One budget for both phases. With force the operator powers the node on and the tool only
  // listens for its announcement.
  int budget = kWake.wait.waits;
  CommandCall wake;
  wake.budget = &budget;
  const Route wake_route{force ? 0 : node_identifier(NODE_WAKE_ID, node), NODE_ARGUMENT_OFFSET,
                         {answers[0], answers[1]}};
  const int32_t woken = command_run(kWake, wake_route, &wake);
  if (woken != 0) return woken;
  CommandCall start;
  start.budget = &budget;
  return command_run(DL_START_LOADING_RULE, commands_of(node), &start);
}

int32_t node_dl_erase_app(uint8_t node) {
  if (!node_id_set(node)) return COMMAND_REJECTED;
  return command_run_with(DL_ERASE_APP_RULE, commands_of(node), 0);
}

int32_t node_dl_download(uint8_t node, int32_t address) {
  if (!node_id_set(node)) return COMMAND_FAILED;
  return command_run_with(DL_DOWNLOAD_RULE, commands_of(node), static_cast<uint32_t>(address));
}

int32_t node_dl_send_data(uint8_t node, const uint8_t data[8]) {
  if (!node_id_set(node)) return COMMAND_SILENT;
  return command_send_data(node_identifier(NODE_DATA_ID, node), data);
}

int32_t node_dl_send_page(uint8_t node, const uint8_t page[900], uint32_t* sum) {
  if (!node_id_set(node)) return COMMAND_SILENT;
  return command_send_page(NODE_PAGE, page, node_identifier(NODE_DATA_ID, node), sum);
}

int32_t node_dl_flash_command(uint8_t node, uint32_t checksum, bool force, uint32_t* status) {
  if (!node_id_set(node)) return COMMAND_FAILED;
  CommandCall call;
  call.argument = checksum;
  call.force = force;
  const int32_t result = command_run(kFlashCommand, commands_of(node), &call);
  if (status) *status = result == 0 ? frame_value(&call.answer[4]) : 0;
  return result;
}

int32_t node_dl_end_of_download(uint8_t node) {
  return command_run_with(DL_END_OF_DOWNLOAD_RULE, commands_of(node), 0);
}
