# emulated devices
