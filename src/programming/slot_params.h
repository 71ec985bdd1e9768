#pragma once
// A slot's parameter block: before each pass of a job the slot's counters of bytes still to
// send are set from the loaded installation image, one counter per loaded piece. The send
// routine counts them down as data goes out, which feeds the slot's percentage, and the
// procedures read them to know how much of each piece to send.
namespace station {

// Fills slot `slot`'s remaining-byte counters from the running station's image buffers and
// firmware entry table: the seven boot pieces (their recorded lengths, four times the bytes
// for NAND), the 24 firmware entries, one counter per partition piece and per MBR image, the
// entry list, the single-mode images and the NOR image. The slot's previous partition and MBR
// counters are replaced. A slot number outside 0..11 is ignored.
void FillDeviceParams(int slot);

}  // namespace station
