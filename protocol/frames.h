// Pieces shared by the three command sets of the bootloader protocol: the command frame layout and
// the two console dumps of a rejected answer.
#pragma once

#include <cstdint>

// Offset of the 32-bit argument in a unit command frame (bytes 4-7) and a sensor-node one (2-5).
constexpr int UNIT_ARGUMENT_OFFSET = 4;
constexpr int NODE_ARGUMENT_OFFSET = 2;

// Clears `frame`, then writes the command code in byte 0 and `argument` little-endian at `offset`.
void command_frame(uint8_t frame[8], uint8_t code, uint32_t argument, int offset);

// True when bytes 4 to 7 of an answer are all 0.
bool answer_tail_is_zero(const uint8_t data[8]);

// Logs `log_text` under LOG_ALWAYS, then prints "ERROR --- Invalid answer\n" and the identifier with
// bytes 0-3: "%08X  %02X  %02X  %02X  %02X\n".
void report_short_answer(const char* log_text, uint32_t id, const uint8_t data[8]);

// Logs `log_text` under LOG_ALWAYS, then prints `console_text` and the identifier with all 8 bytes:
// "%08X  %02X %02X %02X %02X %02X %02X %02X %02X\n".
void report_long_answer(const char* log_text, const char* console_text, uint32_t id,
                        const uint8_t data[8]);
