// Hosts the emulated bus's devices on a Linux SocketCAN interface (ralvex-sim-unit): the socket
// takes the place of the emulated bus's tool side. Extended data frames read from the socket go
// onto the emulated bus with sim_bus_tool_send; what the devices transmit comes back through
// sim_bus_tool_try_receive, once the emulated bus has carried it, and is written to the socket.
// The emulated bus keeps its own frame time, so on vcan (where frames take no time) the devices
// answer as on a real 250 kbit/s bus; on a real interface each frame's time counts twice (on the
// wire and on the emulated bus), about 1 ms more per request and answer, well inside the tool's
// waits. Frames that meet a full transmit queue (ENOBUFS, EAGAIN) wait in order for a later step.
// Call order: attach the devices to the emulated bus, sim_host_open, sim_host_step in a loop,
// sim_host_close.
#pragma once

#include <cstddef>
#include <cstdint>

struct SimHostStats {
  uint64_t frames_in;      // frames taken from the interface onto the emulated bus
  uint64_t frames_out;     // frames of the devices written to the interface
  uint64_t queue_full;     // writes refused for a full transmit queue (retried)
};

// Opens a raw CAN socket on `interface` that receives extended data frames. 0, or -1 with the
// failing call and its error text on stderr.
int32_t sim_host_open(const char* interface);
// Waits up to `timeout_ms` for frames, then moves every frame that is due in both directions.
// With `trace`, prints each frame ("<  A04401  0A 00 ..." in, ">" out). 0, or -1 when the socket
// failed (reported on stderr). A signal ends the wait early.
int32_t sim_host_step(int timeout_ms, bool trace);
// Frames still waiting for room in the interface's transmit queue.
size_t sim_host_backlog();
const SimHostStats& sim_host_stats();
void sim_host_close();
