#include "usblink/compare_mode.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "usblink/flash_options.h"
#include "usblink/flash_read.h"

namespace station {

namespace {

// A large read-back file is compared in pieces of this size, so that it is never held in
// memory whole next to the buffer it is compared with.
constexpr uint64_t kComparePiece = 64ull << 20;

enum class Outcome { Equal, Unreadable, LengthDiffers, DataDiffers };

Outcome CompareWithFile(const std::string& path, const uint8_t* source, uint64_t length) {
  std::error_code ec;
  const uint64_t total = std::filesystem::file_size(path, ec);
  if (ec) return Outcome::Unreadable;
  if (total != length) return Outcome::LengthDiffers;
  if (length > 0 && !source) return Outcome::DataDiffers;

  const bool inPieces = total > kComparePiece;
  const uint64_t pieces = inPieces ? (total + kComparePiece - 1) / kComparePiece : 1;
  for (uint64_t i = 0; i < pieces; ++i) {
    FileBlock block;
    uint64_t got = 0;
    if (!file_read(path, block, got, inPieces, i, inPieces ? kComparePiece : 0)) return Outcome::Unreadable;
    const uint64_t offset = i * kComparePiece;
    const uint64_t want = inPieces ? std::min(kComparePiece, total - offset) : total;
    if (got != want) return Outcome::LengthDiffers;  // the file changed under us
    if (want > 0 && std::memcmp(block.data(), source + offset, want) != 0) return Outcome::DataDiffers;
  }
  return Outcome::Equal;
}

}  // namespace

ResultCode CompareFlashData(const uint8_t* source, int64_t length, int slot) {
  const std::string path = ReadBackFilePath(slot);
  const Outcome outcome =
      length < 0 ? Outcome::LengthDiffers : CompareWithFile(path, source, static_cast<uint64_t>(length));
  switch (outcome) {
    case Outcome::Unreadable:
      PrintDeviceLog(slot, "compare mode - read flash_data.bin file fail \r\n");
      return kResultDataDiffers;
    case Outcome::LengthDiffers:
      PrintDeviceLog(slot, "compare mode - len compare different \r\n");
      return kResultDataDiffers;
    case Outcome::DataDiffers:
      PrintDeviceLog(slot, "compare mode -  data compare different \r\n");
      return kResultDataDiffers;
    case Outcome::Equal:
      break;
  }
  PrintDeviceLog(slot, "compare mode -  data compare done \r\n");
  DeleteFileRetry(path);
  return kResultOk;
}

ResultCode CompareDeviceData(DevHandle device, uint32_t address, int64_t length, int slot, const uint8_t* source,
                             const NandBbtEntry* table) {
  FlashInfo info{};
  GetFlashInfo(info, slot);

  if (info.FlashType != 0) {
    PrintDeviceLog(slot, "compare mode - emmc / nor flashr\r\n");
    if (length < 0) return CompareFlashData(source, length, slot);
    const ResultCode read = ReadDeviceToFile(device, address, static_cast<uint64_t>(length), &info, slot);
    if (read != kResultOk) return read;
    return CompareFlashData(source, length, slot);
  }

  PrintDeviceLog(slot, "compare mode - nand flashr\r\n");
  if (length < 0) return CompareFlashData(source, length, slot);
  const uint64_t blockBytes = uint64_t(info.BlockSizeK) * 1024;
  const uint32_t pageSize = info.PageSize & 0xFFFF;
  if (length > 0 && (blockBytes == 0 || pageSize == 0)) {
    PrintDeviceLog(slot, "compare mode - no block or page size for a nand compare \r\n");
    return kResultReadDevice;
  }

  uint64_t remaining = static_cast<uint64_t>(length);
  uint32_t logicalPage = address;
  const uint8_t* position = source;
  for (;;) {
    const uint64_t piece = std::min(remaining, blockBytes);
    // The block is read where the table says its data went; the next block is counted from
    // the logical page again.
    const uint32_t readPage = RemapPageAddress(logicalPage, table, info);
    const ResultCode read = ReadDeviceToFile(device, readPage, piece, &info, slot);
    if (read != kResultOk) return read;
    const ResultCode result = CompareFlashData(position, static_cast<int64_t>(piece), slot);
    if (result != kResultOk) {
      PrintDeviceLog(slot, "compare mode - comapre different\r\n");
      return result;
    }
    remaining -= piece;
    if (remaining == 0) return result;
    logicalPage += static_cast<uint32_t>(piece / pageSize);
    position += piece;
  }
}

}  // namespace station
