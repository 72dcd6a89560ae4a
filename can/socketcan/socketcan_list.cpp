// The `-l` records of the SocketCAN back-end: every network interface of hardware type ARPHRD_CAN,
// whether it is up (SIOCGIFFLAGS), its transmit queue length (SIOCGIFTXQLEN), and from the
// kernel's rtnetlink link message its kind, bit rate and controller state. A virtual interface
// (vcan, vxcan) has neither bit rate nor state. Nothing is sent and no CAN socket is opened.
// rtnetlink is asked directly rather than through libsocketcan, which writes to stderr about every
// interface that has no CAN data (every vcan).
// <net/if.h> before the kernel's headers, which must not bring in <linux/if.h> as well.
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "can/socketcan/socketcan.h"

namespace {
struct CanLink {
  char kind[16];     // IFLA_INFO_KIND: "can", "vcan", "vxcan", ... ("" when not given)
  bool has_data;     // IFLA_INFO_DATA present: a CAN controller with bit timing and state
  uint32_t bitrate;  // 0: not set
  bool has_state;
  uint32_t state;    // enum can_state
};

CanListRecord note(const char* text) { return can_list_note(CanVendor::SOCKETCAN, text); }

const char* state_name(uint32_t state) {
  switch (state) {
    case CAN_STATE_ERROR_ACTIVE:
      return "error-active";
    case CAN_STATE_ERROR_WARNING:
      return "error-warning";
    case CAN_STATE_ERROR_PASSIVE:
      return "error-passive";
    case CAN_STATE_BUS_OFF:
      return "bus-off";
    case CAN_STATE_STOPPED:
      return "stopped";
    case CAN_STATE_SLEEPING:
      return "sleeping";
    default:
      return "state unknown";
  }
}

// Walks the attributes of one nested block, calling `take(type, data, length)` for each.
template <typename Take>
void for_each_attribute(const void* start, size_t length, Take take) {
  const auto* attribute = static_cast<const rtattr*>(start);
  auto left = static_cast<unsigned int>(length);
  // The kernel's RTA_NEXT aligns with a signed mask.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
  for (; RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
    take(attribute->rta_type & NLA_TYPE_MASK, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
  }
#pragma GCC diagnostic pop
}

void parse_can_data(const void* data, size_t length, CanLink* link) {
  for_each_attribute(data, length, [link](unsigned type, const void* value, size_t size) {
    if (type == IFLA_CAN_BITTIMING && size >= sizeof(can_bittiming)) {
      can_bittiming timing{};
      std::memcpy(&timing, value, sizeof timing);
      link->bitrate = timing.bitrate;
    } else if (type == IFLA_CAN_STATE && size >= sizeof(uint32_t)) {
      std::memcpy(&link->state, value, sizeof link->state);
      link->has_state = true;
    }
  });
}

// Asks rtnetlink for interface `index`. 0 with `link` filled, or -1 with errno set.
int32_t query_link(int index, CanLink* link) {
  std::memset(link, 0, sizeof *link);
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  request.info.ifi_index = index;
  if (send(fd, &request, request.header.nlmsg_len, 0) < 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  alignas(nlmsghdr) char buffer[16384];
  const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
  const int saved = errno;
  close(fd);
  if (received < 0) {
    errno = saved;
    return -1;
  }
  auto left = static_cast<unsigned int>(received);
  for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, left);
       header = NLMSG_NEXT(header, left)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
      errno = error->error < 0 ? -error->error : EPROTO;
      return -1;
    }
    if (header->nlmsg_type != RTM_NEWLINK) continue;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    for_each_attribute(IFLA_RTA(info), IFLA_PAYLOAD(header),
                       [link](unsigned type, const void* value, size_t size) {
      if (type != IFLA_LINKINFO) return;
      for_each_attribute(value, size, [link](unsigned inner, const void* data, size_t length) {
        if (inner == IFLA_INFO_KIND) {
          std::snprintf(link->kind, sizeof link->kind, "%.*s", static_cast<int>(length),
                        static_cast<const char*>(data));
        } else if (inner == IFLA_INFO_DATA) {
          link->has_data = true;
          parse_can_data(data, length, link);
        }
      });
    });
    return 0;
  }
  errno = ENODATA;
  return -1;
}

// One interface's record.
void list_interface(int fd, const char* name, int index, CanListing* listing) {
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
  if (ioctl(fd, SIOCGIFHWADDR, &request) != 0 || request.ifr_hwaddr.sa_family != ARPHRD_CAN) {
    return;
  }
  char up_text[48] = "up";
  bool up = false;
  if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    up = (request.ifr_flags & IFF_UP) != 0;
    std::snprintf(up_text, sizeof up_text, "%s", up ? "up" : "down");
  } else {
    std::snprintf(up_text, sizeof up_text, "up or down not given (%s)", std::strerror(errno));
  }
  int queue = -1;
  char queue_text[64];
  if (ioctl(fd, SIOCGIFTXQLEN, &request) == 0) {
    queue = request.ifr_qlen;
    std::snprintf(queue_text, sizeof queue_text, "txqueuelen %d", queue);
  } else {
    std::snprintf(queue_text, sizeof queue_text, "txqueuelen not given (%s)",
                  std::strerror(errno));
  }
  CanLink link{};
  char controller[96];
  bool is_virtual = false;
  if (query_link(index, &link) != 0) {
    std::snprintf(controller, sizeof controller, "bit rate and state not given (rtnetlink: %s)",
                  std::strerror(errno));
  } else if (!link.has_data) {
    // vcan and vxcan carry no CAN controller data: no bit timing, no state.
    is_virtual = true;
    std::snprintf(controller, sizeof controller, "virtual (%s)", link.kind[0] ? link.kind : "no "
                  "controller");
  } else if (link.bitrate == 0) {
    std::snprintf(controller, sizeof controller, "no bit rate set, %s",
                  link.has_state ? state_name(link.state) : "state not given");
  } else {
    std::snprintf(controller, sizeof controller, "%u bit/s, %s", link.bitrate,
                  link.has_state ? state_name(link.state) : "state not given");
  }
  char description[256];
  std::snprintf(description, sizeof description, "SocketCAN, %s, %s, %s", up_text, controller,
                queue_text);
  CanListRecord record = can_list_interface(CanVendor::SOCKETCAN, name, description);
  record.down = !up;
  record.is_virtual = is_virtual;
  record.bitrate = link.has_data ? link.bitrate : 0;
  record.queue = queue;
  record.bus_off = link.has_state && link.state == CAN_STATE_BUS_OFF;
  record.holder = can_holder(name);
  listing->push_back(record);
}
}  // namespace

void socketcan_list(CanListing* listing) {
  struct if_nameindex* names = if_nameindex();
  if (!names) {
    char text[128];
    std::snprintf(text, sizeof text, "SocketCAN: the network interfaces cannot be listed (%s)",
                  std::strerror(errno));
    listing->push_back(note(text));
    return;
  }
  // Any socket serves the interface ioctls; an AF_CAN one would fail where the kernel has no CAN.
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    char text[128];
    std::snprintf(text, sizeof text, "SocketCAN: socket(AF_UNIX): %s", std::strerror(errno));
    listing->push_back(note(text));
    if_freenameindex(names);
    return;
  }
  for (const struct if_nameindex* entry = names; entry->if_index != 0; ++entry) {
    list_interface(fd, entry->if_name, static_cast<int>(entry->if_index), listing);
  }
  close(fd);
  if_freenameindex(names);
}
