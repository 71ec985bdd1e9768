#include "foundation/image_buffers.h"

#include "foundation/station_state.h"

namespace station {

void FreeEntryList() {
  std::vector<EntryRecord>& list = state().images.entryList;
  for (EntryRecord& e : list) {
    std::vector<uint8_t>().swap(e.buffer);
    e.length = 0;
    e.name.clear();
  }
  std::vector<EntryRecord>().swap(list);
}

void FreeFwEntryBuffers() {
  for (FwEntry& e : *state().fwEntries) {
    e.Size = 0;
    e.Offset = 0;
    if (!e.Buffer.empty()) e.Buffer.Release();
  }
}

void FreeLayoutBuffers() {
  std::vector<PartitionPiece>& list = state().images.partitionPieces;
  for (PartitionPiece& p : list) {
    if (!p.pages.empty()) p.pages.Release();
    p.length = 0;
    p.offset = 0;
    p.layoutSize = 0;
    p.name.clear();
  }
  std::vector<PartitionPiece>().swap(list);
}

void FreePartitionList() {
  std::vector<MbrImage>& list = state().images.mbrImages;
  for (MbrImage& m : list) {
    std::vector<uint8_t>().swap(m.heap);
    m.length = 0;
    m.offset = 0;
    m.layoutSize = 0;
    m.name.clear();
  }
  std::vector<MbrImage>().swap(list);
}

void FreeImageBuffers() {
  ImageBuffers& img = state().images;
  img.usbHwsetting.Free();
  for (ImageBuffer& b : img.boot) b.Free();
  for (ImageBuffer& b : img.singleMode) b.Free();
  img.norImage.Free();
  FreeEntryList();
  FreeFwEntryBuffers();
  FreeLayoutBuffers();
  FreePartitionList();
}

}  // namespace station
