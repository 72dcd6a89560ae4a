#include "support/unit_faults.h"

#include "platform/platform.h"
#include "protocol/command_codes.h"
#include "protocol/identifiers.h"
#include "sim/unit.h"

namespace {
struct FaultState {
  UnitFault fault;
  uint8_t command = 0;  // the command the unit reacts to
  uint32_t page = 0;    // the page it concerns
  int reaction = 0;     // frames the unit sent for it
  int unit_frames = 0;  // frames the unit sent in all
  int signal_after = 0;
  int signal = 0;
};
FaultState g_faults;

void observe(uint64_t, uint32_t id, const uint8_t data[8]) {
  if (id != UNIT_COMMAND_ID) return;
  g_faults.command = data[0];
  if (data[0] != COMMAND_ID_FINISH_PAGE_RESTORE) {
    g_faults.page = frame_value(&data[4]);
  }
  g_faults.reaction = 0;
}
const SimDevice kObserver{"observer", nullptr, observe};

bool fault_hook(const SimDevice* sender, uint64_t* ready_us, uint32_t*, uint8_t data[8]) {
  if (sender != sim_unit_device()) return true;
  if (++g_faults.unit_frames == g_faults.signal_after) platform_set_interrupt(g_faults.signal);
  const int frame = g_faults.reaction++ - 1;
  const UnitFault& f = g_faults.fault;
  if (f.kind == UnitFault::NONE || g_faults.command != f.command || frame != f.frame) return true;
  if (f.page >= 0 && g_faults.page != static_cast<uint32_t>(f.page)) return true;
  switch (f.kind) {
    case UnitFault::DROP:
      return false;
    case UnitFault::XOR:
      for (size_t i = 0; i < 8; ++i) data[i] ^= f.bytes[i];
      return true;
    default:
      sim_bus_inject(*ready_us + f.delay_us, UNIT_ANSWER_ID, f.bytes.data());
      return true;
  }
}
}  // namespace

void UnitFaultTest::SetUp() {
  BusTest::SetUp();
  platform_set_interrupt(0);
  g_faults = FaultState{};
  ASSERT_EQ(sim_bus_attach(&kObserver), 0);
  ASSERT_EQ(sim_bus_attach(sim_unit_device()), 0);
  sim_bus_set_transmit_hook(fault_hook);
}

void UnitFaultTest::TearDown() {
  BusTest::TearDown();
  platform_set_interrupt(0);
}

void UnitFaultTest::set_fault(const UnitFault& fault) { g_faults.fault = fault; }

void UnitFaultTest::signal_after(int frames, int signal) {
  g_faults.signal_after = frames;
  g_faults.signal = signal;
}

void UnitFaultTest::set_answer_late(uint64_t us) { sim_unit_config.answer_late_us = us; }

void UnitFaultTest::set_repeated_page(int64_t address) { sim_unit_config.repeat_page = address; }
