// Loads one HEX file into an image the way the sensor flashing does, as a process of its own so
// that bench/ihex_speed.sh can time it against objcopy whole process against whole process.
// Usage: ihex_load_bench FILE.hex LEVEL   (run it in a scratch directory: it writes the log there)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FILE.hex LEVEL\n", argv[0]);
    return 2;
  }
  if (log_open() != 0) return 1;
  log_set_level(static_cast<int32_t>(std::strtol(argv[2], nullptr, 0)));
  if (ihex_open(argv[1]) != 0) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> image(FLASH_IMAGE_SIZE);
  IhexLoad load{};
  if (ihex_load_image(IHEX_SENSOR, image.data(), &load) < 0) return 1;
  log_close();
  return 0;
}
