#pragma once
// Simulated boards in USB download mode, behind device nodes (see platform/device_nodes.h).
// A board answers the vendor protocol as a real one would and checks everything it receives:
// wrapper signature, tag and length, command block length, transfer length against the data
// frame that follows, payload CRC-32, opcode and sub-code. What a board would refuse it answers
// with a failed status.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace boardsim {

enum class FlashKind { Nand, Emmc, Nor };

struct BoardConfig {
  FlashKind flash = FlashKind::Nand;
  // NAND geometry
  uint32_t pageSize = 2048;
  uint32_t blockSizeK = 128;
  uint32_t nandSizeM = 128;
  uint32_t spareBytesPerPage = 64;
  // Blocks that fail every write (status 3, bad page in value). Their first page carries the
  // factory bad-block mark: spare byte 0 is 0x00.
  std::vector<uint32_t> badBlocks;
  // eMMC and NOR sizes in bytes
  uint64_t emmcBytes = 64ull << 20;
  uint64_t norBytes = 16ull << 20;
  uint64_t ddrBytes = 64ull << 20;
  // The board's own 16-byte key, returned to the key command encrypted under the default key.
  std::array<uint8_t, 16> key{};
  // Flash writes are refused until the hardware setting ran and DDR was enabled.
  bool requireDdrEnable = true;
};

// Faults a test can inject. Counters count down as the board uses them. Exchange and chunk
// numbers count from the moment the fault is set (0 = the next one) and fire once: the field
// then goes back to -1.
struct Faults {
  // Busy answers go out as extra status wrappers before the final one of the next exchange
  // (the station polls them back to back): busyReads of them, or for busyForMs one every
  // kBusyPaceMs of clock time until that much clock time has passed since the first.
  int busyReads = 0;          // answer busy (status 2) to this many status reads
  int64_t busyForMs = 0;      // answer busy until this much clock time has passed
  int repeatChunk = -1;       // ask once for chunk N (0-based, counted over all data exchanges) again
  // Wrong wrappers go out before the final one of the next exchange, all of them at once.
  int wrongTagCount = 0;      // this many status wrappers carry a wrong tag
  int wrongSignatureCount = 0;// this many carry a wrong signature
  // A board with nothing to send holds off the station's reads (the driver's read then times
  // out on the station's clock).
  int dropStatusCount = 0;    // send no status wrapper for this many exchanges
  int64_t lateStatusMs = 0;   // hold each status wrapper back this many clock milliseconds
  // close the node after this many exchanges: the next wrapper after them is not answered,
  // the node is unlinked and the connection closed
  int vanishAfterExchanges = -1;
  int corruptWriteExchange = -1;  // flip a byte of what exchange N writes into flash
  int failStatusExchange = -1;    // answer status 1 to exchange N (nothing of it is stored)
};

// Clock time between two busy answers of a time-limited busy.
constexpr int64_t kBusyPaceMs = 50;

// One exchange as the board saw it.
struct Exchange {
  uint8_t opcode = 0, subCode = 0, flags = 0, indicator = 0;
  uint32_t address = 0, transferLength = 0, payloadCrc = 0, extra = 0;
  uint16_t partMarker = 0;
  uint8_t eccCode = 0, flashType = 0;
  uint16_t pageSize = 0;
  uint32_t blockSizeK = 0, flashSizeM = 0;
  uint8_t status = 0;  // what the board answered
  // The indicator byte's routing values (bits 4-5 and 6-7); `indicator` is its low four bits.
  uint8_t routingA = 0, routingB = 0;
  uint32_t value = 0;       // value field of the final status wrapper
  uint8_t flagByte = 0;     // flag byte of the final status wrapper (0x40: repeat asked)
  bool answered = true;     // false when the board sent no status wrapper (dropped, vanished)
  // Where the data went: byte offset in the flash (main area) or in the DDR; kNowhere when
  // nothing was placed.
  static constexpr uint64_t kNowhere = ~0ull;
  uint64_t placedAt = kNowhere;
};

class Board {
 public:
  explicit Board(BoardConfig config);
  ~Board();  // unplugs
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Publishes the board's node in `classFolder` under `nodeName` (bound hidden, then renamed
  // into place once it accepts connections) and serves it on a thread of its own.
  // Returns the node's path, or an empty text when the node cannot be made.
  // One connection at a time: a second connection is queued (the connect succeeds) and served
  // once the first one is closed. Plugging in is a power-up: the hardware setting and the DDR
  // enable are gone, the flash keeps its contents.
  std::string Plug(const std::string& classFolder, const std::string& nodeName);
  // Unlinks the node and drops any connection: the station sees the board leave.
  void Unplug();
  bool plugged() const;
  // Whether the board has taken a connection and serves it now (it takes one on its own
  // thread, some time after the peer's connect returned).
  bool connected() const;
  const std::string& path() const;

  const BoardConfig& config() const;
  Faults& faults();             // lock() while changing faults of a plugged board
  std::mutex& lock();

  // What the board holds. NAND: main area by page (pageSize bytes each) and spare area;
  // eMMC by byte (512-byte sectors); NOR by byte; DDR by address.
  std::vector<uint8_t> Flash(uint64_t offset, uint64_t length) const;
  // `count` bytes of the NAND spare area from the spare of `page` on (spare areas of
  // consecutive pages are back to back, spareBytesPerPage each; erased: 0xFF).
  std::vector<uint8_t> Spare(uint32_t page, uint32_t count) const;
  std::vector<uint8_t> Ddr(uint32_t address, uint32_t length) const;
  void WriteFlash(uint64_t offset, const std::vector<uint8_t>& bytes);  // prepare contents for read tests
  void WriteSpare(uint32_t page, const std::vector<uint8_t>& bytes);    // likewise for the spare area
  uint64_t flashBytes() const;  // size of the flash (NAND: main area)
  bool hwsettingDone() const;
  bool ddrEnabled() const;
  bool isBad(uint32_t block) const;

  // Saves the flash (and the DDR writes) to files, so that a test can compare what a board holds.
  bool SaveFlash(const std::string& path) const;
  // The DDR file holds the whole DDR, with holes (zeros) where nothing was written.
  bool SaveDdr(const std::string& path) const;
  bool SaveSpare(const std::string& path) const;  // NAND spare area
  bool ddrWritten() const;  // anything was written to the DDR

  std::vector<Exchange> exchanges() const;  // every exchange so far
  void clearExchanges();
  // Called on the board's thread after each exchange is recorded (before its status goes
  // out); for logging. Set it before Plug.
  void SetExchangeHook(std::function<void(const Exchange&)> hook);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
