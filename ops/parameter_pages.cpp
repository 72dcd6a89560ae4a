// Parameter pages read from the unit, and the start of both parameter operations.
#include "ops/parameter_pages.h"

#include <cstring>

#include "log/log.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "ops/progress.h"
#include "protocol/command_codes.h"
#include "protocol/command_layer.h"
#include "protocol/identifiers.h"
#include "protocol/page_format.h"
#include "protocol/parameters.h"

namespace {
// Waits for the next frame on `id`; a failure is said unless a signal caused it.
int32_t wait_for(uint32_t id, uint8_t frame[8]) {
  const int32_t received = wait_for_frame(id, frame);
  if (received < 0 && operation_interrupted() == 0) {
    console_problem("Read CAN frame failed: %d\n", received);
  }
  return received;
}

// The 37 data frames and the checksum frame of the page that start_page_backup opened, into
// `page`. 0; the wait_for_frame result; -6 a frame out of sequence; -8 checksum mismatch.
int32_t read_page(uint8_t* page) {
  uint8_t frame[8];
  uint32_t page_sum = 0;
  for (int index = 0; index < UNIT_PAGE.frames; ++index) {
    const int32_t received = wait_for(UNIT_DATA_ID, frame);
    if (received < 0) return received;
    const uint8_t sequence = static_cast<uint8_t>(UNIT_PAGE.first_sequence + index);
    if (frame[0] != sequence) {
      console_problem("Expected sequence index: %u, received sequence index: %u\n",
                    static_cast<unsigned>(sequence), static_cast<unsigned>(frame[0]));
      return OPERATION_OUT_OF_SEQUENCE;
    }
    // The last frame's bytes 5-7 are neither stored nor summed.
    page_sum += page_take_frame(UNIT_PAGE, index, frame, page);
  }
  const int32_t received = wait_for(UNIT_ANSWER_ID, frame);
  if (received < 0) return received;
  const uint32_t sum = frame_value(&frame[4]);
  if (sum != page_sum) {
    console_problem("Checksum mismatch, received: %u, expected: %u\n", sum, page_sum);
    return OPERATION_SUM_DIFFERS;
  }
  return 0;
}

// The frames that came after the last page, while they come (one page's worth and one more).
struct TrailingFrames {
  static constexpr int kMax = 1 + UNIT_PAGE.frames + 1 + 1;
  uint32_t ids[kMax];
  uint8_t data[kMax][8];
  int count;
};

// Whether `trailing` is one whole page as a backup brings it (answer, data frames in sequence,
// checksum frame that matches), its bytes into `page`.
bool whole_page(const TrailingFrames& trailing, uint8_t* page) {
  if (trailing.count != UNIT_PAGE.frames + 2) return false;
  const uint8_t* answer = trailing.data[0];
  if (trailing.ids[0] != UNIT_ANSWER_ID || answer[0] != PARAMETER_ANSWER ||
      frame_value(&answer[4]) != 0) {
    return false;
  }
  uint32_t sum = 0;
  for (int index = 0; index < UNIT_PAGE.frames; ++index) {
    const uint8_t* frame = trailing.data[1 + index];
    if (trailing.ids[1 + index] != UNIT_DATA_ID || frame[0] != UNIT_PAGE.first_sequence + index) {
      return false;
    }
    sum += page_take_frame(UNIT_PAGE, index, frame, page);
  }
  const int last = trailing.count - 1;
  return trailing.ids[last] == UNIT_ANSWER_ID && frame_value(&trailing.data[last][4]) == sum;
}

// The page that the unit sent twice, when only one page can have been: a page sent twice is read
// in the place of the next one, so it equals the page read after it, or the last page equals the
// page that came after it. -1 when no page, or more than one, fits.
int32_t repeated_page(const uint8_t* area, const uint8_t* after_last) {
  int32_t found = -1;
  for (int32_t block = 0; block < PARAMETER_PAGE_COUNT; ++block) {
    const uint8_t* page = &area[static_cast<size_t>(block) * PARAMETER_PAGE_SIZE];
    const bool last = block + 1 == PARAMETER_PAGE_COUNT;
    const uint8_t* next = last ? after_last : page + PARAMETER_PAGE_SIZE;
    if (std::memcmp(page, next, PARAMETER_PAGE_SIZE) != 0) continue;
    if (found >= 0) return -1;
    found = block;
  }
  return found;
}
}  // namespace

int32_t start_parameter_pages(const CanTarget& target) {
  const int32_t opened =
      operation_open_channel(target, UNIT_LISTEN_IDS, UNIT_LISTEN_ID_COUNT);
  // A back-end that reports failure with a positive code must not pass for an open channel.
  const int32_t result = opened != 0 ? (opened < 0 ? opened : -1) : enter_production_test_mode();
  if (result < 0) {
    if (operation_interrupted() == 0) {
      console_problem("Production test mode initialization error %d\n", result);
    }
    return result;
  }
  console_print("Block count %d\n", PARAMETER_PAGE_COUNT);
  return 0;
}

int32_t read_parameter_area(uint8_t* area, Progress* progress) {
  for (int32_t block = 0; block < PARAMETER_PAGE_COUNT; ++block) {
    if (operation_interrupted() != 0) return OPERATION_STOPPED;
    operation_step();
    if (progress) progress_page(progress, block, block, PARAMETER_PAGE_COUNT);
    const uint32_t address = static_cast<uint32_t>(block * PARAMETER_PAGE_SIZE);
    int32_t result = start_page_backup(address);
    if (result < 0) {
      if (operation_interrupted() == 0) console_problem("Backup starting failed: %d\n", result);
      return result;
    }
    result = read_page(&area[address]);
    if (result < 0) return result;
  }
  if (progress) progress_done(progress);
  return 0;
}

int32_t end_parameter_area(const uint8_t* area, const char* advice) {
  TrailingFrames trailing{};
  int32_t heard = 0;
  while (trailing.count < TrailingFrames::kMax &&
         (heard = listen_for_unit_frame(PARAMETER_QUIET_MS, &trailing.ids[trailing.count],
                                        trailing.data[trailing.count])) == 0) {
    ++trailing.count;
  }
  // Without the quiet window the pages cannot be known to be those asked for.
  if (heard == COMMAND_FAILED) return COMMAND_FAILED;
  if (trailing.count == 0) return 0;
  log_writef(LOG_ALWAYS, "%d frames came after the last page\n", trailing.count);
  uint8_t page[PARAMETER_PAGE_SIZE];
  const int32_t repeated = whole_page(trailing, page) ? repeated_page(area, page) : -1;
  if (repeated >= 0) {
    console_problem("The unit sent page 0x%04X twice (a repeated command on the bus): %s\n",
                    static_cast<unsigned>(repeated * PARAMETER_PAGE_SIZE), advice);
  } else {
    console_problem("The unit sent more pages than were asked for (a repeated command on the "
                    "bus): %s\n", advice);
  }
  return OPERATION_PAGE_REPEATED;
}
