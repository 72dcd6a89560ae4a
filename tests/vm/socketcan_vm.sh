#!/bin/sh
# Runs inside the vcan VM (see run.sh): the SocketCAN tests on vcan0 as it comes up, then the burst
# test on a vcan0 slowed down to a real controller's pace with a 10-frame queue.
set -e
cd /work
./socketcan_vm_test --gtest_brief=1 --gtest_filter='-*SlowQueue*'
tc qdisc replace dev vcan0 root tbf rate 500kbit burst 1600 limit 160
RALVEX_SLOW_VCAN=1 ./socketcan_vm_test --gtest_filter='*SlowQueue*'
