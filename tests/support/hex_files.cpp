#include "support/hex_files.h"

#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "support/test_support.h"

std::vector<uint8_t> random_bytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

std::string hex_record(int type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> fields = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                 static_cast<uint8_t>(type)};
  fields.insert(fields.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = ":";
  char hex[3];
  for (uint8_t b : fields) {
    sum += b;
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + hex;
}

std::string hex_line(int type, uint16_t address, const std::vector<uint8_t>& data) {
  return hex_record(type, address, data) + "\n";
}

std::string objcopy_hex(const std::vector<uint8_t>& content, uint32_t address,
                        const std::string& name) {
  write_bytes("content.bin", content);
  char command[512];
  std::snprintf(command, sizeof command,
                "objcopy -I binary -O ihex --change-addresses 0x%X content.bin %s", address,
                shell_quote(name).c_str());
  EXPECT_EQ(run_command(command, nullptr), 0) << command;
  return name;
}
