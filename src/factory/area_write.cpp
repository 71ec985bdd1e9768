#include "factory/area_write.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "factory/area_positions.h"
#include "factory/factory_work_files.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "package/type_lists.h"
#include "usblink/flash_read.h"
#include "usblink/send_routine.h"

namespace station {

namespace {

std::array<std::atomic<bool>, kSlotCount> keySent{};

// Bytes per unit of an area position: a page on NAND, a sector on eMMC.
uint32_t PositionUnit(const FlashInfo& info) { return info.FlashType == kFlashNand ? info.PageSize : kEmmcSector; }

bool StorageInUse(const BurnOption& option) { return option.burnFactory && option.useSecureStorage; }

// The room from `start` to the nearest of `others` at or after it, at most `max` bytes.
uint32_t RoomBefore(const FlashInfo& info, uint32_t start, std::initializer_list<uint32_t> others, uint32_t max) {
  if (start == kNoPosition) return 0;
  uint64_t room = max;
  for (uint32_t other : others) {
    if (other == kNoPosition || other < start) continue;
    room = std::min<uint64_t>(room, uint64_t(other - start) * PositionUnit(info));
  }
  return static_cast<uint32_t>(room);
}

}  // namespace

uint16_t AreaPartMarker(const FlashInfo& info) { return info.FlashType == kFlashNand ? 0xFF : info.SpecialValue; }

bool AreaGeometryUsable(const FlashInfo& info) {
  if (info.FlashType == kFlashEmmc) return true;
  if (info.FlashType != kFlashNand) return false;
  const uint64_t block = uint64_t(info.BlockSizeK) * 1024;
  return info.PageSize != 0 && block != 0 && block % info.PageSize == 0;
}

uint32_t StorageAreaStart(const FlashInfo& info) {
  return GetStorageAreaOffset(info.PageSize, info.BlockSizeK * 1024, info.FlashType);
}

uint32_t FactoryCopyRoom(const FlashInfo& info, const BurnOption& option, int copy) {
  const uint32_t self = GetFactoryAreaOffset(info, option, copy);
  const uint32_t other = GetFactoryAreaOffset(info, option, 1 - copy);
  const uint32_t storage = StorageInUse(option) ? StorageAreaStart(info) : kNoPosition;
  return RoomBefore(info, self, {other, storage}, kFactoryCopyMaxBytes);
}

uint32_t StorageAreaRoom(const FlashInfo& info, const BurnOption& option) {
  return RoomBefore(info, StorageAreaStart(info),
                    {GetFactoryAreaOffset(info, option, 0), GetFactoryAreaOffset(info, option, 1)}, kStorageMaxBytes);
}

ResultCode WriteAreaData(DevHandle device, int slot, const FlashInfo& info, uint32_t start, const uint8_t* data,
                         int64_t length, NandBbt& bbt, const char* label) {
  int64_t remaining = length;
  ResultCode result = PerformReadTest(device, OpByte(VendorOpcode::WriteFlash), 1, start, data, &remaining,
                                      info.EccCode, static_cast<uint16_t>(info.PageSize), info.BlockSizeK,
                                      info.NandSizeM, static_cast<int32_t>(info.TransRange), info.FlashType,
                                      AreaPartMarker(info), info.OnceMaxTransRange, 0,
                                      static_cast<uint8_t>(info.Secure), static_cast<uint8_t>(info.GoJump),
                                      &bbt.remapCount, bbt.table.get(), slot);
  if (result == kResultDone && remaining != 0) {
    PrintDeviceLog(slot, "%s: %lld bytes were not sent\r\n", label, static_cast<long long>(remaining));
    result = kResultSizeError;
  }
  return result;
}

bool NoteKeySent(int slot) {
  if (slot < 0 || slot >= kSlotCount || !MarkKeySpent(slot)) return false;
  keySent[slot] = true;
  return true;
}

bool TakeKeySent(int slot) { return slot >= 0 && slot < kSlotCount && keySent[slot].exchange(false); }

}  // namespace station
