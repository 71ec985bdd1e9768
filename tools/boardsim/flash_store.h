#pragma once
// A board's memory held sparsely: fixed-size segments taken on the first write that touches
// them, so that a large eMMC costs memory only where it was written. Unwritten bytes read as the
// store's fill value (0xFF for erased flash, 0 for DDR).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

class SparseStore {
 public:
  static constexpr uint64_t kSegment = 256u << 10;

  SparseStore() = default;
  SparseStore(uint64_t size, uint8_t fill) { Reset(size, fill); }
  void Reset(uint64_t size, uint8_t fill);

  uint64_t size() const { return size_; }
  uint8_t fill() const { return fill_; }
  // True when [offset, offset + length) lies inside the store.
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // Both clip nothing: the caller checks Contains first.
  void Write(uint64_t offset, const uint8_t* data, uint64_t length);
  void Read(uint64_t offset, uint8_t* out, uint64_t length) const;
  // Flips every bit of one stored byte (a write damaged on its way into the cells).
  void Corrupt(uint64_t offset);
  // True when at least one byte was ever written.
  bool touched() const { return touchedSegments_ > 0; }

  // The whole store into a file. `sparse`: unwritten segments are left as holes of the file
  // (they read back as 0, so only for a store whose fill is 0).
  bool Save(const std::string& path, bool sparse) const;

 private:
  uint8_t* SegmentFor(uint64_t index, bool wholeOverwritten);

  uint64_t size_ = 0;
  uint8_t fill_ = 0xFF;
  std::vector<std::unique_ptr<uint8_t[]>> segments_;
  uint64_t touchedSegments_ = 0;
};

}  // namespace boardsim
