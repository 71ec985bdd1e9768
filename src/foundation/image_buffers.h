#pragma once
// Releasing the loaded installation image: every single buffer and every record list of the
// station state. Callers release only while no job uses the buffers (at shut-down, before a
// reload, from the options dialog). Releasing what is already released does nothing.
namespace station {

// Releases every buffer: the USB hardware setting, the seven boot pieces, the NOR image and
// the four single-mode buffers, then the lists in this order: entry list, firmware entries,
// partition pieces, MBR images.
void FreeImageBuffers();

void FreeEntryList();
// Empties the 24 firmware entries: Size and Offset become 0 and the data is released.
void FreeFwEntryBuffers();
// The partition pieces (page-reserved memory).
void FreeLayoutBuffers();
// The MBR images (heap memory).
void FreePartitionList();

}  // namespace station
