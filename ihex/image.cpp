// The HEX file loader for both address layouts.
#include "ihex/image.h"

#include <cstring>
#include <vector>

#include "ihex/reader.h"
#include "log/log.h"

namespace {
constexpr int32_t kRefused = -7;
constexpr int32_t kGoOn = 0;
constexpr int32_t kDone = 1;
constexpr int32_t kNoSegment = -1;
// Application segments from this one on are no part of the application.
constexpr uint32_t kLastSegment = 0x8000;
// An application byte at index FLASH_IMAGE_SIZE - 1 would call for a page past the image: the
// block count is image end / 256 + 1.
constexpr int64_t kApplicationLimit = FLASH_IMAGE_SIZE - 1;

// The load in progress. Record address 0 lands at image index index_origin and has the address
// address_origin in the file's own address space (what messages name). 64-bit so that the largest
// bases plus the largest record address cannot wrap around.
struct Loader {
  uint8_t* image = nullptr;
  IhexAddressing addressing = IHEX_SENSOR;
  int64_t index_origin = 0;
  uint64_t address_origin = 0;
  uint64_t linear_base = 0;   // sensor
  uint64_t segment_base = 0;  // sensor
  int32_t base_segment = kNoSegment;  // application: the first type 4 segment
  // Set while data would be refused for want of a segment (an application before its first type 4).
  bool segment_missing = false;
  int64_t limit = FLASH_IMAGE_SIZE;  // first image index that cannot be held
  int64_t end = 0;
  uint32_t data_sum = 0;
  IhexLoad facts{0, 0, 0};
  // One bit per image byte: written already.
  std::vector<uint64_t> written = std::vector<uint64_t>(FLASH_IMAGE_SIZE / 64);
  // Runs of data records that follow each other in the file and in the image, so that the line
  // of any byte written can be told without a line per byte: every record of a run but its last
  // has `stride` bytes.
  struct Run {
    int64_t first;
    int64_t end;
    int32_t first_line;
    int32_t last_line;
    uint32_t stride;
    uint32_t last_length;
  };
  std::vector<Run> runs;
};

// The line of the latest record that wrote image index `index`; 0 when none is known.
int32_t line_of(const Loader& load, int64_t index) {
  for (auto run = load.runs.rbegin(); run != load.runs.rend(); ++run) {
    if (index < run->first || index >= run->end) continue;
    return run->first_line + static_cast<int32_t>((index - run->first) / run->stride);
  }
  return 0;
}

void note_run(Loader* load, int64_t first, uint32_t length, int32_t line) {
  if (!load->runs.empty()) {
    Loader::Run& run = load->runs.back();
    if (run.end == first && run.last_line + 1 == line && run.last_length == run.stride &&
        length <= run.stride) {
      run.end = first + length;
      run.last_line = line;
      run.last_length = length;
      return;
    }
  }
  load->runs.push_back({first, first + length, line, line, length, length});
}

// Marks the record's bytes written, noting the first byte that a record before gave another
// value, and the bytes written for the first time.
void note_bytes(Loader* load, int64_t first, const IhexRecord& record, uint64_t address) {
  const int32_t line = ihex_line();
  for (uint32_t i = 0; i < record.length; ++i) {
    const uint64_t index = static_cast<uint64_t>(first) + i;
    uint64_t& word = load->written[index / 64];
    const uint64_t bit = uint64_t{1} << (index % 64);
    if ((word & bit) == 0) {
      word |= bit;
      ++load->facts.bytes;
    } else if (load->facts.clash.later_line == 0 && load->image[index] != record.data[i]) {
      load->facts.clash = {line_of(*load, static_cast<int64_t>(index)), line, address + i};
    }
  }
  note_run(load, first, record.length, line);
  const uint64_t last = address + record.length - 1;
  if (load->facts.first_data_line == 0) {
    load->facts.first_data_line = line;
    load->facts.lowest_address = address;
    load->facts.highest_address = last;
  }
  if (address < load->facts.lowest_address) load->facts.lowest_address = address;
  if (last > load->facts.highest_address) load->facts.highest_address = last;
}

int32_t highest_index(const Loader& load) {
  return load.end > 0 ? static_cast<int32_t>(load.end - 1) : 0;
}

int32_t place_data(Loader* load, const IhexRecord& record) {
  if (load->segment_missing) {
    console_problem("Missing segment address before data\n");
    return kRefused;
  }
  if (record.length == 0) return kGoOn;  // places no byte and moves no image end
  const int64_t first = load->index_origin + record.address;
  const int64_t end = first + record.length;
  if (first < 0 || end > load->limit) {
    // Name the first byte that cannot be held, by its address in the file.
    const int64_t offset = first < 0 || first >= load->limit ? 0 : load->limit - first;
    const uint64_t address = load->address_origin + record.address + static_cast<uint64_t>(offset);
    console_problem("HEX data outside the image at 0x%llX\n",
                    static_cast<unsigned long long>(address));
    return kRefused;
  }
  note_bytes(load, first, record, load->address_origin + record.address);
  std::memcpy(load->image + first, record.data, record.length);
  load->data_sum += record.data_sum;
  if (end > load->end) load->end = end;
  return kGoOn;
}

int32_t application_segment(Loader* load, uint32_t segment) {
  if (load->base_segment == kNoSegment) {
    load->base_segment = static_cast<int32_t>(segment);
    load->facts.base_segment = load->base_segment;
    load->facts.base_segment_line = ihex_line();
    load->segment_missing = false;
    console_print("IHEX segment: %04X, BinDataIndexStart = 0\n", segment);
  } else if (segment >= kLastSegment) {
    console_print("Segment > 0x8000  --> END reading\n");
    load->facts.end_segment_line = ihex_line();
    return kDone;
  } else {
    load->index_origin = (static_cast<int64_t>(segment) - load->base_segment) * 0x10000;
    console_print("IHEX segment: %04X, BinDataIndexStart: %04X\n", segment,
                  static_cast<uint32_t>(load->index_origin));
  }
  load->address_origin = static_cast<uint64_t>(segment) << 16;
  return kGoOn;
}

// Types 2 and 4.
int32_t address_record(Loader* load, const IhexRecord& record) {
  if (load->addressing == IHEX_APPLICATION && record.type == 2) {
    // Ignoring it would put the data after it at another address than the file means.
    console_problem("Extended segment address record in an application file\n");
    return kRefused;
  }
  // Both carry a 16-bit value; any other length leaves it undefined.
  if (record.length != 2) {
    console_problem("Address record of type %u has %u data bytes instead of 2\n",
                  static_cast<unsigned>(record.type), static_cast<unsigned>(record.length));
    return kRefused;
  }
  const uint32_t value = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]);
  if (load->addressing == IHEX_APPLICATION) return application_segment(load, value);
  if (record.type == 2) {
    load->segment_base = static_cast<uint64_t>(value) << 4;
  } else {
    load->linear_base = static_cast<uint64_t>(value) << 16;
  }
  load->address_origin = load->linear_base + load->segment_base;
  load->index_origin = static_cast<int64_t>(load->address_origin);
  return kGoOn;
}

// After an application's last segment nothing is loaded, but the rest of the file is read up to
// its end of file record, so that data there is told rather than dropped unseen.
void look_past_the_end(IhexLoad* facts) {
  for (;;) {
    const int32_t read = ihex_read_record();
    if (read < 0) {
      facts->tail_failed = true;
      return;
    }
    if (read == 1) return;
    const IhexRecord& record = ihex_record();
    if (record.type == 0 && record.length > 0) {
      facts->dropped_line = ihex_line();
      return;
    }
  }
}

int32_t act_on(Loader* load, const IhexRecord& record) {
  switch (record.type) {
    case 0:
      return place_data(load, record);
    case 1:
      if (load->addressing == IHEX_APPLICATION) {
        console_print("End of file record\n");
      } else {
        console_print("End of file record, hiaddr 0x%x\n",
                      static_cast<unsigned>(highest_index(*load)));
      }
      return kDone;
    case 2:
    case 4:
      return address_record(load, record);
    case 5:
      if (load->addressing == IHEX_APPLICATION) console_print("Type 5\n");
      return kGoOn;
    default:
      return kGoOn;  // a start segment address (3) and unknown types carry nothing for the image
  }
}
}  // namespace

int32_t ihex_load_image(IhexAddressing addressing, uint8_t* image, IhexLoad* load) {
  Loader loader;
  loader.image = image;
  loader.addressing = addressing;
  loader.segment_missing = addressing == IHEX_APPLICATION;
  if (addressing == IHEX_APPLICATION) loader.limit = kApplicationLimit;
  int32_t step = kGoOn;
  while (step == kGoOn) {
    if (ihex_read_record() < 0) return kRefused;
    step = act_on(&loader, ihex_record());
  }
  if (step < 0) return step;
  if (loader.facts.end_segment_line != 0) look_past_the_end(&loader.facts);
  *load = loader.facts;
  load->end = static_cast<int32_t>(loader.end);
  load->highest = highest_index(loader);
  load->data_sum = loader.data_sum;
  return 0;
}
