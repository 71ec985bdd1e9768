#pragma once
// The station's own tar reader. An archive is a chain of 512-byte blocks: a header block, the
// member's data rounded up to whole blocks, the next header. The reader walks that chain
// through one file, checks each header's checksum and writes regular-file members into a
// folder. It never writes archives.
//
// It reads what GNU tar writes in its gnu, ustar and posix formats: base-256 numbers in the
// numeric fields, the ustar name prefix, GNU long-name members ('L', 'K') and pax extended
// headers ('x': path, linkpath, size). The long-name and pax members are still handed out as
// members of their own (extraction refuses them); they only give the member that follows
// them its real name and size.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace station {

constexpr int kTarBlockSize = 512;

struct TarHeader {
  std::string name;      // up to the first NUL of the field (all 100 characters when it has none)
  std::string mode;      // the field's 8 raw characters
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint64_t size = 0;     // length of the member's data
  uint64_t mtime = 0;
  uint64_t checksum = 0; // the stored value
  char typeflag = '\0';
  std::string linkname;
  // Filled only when the format is recognised (format != 0):
  std::string magic;     // the five characters at offset 257 ("ustar" or "GNUta")
  uint16_t version = 0;  // the two bytes at offset 263 as stored
  std::string uname;
  std::string gname;
  uint64_t devmajor = 0;
  uint64_t devminor = 0;
  std::string prefix;
  // 1: "ustar  \0" (GNU), 2: "GNUtar \0", 3: "ustar\0\0\0", 0: anything else (POSIX
  // "ustar\0" "00" included).
  int format = 0;
};

// Byte layout of a header block, for code that rewrites a header.
namespace tar_field {
constexpr int kName = 0, kNameLen = 100;
constexpr int kMode = 100, kUid = 108, kGid = 116, kSize = 124, kMtime = 136;
constexpr int kChksum = 148, kChksumLen = 8;
constexpr int kTypeflag = 156;
constexpr int kLinkname = 157, kLinknameLen = 100;
constexpr int kMagic = 257, kVersion = 263;
constexpr int kUname = 265, kGname = 297, kOwnerLen = 32;
constexpr int kDevmajor = 329, kDevminor = 337;
constexpr int kPrefix = 345, kPrefixLen = 155;
constexpr int kPadding = 500;  // 12 bytes, outside the checksum
}  // namespace tar_field

// The header checksum sum over bytes 0..499 with the checksum field counted as eight blanks:
// bytes taken as signed 8-bit values, and the POSIX sum with bytes taken unsigned. The two
// differ only when a byte is above 0x7F (a UTF-8 name, for example).
int64_t TarHeaderChecksum(const uint8_t* block);
int64_t TarHeaderChecksumUnsigned(const uint8_t* block);
// Whether `stored` is one of those sums, or one of the sums over all 512 bytes (as GNU tar
// reads a header, so that a head stamped in its unused tail still counts as one).
bool TarChecksumMatches(const uint8_t* block, uint64_t stored);

// Numeric fields of 12 and 8 characters: octal text (leading blanks and zeros skipped; a NUL
// or blank ends the number; any other non-octal character counts as the digit 0), or a
// base-256 number when the field's first byte has its high bit set (GNU tar's form for
// values too large for the octal field; a negative one reads as 0).
uint64_t ParseOctal12(const char* field);
uint64_t ParseOctal8(const char* field);

// One header block; the empty header when the checksum matches neither sum (a stored
// checksum of 0 is accepted whenever the name is not empty).
TarHeader ParseTarHeader(const uint8_t* block);

// True for a member name that stays inside the folder it is unpacked into: not empty, not
// absolute, and no ".." among its parts.
bool IsSafeMemberName(const std::string& name);

struct TarStream;

class TarEntry {
 public:
  bool IsEnd() const { return end_; }
  const TarHeader& Header() const { return header_; }
  int OpenMode() const { return openMode_; }
  uint64_t DataPosition() const { return dataPos_; }
  uint64_t Copied() const { return copied_; }
  int64_t LastRead() const { return lastRead_; }

  // Writes a regular-file member ('0' or NUL) to CombinePath(folder, name). The folder must
  // exist. False for other members, for a reader opened for writing, for a name that would
  // leave the folder, when the file cannot be created or written, and when the calling
  // thread is asked to stop before the copy ends (the file then holds what was copied).
  bool ExtractFile(const std::string& folder);
  // Copies the member's data, from the stream's current position, into `out`. Only right
  // after the NextEntry/FirstEntry that returned this entry. True also when the archive ends
  // before the member's data does; false when the member is no regular file, the reader was
  // opened for writing, `out` is not good or fails, or the calling thread is asked to stop
  // (plat::StopRequested) between two pieces.
  bool CopyData(std::ostream& out);

 private:
  friend class TarReader;
  friend TarEntry MakeEndTarEntry();
  template <class Sink>
  bool Copy(Sink&& sink);

  bool end_ = true;
  int openMode_ = 0;
  TarStream* stream_ = nullptr;
  uint64_t dataPos_ = 0;
  uint64_t copied_ = 0;
  int64_t lastRead_ = 0;
  TarHeader header_;
};

TarEntry MakeEndTarEntry();

class TarReader {
 public:
  TarReader();
  TarReader(const std::string& path, int mode);
  ~TarReader();
  TarReader(const TarReader&) = delete;
  TarReader& operator=(const TarReader&) = delete;

  // Mode 0 reads, 1 writes (truncating), 2 appends; any other value is taken as the open(2)
  // flags themselves. False when already open or when the file cannot be opened.
  bool Open(const std::string& path, int mode);
  bool IsOpen() const;
  const std::string& Path() const { return path_; }

  // Starts the walk over from the archive's first block.
  TarEntry FirstEntry();
  // The next member, or the end entry: at a short block, at a zero block, or when not open.
  TarEntry NextEntry();

 private:
  struct Pending;
  void ReadMeta(const TarHeader& h, uint64_t dataPos);

  std::string path_;
  std::unique_ptr<TarStream> stream_;
  int mode_ = 0;
  uint64_t nextHeader_ = 0;
  std::unique_ptr<Pending> pending_;  // long name, long link name, pax records for the next member
};

}  // namespace station
