// The PEAK PCAN-USB back-end: loads PCAN-Basic on its first open (once per run), initialises a
// PCAN-USB channel at 250 kbit/s (the first unless another is named: pcan:N), asks the adapter's
// filter for the accepted identifiers' range plus each identifier outside it (in the 29-bit mode
// that the platform's library reads as such), and then sends and reads single messages, telling
// the channel each message's kind and length. A full transmit queue is left to the channel's
// retry. "Illegal hardware" or "no driver" from a send, a read or a status query, an unknown error
// that CAN_GetStatus confirms, or a failed receive event means the adapter is gone
// (CAN_ADAPTER_LOST); after a receive that brought nothing, CAN_GetStatus tells the channel the bus
// state, and a send refused by a bus-off controller says so. With PEAK's Linux library, a channel
// that another program holds is refused before it is initialised (that library would share it).
// Losses and states go back as CanNews.
// Call order: peak_open until it returns 0, then peak_send_frame, peak_try_receive and peak_wait
// (peak_receive_timed_out after a receive that delivered nothing), peak_close when interrupted.
#pragma once

#include <cstdint>

#include "can/backend.h"

// 0 when the channel is initialised and filtered; -1 library or entry point missing; -2 when
// CAN_Initialize or CAN_FilterMessages fails.
int32_t peak_open(const CanTarget* target, CanOpenFailure* failure);
// 0 when CAN_Write accepts the frame; CAN_SEND_QUEUE_FULL for PCAN_ERROR_QXMTFULL or XMTFULL; -3
// otherwise (CAN_ADAPTER_LOST when the adapter is gone; bus-off told in `news`). Nothing is logged.
int32_t peak_send_frame(const CanFrame& frame, CanNews* news);
// CAN_GetStatus: bus-off, error-passive, heavy/light (warning) or OK, and overruns, into `news`.
int32_t peak_receive_timed_out(CanNews* news);
// CAN_Uninitialize on the channel.
void peak_close();
// One CAN_Read: 0 with the message, its kind, length and bytes (at most 8), non-zero when none;
// overruns the read or a status message tells of into `news`.
int32_t peak_try_receive(CanRead* frame, CanNews* news);
// Waits for the receive event until `until_us`: 1 set, 0 time up, -1 when the library gives no
// event (said once under LOG_CAN_FRAMES; the channel then polls). The event is asked for at the
// first wait after an open, so that opening and listing call the library as they always did.
int32_t peak_wait(uint64_t until_us, CanNews* news);
// The `-l` records: the library, its version and the attached channels.
void peak_list(CanListing* listing);
// The full path of the library loaded ("" before).
const char* peak_library_path();

const CanBackend* peak_backend();

// Tests: back to "library not loaded", trying `library_names` (nullptr-terminated; nullptr for the
// platform's usual names) on the next open.
void peak_test_reset(const char* const* library_names);
