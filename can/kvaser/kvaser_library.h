// CANlib as loaded by the Kvaser back-end, shared by its channel code (kvaser.cpp), its opening
// (kvaser_open.cpp) and its listing (kvaser_list.cpp): the entry points and the library's state.
// Call order: kvaser_load_library, then the entry points of kvaser_api() and kvaser_open_channel.
#pragma once

#include <cstdint>

#include "can/backend.h"
#include "can/kvaser/canlib.h"
#include "can/vendor_library.h"

// The eleven entry points the back-end needs; a library that lacks one is not used.
struct CanlibApi {
  canInitializeLibrary_t initialize_library;
  canClose_t close;
  canOpenChannel_t open_channel;
  canGetErrorText_t get_error_text;
  canSetBusParams_t set_bus_params;
  canGetNumberOfChannels_t get_number_of_channels;
  canGetChannelData_t get_channel_data;
  canSetAcceptanceFilter_t set_acceptance_filter;
  canBusOn_t bus_on;
  canRead_t read;
  canWrite_t write;
};

// Loads the library and resolves the entry points once per run, logging the outcome.
// 0 when usable, -1 when not (logged: "Kvaser: ERROR: ..." and "Kvaser: Cannot initialize DLL").
int32_t kvaser_load_library();
// The entry points after a successful kvaser_load_library.
const CanlibApi& kvaser_api();
// An entry point that only some callers look up (a library may lack it). True when found.
bool kvaser_optional(const VendorEntryPoint& entry);
// The listing's record of the library, with `version` when it is usable.
CanListRecord kvaser_library_record(const char* version);
// The product's version from canGetVersionEx, "5.39" or "5.41a"; "" when the library lacks it.
void kvaser_product_version(char* text, size_t size);
// The library's text for `status`, at most 49 characters.
void kvaser_error_text(canStatus status, char text[50]);
// How `-i` names channel `index` by what it is, "kvaser@10001" or "kvaser@10001:1" (the device's
// serial number and the channel on it); "" for a channel without a serial number (virtual).
void kvaser_identity(int index, char* spelling, size_t size);
// Opens the channel `target` names (by number, or by the device's serial number and its channel
// on it), or else the first real one, for this run alone: at 250 kbit/s, filtered and on bus, with
// its handle in `handle`. 0; -1 when none could be set up (the cause in `failure`); the negative
// status of canGetNumberOfChannels when that fails. Logs as kvaser_open says.
int32_t kvaser_open_channel(const CanTarget& target, CanOpenFailure* failure, CanHandle* handle);
