#!/bin/sh
# Runs inside the VM started with VCANVM_CAN_CONTROLLERS=2 (see run.sh): the listing with the two
# controllers as they come (listing.sh), then the transfers and the faults on them (controllers.sh).
cd /work
status=0
./listing.sh || status=1
./controllers.sh || status=1
exit "$status"
