// The W2 sensor node chosen for this run; every node-addressed identifier is a base plus this id.
#pragma once

#include <cstdint>

constexpr uint8_t NODE_ID_NOT_SET = 255;

// NODE_ID_NOT_SET until the command line chooses a node (1 to 127).
extern uint8_t sensor_node_id;
