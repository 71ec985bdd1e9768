#pragma once
// The boards' vendor protocol, tunnelled in mass-storage Bulk-Only packets: a 43-byte command
// wrapper carrying a 28-byte vendor command block, a data phase in the direction the wrapper
// announces, and a 50-byte status wrapper that the station reads until the board gives a valid
// answer or a limit is reached. Every multi-byte field is little-endian and the records are
// packed; they are written and read here byte by byte, whatever the host's layout.
#include <array>
#include <cstdint>

#include "foundation/station_state.h"

namespace station {

// What every board step returns: 100 is success, 0 to 24 are the failures of the result table.
using ResultCode = int32_t;
inline constexpr ResultCode kResultOk = 100;
// The link's own failures.
inline constexpr ResultCode kResultOpcode = 1;          // an opcode this routine cannot send
inline constexpr ResultCode kResultSizeError = 3;       // a write left bytes of its item unsent
inline constexpr ResultCode kResultCswTimeout = 5;      // no status wrapper for more than 20 s
inline constexpr ResultCode kResultCswRetries = 6;      // 200 reads without an accepted wrapper
inline constexpr ResultCode kResultCswStatus = 7;       // the board failed the command, or no-data time-out
inline constexpr ResultCode kResultCswBadBlock = 8;     // bad block reported to a no-data command
inline constexpr ResultCode kResultCbwWrite = 10;       // the command wrapper was not taken
inline constexpr ResultCode kResultDataWrite = 11;      // the data phase failed, or nothing to send
inline constexpr ResultCode kResultRemapSize = 13;      // remap done but the sizes disagree
inline constexpr ResultCode kResultRemapBudget = 14;    // the flash has no room for a bad block table
inline constexpr ResultCode kResultRemapOverflow = 15;  // more bad blocks than the table allows
inline constexpr ResultCode kResultNotNand = 19;        // bad block reported on a flash that is not NAND
// A transfer ended by a stop request (a new job on the slot, shut-down): the data phase did not
// complete. A board's removal is no stop: its transfers fail as a gone board's do.
inline constexpr ResultCode kResultStopped = kResultDataWrite;

inline constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr uint32_t kWrapperTag = 0x12345678;    // the same in every wrapper
inline constexpr int kCbwSize = 43;
inline constexpr int kCommandBlockSize = 28;
inline constexpr int kCswSize = 50;
inline constexpr uint8_t kCbwFlagIn = 0x80;  // data phase from board to station

enum class VendorOpcode : uint8_t {
  GenKey = 0xF1,
  SystemReset = 0xF2,
  WriteSpecialPage = 0xF3,
  WriteFlash = 0xF4,
  WriteHwsetting = 0xF5,
  ReadFlash = 0xF6,
  WriteDdr = 0xF9,
  DdrEnable = 0xFA,
  GenKsKey = 0xFB,
  ReadSpare = 0xFC,
};
constexpr uint8_t OpByte(VendorOpcode op) { return static_cast<uint8_t>(op); }
// The fixed sub-code of an opcode; 0 for an opcode outside the table.
uint8_t VendorSubCode(uint8_t opcode);
// Commands without data of their own (they still send the five bytes "test" and a NUL).
bool IsNoDataOpcode(uint8_t opcode);
// Commands whose data phase runs from the station to the board.
bool IsWriteOpcode(uint8_t opcode);
// Commands whose data phase runs from the board to the station.
bool IsReadOpcode(uint8_t opcode);

// The payload of a no-data command.
inline constexpr std::array<uint8_t, 5> kNoDataPayload = {'t', 'e', 's', 't', 0};

// A chunk's place in its run (bits 0-3 of the indicator byte).
enum : int { kIndicatorMiddle = 0, kIndicatorFirst = 1, kIndicatorRepeat = 2, kIndicatorLast = 3 };
// Bits 0-3 the chunk's place, bits 4-5 routing value A, bits 6-7 routing value B.
constexpr uint8_t IndicatorByte(int iIndicator, uint8_t routingA, uint8_t routingB) {
  return static_cast<uint8_t>((iIndicator & 0x0F) | ((routingA & 3) << 4) | ((routingB & 3) << 6));
}

struct VendorCommandBlock {
  uint8_t opcode = 0;
  uint8_t subCode = 0;
  uint32_t address = 0;     // page (NAND), byte (NOR), sector (eMMC) or DDR address
  uint8_t eccCode = 0;
  uint8_t flashType = 0;    // 0 NAND, 1 NOR, 2 eMMC
  uint16_t pageSize = 0;
  uint32_t blockSizeK = 0;
  uint32_t flashSizeM = 0;
  uint16_t partMarker = 0;
  uint32_t extra = 0;
  uint32_t payloadCrc = 0;  // CRC-32 of the data phase; 0 on reads
};

struct UsbCbw {
  uint32_t signature = kCbwSignature;
  uint32_t tag = kWrapperTag;
  uint32_t dataTransferLength = 0;
  uint8_t flags = 0;
  uint8_t indicator = 0;
  uint8_t commandBlockLength = kCommandBlockSize;
  VendorCommandBlock cb;
};

enum class CswStatus : uint8_t { Done = 0, Failed = 1, Busy = 2, BadBlock = 3 };

struct UsbCsw {
  uint32_t signature = 0;
  uint32_t tag = 0;
  uint32_t value = 0;  // the bad page on status 3; the board's page on a special-page write
  uint8_t flags = 0;   // top three bits: repeat / not delivered; low five bits: reserved
  uint8_t status = 0;
  std::array<uint8_t, 16> key{};  // encrypted under the default key
  std::array<uint8_t, 20> reserved{};
};

std::array<uint8_t, kCbwSize> SerializeCbw(const UsbCbw& cbw);
UsbCbw ParseCbw(const uint8_t* bytes);  // kCbwSize bytes
std::array<uint8_t, kCswSize> SerializeCsw(const UsbCsw& csw);
UsbCsw ParseCsw(const uint8_t* bytes);  // kCswSize bytes

// Top three bits of the flag byte.
constexpr int CswFlagPattern(uint8_t flags) { return flags >> 5; }
// 010: the board asks for the chunk just sent once more.
constexpr bool CswAsksRepeat(uint8_t flags) { return CswFlagPattern(flags) == 0b010; }
// 010 or 011: the chunk just sent does not count as delivered.
constexpr bool CswNotDelivered(uint8_t flags) {
  return CswFlagPattern(flags) == 0b010 || CswFlagPattern(flags) == 0b011;
}
constexpr uint8_t CswReservedBits(uint8_t flags) { return flags & 0x1F; }

// ---- status wait ----

inline constexpr int kStatusReadLimit = 200;       // counted reads without an accepted wrapper
inline constexpr int64_t kStatusTimeoutSeconds = 20;
inline constexpr int64_t kStatusRetryPauseMs = 200;

// The senders that wait for a status wrapper, each with its own row of parameters.
enum class StatusSender { SendData, SendNoData, SkipBlankWrite, FlashRead, SpareRead };

// How a sender treats a busy answer.
enum class BusyRule {
  FreshWaitDisarmed,  // start a new wait with a fresh count; the time-out no longer applies
  FreshWait,          // start a new wait with a fresh count and start time
  SameWait,           // read again; count and start time go on
};

// Where a wait logs: a slot's log, or the main log for slot -1.
struct StatusLog {
  int slot = -1;
  void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3)));
};

struct StatusWaitRow {
  ResultCode timeoutCode;
  int64_t pauseMs;      // after a failed read
  BusyRule busy;
  bool presetBusy;      // status byte preset to 2 before each read; statuses 7 and above are busy
  void (*failedRead)(const StatusLog&, int64_t elapsed);
  void (*timedOut)(const StatusLog&, int64_t elapsed);
  void (*wrongWrapper)(const StatusLog&, const UsbCsw&);
  void (*limit)(const StatusLog&, int count, const UsbCsw&);
  void (*finalStatus)(const StatusLog&, const UsbCsw&);  // a wrapper that ends the wait with status != 0
};

const StatusWaitRow& StatusWaitRowOf(StatusSender sender);

// Reads status wrappers until the board gives one that is valid and not busy, by the rules of
// the sender's row. 100 with that wrapper in `csw`, or the row's time-out code, or 6 after
// 200 counted reads. A board whose connection has closed can never answer: the wait ends at
// once with the code that its failed reads would reach. A stop request of the calling thread's
// current token ends the wait with kResultStopped. `logSlot` is the slot whose log gets the
// lines, or -1 for the main log.
ResultCode WaitForStatus(DevHandle device, StatusSender sender, int logSlot, UsbCsw& csw);

// A transfer that a stop request of the calling thread cut short ends with kResultStopped,
// whichever step it was in ("transfer stopped" in the slot's log); any other result passes.
ResultCode UnlessStopped(ResultCode rc, int logSlot);

}  // namespace station
