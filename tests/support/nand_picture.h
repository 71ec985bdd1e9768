#pragma once
// What a NAND board must hold after a whole installation, drawn by the tests themselves from
// the package builder's description and the NAND layout rules (boot area from block 6, gold
// copies, head pages, bad block table in blocks 1 and 2, remapped blocks from the end of the
// flash downwards), independently of the station's installer.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "mkpackage/mkpackage.h"

namespace testenv {

using Bytes = std::vector<uint8_t>;

// More of the layout than the builder's default: a partition of two and a half blocks, and two
// small ones, the last not a whole number of pages.
mkpackage::PackageOptions RichNandPackage();

// What the board must hold: an erased flash with the writes laid on it in the order the
// station makes them. A write that meets a bad block puts that block's part at the start of
// the next replacement block, counted from the last block of the flash downwards.
class FlashPicture {
 public:
  struct Remap {
    uint32_t bad, replacement;
  };

  explicit FlashPicture(const boardsim::BoardConfig& cfg)
      : page_(cfg.pageSize),
        block_(uint64_t{cfg.blockSizeK} * 1024),
        blocks_(cfg.nandSizeM * 1024 / cfg.blockSizeK),
        bad_(cfg.badBlocks),
        image_(uint64_t{cfg.nandSizeM} << 20, 0xFF) {}

  uint64_t block() const { return block_; }
  uint64_t page() const { return page_; }
  uint64_t pagesPerBlock() const { return block_ / page_; }
  const Bytes& image() const { return image_; }
  const std::vector<Remap>& remaps() const { return remaps_; }

  void Write(uint64_t offset, const Bytes& data) {
    const uint64_t end = offset + data.size();
    for (uint64_t at = offset; at < end;) {
      const uint64_t b = at / block_;
      const uint64_t to = std::min(end, (b + 1) * block_);
      uint64_t dest = at;
      if (IsBad(b)) dest = NextReplacement(b) * block_;
      std::copy(data.begin() + (at - offset), data.begin() + (to - offset), image_.begin() + dest);
      at = to;
    }
  }

  // A head page over a bad block is kept in a replacement block and sent again one block on
  // (one block fewer left). The board keeps it also in the same page of every block left in the
  // partition's area, except in bad blocks.
  void HeadPage(uint64_t pageNumber, int64_t blocksLeft, const Bytes& head) {
    while (IsBad(pageNumber / pagesPerBlock())) {
      std::copy(head.begin(), head.end(), image_.begin() + NextReplacement(pageNumber / pagesPerBlock()) * block_);
      pageNumber += pagesPerBlock();
      --blocksLeft;
    }
    for (int64_t k = 0; k <= blocksLeft; ++k) {
      const uint64_t page = pageNumber + k * pagesPerBlock();
      if (k > 0 && IsBad(page / pagesPerBlock())) continue;
      if ((page + 1) * page_ > image_.size()) break;
      std::copy(head.begin(), head.end(), image_.begin() + page * page_);
    }
  }

  // The table as it is burnt: one 8-byte entry per 5 % of the blocks.
  Bytes Table() const {
    const uint32_t n = blocks_ * 5 / 100;
    Bytes t(8 * n);
    for (uint32_t i = 0; i < n; ++i) {
      const bool used = i < remaps_.size();
      const uint16_t v[4] = {static_cast<uint16_t>(used ? 0 : 0xEEEE),
                             static_cast<uint16_t>(used ? remaps_[i].bad : 0xFFFE), 0,
                             static_cast<uint16_t>(used ? remaps_[i].replacement : 0x0FFF - i)};
      for (int f = 0; f < 4; ++f) {
        t[8 * i + 2 * f] = static_cast<uint8_t>(v[f]);
        t[8 * i + 2 * f + 1] = static_cast<uint8_t>(v[f] >> 8);
      }
    }
    return t;
  }

 private:
  bool IsBad(uint64_t b) const { return std::find(bad_.begin(), bad_.end(), b) != bad_.end(); }
  uint64_t NextReplacement(uint64_t bad) {
    const uint32_t r = blocks_ - 1 - static_cast<uint32_t>(remaps_.size());
    remaps_.push_back({static_cast<uint32_t>(bad), r});
    return r;
  }

  uint64_t page_, block_;
  uint32_t blocks_;
  std::vector<uint32_t> bad_;
  Bytes image_;
  std::vector<Remap> remaps_;
};

struct NandExpectation {
  bool onlyBootloader = false;
  bool secureOnly = false;
};


// Draws the installation of `pkg` on `pic`, from the package's description alone.
void DrawInstallation(FlashPicture& pic, const mkpackage::PackageInfo& pkg, NandExpectation x);

// The picture of `pkg` installed on a board of `cfg`, with the bad block table burnt into
// blocks 1 and 2 afterwards.
FlashPicture Installed(const boardsim::BoardConfig& cfg, const mkpackage::PackageInfo& pkg, NandExpectation x = {});

// Where two flash images first differ, for people: empty when they are equal.
std::string FirstDifference(const Bytes& got, const Bytes& want, uint64_t blockBytes);

}  // namespace testenv
