// The emulated world: the nodes present on the bus of `-i sim`. Add new devices here.
#include "sim/world.h"

#include "sim/nodes.h"
#include "sim/unit.h"

namespace {
const SimDevice* const kDevices[] = {sim_unit_device(), sim_nodes_device(), nullptr};

struct WorldState {
  bool keep_memories = true;
};
WorldState g_world;
}  // namespace

const SimDevice* const* sim_world_devices() { return kDevices; }

void sim_world_keep_memories(bool keep) { g_world.keep_memories = keep; }

bool sim_world_keeps_memories() { return g_world.keep_memories; }
