#include "package/archive_check.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "package/tar_reader.h"

namespace station {

std::string FirstCutMember(const std::string& archive) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(archive, ec)) return {};
  const uint64_t fileSize = std::filesystem::file_size(archive, ec);
  if (ec) return {};
  TarReader reader(archive, 0);
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry())
    if (e.DataPosition() > fileSize || e.Header().size > fileSize - e.DataPosition())
      return e.Header().name.empty() ? "?" : e.Header().name;
  return {};
}

}  // namespace station
