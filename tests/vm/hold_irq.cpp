// hold_irq: holds off the interrupts of one of the VM's emulated CAN controllers for a while, as
// when a busy machine does not serve a receiving controller in time: frames that arrive meanwhile
// fill its 64-byte receive FIFO (4 extended frames) and the rest overrun it, which the kernel's
// SJA1000 driver counts in rx_over_errors and tells with a CAN_ERR_CRTL_RX_OVERFLOW error frame
// once the interrupt is served again.
//
// Usage: hold_irq IFACE MS [WATCH STAT COUNT [AFTER_MS]]
//   IFACE  a controller on a Kvaser PCI board (qemu's kvaser_pci), e.g. can0
//   MS     how long its interrupts stay off, in milliseconds
//   WATCH STAT COUNT  first wait (up to 60 s) until /sys/class/net/WATCH/statistics/STAT reaches
//          COUNT, e.g. "can0 rx_packets 1234": the hold then starts at a known point of a transfer
//   AFTER_MS  and then AFTER_MS milliseconds more
//
// The board's interrupt line is gated by its PCI bridge (AMCC S5920): bit 13 of the INTCSR register
// at 0x38 of the board's first I/O range enables it; qemu emulates that gate, and raises a held
// interrupt as soon as it is enabled again. The range is written through sysfs (resource0), so
// nothing of the driver changes. Runs as root inside the VM only. SIGTERM ends it at once while it
// waits for COUNT, and only after the interrupts are on again while it holds them. Exit status 0,
// or 1 with a line on stderr.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {
constexpr off_t kIntcsr = 0x38;
constexpr uint32_t kAddOnInterruptEnable = 0x2000;

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int fail(const char* what, const std::string& where) {
  std::fprintf(stderr, "hold_irq: %s %s: %s\n", what, where.c_str(), std::strerror(errno));
  return 1;
}

bool read_count(const std::string& path, long long* value) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  *value = std::strtoll(text, nullptr, 10);
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: hold_irq IFACE MS [WATCH STAT COUNT [AFTER_MS]]\n");
    return 1;
  }
  const std::string iface = argv[1];
  const long hold_ms = std::strtol(argv[2], nullptr, 10);
  const std::string registers = "/sys/class/net/" + iface + "/device/resource0";
  const int fd = open(registers.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return fail("cannot open", registers);

  // Served before the transfer's processes, so that the hold starts when the count is reached and
  // lasts MS, whatever else the VM's one vCPU has to do.
  sched_param priority{};
  priority.sched_priority = 50;
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) return fail("cannot raise", "priority");

  const Clock::time_point started = Clock::now();
  long long count = 0;
  if (argc >= 6) {
    const std::string watched = std::string("/sys/class/net/") + argv[3] + "/statistics/" + argv[4];
    const long long target = std::strtoll(argv[5], nullptr, 10);
    for (;;) {
      if (!read_count(watched, &count)) return fail("cannot read", watched);
      if (count >= target) break;
      if (ms_since(started) > 60000) {
        std::fprintf(stderr, "hold_irq: %s stayed at %lld in 60 s, below %lld\n", watched.c_str(),
                     count, target);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }
  if (argc == 7) std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[6])));

  uint32_t intcsr = 0;
  if (pread(fd, &intcsr, sizeof intcsr, kIntcsr) != static_cast<ssize_t>(sizeof intcsr)) {
    return fail("cannot read INTCSR of", registers);
  }
  if (!(intcsr & kAddOnInterruptEnable)) {
    std::fprintf(stderr, "hold_irq: %s: the board's interrupt is not enabled (INTCSR 0x%08X)\n",
                 iface.c_str(), intcsr);
    return 1;
  }
  // SIGTERM and SIGINT wait until the interrupts are on again: the board is never left held.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const uint32_t held = intcsr & ~kAddOnInterruptEnable;
  const Clock::time_point hold_start = Clock::now();
  if (pwrite(fd, &held, sizeof held, kIntcsr) != static_cast<ssize_t>(sizeof held)) {
    return fail("cannot write INTCSR of", registers);
  }
  // For a script that sends frames of its own while the interrupts are off.
  std::printf("hold_irq: holding %s's interrupts off\n", iface.c_str());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
  const uint32_t enabled = intcsr;
  if (pwrite(fd, &enabled, sizeof enabled, kIntcsr) != static_cast<ssize_t>(sizeof enabled)) {
    return fail("cannot write INTCSR of", registers);
  }
  const double held_ms = ms_since(hold_start);
  close(fd);
  if (argc >= 6) {
    std::printf("hold_irq: %s's interrupts were off for %.1f ms, from %s %s %lld on%s%s%s\n",
                iface.c_str(), held_ms, argv[3], argv[4], count, argc == 7 ? " and " : "",
                argc == 7 ? argv[6] : "", argc == 7 ? " ms" : "");
  } else {
    std::printf("hold_irq: %s's interrupts were off for %.1f ms\n", iface.c_str(), held_ms);
  }
  std::fflush(stdout);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  return 0;
}
