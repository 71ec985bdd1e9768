#pragma once
// Whether an archive holds all of its members' data. The unpacker writes a member that the
// archive's end cuts off as a short file without telling, and a short data file would load
// like a good one; the loaders check an archive with this before they use what it unpacked.
#include <cstddef>
#include <cstdint>
#include <string>

namespace station {

// The name of the first member whose data runs past the end of the archive ("?" for a member
// without a name), or empty when every member is whole or the archive cannot be opened.
std::string FirstCutMember(const std::string& archive);

// What an archive from outside the station (a board's read-back) may hold before it is
// unpacked: regular files and folders only, every name inside `top` (its first part) and the
// tree, every member and all of them together within their bounds, every member whole and
// every header sound. Links, hard links, devices, FIFOs, sparse members, extended (pax)
// headers and any member type the archiver knows and this check does not are refused.
struct UnpackLimits {
  std::string top;
  uint64_t maxMemberBytes = 0;
  uint64_t maxTotalBytes = 0;
};

struct ArchiveRefusal {
  std::string member;  // the refused member's name, printable (other bytes as \xNN); empty: none
  std::string reason;
  bool refused() const { return !reason.empty(); }
};

// The first member that may not be unpacked, and why; nothing when the archive may be.
ArchiveRefusal CheckArchiveBeforeUnpack(const std::string& archive, const UnpackLimits& limits);

}  // namespace station
