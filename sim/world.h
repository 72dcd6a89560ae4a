// The emulated devices that the `-i sim` back-end puts on the emulated bus when a run opens it.
#pragma once

#include "can/sim/sim_bus.h"

// The devices, ending with nullptr.
const SimDevice* const* sim_world_devices();
