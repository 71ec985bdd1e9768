#include "package/layout_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/nand_support_list.h"
#include "package/tar_reader.h"
#include "platform/ui.h"

namespace station {

namespace {

constexpr size_t kLineBuffer = 260;  // a piece holds at most 259 characters

// Reads a text file the way fgets into a 260-byte buffer does, with CR LF read as one line
// end (text mode): each piece ends after its "\n" or after 259 characters.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : f_(std::fopen(path.c_str(), "rb")) {}
  ~LineReader() {
    if (f_) std::fclose(f_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool IsOpen() const { return f_ != nullptr; }

  bool Next(std::string& line) {
    line.clear();
    if (!f_) return false;
    while (line.size() < kLineBuffer - 1) {
      int c = std::fgetc(f_);
      if (c == EOF) break;
      if (c == '\r') {
        int d = std::fgetc(f_);
        if (d == '\n') {
          c = '\n';
        } else if (d != EOF) {
          std::ungetc(d, f_);
        }
      }
      line.push_back(static_cast<char>(c));
      if (c == '\n') break;
    }
    return !line.empty();
  }

 private:
  FILE* f_;
};

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The first piece of the file holding `key`, and where the key stands in it.
bool FindLine(LineReader& reader, const std::string& key, std::string& line, size_t& at) {
  while (reader.Next(line)) {
    at = line.find(key);
    if (at != std::string::npos) return true;
  }
  return false;
}

bool OffsetMayBeZero(const std::string& key) {
  return key == "FW_PROFILE " || key == " MBR0" || key == "FW_EFUSE_VERIFY " || key == "FW_EFUSE_PROGRAMMER ";
}

// True when `path`, with the links in it followed as far as they exist, stays inside `root`
// (the root itself does not count as inside).
bool ResolvesInside(const std::filesystem::path& root, const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::weakly_canonical(root, ec);
  if (ec) return false;
  const std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
  if (ec) return false;
  const std::filesystem::path rel = real.lexically_relative(base);
  return !rel.empty() && *rel.begin() != "." && *rel.begin() != "..";
}

// The layout reading itself; `loaded` tells whether `buffer` received data.
int ParseLayoutEntryInto(const std::string& layoutPath, const std::string& key, FileBlock& buffer, bool& loaded,
                         uint64_t& size, uint64_t& offset, uint64_t& layoutSize, LayoutAlloc mode,
                         uint64_t pieceIndex, uint64_t pieceSize, uint32_t* target);

}  // namespace

std::string UnTarTmpDir() { return workPaths().AppDir + "/UnTarTmp"; }

std::string UnpackedFilePath(const std::string& below) {
  if (below.empty() || below == "/") return {};
  const std::string name = below.front() == '/' ? below.substr(1) : below;
  const std::string path = UnTarTmpDir() + below;
  if (below.front() != '/' || !IsSafeMemberName(name) || !ResolvesInside(UnTarTmpDir(), path)) {
    PrintLog(" layout skip unsafe name : %s \r\n", name.c_str());
    return {};
  }
  return path;
}

std::string ConvertSlash(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"' || IsLineEnd(c)) continue;
    out.push_back(c == '\\' ? '/' : c);
  }
  return out;
}

std::string GetValueAfterKey(const std::string& key, const std::string& text) {
  size_t at = text.find(key);
  if (at == std::string::npos) return {};
  size_t start = at + key.size();
  if (start >= text.size() || IsLineEnd(text[start])) return {};
  size_t end = start + 1;  // the first character belongs to the value, even a blank
  while (end < text.size() && text[end] != ' ' && !IsLineEnd(text[end]) && text[end] != '\0') ++end;
  return text.substr(start, end - start);
}

std::string GetValueFromFile(const std::string& path, const std::string& lineKey, const std::string& valueKey) {
  LineReader reader(path);
  if (!reader.IsOpen()) return {};
  std::string line;
  size_t at = 0;
  if (!FindLine(reader, lineKey, line, at)) return {};
  return GetValueAfterKey(valueKey, line.substr(at));
}

std::string GetPartitionPath(const std::string& path, const std::string& key) {
  std::string v = GetValueFromFile(path, key, " name=");
  if (v.empty()) return {};
  return "/" + ConvertSlash(v);
}

std::string GetPackageDir(const std::string& folder) {
  for (const char* sub : {"/package5", "/omv", "/generic"})
    if (FileExists(folder + sub)) return sub;
  return {};
}

std::string GetFlashSizeDir(const std::string& name) {
  std::string size = state().optionsDlg.Text(kFlashTotalSizeEdit);
  if (size.empty()) return {};
  std::string variant = name + "_" + size + "gb";
  const std::string folder = UnpackedFilePath(variant);
  if (!folder.empty() && FileExists(folder)) return variant;
  ui::MessageBox("system.ini file flash size=" + size +
                     "gb.\r\nbut did not find the relevant directory\r\nplease check install.img or system.ini.\r\n",
                 "WARNING!", ui::MB_OK | ui::MB_ICONQUESTION);
  return "FAIL";
}

namespace {

int ParseLayoutEntryInto(const std::string& layoutPath, const std::string& key, FileBlock& buffer, bool& loaded,
                         uint64_t& size, uint64_t& offset, uint64_t& layoutSize, LayoutAlloc mode,
                         uint64_t pieceIndex, uint64_t pieceSize, uint32_t* target) {
  loaded = false;
  LineReader reader(layoutPath);
  if (!reader.IsOpen()) return 0;
  std::string line;
  size_t at = 0;
  // An entry the layout does not name is no error here: nothing is loaded for it.
  if (!FindLine(reader, key, line, at)) return 1;
  const std::string rest = line.substr(at);

  if (target) *target = static_cast<uint32_t>(HexStrToU64(GetValueAfterKey("target=", rest)));
  offset = HexStrToU64(GetValueAfterKey("offset=", rest));
  if (offset == 0 && !OffsetMayBeZero(key)) return 0;
  size = HexStrToU64(GetValueAfterKey("size=", rest));
  if (size == 0) return 0;

  // A name that would lead out of the unpacked tree gives no path, and reads as a missing file.
  const std::string path = UnpackedFilePath("/" + ConvertSlash(GetValueAfterKey(" name=", rest)));
  FileBlock block;
  uint64_t n = 0;
  if (!file_read(path, block, n, mode == LayoutAlloc::Pages, pieceIndex, pieceSize)) return 0;
  buffer = std::move(block);
  loaded = true;

  if (key == "FW_PROFILE ") {
    std::string nfId = GetValueAfterKey(" nf_id=", rest);
    if (!SetupNandFlashSpec(-1, nfId)) {
      ui::MessageBox("setup nand flash spec failed!\r\nwithout this support nand flash models in the list.\r\nnand type :" +
                         nfId,
                     "WARNING", ui::MB_OK);
      return 0;
    }
  }
  if (key.find("PART") != std::string::npos) layoutSize = size;
  // From here on the entry's size is the length of its data in memory.
  size = n;
  return 1;
}

}  // namespace

int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, FileBlock& buffer, uint64_t& size,
                     uint64_t& offset, uint64_t& layoutSize, LayoutAlloc mode, uint64_t pieceIndex,
                     uint64_t pieceSize, uint32_t* target) {
  bool loaded = false;
  return ParseLayoutEntryInto(layoutPath, key, buffer, loaded, size, offset, layoutSize, mode, pieceIndex, pieceSize,
                              target);
}

int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, plat::PageBuffer& buffer,
                     uint64_t& size, uint64_t& offset, uint64_t& layoutSize, uint64_t pieceIndex,
                     uint64_t pieceSize, uint32_t* target) {
  FileBlock block;
  bool loaded = false;
  int r = ParseLayoutEntryInto(layoutPath, key, block, loaded, size, offset, layoutSize, LayoutAlloc::Pages,
                               pieceIndex, pieceSize, target);
  if (loaded) buffer = std::move(block.pages);
  return r;
}

int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, std::vector<uint8_t>& buffer,
                     uint64_t& size, uint64_t& offset, uint64_t& layoutSize, uint32_t* target) {
  FileBlock block;
  bool loaded = false;
  int r = ParseLayoutEntryInto(layoutPath, key, block, loaded, size, offset, layoutSize, LayoutAlloc::Heap, 0, 0,
                               target);
  if (loaded) buffer = std::move(block.heap);
  return r;
}

}  // namespace station
