// The findings of `-l` and their printing.
#include "can/listing.h"

#include "log/log.h"

namespace {
// The bus's bit rate; an interface set to another cannot talk to the unit.
constexpr uint32_t kBusBitRate = 250000;
// A shorter transmit queue fills up with every page of a transfer.
constexpr int32_t kShortQueue = 100;

// What the listing says of each vendor's library.
struct LibraryTexts {
  const char* family;        // "PCAN-Basic"
  const char* install_fix;   // when no file of the library was found
  const char* upgrade_fix;   // when a file loaded but lacks an entry point
};

LibraryTexts library_texts(CanVendor vendor) {
  if (vendor == CanVendor::KVASER) {
    return {"CANlib",
            "for a Kvaser adapter, install Kvaser's CANlib (Windows: the Kvaser drivers; Linux: "
            "linuxcan, libcanlib.so.1 on the loader's path)",
            "install a current CANlib from Kvaser"};
  }
  return {"PCAN-Basic",
          "for a PEAK adapter, install PEAK-System's driver package with PCAN-Basic (on Linux, "
          "libpcanbasic.so on the loader's path)",
          "install a current PCAN-Basic from PEAK-System"};
}

void library_findings(const CanListRecord& record, std::vector<CanFinding>* findings) {
  if (record.usable) return;
  const LibraryTexts texts = library_texts(record.vendor);
  if (record.library.empty()) {
    findings->push_back({std::string("no ") + texts.family + " library found (searched: " +
                             record.searched + ")",
                         texts.install_fix});
  } else {
    findings->push_back(
        {record.library + " is not a usable " + texts.family, texts.upgrade_fix});
  }
}

void interface_findings(const CanListRecord& record, std::vector<CanFinding>* findings) {
  const std::string& name = record.spelling;
  if (record.occupied) {
    findings->push_back({name + " is occupied by another program",
                         "close the program that holds " + name +
                             " (PCAN-View, another tool), or name a free channel with -i pcan:N"});
  }
  if (record.down) {
    // A virtual interface has no bit rate to set.
    findings->push_back(
        {name + " is down",
         record.is_virtual ? "sudo ip link set " + name + " up"
                           : "sudo ip link set " + name + " type can bitrate " +
                                 std::to_string(kBusBitRate) + " && sudo ip link set " + name +
                                 " up"});
  }
  if (record.bitrate != 0 && record.bitrate != kBusBitRate) {
    findings->push_back({name + " runs at " + std::to_string(record.bitrate) +
                             " bit/s; the bus runs at " + std::to_string(kBusBitRate),
                         "sudo ip link set " + name + " down && sudo ip link set " + name +
                             " type can bitrate " + std::to_string(kBusBitRate) +
                             " && sudo ip link set " + name + " up"});
  }
  // A virtual interface has no queue that a transfer could fill.
  if (!record.is_virtual && record.queue >= 0 && record.queue < kShortQueue) {
    findings->push_back({name + " has a transmit queue of " + std::to_string(record.queue) +
                             " frames",
                         "sudo ip link set " + name + " txqueuelen 1000"});
  }
  if (record.bus_off) {
    findings->push_back({name + " is bus-off",
                         "check the wiring, the termination and every node's bit rate, then "
                         "restart the controller: sudo ip link set " +
                             name + " down && sudo ip link set " + name + " up"});
  }
}
}  // namespace

std::vector<CanFinding> can_listing_findings(const CanListing& listing) {
  std::vector<CanFinding> findings;
  for (const CanListRecord& record : listing) {
    if (record.kind == CanListKind::LIBRARY) library_findings(record, &findings);
    if (record.kind == CanListKind::INTERFACE) interface_findings(record, &findings);
  }
  return findings;
}

void can_listing_print(const CanListing& listing) {
  console_print("CAN interfaces:\n");
  int interfaces = 0;
  for (const CanListRecord& record : listing) {
    switch (record.kind) {
      case CanListKind::INTERFACE: {
        ++interfaces;
        std::string line = record.text;
        if (record.holder != 0) line += ", in use by process " + std::to_string(record.holder);
        if (!record.identity.empty()) line += " (also -i " + record.identity + ")";
        console_print("  %-12s %s\n", record.spelling.c_str(), line.c_str());
        break;
      }
      case CanListKind::LIBRARY: {
        const char* family = library_texts(record.vendor).family;
        if (record.usable) {
          console_print("  %s: %s, %s\n", family, record.library.c_str(), record.text.c_str());
        } else {
          console_print("  %s not usable: %s\n", family, record.text.c_str());
        }
        break;
      }
      case CanListKind::NOTE:
        console_print("  %s\n", record.text.c_str());
        break;
    }
  }
  if (interfaces == 0) console_print("  (none)\n");
  const std::vector<CanFinding> findings = can_listing_findings(listing);
  if (findings.empty()) {
    console_print("No problems found.\n");
    return;
  }
  console_print("Problems found:\n");
  for (const CanFinding& finding : findings) {
    console_print("  %s\n      fix: %s\n", finding.problem.c_str(), finding.fix.c_str());
  }
}
