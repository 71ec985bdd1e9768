#pragma once
// The board's side of the vendor protocol records: the 43-byte command wrapper the station
// sends (with its 28-byte command block) and the 50-byte status wrapper the board answers.
// All fields little-endian, packed.
#include <array>
#include <cstddef>
#include <cstdint>

namespace boardsim::wire {

constexpr uint32_t kCommandSignature = 0x43425355;  // "USBC"
constexpr uint32_t kStatusSignature = 0x53425355;   // "USBS"
constexpr uint32_t kTag = 0x12345678;
constexpr size_t kCommandWrapperSize = 43;
constexpr size_t kStatusWrapperSize = 50;
constexpr uint8_t kCommandBlockLength = 28;
constexpr uint8_t kFlagsIn = 0x80;  // data phase from board to station

enum Opcode : uint8_t {
  kGenKey = 0xF1,
  kSystemReset = 0xF2,
  kWriteSpecialPage = 0xF3,
  kWriteFlash = 0xF4,
  kWriteHwsetting = 0xF5,
  kReadFlash = 0xF6,
  kWriteDdr = 0xF9,
  kDdrEnable = 0xFA,
  kGenKsKey = 0xFB,
  kReadSpare = 0xFC,
};

enum Status : uint8_t { kDone = 0, kFailed = 1, kBusy = 2, kBadBlock = 3 };

// Position of a chunk in its run (low four bits of the indicator byte).
enum Indicator : uint8_t { kMiddle = 0, kFirst = 1, kRepeat = 2, kLast = 3 };

// Flag byte of a status wrapper asking for the chunk just sent again (top bits 010).
constexpr uint8_t kFlagRepeat = 0x40;

// The data phase of the commands that carry none: "test" and a NUL.
constexpr std::array<uint8_t, 5> kNoDataPayload = {'t', 'e', 's', 't', 0};

struct CommandWrapper {
  uint32_t signature = 0, tag = 0, transferLength = 0;
  uint8_t flags = 0, indicatorByte = 0, blockLength = 0;
  uint8_t opcode = 0, subCode = 0;
  uint32_t address = 0;
  uint8_t eccCode = 0, flashType = 0;
  uint16_t pageSize = 0;
  uint32_t blockSizeK = 0, flashSizeM = 0;
  uint16_t partMarker = 0;
  uint32_t extra = 0, payloadCrc = 0;

  uint8_t indicator() const { return indicatorByte & 0x0F; }
  uint8_t routingA() const { return (indicatorByte >> 4) & 3; }
  uint8_t routingB() const { return (indicatorByte >> 6) & 3; }
};

// Decodes a wrapper frame; false when it is not 43 bytes long (nothing else is judged here).
bool ParseCommandWrapper(const uint8_t* frame, size_t length, CommandWrapper& out);

struct StatusWrapper {
  uint32_t signature = kStatusSignature, tag = kTag, value = 0;
  uint8_t flagByte = 0, status = kDone;
  std::array<uint8_t, 16> key{};
};

void BuildStatusWrapper(const StatusWrapper& s, uint8_t out[kStatusWrapperSize]);

// The sub-code each opcode must carry; -1 for an opcode the board does not know.
int ExpectedSubCode(uint8_t opcode);
// Opcodes whose data phase runs from board to station.
inline bool IsReadOpcode(uint8_t op) { return op == kReadFlash || op == kReadSpare; }
// Opcodes that carry only the five-byte "test" payload.
inline bool IsNoDataOpcode(uint8_t op) {
  return op == kGenKey || op == kSystemReset || op == kDdrEnable || op == kGenKsKey;
}

}  // namespace boardsim::wire
