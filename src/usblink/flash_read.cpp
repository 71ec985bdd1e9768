#include "usblink/flash_read.h"

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "platform/device_nodes.h"
#include "usblink/usb_device.h"

namespace station {

namespace {

constexpr uint8_t kNand = 0;
constexpr uint8_t kNor = 1;
constexpr uint8_t kEmmc = 2;

// The command wrapper of a read: data from the board, a single chunk, CRC 0, the geometry of
// the options snapshot; part marker and extra value 0.
UsbCbw ReadCbw(uint8_t opcode, uint32_t address, uint32_t bytes, const FlashInfo& info) {
  UsbCbw cbw;
  cbw.dataTransferLength = bytes;
  cbw.flags = kCbwFlagIn;
  cbw.indicator = IndicatorByte(kIndicatorLast, 0, 0);
  cbw.cb.opcode = opcode;
  cbw.cb.subCode = VendorSubCode(opcode);
  cbw.cb.address = address;
  cbw.cb.eccCode = info.EccCode;
  cbw.cb.flashType = info.FlashType;
  cbw.cb.pageSize = static_cast<uint16_t>(info.PageSize);
  cbw.cb.blockSizeK = info.BlockSizeK;
  cbw.cb.flashSizeM = info.NandSizeM;
  return cbw;
}

bool WriteCbw(DevHandle device, const UsbCbw& cbw) {
  const auto bytes = SerializeCbw(cbw);
  return UsbWrite(device, kCbwSize, bytes.data());
}

// Where a range is read in chunks: the chunk size and how far the address moves per chunk.
struct ChunkPlan {
  uint32_t chunk = 0;
  uint32_t step = 0;  // address units per chunk; 0 when the address stays
};

bool PlanChunks(const FlashInfo& info, uint64_t length, ChunkPlan& plan) {
  switch (info.FlashType) {
    case kNand: {
      const uint32_t pageSize = info.PageSize & 0xFFFF;
      if (pageSize == 0) return false;  // no way to address the pages
      plan = {kNandReadChunk, kNandReadChunk / pageSize};
      return true;
    }
    case kEmmc: {
      const uint32_t chunk = EmmcChunkSize(length);
      plan = {chunk, chunk / kEmmcSector};
      return true;
    }
    case kNor:
    default:
      // The board goes on where the previous read of the same address stopped.
      plan = {kNorReadChunk, 0};
      return true;
  }
}

// Removes a part file that will never become the read-back file.
void DropPart(std::FILE*& f, const std::string& part) {
  if (f) std::fclose(f);
  f = nullptr;
  std::remove(part.c_str());
}

}  // namespace

std::string ReadBackFilePath(int slot) { return GetTempDir() + "/flash_data_" + std::to_string(slot) + ".bin"; }

uint32_t EmmcChunkSize(uint64_t length) {
  if (length <= kEmmcSector) return kEmmcSector;
  if (length >= kEmmcReadChunk) return kEmmcReadChunk;
  return static_cast<uint32_t>(length / kEmmcSector * kEmmcSector);
}

namespace {

ResultCode ReadRangeToFile(DevHandle device, uint32_t address, uint64_t length, const FlashInfo* info, int slot) {
  const StatusLog log{slot};  // the slot's log, or the main log for slot -1
  if (!info) return kResultReadDevice;
  const std::string path = ReadBackFilePath(slot);

  ChunkPlan plan;
  if (!PlanChunks(*info, length, plan)) {
    log("read device : no page size for a nand read \r\n");
    return kResultReadDevice;
  }
  const uint64_t chunks = (length + plan.chunk - 1) / plan.chunk;
  // Every chunk's address must fit the command block: a range is never cut short silently.
  if (chunks > 0 && uint64_t(address) + (chunks - 1) * plan.step > 0xFFFFFFFFull) {
    log("read device : range beyond the last address (0x%x + 0x%llx bytes) \r\n", address,
        static_cast<unsigned long long>(length));
    return kResultReadDevice;
  }

  // The chunks are collected in a part file beside the read-back file, which takes its name
  // only once the whole range has arrived; one chunk is held in memory at a time. What a board
  // holds (its secure key among it) is for the station's user only.
  const std::string part = path + ".part";
  std::FILE* f = OpenPrivateFile(part, false);
  if (!f) {
    log("Create %s failed \r\n", path.c_str());
    return kResultReadDevice;
  }

  std::vector<uint8_t> buffer;
  uint64_t left = length;
  uint32_t at = address;
  for (uint64_t i = 0; i < chunks; ++i) {
    const uint32_t bytes = static_cast<uint32_t>(left < plan.chunk ? left : plan.chunk);
    buffer.assign(bytes, 0);
    if (!WriteCbw(device, ReadCbw(OpByte(VendorOpcode::ReadFlash), at, bytes, *info))) {
      log("read device : write CBW fail! \r\n");
      DropPart(f, part);
      return kResultCbwWrite;
    }
    if (!UsbRead(device, bytes, buffer.data())) {
      log("read device : read data fail! \r\n");
      DropPart(f, part);
      return kResultDataWrite;
    }
    UsbCsw csw;
    const ResultCode status = WaitForStatus(device, StatusSender::FlashRead, slot, csw);
    if (status != kResultOk) {
      DropPart(f, part);
      return status;
    }
    // A board that failed the read has sent bytes it does not vouch for.
    if (csw.status == static_cast<uint8_t>(CswStatus::Failed)) {
      DropPart(f, part);
      return kResultCswStatus;
    }
    if (std::fwrite(buffer.data(), 1, bytes, f) != bytes) {
      DropPart(f, part);
      return kResultReadDevice;
    }
    left -= bytes;
    at += plan.step;
  }

  const bool flushed = std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  f = nullptr;
  if (!flushed || !closed) {
    DropPart(f, part);
    return kResultReadDevice;
  }
  if (FileExists(path)) DeleteFileRetry(path);
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    log("Create %s failed \r\n", path.c_str());
    DropPart(f, part);
  }
  return FileExists(path) ? kResultOk : kResultReadDevice;
}

}  // namespace

ResultCode ReadDeviceToFile(DevHandle device, uint32_t address, uint64_t length, const FlashInfo* info, int slot) {
  return UnlessStopped(ReadRangeToFile(device, address, length, info, slot), slot);
}

namespace {

ResultCode ReadSpareWords(DevHandle device, uint32_t address, uint32_t count, const FlashInfo* info, int slot) {
  const StatusLog log{slot};  // the slot's log, or the main log for slot -1
  const uint64_t bytes64 = uint64_t(count) * 4;
  PrintLog("malloc size: 0x%x \r\n", static_cast<uint32_t>(bytes64));
  if (!info) return kResultReadDevice;
  // One read carries at most one frame of the driver.
  if (bytes64 > plat::kMaxFrame) {
    log("read data fail! \r\n");
    return kResultReadDevice;
  }
  const uint32_t bytes = static_cast<uint32_t>(bytes64);
  std::vector<uint8_t> buffer(bytes, 0);

  if (!WriteCbw(device, ReadCbw(OpByte(VendorOpcode::ReadSpare), address, bytes, *info))) {
    log("write CBW fail! \r\n");
    return kResultCbwWrite;
  }
  log("read data\r\n");
  if (!UsbRead(device, bytes, buffer.data())) {
    log("read data fail! \r\n");
    return kResultDataWrite;
  }
  log("read CSW\r\n");
  UsbCsw csw;
  const ResultCode status = WaitForStatus(device, StatusSender::SpareRead, slot, csw);
  if (status != kResultOk) return status;
  if (csw.status == static_cast<uint8_t>(CswStatus::Failed)) return kResultCswStatus;

  if (!WriteBufToFile(kSpareFileName, buffer.data(), buffer.size())) {
    log("Create spare_data.txt Fail \r\n");
    return kResultReadDevice;
  }
  return kResultOk;
}

}  // namespace

ResultCode ReadSpareData(DevHandle device, uint32_t address, uint32_t count, const FlashInfo* info, int slot) {
  return UnlessStopped(ReadSpareWords(device, address, count, info, slot), slot);
}

}  // namespace station
