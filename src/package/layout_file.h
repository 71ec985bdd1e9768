#pragma once
// The installation package's layout file ("layout.txt") and the small text and path lookups
// the loaders share.
//
// A layout line names one flash entry: its key somewhere in the line (a firmware entry name
// with its trailing blank, " PART<n>" or " MBR<n>"), then fields searched from the key on, in
// any order: "target=", "offset=", "size=" (hexadecimal), " name=" (data file relative to the
// unpack root) and, on the FW_PROFILE line, " nf_id=" (the NAND model). A value runs from just
// behind its field name to the next blank or the end of the line. The file is read as text
// (CR LF counts as one line end) in pieces of at most 259 characters.
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/file_utils.h"
#include "platform/pages.h"

namespace station {

// Where ParseLayoutEntry puts an entry's data: a heap block of the whole file plus one zero
// byte, or page-reserved memory holding exactly the piece asked for.
enum class LayoutAlloc { Heap, Pages };

// Reads the line of `key` from the layout file at `layoutPath` and the data file it names.
// Returns 0 when the layout cannot be opened, when the line's offset is 0 (except for the keys
// "FW_PROFILE ", " MBR0", "FW_EFUSE_VERIFY " and "FW_EFUSE_PROGRAMMER "), when its size is 0,
// when the data cannot be read, or when the FW_PROFILE line's NAND model is not supported
// (after a warning box). Returns 1 otherwise, also when no line holds the key: then nothing
// is touched. On 1 with a line: `target` (when given) is the low 32 bits of target=, `offset`
// is offset=, `buffer` holds the data, `size` the bytes read (64-bit), and for partition keys
// `layoutSize` is the line's size=. With a non-zero `pieceSize` smaller than the file, piece
// `pieceIndex` of the file is read.
int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, FileBlock& buffer, uint64_t& size,
                     uint64_t& offset, uint64_t& layoutSize, LayoutAlloc mode, uint64_t pieceIndex,
                     uint64_t pieceSize, uint32_t* target);
// The same, with the data in page-reserved memory (firmware entries, partition pieces).
int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, plat::PageBuffer& buffer,
                     uint64_t& size, uint64_t& offset, uint64_t& layoutSize, uint64_t pieceIndex,
                     uint64_t pieceSize, uint32_t* target);
// The same, with the whole file in a heap block plus one zero byte (MBR images).
int ParseLayoutEntry(const std::string& layoutPath, const std::string& key, std::vector<uint8_t>& buffer,
                     uint64_t& size, uint64_t& offset, uint64_t& layoutSize, uint32_t* target);

// The value of field `key` in `text`: from just behind the first occurrence of `key` to the
// next blank, line end or the end of the text (the first character always belongs to the
// value unless it ends the line). Empty when `key` is absent.
std::string GetValueAfterKey(const std::string& key, const std::string& text);

// GetValueAfterKey(valueKey, ...) on the first line of the file that holds `lineKey`, from
// that key on; empty when the file cannot be opened or no line holds `lineKey`.
std::string GetValueFromFile(const std::string& path, const std::string& lineKey, const std::string& valueKey);

// "/" + ConvertSlash(the " name=" value of the first line holding `key`); empty when the file
// cannot be opened, no line holds the key or the value is empty. The name comes back as the
// layout gives it: its file is reached through UnpackedFilePath.
std::string GetPartitionPath(const std::string& path, const std::string& key);

// The first of "/package5", "/omv", "/generic" that exists under `folder`; empty for none.
std::string GetPackageDir(const std::string& folder);

// The flash-size variant folder for package folder `name` ("/package5" gives
// "/package5_8gb" when the options dialog's flash size box holds 8), or empty when the box
// is empty. When the folder is missing under the unpack root, or the size text would lead out
// of the unpacked tree (see UnpackedFilePath): a warning box and "FAIL".
std::string GetFlashSizeDir(const std::string& name);

// The path text with every "\" turned into "/" and every double quote and line-end character
// dropped.
std::string ConvertSlash(const std::string& text);

// The unpack root of the installation package: AppDir + "/UnTarTmp".
std::string UnTarTmpDir();

// UnTarTmpDir() + `below`, where `below` is "/" and a name relative to the unpack root, the
// way GetPartitionPath and GetFlashSizeDir give them. Empty for an empty name, and empty after
// the main-log line " layout skip unsafe name : <name> " when the name could lead out of the
// unpacked tree: absolute, with a ".." among its parts, naming the root itself, or reaching
// outside through a link inside the tree. A read of the empty path fails as a read of a
// missing file does.
std::string UnpackedFilePath(const std::string& below);

// The options dialog's flash total size box.
constexpr int kFlashTotalSizeEdit = 1149;

}  // namespace station
