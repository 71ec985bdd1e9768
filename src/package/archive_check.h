#pragma once
// Whether an archive holds all of its members' data. The unpacker writes a member that the
// archive's end cuts off as a short file without telling, and a short data file would load
// like a good one; the loaders check an archive with this before they use what it unpacked.
#include <string>

namespace station {

// The name of the first member whose data runs past the end of the archive ("?" for a member
// without a name), or empty when every member is whole or the archive cannot be opened.
std::string FirstCutMember(const std::string& archive);

}  // namespace station
