// SocketCAN back-end.
#include "can/socketcan/socketcan.h"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"

namespace {
// Frames read ahead of the channel: everything the socket holds is read at once, so that an error
// frame telling of a lost frame is seen before the frames that follow the gap are handed on.
constexpr int kReadAhead = 16;

struct SocketCanState {
  char name[IFNAMSIZ] = "";
  int socket = -1;
  int last_receive_errno = 0;  // one log line per kind of receive failure, not one per try
  can_frame ahead[kReadAhead] = {};
  int ahead_count = 0;
  int ahead_next = 0;
  uint32_t socket_drops = 0;       // SO_RXQ_OVFL: frames the socket's queue had no room for
  long long rx_over_errors = -1;   // the driver's count of receive buffer overruns (-1: unknown)
  char lost[224] = "";             // how the interface was lost, for the channel (CanNews::lost)
  // What the frames read ahead told (losses, the bus state): handed on with the read that read
  // them.
  CanNews ahead_news{};
};
SocketCanState g_socketcan;

int32_t open_failed(const char* call, CanOpenFailure* failure) {
  const int error = errno;
  const char* text = std::strerror(error);
  log_writef(LOG_ALWAYS, "SocketCAN: cannot open '%s': %s: %s\n", g_socketcan.name, call, text);
  can_open_failure_call(failure, call, error, text);
  if (g_socketcan.socket >= 0) close(g_socketcan.socket);
  g_socketcan.socket = -1;
  return -1;
}

// The state an error frame tells: bus-off, or the controller's worst passive/warning flag.
CanBusState bus_state_of(const can_frame& frame) {
  if (frame.can_id & CAN_ERR_BUSOFF) return CAN_BUS_OFF;
  if (!(frame.can_id & CAN_ERR_CRTL)) return CAN_BUS_UNKNOWN;
  const uint8_t flags = frame.data[1];
  if (flags & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) return CAN_BUS_PASSIVE;
  if (flags & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) return CAN_BUS_WARNING;
  if (flags & CAN_ERR_CRTL_ACTIVE) return CAN_BUS_ACTIVE;
  return CAN_BUS_UNKNOWN;
}

void log_error_frame(const can_frame& frame) {
  const char* name = g_socketcan.name;
  if (frame.can_id & CAN_ERR_BUSOFF) log_writef(LOG_ALWAYS, "SocketCAN: '%s' is bus-off\n", name);
  if (frame.can_id & CAN_ERR_CRTL) {
    log_writef(LOG_ALWAYS, "SocketCAN: '%s' controller problem 0x%02X\n", name, frame.data[1]);
    if (frame.data[1] & CAN_ERR_CRTL_RX_OVERFLOW) {
      can_news_frames_lost(&g_socketcan.ahead_news, CAN_LOSS_BUFFER);
    }
  }
  can_news_bus_state(&g_socketcan.ahead_news, bus_state_of(frame));
}

// The driver's count of receive buffer overruns, -1 where the interface has none.
long long read_rx_over_errors() {
  char path[96];
  std::snprintf(path, sizeof path, "/sys/class/net/%s/statistics/rx_over_errors",
                g_socketcan.name);
  FILE* file = std::fopen(path, "r");
  if (!file) return -1;
  long long count = -1;
  if (std::fscanf(file, "%lld", &count) != 1) count = -1;
  std::fclose(file);
  return count;
}

// Reads one frame from the socket with the socket's drop count. 1 read, 0 none, -1 failed.
int read_one(can_frame* frame) {
  iovec data{frame, sizeof *frame};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(g_socketcan.socket, &message, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
    uint32_t drops = 0;
    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
    if (drops != g_socketcan.socket_drops) {
      can_news_frames_lost(&g_socketcan.ahead_news, CAN_LOSS_QUEUE);
    }
    g_socketcan.socket_drops = drops;
  }
  return n == static_cast<ssize_t>(CAN_MTU) ? 1 : 0;
}

// Reads what the socket holds into the read-ahead (when it is empty); error frames are looked at
// as they are read. 0, or -1 when the read failed (errno set).
int fill_ahead() {
  if (g_socketcan.ahead_next < g_socketcan.ahead_count) return 0;
  g_socketcan.ahead_count = 0;
  g_socketcan.ahead_next = 0;
  while (g_socketcan.ahead_count < kReadAhead) {
    can_frame& frame = g_socketcan.ahead[g_socketcan.ahead_count];
    const int read = read_one(&frame);
    if (read < 0) return g_socketcan.ahead_count > 0 ? 0 : -1;
    if (read == 0) break;
    if (frame.can_id & CAN_ERR_FLAG) log_error_frame(frame);
    ++g_socketcan.ahead_count;
  }
  return 0;
}

// An interface that is down (or gone) at the start refuses the run: a send would only fail later.
// 0 when it is up; -1 after naming its state and the fix.
int32_t check_up(CanOpenFailure* failure) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;  // the open itself will say what is wrong
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", g_socketcan.name);
  const bool known = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  close(fd);
  if (!known || (request.ifr_flags & IFF_UP) != 0) return 0;
  char text[192];
  std::snprintf(text, sizeof text,
                "the interface is down; bring it up: sudo ip link set %s type can bitrate 250000 "
                "&& sudo ip link set %s up",
                g_socketcan.name, g_socketcan.name);
  log_writef(LOG_ALWAYS, "SocketCAN: cannot open '%s': %s\n", g_socketcan.name, text);
  can_open_failure_call(failure, "state", 0, text);
  return -1;
}

// A send or receive error that means the interface went down or disappeared: true after telling
// `news` how (the channel stops).
bool check_lost(const char* call, int error, CanNews* news) {
  char* text = g_socketcan.lost;
  const size_t size = sizeof g_socketcan.lost;
  if (error == ENETDOWN) {
    std::snprintf(text, size,
                  "%s went down (%s: %s): if the adapter is still plugged in, bring it up: sudo ip "
                  "link set %s up",
                  g_socketcan.name, call, std::strerror(error), g_socketcan.name);
  } else if (error == ENODEV || error == ENXIO) {
    std::snprintf(text, size,
                  "%s is gone (%s: %s): the adapter was unplugged or its driver removed",
                  g_socketcan.name, call, std::strerror(error));
  } else {
    return false;
  }
  news->lost = text;
  return true;
}

int32_t socketcan_open(const CanTarget* target, CanOpenFailure* failure) {
  if (g_socketcan.socket >= 0) close(g_socketcan.socket);
  g_socketcan.socket = -1;
  std::snprintf(g_socketcan.name, sizeof g_socketcan.name, "%s", target->name);
  if (g_socketcan.name[0] == '\0') {
    errno = ENODEV;
    return open_failed("interface name", failure);
  }
  // A mistyped name is the likeliest fault: look the interface up first.
  const unsigned int index = if_nametoindex(g_socketcan.name);
  if (index == 0) return open_failed("if_nametoindex", failure);
  if (check_up(failure) != 0) return -1;
  // Two runs on one interface would interleave two downloads on one unit.
  if (can_hold(g_socketcan.name, failure) != 0) return -1;
  g_socketcan.socket = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (g_socketcan.socket < 0) return open_failed("socket(PF_CAN, SOCK_RAW, CAN_RAW)", failure);
  const int fd = g_socketcan.socket;

  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  can_filter filters[CAN_MAX_ACCEPTED_IDS];
  for (int i = 0; i < count; ++i) {
    // Extended data frames with exactly this identifier: standard and remote frames do not match.
    filters[i].can_id = (ids[i] & CAN_EFF_MASK) | CAN_EFF_FLAG;
    filters[i].can_mask = CAN_EFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG;
  }
  const socklen_t filters_size =
      static_cast<socklen_t>(sizeof filters[0] * static_cast<size_t>(count));
  if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters, filters_size) != 0) {
    return open_failed("setsockopt(CAN_RAW_FILTER)", failure);
  }
  const can_err_mask_t errors = CAN_ERR_BUSOFF | CAN_ERR_CRTL;
  if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0) {
    return open_failed("setsockopt(CAN_RAW_ERR_FILTER)", failure);
  }
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return open_failed("bind", failure);
  }
  // Frames the socket's queue had no room for are counted with every frame read.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  g_socketcan.last_receive_errno = 0;
  g_socketcan.ahead_count = g_socketcan.ahead_next = 0;
  g_socketcan.socket_drops = 0;
  g_socketcan.ahead_news = CanNews{};
  g_socketcan.rx_over_errors = read_rx_over_errors();
  return 0;
}

int32_t socketcan_send_frame(const CanFrame& sent, CanNews* news) {
  can_frame frame{};
  frame.can_id = (sent.id & CAN_EFF_MASK) | CAN_EFF_FLAG;
  frame.can_dlc = 8;
  std::memcpy(frame.data, sent.data, 8);
  // Non-blocking: a controller that stopped sending (bus-off) must not hang the tool. A full
  // queue (ENOBUFS from the qdisc, EAGAIN from the socket buffer) drains in a few frame times: the
  // channel tries again.
  if (send(g_socketcan.socket, &frame, CAN_MTU, MSG_DONTWAIT) == static_cast<ssize_t>(CAN_MTU)) {
    return 0;
  }
  const int error = errno;
  if (error == ENOBUFS || error == EAGAIN || error == EWOULDBLOCK) return CAN_SEND_QUEUE_FULL;
  log_writef(LOG_ALWAYS, "SocketCAN: send on '%s' failed: %s\n", g_socketcan.name,
             std::strerror(error));
  return check_lost("send", error, news) ? CAN_ADAPTER_LOST : CAN_SEND_REFUSED;
}

int32_t socketcan_try_receive(CanRead* read, CanNews* news) {
  const int filled = fill_ahead();
  *news = g_socketcan.ahead_news;
  g_socketcan.ahead_news = CanNews{};
  if (filled != 0) {
    // One line per kind of failure, not one per try.
    if (errno != g_socketcan.last_receive_errno) {
      log_writef(LOG_ALWAYS, "SocketCAN: receive on '%s' failed: %s\n", g_socketcan.name,
                 std::strerror(errno));
    }
    g_socketcan.last_receive_errno = errno;
    return check_lost("receive", errno, news) ? CAN_ADAPTER_LOST : CAN_NO_FRAME;
  }
  if (g_socketcan.ahead_next == g_socketcan.ahead_count) return CAN_NO_FRAME;
  const can_frame& frame = g_socketcan.ahead[g_socketcan.ahead_next++];
  std::memset(read->data, 0, sizeof read->data);
  read->length = frame.can_dlc < 8 ? frame.can_dlc : 8;
  read->extended = (frame.can_id & CAN_EFF_FLAG) != 0;
  std::memcpy(read->data, frame.data, read->length);
  if (frame.can_id & CAN_ERR_FLAG) {
    read->id = frame.can_id & CAN_ERR_MASK;
    read->kind = CAN_KIND_ERROR;
    return 0;
  }
  read->id = frame.can_id & (frame.can_id & CAN_EFF_FLAG ? CAN_EFF_MASK : CAN_SFF_MASK);
  if (frame.can_id & CAN_RTR_FLAG) {
    read->kind = CAN_KIND_REMOTE;
  } else if (!(frame.can_id & CAN_EFF_FLAG)) {
    read->kind = CAN_KIND_STANDARD;
  } else {
    read->kind = CAN_KIND_DATA;
  }
  return 0;
}

int32_t socketcan_wait(uint64_t until_us, CanNews*) {
  if (g_socketcan.ahead_next < g_socketcan.ahead_count) return 1;
  return wait_signal(g_socketcan.socket, until_us);
}

// A lost frame that the driver counted but told no error frame of.
int32_t socketcan_receive_timed_out(CanNews* news) {
  const long long count = read_rx_over_errors();
  if (count > g_socketcan.rx_over_errors && g_socketcan.rx_over_errors >= 0) {
    can_news_frames_lost(news, CAN_LOSS_BUFFER);
  }
  g_socketcan.rx_over_errors = count;
  return 0;
}

void socketcan_close() {
  if (g_socketcan.socket >= 0) close(g_socketcan.socket);
  g_socketcan.socket = -1;
}

}  // namespace

const CanBackend* socketcan_backend() {
  static const CanBackend backend{"SocketCAN", socketcan_open, socketcan_send_frame,
                                  socketcan_try_receive, socketcan_receive_timed_out,
                                  socketcan_list, socketcan_wait, socketcan_close, nullptr};
  return &backend;
}
