// Emulated W2 sensor nodes.
#include "sim/nodes.h"

#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "protocol/command_codes.h"
#include "protocol/identifiers.h"
#include "sim/page.h"
#include "sim/world.h"

SimNodesConfig sim_nodes_config;

namespace {
constexpr int kFirstNode = 1;
constexpr int kLastNode = 127;

// What a node does with a frame depends on its history and, before anything addressed it, on
// the time since power-on.
enum class History { FRESH, WOKEN, LOADING, RESTARTED };
enum class Mode { OFF, BOOT_WINDOW, APPLICATION, BOOTLOADER, LOADING };

struct Node {
  History history = History::FRESH;
  bool erased = false;
  bool wake_answered = false;   // the first answers came (answer_late_us)
  bool start_answered = false;
  SimPage page{};
  SimNodeStats stats{};
  std::vector<uint8_t> flash;  // made on first use
};

// The reserved name clang-tidy finds here ('__i0') is the compiler's own, in the implicit copy of
// the array member.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct NodesState {
  SimNodesConfig plan;       // the config as it was when the device was attached
  uint64_t power_on_us = 0;  // bus time at which the sensors get power
  std::unique_ptr<Node> nodes[kLastNode + 1];
};
NodesState g_nodes;

const SimDevice* self();

bool powered() {
  return g_nodes.plan.running_before || g_nodes.plan.power_on_us != SIM_NODES_NEVER;
}

uint64_t announce_us(int n) {
  return g_nodes.power_on_us + static_cast<uint64_t>(n) * g_nodes.plan.boot_step_us;
}

Node& node(int n) {
  if (!g_nodes.nodes[n]) g_nodes.nodes[n] = std::make_unique<Node>();
  return *g_nodes.nodes[n];
}

std::vector<uint8_t>& flash_of(Node& state) {
  if (state.flash.empty()) state.flash.assign(SIM_NODE_FLASH_SIZE, SIM_NODE_OLD_FLASH);
  return state.flash;
}

Mode mode(int n, uint64_t at_us) {
  if (g_nodes.plan.absent[static_cast<size_t>(n)] || !powered()) return Mode::OFF;
  if (!g_nodes.plan.running_before && at_us < announce_us(n)) return Mode::OFF;
  switch (node(n).history) {
    case History::FRESH:
      if (g_nodes.plan.running_before) return Mode::APPLICATION;
      return at_us < announce_us(n) + g_nodes.plan.window_us ? Mode::BOOT_WINDOW
                                                             : Mode::APPLICATION;
    case History::WOKEN:
      return Mode::BOOTLOADER;
    case History::LOADING:
      return Mode::LOADING;
    case History::RESTARTED:
      break;
  }
  return Mode::APPLICATION;
}

void transmit(uint64_t at_us, uint32_t base, int n, const uint8_t data[8]) {
  sim_bus_transmit(self(), at_us, base + static_cast<uint32_t>(n), data);
}

void answer(uint64_t at_us, int n, uint8_t code, uint32_t status) {
  uint8_t data[8] = {code};
  frame_put_value(&data[4], status);
  transmit(at_us, NODE_ANSWER_ID, n, data);
}

uint32_t check_page(const Node& state, uint32_t checksum) {
  const SimPage& page = state.page;
  if (!state.erased) return SIM_NODE_NOT_ERASED;
  if (!page.open || page.address < SIM_NODE_APPLICATION_START ||
      static_cast<uint64_t>(page.address) + SIM_NODE_PAGE_SIZE > SIM_NODE_FLASH_SIZE) {
    return SIM_NODE_BAD_ADDRESS;
  }
  if (!sim_page_complete(&page)) return SIM_NODE_BAD_SEQUENCE;
  return sim_page_sum(&page) == checksum ? SIM_NODE_PAGE_WRITTEN : SIM_NODE_BAD_CHECKSUM;
}

void on_data(Node& state, const uint8_t data[8]) {
  ++state.stats.data_frames;
  sim_page_take(&state.page, data);
}

void on_flash_command(uint64_t at_us, int n, Node& state, const uint8_t data[8]) {
  const uint32_t nth = state.stats.pages_written + state.stats.pages_refused + 1;
  const uint32_t status = nth == g_nodes.plan.refuse_page
                              ? static_cast<uint32_t>(SIM_NODE_BAD_SEQUENCE)
                              : check_page(state, frame_value(&data[2]));
  if (status == SIM_NODE_PAGE_WRITTEN) {
    if (sim_world_keeps_memories()) {
      std::memcpy(flash_of(state).data() + state.page.address, state.page.bytes,
                  SIM_NODE_PAGE_SIZE);
    }
    ++state.stats.pages_written;
  } else {
    ++state.stats.pages_refused;
  }
  state.stats.last_status = status;
  state.page.open = false;
  answer(at_us + g_nodes.plan.flash_us, n, DL_FLASH_COMMAND_ANSWER, status);
}

void on_command(uint64_t at_us, int n, const uint8_t data[8]) {
  const Mode now = mode(n, at_us);
  if (now == Mode::OFF || now == Mode::APPLICATION) return;  // the application knows no commands
  Node& state = node(n);
  if (data[0] == DL_START_LOADING) {
    state.history = History::LOADING;
    ++state.stats.start_requests;
    answer(state.start_answered ? at_us : at_us + g_nodes.plan.answer_late_us, n,
           DL_START_LOADING_ANSWER, 0);
    state.start_answered = true;
    return;
  }
  if (now != Mode::LOADING) return;
  switch (data[0]) {
    case DL_ERASE_APP: {
      if (sim_world_keeps_memories()) {
        std::memset(flash_of(state).data() + SIM_NODE_APPLICATION_START, 0xFF,
                    SIM_NODE_FLASH_SIZE - SIM_NODE_APPLICATION_START);
      }
      state.erased = true;
      state.page.open = false;
      ++state.stats.erases;
      answer(at_us + g_nodes.plan.erase_us, n, DL_ERASE_APP_ANSWER, 0);
      break;
    }
    case DL_DOWNLOAD:
      sim_page_open(&state.page, &NODE_PAGE, frame_value(&data[2]));
      break;
    case DL_FLASH_COMMAND:
      on_flash_command(at_us, n, state, data);
      break;
    case DL_END_OF_DOWNLOAD:
      ++state.stats.end_of_download;
      state.history = History::RESTARTED;
      state.page.open = false;
      break;
    default:
      break;
  }
}

void on_wake(uint64_t at_us, int n, const uint8_t data[8]) {
  const Mode now = mode(n, at_us);
  if (now == Mode::OFF) return;
  static const uint8_t kWakeFrame[8] = {};
  if (std::memcmp(data, kWakeFrame, sizeof kWakeFrame) != 0) return;  // a wake frame is all zeros
  Node& state = node(n);
  ++state.stats.wake_frames;
  // Only a running application answers; a bootloader has announced itself already.
  if (now != Mode::APPLICATION && now != Mode::BOOTLOADER) return;
  state.history = History::WOKEN;
  const uint8_t zeros[8] = {};
  transmit(state.wake_answered ? at_us : at_us + g_nodes.plan.answer_late_us, NODE_WAKE_ANSWER_ID,
           n, zeros);
  state.wake_answered = true;
}

// The node id addressed by `id` on the identifier family `base`, or 0.
int addressed(uint32_t id, uint32_t base) {
  if (id < base + kFirstNode || id > base + kLastNode) return 0;
  return static_cast<int>(id - base);
}

void nodes_reset() {
  g_nodes = NodesState{};
  g_nodes.plan = sim_nodes_config;
  if (g_nodes.plan.running_before || !powered()) return;
  g_nodes.power_on_us = now_us() + g_nodes.plan.power_on_us;
  const uint8_t zeros[8] = {};
  for (int n = kFirstNode; n <= kLastNode; ++n) {
    if (!g_nodes.plan.absent[static_cast<size_t>(n)]) {
      transmit(announce_us(n), NODE_ALIVE_ID, n, zeros);
    }
  }
}

void nodes_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]) {
  if (int n = addressed(id, NODE_WAKE_ID)) {
    on_wake(at_us, n, data);
  } else if (int c = addressed(id, NODE_COMMAND_ID)) {
    on_command(at_us, c, data);
  } else if (int d = addressed(id, NODE_DATA_ID)) {
    if (mode(d, at_us) == Mode::LOADING) on_data(node(d), data);
  }
}

const SimDevice kNodes{"W2 sensor nodes", nodes_reset, nodes_on_frame};
const SimDevice* self() { return &kNodes; }
}  // namespace

const SimDevice* sim_nodes_device() { return &kNodes; }

const uint8_t* sim_node_flash(uint8_t n) {
  if (n < kFirstNode || n > kLastNode || !sim_world_keeps_memories()) return nullptr;
  return flash_of(node(n)).data();
}

SimNodeStats sim_node_stats(uint8_t n) {
  if (n < kFirstNode || n > kLastNode || !g_nodes.nodes[n]) return SimNodeStats{};
  return g_nodes.nodes[n]->stats;
}
