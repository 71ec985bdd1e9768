#pragma once
// What the tests read back from a board's factory and storage areas, by their own reading of
// the flash: the stamped archive heads, a NAND area through the board's burnt bad block table,
// the archive's members and the secure key under the board's own key.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"

namespace testenv {

// The trailer of a stamped archive head (bytes 500 to 511).
struct StampedHead {
  uint32_t flag = 0;
  uint32_t length = 0;  // the archive's length before this stamp
  bool mvx = false;
};
StampedHead HeadOf(const std::string& area);

// The whole stamped archive at the start of `area`: a head stamped with flag 1 is followed
// by its copy only, one stamped by a builder (flag 0, not NAS) also by 1024 zero bytes.
// Empty when the area holds no stamped head, or when the head's copy is not where the
// length says.
std::string StampedArchive(const std::string& area, bool nas = false);

// The board's burnt table (block 1's copy): bad block to replacement.
std::vector<std::pair<uint32_t, uint32_t>> BurntRemaps(const boardsim::Board& board);

// `length` bytes of a NAND board's main area from byte `offset`, each block taken from its
// replacement when `remaps` names one.
std::string NandArea(const boardsim::Board& board, uint64_t offset, uint64_t length,
                     const std::vector<std::pair<uint32_t, uint32_t>>& remaps);
// `length` bytes of an eMMC board from `sector`.
std::string EmmcArea(const boardsim::Board& board, uint64_t sector, uint64_t length);

// Unpacks `archive` into `into` with GNU tar; the member `name` (path inside the archive).
std::string ArchiveMember(const std::string& archive, const std::filesystem::path& into, const std::string& name);

// The secure key of a storage archive, decrypted with the board key it holds (ktee.bin,
// AES-128-CBC, zero IV), or as stored when it holds no board key.
std::string StoredSecureKey(const std::string& storageArchive, const std::filesystem::path& into,
                            std::string* boardKey = nullptr);

}  // namespace testenv
