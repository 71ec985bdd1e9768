// How a board places the chunks of a write.
//
// The station cuts a transfer into chunks; every chunk of a run carries the run's start address,
// and the low four bits of the indicator byte tell where the chunk stands:
//
//   1  opens a run at the wrapper's address; the chunk goes there and the run's cursor moves past
//      it.
//   0  continues the open run at its cursor. A 0 with no open run opens one at its own address.
//   3  ends the run: with an open run at the same address it goes to the cursor; a lone 3 (no run
//      open) or a 3 whose address differs from the open run's is a run of its own at its address
//      (a short write, or the re-sent block after a bad block; an open run at another address
//      stays open).
//   2  is the chunk the board asked for again: it goes where the previous chunk went, and the
//      cursor moves past it from there.
//
// A run ends with its 3. Whatever follows opens a new run, so a station that cuts a chunk short
// (leaving blank pages out) must send the next chunk as a new run at its own address. Everything
// the station leaves out reads back erased: a new board's flash is all 0xFF.
#include "boardsim/run_placement.h"

namespace boardsim {

void RunPlacement::Reset() {
  open_ = false;
  haveLast_ = false;
}

uint64_t RunPlacement::Place(const Chunk& c) {
  uint64_t at = c.startOffset;
  switch (c.indicator) {
    case 1:
      open_ = true;
      runAddress_ = c.address;
      break;
    case 0:
      if (open_) {
        at = cursor_;
      } else {
        open_ = true;
        runAddress_ = c.address;
      }
      break;
    case 3:
      if (open_ && c.address == runAddress_) {
        at = cursor_;
        open_ = false;
      } else {
        // A run of its own; an open run elsewhere is left as it is.
        haveLast_ = true;
        lastOffset_ = at;
        return at;
      }
      break;
    default:  // 2
      at = haveLast_ ? lastOffset_ : c.startOffset;
      break;
  }
  haveLast_ = true;
  lastOffset_ = at;
  if (c.indicator != 3) cursor_ = at + c.length;
  return at;
}

}  // namespace boardsim
