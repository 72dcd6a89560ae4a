// The emulated CAN bus at 250 kbit/s: a discrete-event bus that carries extended 8-byte frames
// between the tool and emulated devices, taking the time a real bus takes. Time is the platform's
// now_us(), so the bus runs in real time on `-i sim` and instantly on a test's virtual clock.
// Every pending frame has a ready time; each sender sends its own frames in order of ready time
// (then of queueing), like a controller with one transmit queue. Whenever the bus is free, the
// senders' next frames that are ready compete and the lowest identifier wins (arbitration); it
// completes SIM_FRAME_US later. A completed frame reaches every attached device except its sender
// and, when a device or another node sent it, the tool's receive queue (through the tool's
// filter). Nothing happens between calls: the bus catches up to the present whenever the tool
// sends or tries to receive (or sim_bus_run_until is called). A tool that is about to wait asks
// for the time of the next frame it will receive (sim_bus_next_tool_delivery), which runs the bus
// ahead of the clock up to that frame; the frame is readable from its completion time on.
// Call order: sim_bus_reset, sim_bus_attach for each device, then the tool side
// (sim_bus_tool_send, sim_bus_tool_try_receive); devices answer from on_frame with
// sim_bus_transmit. Fault injection and the frame record serve the tests; the record is kept
// only when asked for (sim_bus_record_frames), since it grows with every frame.
#pragma once

#include <cstddef>
#include <cstdint>

// An extended data frame with 8 bytes is 131 bits (stuff bits not counted): 524 us at 250 kbit/s.
constexpr uint64_t SIM_FRAME_US = 524;

// An emulated node: a constant table. reset puts it in its power-on state (called by
// sim_bus_attach); on_frame sees every frame that another sender completed at `at_us` and may
// answer with sim_bus_transmit(self, ready_us >= at_us, ...). Both may be null.
struct SimDevice {
  const char* name;
  void (*reset)();
  void (*on_frame)(uint64_t at_us, uint32_t id, const uint8_t data[8]);
};

// One frame as it went over the bus. sender: the device, nullptr for the tool, or
// sim_bus_other_node() for an injected frame.
struct SimBusFrame {
  uint64_t done_us;
  const SimDevice* sender;
  uint32_t id;
  uint8_t data[8];
};

// Empties the bus: no devices, nothing pending or queued for the tool, no record (and none kept),
// no faults, the tool's filter open, the bus free. Needs no clock: a test may install its clock
// after it.
void sim_bus_reset();
// Puts a device on the bus and resets it. 0, or -1 when it is already attached.
int32_t sim_bus_attach(const SimDevice* device);
// Number of attached devices.
size_t sim_bus_device_count();

// A device queues a frame that competes for the bus from `ready_us` on. Passes the transmit hook
// first (which may drop, alter or delay it). 0 queued, 1 dropped by the hook.
int32_t sim_bus_transmit(const SimDevice* sender, uint64_t ready_us, uint32_t id,
                         const uint8_t data[8]);
// Completes, in bus order, every pending frame that is done by `t_us`.
void sim_bus_run_until(uint64_t t_us);

// The tool's adapter. send queues the frame ready now (the transmit queue has no limit) and
// returns 0, or -3 when sends are being refused. try_receive catches up to now and takes one
// delivered frame: 0, or -1 when none has arrived.
int32_t sim_bus_tool_send(uint32_t id, const uint8_t data[8]);
int32_t sim_bus_tool_try_receive(uint8_t data[8], uint32_t* id);
// The adapter's acceptance filter: frames for which `accept` is false never reach the tool's
// queue. nullptr lets everything through.
void sim_bus_set_tool_filter(bool (*accept)(uint32_t id));

// For a tool that waits and sends nothing before `until_us` or the time returned: 0 with the
// completion time of the next frame that reaches the tool's receive queue (at most `until_us`;
// the bus has run up to it), -1 when none completes by `until_us` (the bus has run up to the last
// frame that completes by then). Example: the tool's command completes at t, the unit answers
// from t + 100: 0 and t + 100 + SIM_FRAME_US.
int32_t sim_bus_next_tool_delivery(uint64_t until_us, uint64_t* at_us);

// Keeps a record of every frame completed from now on (`on`), or none and forgets it.
void sim_bus_record_frames(bool on);
// The frames recorded, in completion order; returns the count.
size_t sim_bus_frames(const SimBusFrame** frames);

// Faults. A frame from a node that is not emulated, competing from `ready_us` on (that node's
// frames, too, leave in order of their ready times).
void sim_bus_inject(uint64_t ready_us, uint32_t id, const uint8_t data[8]);
// The pseudo device that injected frames are recorded under.
const SimDevice* sim_bus_other_node();
// The tool's sends are refused from its `nth` send on (1 = all); 0 accepts them all again.
void sim_bus_refuse_tool_sends(uint32_t nth);
// Called for every frame a device transmits: may change its ready time (a delay), identifier or
// bytes; returning false drops it (silence). nullptr removes the hook.
using SimTransmitHook = bool (*)(const SimDevice* sender, uint64_t* ready_us, uint32_t* id,
                                 uint8_t data[8]);
void sim_bus_set_transmit_hook(SimTransmitHook hook);
// Lets every identifier through to the tool whatever filter is set, as a wide adapter filter
// would (stray frames). Cleared by sim_bus_reset.
void sim_bus_open_tool_filter(bool open);
