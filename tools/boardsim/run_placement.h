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

  // Byte offset at which the chunk goes; updates the run state.
  uint64_t Place(const Chunk& c);
  void Reset();

 private:
  // The open run.
  bool open_ = false;
  uint32_t runAddress_ = 0;
  uint64_t cursor_ = 0;
  // The chunk placed last (a repeated chunk goes there again).
  bool haveLast_ = false;
  uint64_t lastOffset_ = 0;
};

}  // namespace boardsim
