// The channel's back-end for the emulated bus (`-i sim`): the tool's adapter on sim_bus, which
// delivers exactly the channel's accepted identifiers. On open it puts the devices handed to
// sim_backend_set_devices on the bus, unless devices are attached already (a test's own set-up).
#pragma once

#include "can/backend.h"
#include "can/sim/sim_bus.h"

// The devices (ending with nullptr) that the next open attaches to an empty bus; nullptr for none.
void sim_backend_set_devices(const SimDevice* const* devices);

const CanBackend* sim_backend();
