#include "support/install_env.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "support/test_env.h"

namespace testenv {

namespace fs = std::filesystem;

std::string TakeErrorLogs(const std::string& appDir) {
  const fs::path folder = fs::path(appDir) / "log" / "error_log";
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const fs::path& f : files) {
    all += ReadFile(f);
    fs::remove(f, ec);
  }
  return all;
}

bool HasInOrder(const std::string& text, const std::vector<std::string>& lines, std::string* missing) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find(line, at);
    if (found == std::string::npos) {
      if (missing) *missing = line;
      return false;
    }
    at = found + line.size();
  }
  return true;
}

}  // namespace testenv
