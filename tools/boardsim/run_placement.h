#pragma once
// Where a board puts the chunks of a write. See run_placement.cpp for the rule.
#include <cstdint>

namespace boardsim {

class RunPlacement {
 public:
  struct Chunk {
    uint8_t indicator = 0;     // low four bits of the indicator byte (0..3)
    uint32_t address = 0;      // the wrapper's address field
    uint64_t startOffset = 0;  // that address as a byte offset in the memory written
    uint64_t length = 0;       // bytes of the data phase
    uint8_t opcode = 0;
    uint16_t partMarker = 0;
  };

  // `resumeAfterShortChunk`: whether chunks cut short at a blank page may end a run in the
  // middle of a transfer (NAND flash writes).
  explicit RunPlacement(bool resumeAfterShortChunk = false) : resumeShort_(resumeAfterShortChunk) {}

  // Byte offset at which the chunk goes; updates the run state.
  uint64_t Place(const Chunk& c);
  // Anything but a write to this memory came between: a closed run is not resumed.
  void Interrupt() { ended_ = false; }
  void Reset();

 private:
  bool resumeShort_;
  // The open run.
  bool open_ = false;
  uint32_t runAddress_ = 0;
  uint64_t cursor_ = 0;
  uint64_t runUnit_ = 0;  // longest chunk of the run
  // The chunk placed last (a repeated chunk goes there again).
  bool haveLast_ = false;
  uint64_t lastOffset_ = 0;
  // The run that a last chunk just closed, which a chunk of the same write may resume.
  bool ended_ = false;
  uint32_t endedAddress_ = 0;
  uint8_t endedOpcode_ = 0;
  uint16_t endedMarker_ = 0;
  uint64_t endedResume_ = 0;
  // Longest first or middle chunk of any run so far: the station's transfer unit.
  uint64_t learnedUnit_ = 0;
};

}  // namespace boardsim
