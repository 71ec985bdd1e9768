#include "programming/slot_params.h"

#include "foundation/station_state.h"

namespace station {

namespace {

template <class Pieces, class Length>
std::vector<int64_t> CountersOf(const Pieces& pieces, Length length) {
  std::vector<int64_t> counters;
  counters.reserve(pieces.size());
  for (const auto& p : pieces) counters.push_back(static_cast<int64_t>(length(p)));
  return counters;
}

}  // namespace

void FillDeviceParams(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  StationState& s = state();
  const ImageBuffers& img = s.images;
  DeviceSlot& dev = s.slots[slot];
  RemainingBytes& rem = dev.Remaining;

  for (int k = 0; k < kBootPieceCount; ++k) StoreCounter(rem.boot[k], static_cast<int64_t>(img.boot[k].length));
  const FwEntryTable& table = *s.fwEntries;
  for (int i = 0; i < kFwEntryCount; ++i) StoreCounter(rem.entries[i], static_cast<int64_t>(table[i].Size));
  for (size_t i = 0; i < rem.singleMode.size(); ++i)
    StoreCounter(rem.singleMode[i], static_cast<int64_t>(img.singleMode[i].length));
  StoreCounter(rem.norImage, static_cast<int64_t>(img.norImage.length));

  // New lists, so that a slot never keeps counters of pieces the current image does not have;
  // swapped in under the slot's lock, since the percentage reads them meanwhile.
  auto partitions = CountersOf(img.partitionPieces, [](const PartitionPiece& p) { return p.length; });
  auto mbr = CountersOf(img.mbrImages, [](const MbrImage& m) { return m.length; });
  auto entryList = CountersOf(img.entryList, [](const EntryRecord& e) { return e.length; });
  std::lock_guard g(dev.lock);
  rem.partitions.swap(partitions);
  rem.mbr.swap(mbr);
  rem.entryList.swap(entryList);
}

}  // namespace station
