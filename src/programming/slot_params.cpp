#include "programming/slot_params.h"

#include "foundation/station_state.h"

namespace station {

void FillDeviceParams(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  StationState& s = state();
  const ImageBuffers& img = s.images;
  RemainingBytes& rem = s.slots[slot].Remaining;

  for (int k = 0; k < kBootPieceCount; ++k) rem.boot[k] = static_cast<int64_t>(img.boot[k].length);
  const FwEntryTable& table = *s.fwEntries;
  for (int i = 0; i < kFwEntryCount; ++i) rem.entries[i] = static_cast<int64_t>(table[i].Size);

  // New lists, so that a slot never keeps counters of pieces the current image does not have.
  std::vector<int64_t> partitions;
  partitions.reserve(img.partitionPieces.size());
  for (const PartitionPiece& p : img.partitionPieces) partitions.push_back(static_cast<int64_t>(p.length));
  rem.partitions = std::move(partitions);

  std::vector<int64_t> mbr;
  mbr.reserve(img.mbrImages.size());
  for (const MbrImage& m : img.mbrImages) mbr.push_back(static_cast<int64_t>(m.length));
  rem.mbr = std::move(mbr);

  std::vector<int64_t> entryList;
  entryList.reserve(img.entryList.size());
  for (const EntryRecord& e : img.entryList) entryList.push_back(static_cast<int64_t>(e.length));
  rem.entryList = std::move(entryList);

  for (size_t i = 0; i < rem.singleMode.size(); ++i) rem.singleMode[i] = static_cast<int64_t>(img.singleMode[i].length);
  rem.norImage = static_cast<int64_t>(img.norImage.length);
}

}  // namespace station
