// Test inputs: random contents, Intel HEX record lines with their checksums, and HEX files written
// by objcopy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> random_bytes(size_t count, unsigned seed);

// ":LLAAAATT<data>CC" for the record, checksum included, without a line end.
std::string hex_record(int type, uint16_t address, const std::vector<uint8_t>& data);
// The same with "\n".
std::string hex_line(int type, uint16_t address, const std::vector<uint8_t>& data);

// Writes `content` to content.bin and has objcopy turn it into the HEX file `name`, placed at
// `address`. Returns `name`; a failing objcopy fails the test.
std::string objcopy_hex(const std::vector<uint8_t>& content, uint32_t address,
                        const std::string& name);
