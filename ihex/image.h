// The loader that fills a byte image (FLASH_IMAGE_SIZE bytes, owned by the caller) from a whole HEX
// file, under one of the two address layouts the tool flashes:
// - IHEX_APPLICATION, the unit's application: data needs an extended linear address record
//   (type 4) before it; offset 0 of that first segment is image index 0 and a later segment S puts
//   its offset 0 at index (S - first segment) * 0x10000. A later segment of 0x8000 or more ends
//   loading: what follows is no part of the application (the rest is still read, so that the
//   caller can refuse data there rather than drop it). The image holds indices 0 to 0x3DFFFE.
//   Extended segment address records (type 2) are refused: this layout has no place for them.
// - IHEX_SENSOR, a sensor node's image: index = extended linear base (type 4) + extended segment
//   base (type 2) + record address, below FLASH_IMAGE_SIZE.
// Bytes that no data record writes keep what they held (an image the caller made zero). The load
// also notes what an image check needs (IhexLoad): the addresses and lines of the data, the first
// two records that give a byte different values.
// Call order: ihex_open, then ihex_load_image once; the caller then sends the image.
// Example (sensor): ":020000021000EC", ":0400000001020304F2", ":00000001FF" puts 01 02 03 04 at
// 0x10000 to 0x10003: end 0x10004, highest 0x10003. As an application file it is refused.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

constexpr uint32_t FLASH_IMAGE_SIZE = 0x3E0000;

// An image of FLASH_IMAGE_SIZE zero bytes whose memory is taken only where bytes are written (a
// three-page application costs three pages, not 3.9 MiB). nullptr when there is no memory for it.
struct ImageBufferFree {
  void operator()(uint8_t* image) const { std::free(image); }
};
using ImageBuffer = std::unique_ptr<uint8_t[], ImageBufferFree>;
inline ImageBuffer image_buffer_new() {
  return ImageBuffer(static_cast<uint8_t*>(std::calloc(FLASH_IMAGE_SIZE, 1)));
}

enum IhexAddressing : uint8_t { IHEX_APPLICATION, IHEX_SENSOR };

// Two data records that give one image byte different values.
struct IhexClash {
  int32_t earlier_line = 0;  // 0: no clash
  int32_t later_line = 0;
  uint64_t address = 0;  // the byte's address in the file
};

// What a load placed in the image, and what the file held that an image check judges.
struct IhexLoad {
  int32_t end;        // one past the highest index written; 0 when no byte was written
  int32_t highest;    // the highest index written; 0 when no byte (or only index 0) was written
  uint32_t data_sum;  // every data byte placed, in reading order: overlapping bytes count each time
  uint32_t bytes = 0;  // image bytes written (a byte written twice counts once)
  // The lowest and highest address of a byte written, in the file's own address space (an
  // application's segment << 16 plus the record address; a sensor's image index).
  uint64_t lowest_address = 0;
  uint64_t highest_address = 0;
  int32_t first_data_line = 0;  // the line of the first data byte (0: none)
  // An application's first type 4 segment and its line (-1 and 0 when there is none).
  int32_t base_segment = -1;
  int32_t base_segment_line = 0;
  IhexClash clash = {};  // the first clash
  // An application's reading ended at a later segment of 0x8000 or more (at end_segment_line). The
  // rest of the file is still looked at: the first data record there (dropped_line), or the
  // reader's failure there (tail_failed, ihex_failure naming it).
  int32_t end_segment_line = 0;
  int32_t dropped_line = 0;
  bool tail_failed = false;
};

// Reads records from the open HEX file and places the data records in `image` (FLASH_IMAGE_SIZE
// bytes), up to the end of file record ("End of file record\n" for an application, "End of file
// record, hiaddr 0x%x\n" with the highest index for a sensor) or an application's last segment. 0
// with `load` filled; -7 when the file is refused: a bad line or an early end of the file (the
// reader has reported it), an address record without exactly 2 data bytes, data outside the
// image, and for an application data before any type 4 record or a type 2 record (each with its
// own console line). The caller then prints "IHex parse error\n"; the bytes placed before the
// refusal stay in the image.
int32_t ihex_load_image(IhexAddressing addressing, uint8_t* image, IhexLoad* load);
