#pragma once
// File and folder helpers used all over the station: copy, move and delete that retry until
// the file system shows the wanted result, folder trees, path texts, hexadecimal texts and
// whole-file reading and writing. Paths use "/"; lengths and offsets are 64-bit throughout.
// No helper raises an error or shows a message box: results and log lines say what happened.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/pages.h"

namespace ui {
class Dialog;
}

namespace station {

// A path of this many characters or more never exists (the station's path buffers hold 260).
constexpr size_t kMaxPathChars = 260;

// Retrying operations: each round does the step, waits (500 ms, growing by 500 ms a round,
// through the station clock) and then tests; at most 15 rounds. Every call waits at least once.
// CopyFileRetry overwrites the target; both it and MoveFileRetry succeed once the target exists
// (MoveFileRetry never replaces an existing target). DeleteFileRetry clears the read-only bit
// once, then succeeds once the path is gone (a path that never existed succeeds after one wait).
bool CopyFileRetry(const std::string& source, const std::string& target);
bool MoveFileRetry(const std::string& source, const std::string& target);
bool DeleteFileRetry(const std::string& path);
// Every delete removes a link itself, never what it points at. The forms below also take the
// folder `root` that `path` lies in (a work folder the station checked): no part of the path
// below `root` is followed when it is a link. A link standing where a folder of the path
// should be is removed itself and the file counts as gone (nothing of the tree was there).
// False at once for a path with a ".." part below `root`.
bool DeleteFileRetry(const std::string& path, const std::string& root);
// Whether `path` stands below `root` (itself, when it is a link), reached through no link.
bool FileThereBelow(const std::string& path, const std::string& root);
// Removes the folder `folder` below `root` with everything in it, the tree walked through
// the descriptors of its own folders; a link anywhere on the way or in the tree is removed
// itself, as is a file standing in the folder's place. True when nothing is left there.
bool RemoveDirTree(const std::string& folder, const std::string& root);
// A copy of a file that came from a board: the source must be a regular file below `root`,
// reached through no link, with no second name (a hard link can be any file the station can
// read) and of at most `maxBytes`; a refused source fails at once. The target is replaced and
// never written through a link standing in its place, and made 0600 (a board's files carry its
// key). The rounds of CopyFileRetry.
bool CopyBoardFileRetry(const std::string& source, const std::string& target, const std::string& root,
                        uint64_t maxBytes);
// A move for work files where a file left from an earlier board must never win over the new
// one: the target is replaced. The same rounds as above; true once the source is gone and the
// target is there after a move of this call. A source that is not there gives false at once.
bool MoveFileReplaceRetry(const std::string& source, const std::string& target);
constexpr int kRetryRounds = 15;
constexpr int64_t kRetryStepMs = 500;

// Creates every prefix of `path` cut at each "/" in turn, ignoring errors; true when the whole
// path exists afterwards (as a folder or anything else).
bool CreateMultiDir(const std::string& path);
// Creates the folder with every missing level; true only when it created it (an existing
// folder gives false).
bool CreateDirTree(const std::string& path);
// Deletes the contents of `folder` (the folder itself stays): files with the rounds of
// DeleteFileRetry, sub-folders emptied and removed only when `recurse`. The tree is walked
// through its folders' own descriptors: a link in it is removed, never followed, and a
// `folder` that is itself a link is left alone. When `progress` is given, control
// `progressId` of it is a progress bar: the entries found (with "." and "..") are added to
// `*count` and the range becomes 0 .. 7 * count (in 16 bits); every entry advances `*step`
// and sets the bar's position to it.
void DeleteDirTree(const std::string& folder, bool recurse, ui::Dialog* progress = nullptr,
                   int progressId = 0, uint16_t* count = nullptr, uint32_t* step = nullptr);

// `folder` and `file` joined by one "/", "." and ".." steps resolved; an absolute `file` is
// taken as it is. Empty when the result would be kMaxPathChars characters or more.
std::string CombinePath(const std::string& folder, const std::string& file);
// The station folder: the one set by SetAppDirOverride, else the executable's folder, without
// a trailing "/".
std::string GetAppDir();
// Sets the station folder GetAppDir reports (the station's --home, a test's scratch folder);
// an empty text goes back to the executable's folder. Use SetAppDir (work_paths.h) so that the
// work paths follow.
void SetAppDirOverride(const std::string& dir);
// The temporary folder: TEMP, else TMPDIR, else "/tmp" (an empty variable counts as unset).
std::string GetTempDir();
// The text after / before the last "/"; the whole text when there is none.
std::string GetFileNameFromPath(const std::string& path);
std::string GetDirFromPath(const std::string& path);
// Reads hexadecimal text from its last character back: A-F (either case) and 0-9 are digits,
// any other character is a 0 digit that still takes a place (so "10 " is 0x100).
uint64_t HexStrToU64(const std::string& text);
// Lines of a text file that contain `text`, the file read in pieces of at most 259
// characters (a longer line counts as several pieces); 0 when the file cannot be opened.
int CountLinesWithText(const std::string& file, const std::string& text);

bool FileExists(const std::string& path);
// The length of the file; false (and main-log line) when it cannot be opened.
bool getDataLen(const std::string& path, uint64_t& length);

// What file_read hands back: the file in a heap block followed by one zero byte (normal
// mode), or one chunk of it in page-reserved memory (chunk mode). The caller owns it.
struct FileBlock {
  std::vector<uint8_t> heap;
  plat::PageBuffer pages;
  uint8_t* data() { return pages.empty() ? heap.data() : pages.data(); }
  const uint8_t* data() const { return pages.empty() ? heap.data() : pages.data(); }
};

// Reads a file, or in chunk mode the piece `chunkIndex` of `chunkSize` bytes (the last piece
// holds what is left; chunkSize 0 reads the whole file). `length` receives the bytes read.
bool file_read(const std::string& path, FileBlock& buffer, uint64_t& length, bool chunkMode = false,
               uint64_t chunkIndex = 0, uint64_t chunkSize = 0);
// The running total of bytes reserved in chunk mode (a diagnostic figure; reset when a
// reservation fails).
uint64_t FileReadReservedTotal();

// Writes `length` bytes to `path` (created or truncated); false when the file cannot be
// opened or the bytes do not all reach it.
bool WriteBufToFile(const std::string& path, const void* data, uint64_t length);

// Writes `length` bytes (none: an empty file) to a new file `path` that only its owner can
// read and write: mode 0600 from its creation on, whatever the umask. For secret keys and the
// archives that carry them; an archiver then writes into the empty file and its mode stays. A
// file or link already at `path` is removed first (a link itself, never what it points at).
// False when the file cannot be made or the bytes do not all reach it; nothing is left then.
bool WritePrivateFile(const std::string& path, const void* data, uint64_t length);
// Opens `path` for writing as a file that only its owner can read and write, made with mode
// 0600 when it is not there: a new file in place of any file or link there, or, when
// `append`, the end of the file that is there. nullptr when it cannot be opened.
std::FILE* OpenPrivateFile(const std::string& path, bool append);

}  // namespace station
