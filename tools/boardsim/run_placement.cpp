// How a board places the chunks of a write.
//
// The station cuts a transfer into chunks; every chunk of a run carries the run's start address,
// and the low four bits of the indicator byte tell where the chunk stands:
//
//   1  opens a run at the wrapper's address; the chunk goes there and the run's cursor moves past
//      it.
//   0  continues the open run at its cursor, whatever address it carries. A 0 with no open run
//      opens one at its own address.
//   3  ends the run: with an open run at the same address it goes to the cursor; a lone 3 (no run
//      open) or a 3 whose address differs from the open run's is a run of its own at its address
//      (a short write, or the re-sent block after a bad block; an open run at another address
//      stays open).
//   2  is the chunk the board asked for again: it goes where the previous chunk went, and the
//      cursor moves past it from there.
//
// NAND writes leave blank pages out: a chunk whose tail pages are all 0xFF is sent cut short and
// carries 3 although the transfer goes on, and the next chunk of the same transfer follows with
// 0 (or 3 when it is the last) and the same address. Its place is one full chunk after the cut
// chunk's start, the cut pages staying erased. So for NAND flash writes a run that a 3 closed is
// remembered until the next exchange, and a 0 or 3 with the same address, opcode and part marker
// resumes it one transfer unit after the closing chunk's start. The transfer unit is the longest
// chunk of that run, or the longest first or middle chunk seen before when the run had only the
// cut chunk. Any other exchange (a read, a command, a DDR write) in between, or a 1, ends that.
//
// Everything the station leaves out reads back erased: a new board's flash is all 0xFF.
#include "boardsim/run_placement.h"

#include <algorithm>

namespace boardsim {

void RunPlacement::Reset() {
  open_ = false;
  haveLast_ = false;
  ended_ = false;
}

uint64_t RunPlacement::Place(const Chunk& c) {
  const bool resumable = resumeShort_ && ended_ && c.address == endedAddress_ &&
                         c.opcode == endedOpcode_ && c.partMarker == endedMarker_;
  uint64_t at = c.startOffset;
  switch (c.indicator) {
    case 1:
      open_ = true;
      runAddress_ = c.address;
      runUnit_ = 0;
      at = c.startOffset;
      break;
    case 0:
      if (open_ && c.address == runAddress_) {
        at = cursor_;
      } else if (resumable) {
        at = endedResume_;
        open_ = true;
        runAddress_ = c.address;
      } else if (open_) {
        at = cursor_;
      } else {
        open_ = true;
        runAddress_ = c.address;
        runUnit_ = 0;
        at = c.startOffset;
      }
      break;
    case 3:
      if (open_ && c.address == runAddress_) {
        at = cursor_;
      } else if (resumable) {
        at = endedResume_;
        open_ = true;  // closed again below
        runAddress_ = c.address;
      } else {
        at = c.startOffset;
        // A run of its own; an open run elsewhere is left as it is.
        haveLast_ = true;
        lastOffset_ = at;
        ended_ = resumeShort_;
        endedAddress_ = c.address;
        endedOpcode_ = c.opcode;
        endedMarker_ = c.partMarker;
        endedResume_ = at + std::max(c.length, learnedUnit_);
        return at;
      }
      break;
    default:  // 2
      at = haveLast_ ? lastOffset_ : c.startOffset;
      break;
  }

  haveLast_ = true;
  lastOffset_ = at;
  if (c.indicator == 0 || c.indicator == 1) {
    runUnit_ = std::max(runUnit_, c.length);
    learnedUnit_ = std::max(learnedUnit_, c.length);
  }
  if (c.indicator == 3) {
    const uint64_t unit = std::max({runUnit_, c.length, runUnit_ ? 0 : learnedUnit_});
    open_ = false;
    ended_ = resumeShort_;
    endedAddress_ = c.address;
    endedOpcode_ = c.opcode;
    endedMarker_ = c.partMarker;
    endedResume_ = at + unit;
  } else {
    if (c.indicator == 2 && !open_) {
      // The closing chunk was asked for again: the closed run may still resume after it.
      endedResume_ = at + std::max(c.length, runUnit_ ? runUnit_ : learnedUnit_);
    }
    cursor_ = at + c.length;
    if (c.indicator != 2) ended_ = false;
  }
  return at;
}

}  // namespace boardsim
