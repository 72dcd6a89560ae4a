#include "protocol/frames.h"

#include <cstring>

#include "log/log.h"

void command_frame(uint8_t frame[8], uint8_t code, uint32_t argument, int offset) {
  std::memset(frame, 0, 8);
  frame[0] = code;
  for (int i = 0; i < 4; ++i) frame[offset + i] = static_cast<uint8_t>(argument >> (8 * i));
}

bool answer_tail_is_zero(const uint8_t data[8]) {
  return data[4] == 0 && data[5] == 0 && data[6] == 0 && data[7] == 0;
}

void report_short_answer(const char* log_text, uint32_t id, const uint8_t data[8]) {
  log_write(log_text, LOG_ALWAYS);
  console_print("ERROR --- Invalid answer\n");
  console_print("%08X  %02X  %02X  %02X  %02X\n", id, data[0], data[1], data[2], data[3]);
}

void report_long_answer(const char* log_text, const char* console_text, uint32_t id,
                        const uint8_t data[8]) {
  log_write(log_text, LOG_ALWAYS);
  console_print("%s", console_text);
  console_print("%08X  %02X %02X %02X %02X %02X %02X %02X %02X\n", id, data[0], data[1], data[2],
                data[3], data[4], data[5], data[6], data[7]);
}
