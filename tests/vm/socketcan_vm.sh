#!/bin/sh
# Runs inside the vcan VM (see run.sh): the SocketCAN tests and the end-to-end runs on vcan0 as it
# comes up, a station of four vcan interfaces side by side (station.sh), then again on a vcan0
# slowed down to a 10-frame queue: first with the burst allowance
# of the harness's ENOBUFS experiment (100 frames, 500 kbit/s), then at a real controller's pace
# (a 16-byte CAN skb every 512 us, about an extended frame's 524 us at 250 kbit/s).
set -e
cd /work
./socketcan_vm_test --gtest_brief=1 --gtest_filter='-*SlowQueue*'
./end_to_end.sh plain
./station.sh
tc qdisc replace dev vcan0 root tbf rate 500kbit burst 1600 limit 160
RALVEX_SLOW_VCAN=1 ./socketcan_vm_test --gtest_filter='*SlowQueue*'
./end_to_end.sh slow
tc qdisc replace dev vcan0 root tbf rate 250kbit burst 32 limit 160
./end_to_end.sh paced
