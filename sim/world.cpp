// The emulated world: the nodes present on the bus of `-i sim`. Add new devices here.
#include "sim/world.h"

#include "sim/nodes.h"
#include "sim/unit.h"

namespace {
const SimDevice* const kDevices[] = {sim_unit_device(), sim_nodes_device(), nullptr};
}  // namespace

const SimDevice* const* sim_world_devices() { return kDevices; }
