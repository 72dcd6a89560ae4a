// The channel's back-end for the emulated bus (`-i sim`): the tool's adapter on sim_bus, which
// delivers exactly the channel's accepted identifiers. On open it puts the emulated world's
// devices on the bus unless devices are attached already (a test's own set-up).
#pragma once

#include "can/can.h"

const CanBackend* sim_backend();
