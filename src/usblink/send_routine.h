#pragma once
// The one routine through which every procedure sends a command with data to a board. It
// splits the caller's buffer into transfer ranges and chunks, wraps each chunk with its CRC-32,
// waits for the board's status, remaps NAND bad blocks that the board reports, sends the
// five-byte payload of the no-data commands and takes the key that the board returns.
#include <cstdint>

#include "foundation/station_state.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

// The twenty arguments of a send, in their order.
struct SendArgs {
  DevHandle device = kInvalidHandle;
  uint8_t opcode = 0;
  uint8_t subCode = 0;
  uint32_t startAddress = 0;  // page (NAND), byte (NOR), sector (eMMC) or DDR address
  const uint8_t* data = nullptr;
  int64_t* size = nullptr;    // in: bytes to send; falls as chunks are delivered
  uint8_t eccCode = 0;
  uint16_t pageSize = 0;      // bytes per page, also the unit of NAND addresses
  uint32_t blockSizeK = 0;
  uint32_t flashSizeM = 0;
  int32_t transferUnit = 0;   // bytes per chunk
  uint8_t flashType = 0;      // 0 NAND, 1 NOR, 2 eMMC
  uint16_t partMarker = 0;
  uint32_t rangeSize = 0;     // bytes per transfer range; 0 = one range
  uint32_t extra = 0;
  uint8_t routingA = 0;
  uint8_t routingB = 0;
  int32_t* remapCount = nullptr;  // bad blocks remapped so far on this board
  NandBbtEntry* bbt = nullptr;    // the board's table; null when the caller cannot meet a bad block
  int32_t slot = 0;
};

// Sends the whole buffer (or the no-data command). 100 on success, otherwise the failure's
// result code; a special-page write that met a bad block returns the negated page the board
// reported, once the page's block has been re-sent to its replacement.
ResultCode PerformReadTest(const SendArgs& args);
ResultCode PerformReadTest(DevHandle device, uint8_t opcode, uint8_t subCode, uint32_t startAddress,
                           const uint8_t* data, int64_t* size, uint8_t eccCode, uint16_t pageSize,
                           uint32_t blockSizeK, uint32_t flashSizeM, int32_t transferUnit, uint8_t flashType,
                           uint16_t partMarker, uint32_t rangeSize, uint32_t extra, uint8_t routingA,
                           uint8_t routingB, int32_t* remapCount, NandBbtEntry* bbt, int32_t slot);

// The variant that leaves blank NAND pages out, block by block.
ResultCode WriteDeviceSkipBlank(const SendArgs& args);
ResultCode WriteDeviceSkipBlank(DevHandle device, uint8_t opcode, uint8_t subCode, uint32_t startAddress,
                                const uint8_t* data, int64_t* size, uint8_t eccCode, uint16_t pageSize,
                                uint32_t blockSizeK, uint32_t flashSizeM, int32_t transferUnit,
                                uint8_t flashType, uint16_t partMarker, uint32_t rangeSize, uint32_t extra,
                                uint8_t routingA, uint8_t routingB, int32_t* remapCount, NandBbtEntry* bbt,
                                int32_t slot);

// Bytes of a chunk that must be sent: the chunk without the blank pages (every byte 0xFF) at its
// end. Pages are taken in order, the last one may be short; a blank page followed by data is
// sent like any other. A chunk of one page or less is sent whole; 0 when a longer chunk is
// blank throughout. The block size does not limit the result.
uint32_t FindBlankData(const uint8_t* data, uint32_t length, uint32_t pageSize, uint32_t blockSizeK);
// The blank-skipping write's rule: the chunk without the blank pages at its end, whatever its
// length (a chunk with no data is left out rather than sent).
uint32_t CountLeadingData(const uint8_t* data, uint32_t length, uint32_t pageSize);

// The address after `length` bytes: NAND pages, NOR bytes, eMMC 512-byte sectors (rounded up);
// any other flash type leaves the address as it is.
uint32_t CalcNextAddr(uint32_t address, uint8_t flashType, uint32_t pageSize, uint64_t length);

}  // namespace station
