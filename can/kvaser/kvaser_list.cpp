// The `-l` records of the Kvaser back-end: the library that loaded (or every name tried), its
// version, and each CANlib channel with its device name, EAN, serial number and whether it is
// virtual. Only canInitializeLibrary, canGetNumberOfChannels, canGetChannelData and the version
// calls are used: no channel is opened. canGetVersionEx and canGetVersion are looked up here and
// may be missing; a channel item the library cannot give is named as such.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "can/kvaser/kvaser.h"
#include "can/kvaser/kvaser_library.h"

namespace {
// The most channels listed, as many as the channel walk looks at.
constexpr int kMaxChannels = 300;

// "version 5.39" from canGetVersionEx, else canGetVersion (the library file's version: no other
// is to be had), else what is missing.
void library_version(char* text, size_t size) {
  char product[16];
  kvaser_product_version(product, sizeof product);
  canGetVersion_t version = nullptr;
  kvaser_optional(VendorEntryPoint{"canGetVersion", &version});
  if (product[0] != '\0') {
    std::snprintf(text, size, "version %s", product);
  } else if (version) {
    const unsigned int value = version();
    std::snprintf(text, size, "version %u.%u", (value >> 8) & 0xFF, value & 0xFF);
  } else {
    std::snprintf(text, size,
                  "version not given (the library has neither canGetVersionEx nor canGetVersion)");
  }
}

CanListRecord note(const char* text) { return can_list_note(CanVendor::KVASER, text); }

// The EAN from its BCD digits, least significant first: 0x0007330130006850 -> 73-30130-00685-0.
void ean_text(uint64_t bcd, char* out, size_t size) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%013" PRIX64, bcd);
  const size_t n = std::strlen(digits);
  // The last 13 digits in the vendor's grouping 2-5-5-1; longer numbers keep their head.
  const char* d = digits + (n > 13 ? n - 13 : 0);
  std::snprintf(out, size, "%.*s%.2s-%.5s-%.5s-%.1s", static_cast<int>(n > 13 ? n - 13 : 0),
                digits, d, d + 2, d + 7, d + 12);
}

// One channel's line; a value the library does not give reads "not given".
void list_channel(const CanlibApi& api, int index, CanListing* listing) {
  char name[64] = "";
  if (api.get_channel_data(index, canCHANNELDATA_DEVDESCR_ASCII, name, sizeof name) < 0) {
    std::snprintf(name, sizeof name, "device name not given");
  }
  name[sizeof name - 1] = '\0';
  char ean[40] = "EAN not given";
  uint64_t bcd = 0;
  if (api.get_channel_data(index, canCHANNELDATA_CARD_UPC_NO, &bcd, sizeof bcd) >= 0 && bcd == 0) {
    std::snprintf(ean, sizeof ean, "no EAN");
  } else if (api.get_channel_data(index, canCHANNELDATA_CARD_UPC_NO, &bcd, sizeof bcd) >= 0) {
    char digits[32];
    ean_text(bcd, digits, sizeof digits);
    std::snprintf(ean, sizeof ean, "EAN %s", digits);
  }
  char serial[40] = "serial number not given";
  uint64_t serial_number = 0;
  if (api.get_channel_data(index, canCHANNELDATA_CARD_SERIAL_NO, &serial_number,
                           sizeof serial_number) >= 0) {
    std::snprintf(serial, sizeof serial, "serial number %" PRIu64, serial_number);
  }
  // The capability flag says it; libraries without it still give the card type.
  const char* kind = "real";
  uint32_t caps = 0;
  uint32_t card_type = 0;
  if (api.get_channel_data(index, canCHANNELDATA_CHANNEL_CAP, &caps, sizeof caps) >= 0) {
    if (caps & canCHANNEL_CAP_VIRTUAL) kind = "virtual";
  } else if (api.get_channel_data(index, canCHANNELDATA_CARD_TYPE, &card_type,
                                  sizeof card_type) >= 0) {
    if (card_type == static_cast<uint32_t>(canHWTYPE_VIRTUAL)) kind = "virtual";
  } else {
    kind = "real or virtual not given";
  }
  char spelling[24];
  char description[200];
  std::snprintf(spelling, sizeof spelling, "kvaser:%d", index);
  std::snprintf(description, sizeof description, "%s, %s, %s, %s", name, ean, serial, kind);
  CanListRecord record = can_list_interface(CanVendor::KVASER, spelling, description);
  char identity[48];
  kvaser_identity(index, identity, sizeof identity);
  // Kvaser's virtual card has a serial number of its own (1), but a virtual channel opens only
  // by number: no `kvaser@` spelling is offered for it. Its lock is named as the open names it.
  record.identity = std::strcmp(kind, "virtual") == 0 ? "" : identity;
  record.holder = can_holder(identity[0] ? identity : spelling);
  listing->push_back(record);
}
}  // namespace

void kvaser_product_version(char* text, size_t size) {
  text[0] = '\0';
  canGetVersionEx_t version_ex = nullptr;
  if (!kvaser_optional(VendorEntryPoint{"canGetVersionEx", &version_ex})) return;
  // PRODVER32 is the product's on Windows only (on Linux it is libcanlib's 8.39 for CANlib
  // 5.39); its low byte is the product's letter on both ('a' in 5.41a), or 0.
  const unsigned int product = version_ex(canVERSION_CANLIB32_PRODVER);
  const unsigned int letter = version_ex(canVERSION_CANLIB32_PRODVER32) & 0xFF;
  const char suffix[2] = {letter >= 'a' && letter <= 'z' ? static_cast<char>(letter) : '\0', '\0'};
  std::snprintf(text, size, "%u.%u%s", (product >> 8) & 0xFF, product & 0xFF, suffix);
}

void kvaser_list(CanListing* listing) {
  if (kvaser_load_library() != 0) {
    listing->push_back(kvaser_library_record(""));
    return;
  }
  const CanlibApi& api = kvaser_api();
  api.initialize_library();
  char text[320];
  library_version(text, sizeof text);
  listing->push_back(kvaser_library_record(text));
  int count = 0;
  const canStatus status = api.get_number_of_channels(&count);
  if (status < 0) {
    char error[50];
    kvaser_error_text(status, error);
    std::snprintf(text, sizeof text, "CANlib cannot count its channels: status %d (%s)", status,
                  error);
    listing->push_back(note(text));
    return;
  }
  if (count <= 0) listing->push_back(note("CANlib: no channel"));
  for (int index = 0; index < count && index < kMaxChannels; ++index) {
    list_channel(api, index, listing);
  }
}
