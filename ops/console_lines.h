// The console lines the operations share: the separator, the progress line, and the report of a
// flashing image (its sum, its block count and the dumps of its first and last blocks).
#pragma once

#include <cstddef>
#include <cstdint>

// "-------------------------------------------------------------\n" (61 dashes).
void print_separator();

// Progress p = (int)(done * 1000 / total + 0.5) in single precision, at most 1000; prints
// "%.01f%%\n" with p / 10 when p differs from *last_printed (-1 before the first line), and keeps
// p there.
void print_progress(int32_t* last_printed, int32_t done, int32_t total);

// A page a forced flash (-b) took although the node answered it with `status` (bytes 4-7, least
// significant first), on the console and in the log: "Page 0x20384 was answered with status 01 00
// 00 00: the node may not have written it; taken as written because of -b\n".
void print_forced_page(uint32_t address, uint32_t status);
// Before a forced flash's closing lines, when `pages` is not 0: "Warning: 2 pages were answered
// with a non-zero status: check the sensor, or flash it again without -b\n" (and in the log).
void print_forced_pages_warning(size_t pages);

// Sum of image[0] .. image[end - 1] (0 when end <= 0).
uint32_t image_sum(const uint8_t* image, int32_t end);

// The report of a flashing image before its pages go out: "Checksum %d  (%d)\n" with `sum` (the
// image_sum up to `extent`) and `extent`, "Block count %d\n" with extent / 256 + 1, then two
// 16-row dumps: the first 256 bytes and the 256 bytes of the last block, each followed by the
// separator line.
void print_image_report(const uint8_t* image, int32_t extent, uint32_t sum);
