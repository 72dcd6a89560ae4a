// Kvaser's CANlib ABI as the library publishes it: the types, constants and entry-point signatures
// that this tool uses. `long` stays `long` (8 bytes on Linux x86-64, 4 on Windows): canRead writes
// a whole `long` through its identifier pointer. On Windows every entry point is __stdcall.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#define CANLIBAPI __stdcall
#else
#define CANLIBAPI
#endif

using canStatus = int;
using CanHandle = int;

constexpr canStatus canOK = 0;
constexpr canStatus canERR_PARAM = -1;
constexpr canStatus canERR_NOMSG = -2;
constexpr canStatus canERR_NOTFOUND = -3;
// canOpenChannel: the channel is open elsewhere and one of the two opens is exclusive.
constexpr canStatus canERR_NOCHANNELS = -5;
constexpr canStatus canERR_INVHANDLE = -10;
constexpr canStatus canERR_TXBUFOFL = -13;
constexpr canStatus canERR_HARDWARE = -15;
constexpr canStatus canERR_NOCARD = -26;
constexpr canStatus canERR_NOT_IMPLEMENTED = -32;
constexpr long canBITRATE_250K = -3;
// canOpenChannel: no other handle may open the channel while this one is open.
constexpr int canOPEN_EXCLUSIVE = 0x0008;
// canOpenChannel: a virtual channel may be opened (without it the library refuses one with
// canERR_NOTFOUND).
constexpr int canOPEN_ACCEPT_VIRTUAL = 0x0020;
// Items of canGetChannelData: the capabilities (32 bits, canCHANNEL_CAP_xxx), the card type (32
// bits), the card's serial number (64 bits), its EAN (8 bytes of BCD, least significant first:
// 73-30130-00122-0 is 0x0007330130001220) and the device's name (text).
constexpr int canCHANNELDATA_CHANNEL_CAP = 1;
constexpr int canCHANNELDATA_CARD_TYPE = 4;
constexpr int canCHANNELDATA_CHAN_NO_ON_CARD = 6;  // 32 bits: the channel's number on its device
constexpr int canCHANNELDATA_CARD_SERIAL_NO = 7;
constexpr int canCHANNELDATA_CARD_UPC_NO = 11;
constexpr int canCHANNELDATA_DEVDESCR_ASCII = 26;
constexpr unsigned int canCHANNEL_CAP_VIRTUAL = 0x00010000;
// Items of canGetVersionEx. PRODVER is the product's version (CANlib 5.39: 0x0527, what Kvaser's
// tools name) on Windows and Linux alike; PRODVER32 is major << 16 | minor << 8 | letter of
// canlib32.dll's product version on Windows, but of libcanlib's own version on Linux (8.39 for
// linuxcan 5.39); VERSION is the library file's major << 8 | minor.
constexpr unsigned int canVERSION_CANLIB32_VERSION = 0;
constexpr unsigned int canVERSION_CANLIB32_PRODVER = 1;
constexpr unsigned int canVERSION_CANLIB32_PRODVER32 = 2;
constexpr unsigned int canMSG_RTR = 0x0001;
constexpr unsigned int canMSG_STD = 0x0002;
constexpr unsigned int canMSG_EXT = 0x0004;
constexpr unsigned int canMSG_ERROR_FRAME = 0x0020;
// Set on the first message read after frames were lost: in the adapter, or in the driver's queue.
constexpr unsigned int canMSGERR_HW_OVERRUN = 0x0200;
constexpr unsigned int canMSGERR_SW_OVERRUN = 0x0400;
constexpr int canHWTYPE_VIRTUAL = 1;
// Flags of canReadStatus.
constexpr unsigned long canSTAT_ERROR_PASSIVE = 0x00000001;
constexpr unsigned long canSTAT_BUS_OFF = 0x00000002;
constexpr unsigned long canSTAT_ERROR_WARNING = 0x00000004;
constexpr unsigned long canSTAT_ERROR_ACTIVE = 0x00000008;

using canInitializeLibrary_t = void(CANLIBAPI*)();
using canClose_t = canStatus(CANLIBAPI*)(CanHandle hnd);
using canOpenChannel_t = CanHandle(CANLIBAPI*)(int channel, int flags);
using canGetErrorText_t = canStatus(CANLIBAPI*)(canStatus err, char* buf, unsigned int bufsiz);
using canSetBusParams_t = canStatus(CANLIBAPI*)(CanHandle hnd, long freq, unsigned int tseg1,
                                                unsigned int tseg2, unsigned int sjw,
                                                unsigned int no_samp, unsigned int syncmode);
using canGetNumberOfChannels_t = canStatus(CANLIBAPI*)(int* channel_count);
using canGetChannelData_t = canStatus(CANLIBAPI*)(int channel, int item, void* buffer,
                                                  size_t bufsize);
using canSetAcceptanceFilter_t = canStatus(CANLIBAPI*)(CanHandle hnd, unsigned int code,
                                                       unsigned int mask, int is_extended);
using canBusOn_t = canStatus(CANLIBAPI*)(CanHandle hnd);
using canRead_t = canStatus(CANLIBAPI*)(CanHandle hnd, long* id, void* msg, unsigned int* dlc,
                                        unsigned int* flag, unsigned long* time);
// Reads one message like canRead, waiting up to `timeout` ms for one: canOK, or canERR_NOMSG when
// none came. Optional: without it the channel polls.
using canReadWait_t = canStatus(CANLIBAPI*)(CanHandle hnd, long* id, void* msg, unsigned int* dlc,
                                            unsigned int* flag, unsigned long* time,
                                            unsigned long timeout);
// Entry points that only the listing uses, and that a library may lack: canGetVersion gives major
// << 8 | minor.
using canGetVersion_t = unsigned short(CANLIBAPI*)();
using canGetVersionEx_t = unsigned int(CANLIBAPI*)(unsigned int item_code);
// Looked up when needed (a library may lack it): the circuit status flags, canSTAT_xxx.
using canReadStatus_t = canStatus(CANLIBAPI*)(CanHandle hnd, unsigned long* flags);
// Takes the channel off bus (before canClose).
using canBusOff_t = canStatus(CANLIBAPI*)(CanHandle hnd);
using canWrite_t = canStatus(CANLIBAPI*)(CanHandle hnd, long id, void* msg, unsigned int dlc,
                                         unsigned int flag);
