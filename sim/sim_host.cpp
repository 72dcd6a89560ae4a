// SocketCAN host of the emulated bus.
#include "sim/sim_host.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "can/sim/sim_bus.h"

namespace {
int g_socket = -1;
std::deque<can_frame> g_backlog;
SimHostStats g_stats{};

int32_t failed(const char* call, const char* interface) {
  std::fprintf(stderr, "ralvex-sim-unit: %s on '%s' failed: %s\n", call, interface,
               std::strerror(errno));
  if (g_socket >= 0) close(g_socket);
  g_socket = -1;
  return -1;
}

void trace_frame(char direction, uint32_t id, const uint8_t data[8]) {
  std::printf("%c  %08X  %02X %02X %02X %02X %02X %02X %02X %02X\n", direction, id, data[0],
              data[1], data[2], data[3], data[4], data[5], data[6], data[7]);
}

// Takes every frame the socket holds. 0, or -1 on a socket error.
int32_t read_frames(bool trace) {
  for (;;) {
    can_frame frame{};
    const ssize_t n = recv(g_socket, &frame, sizeof frame, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
      std::fprintf(stderr, "ralvex-sim-unit: recv failed: %s\n", std::strerror(errno));
      return -1;
    }
    if (n != static_cast<ssize_t>(CAN_MTU)) continue;
    uint8_t data[8] = {};
    std::memcpy(data, frame.data, frame.can_dlc < 8 ? frame.can_dlc : 8);
    const uint32_t id = frame.can_id & CAN_EFF_MASK;
    if (trace) trace_frame('<', id, data);
    sim_bus_tool_send(id, data);
    ++g_stats.frames_in;
  }
}

// Writes the backlog in order until the queue is full. 0, or -1 on another send error.
int32_t write_frames() {
  while (!g_backlog.empty()) {
    if (send(g_socket, &g_backlog.front(), CAN_MTU, MSG_DONTWAIT) ==
        static_cast<ssize_t>(CAN_MTU)) {
      g_backlog.pop_front();
      ++g_stats.frames_out;
      continue;
    }
    if (errno == ENOBUFS || errno == EAGAIN || errno == EWOULDBLOCK) {
      ++g_stats.queue_full;
      return 0;
    }
    if (errno == EINTR) continue;
    std::fprintf(stderr, "ralvex-sim-unit: send failed: %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}
}  // namespace

int32_t sim_host_open(const char* interface) {
  g_backlog.clear();
  g_stats = SimHostStats{};
  if (std::strlen(interface) >= IFNAMSIZ) {
    errno = ENAMETOOLONG;
    return failed("interface name", interface);
  }
  g_socket = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (g_socket < 0) return failed("socket(PF_CAN, SOCK_RAW, CAN_RAW)", interface);
  const unsigned int index = if_nametoindex(interface);
  if (index == 0) return failed("if_nametoindex", interface);
  // Every extended data frame; standard, remote and error frames mean nothing to the devices.
  const can_filter extended{CAN_EFF_FLAG, CAN_EFF_FLAG | CAN_RTR_FLAG};
  if (setsockopt(g_socket, SOL_CAN_RAW, CAN_RAW_FILTER, &extended, sizeof extended) != 0) {
    return failed("setsockopt(CAN_RAW_FILTER)", interface);
  }
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (bind(g_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return failed("bind", interface);
  }
  return 0;
}

int32_t sim_host_step(int timeout_ms, bool trace) {
  pollfd readable{g_socket, POLLIN, 0};
  if (poll(&readable, 1, timeout_ms) < 0 && errno != EINTR) {
    std::fprintf(stderr, "ralvex-sim-unit: poll failed: %s\n", std::strerror(errno));
    return -1;
  }
  if (read_frames(trace) != 0) return -1;
  can_frame frame{};
  frame.can_dlc = 8;
  uint32_t id = 0;
  while (sim_bus_tool_try_receive(frame.data, &id) == 0) {
    if (trace) trace_frame('>', id, frame.data);
    frame.can_id = (id & CAN_EFF_MASK) | CAN_EFF_FLAG;
    g_backlog.push_back(frame);
  }
  return write_frames();
}

size_t sim_host_backlog() { return g_backlog.size(); }

const SimHostStats& sim_host_stats() { return g_stats; }

void sim_host_close() {
  if (g_socket >= 0) close(g_socket);
  g_socket = -1;
}
