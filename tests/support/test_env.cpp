#include "support/test_env.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testenv {

namespace {
std::atomic<int> g_counter{0};
}

ScratchDir::ScratchDir() {
  // Under the system temporary folder: device nodes are sockets, whose paths must stay short.
  auto base = std::filesystem::temp_directory_path() / "fst";
  path_ = base / (std::to_string(getpid()) + "-" + std::to_string(g_counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
  const std::string s = ReadFile(p);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out << content;
}

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
  if (const char* v = std::getenv(name.c_str())) {
    had_ = true;
    old_ = v;
  }
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

int64_t UntilStartedClock::PeerPatienceMs(int64_t) {
  WaitRealSeconds(10, [&] { return std::filesystem::exists(marker_); });
  return 0;
}

bool WaitRealSeconds(int seconds, const std::function<bool()>& done) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (done()) return true;
    plat::RealClock().SleepMs(10);
  }
  return done();
}

}  // namespace testenv

namespace testenv {

StationFixture::StationFixture() : runtime("STATION_RUNTIME_DIR", (dir / "run").string()) {
  station::CreateNamedMutexes(*station);
}

}  // namespace testenv

namespace testenv {

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

int OpenDescriptorCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.is_symlink() ? 1 : 0;
  return n;
}

}  // namespace testenv

namespace testenv {

ScopedUmask::ScopedUmask(unsigned mask) : old_(::umask(static_cast<mode_t>(mask))) {}

ScopedUmask::~ScopedUmask() { ::umask(static_cast<mode_t>(old_)); }

int ModeOf(const std::filesystem::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

}  // namespace testenv
