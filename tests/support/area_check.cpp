#include "support/area_check.h"

#include <algorithm>

#include "foundation/aes128.h"
#include "support/factory_env.h"
#include "support/test_env.h"

namespace testenv {

namespace {

constexpr size_t kHead = 512;

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

StampedHead HeadOf(const std::string& area) {
  if (area.size() < kHead) return {};
  return {Le32(area, 500), Le32(area, 504), area.compare(508, 4, std::string("MVX\0", 4)) == 0};
}

std::string StampedArchive(const std::string& area, bool nas) {
  const StampedHead head = HeadOf(area);
  if (!head.mvx) return {};
  const uint64_t total = uint64_t(head.length) + kHead + (head.flag == 1 || nas ? 0 : 1024);
  if (total > area.size() || area.compare(head.length, kHead, area, 0, kHead) != 0) return {};
  if (area.find_first_not_of('\0', uint64_t(head.length) + kHead) < total) return {};
  return area.substr(0, total);
}

std::vector<std::pair<uint32_t, uint32_t>> BurntRemaps(const boardsim::Board& board) {
  const boardsim::BoardConfig& cfg = board.config();
  const std::string table = AsText(board.Flash(uint64_t(cfg.blockSizeK) * 1024, cfg.pageSize));
  std::vector<std::pair<uint32_t, uint32_t>> remaps;
  for (size_t at = 0; at + 8 <= table.size(); at += 8) {
    auto le16 = [&](size_t o) { return uint32_t(uint8_t(table[at + o])) | uint32_t(uint8_t(table[at + o + 1])) << 8; };
    if (le16(0) != 0) break;
    remaps.emplace_back(le16(2), le16(6));
  }
  return remaps;
}

std::string NandArea(const boardsim::Board& board, uint64_t offset, uint64_t length,
                     const std::vector<std::pair<uint32_t, uint32_t>>& remaps) {
  const uint64_t block = uint64_t(board.config().blockSizeK) * 1024;
  std::string out;
  while (out.size() < length) {
    const uint64_t at = offset + out.size();
    uint64_t b = at / block;
    for (const auto& [bad, replacement] : remaps)
      if (bad == b) b = replacement;
    const uint64_t n = std::min(length - out.size(), block - at % block);
    out += AsText(board.Flash(b * block + at % block, n));
  }
  return out;
}

std::string EmmcArea(const boardsim::Board& board, uint64_t sector, uint64_t length) {
  return AsText(board.Flash(sector * 512, length));
}

std::string ArchiveMember(const std::string& archive, const std::filesystem::path& into, const std::string& name) {
  std::filesystem::create_directories(into.parent_path());
  const std::filesystem::path file = into.string() + ".tar";
  WriteFile(file, archive);
  if (UnpackedMembers(file.string(), into).empty()) return {};
  return ReadFile(into / name);
}

std::string StoredSecureKey(const std::string& storageArchive, const std::filesystem::path& into,
                            std::string* boardKey) {
  const std::string stored = ArchiveMember(storageArchive, into, "tmp/se_storage/key_bag_final_sig_enc.bin");
  const std::filesystem::path ktee = into / "tmp/se_storage/ktee.bin";
  const std::string key = std::filesystem::exists(ktee) ? ReadFile(ktee) : std::string();
  if (boardKey) *boardKey = key;
  if (key.size() != 16 || stored.size() % 16 != 0) return stored;
  std::string plain(stored.size(), '\0');
  const uint8_t iv[16] = {};
  station::Aes128CbcDecrypt(reinterpret_cast<uint8_t*>(plain.data()), reinterpret_cast<const uint8_t*>(stored.data()),
                            stored.size(), reinterpret_cast<const uint8_t*>(key.data()), iv);
  return plain;
}

}  // namespace testenv
