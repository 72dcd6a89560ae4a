// ralvex-service-tool: flashes and services Ralvex control units and W2 sensor nodes over CAN.
#include <cstdio>

#include "app/app.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Progress lines must reach a pipe or a tee as they happen, not at exit.
#if defined(_WIN32)
  // The Windows C runtime has no line buffering (_IOLBF buffers fully) and refuses size 0.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
  platform_init();
  const int32_t status = app_main(argc, argv);
  platform_exit();
  return status;
}
