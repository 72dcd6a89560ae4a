// The emulated devices that the `-i sim` back-end puts on the emulated bus when a run opens it.
#pragma once

#include "can/sim/sim_bus.h"

// The devices, ending with nullptr.
const SimDevice* const* sim_world_devices();

// Whether the emulated unit and nodes keep the bytes written into their application flash (they
// do unless told not to). A run of the tool on `-i sim` does not: nothing can read them after it,
// and the largest image would take as much memory again as the tool's own. Every other answer of
// the devices, their checks of each page included, stays the same.
void sim_world_keep_memories(bool keep);
bool sim_world_keeps_memories();
