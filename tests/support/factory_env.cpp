#include "support/factory_env.h"

#include <sys/wait.h>

#include <algorithm>

#include "foundation/work_paths.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace testenv {

namespace fs = std::filesystem;

FactoryFixture::FactoryFixture() : tempDir((dir / "temp").string()), workDir(tempDir + "/mvx_tool") {
  fs::create_directories(tempDir);
  temp_ = std::make_unique<ScopedEnv>("TEMP", tempDir);
  station::SetAppDir(appDir);  // the work paths follow the new TEMP
}

void FactoryFixture::FakeArchiver(const std::string& body) {
  fs::create_directories(workDir);
  fs::permissions(workDir, fs::perms::owner_all);
  const fs::path tar = station::workPaths().TempToolTarExe;
  WriteFile(tar, "#!/bin/sh\n" + body + "\n");
  fs::permissions(tar, fs::perms::owner_all);
}

std::string FactoryFixture::MakeKeyBag(int keys, const std::vector<std::string>& options) {
  const std::string bag = (dir / "keys.bin").string();
  if (!MakeKeyBagAt(stationFiles.toolDir, bag, keys, options)) return {};
  plat::WriteProfileString("FACTORY", "KEY PATH", bag, stationFiles.toolDir + "/USBMPTOOL.ini");
  return bag;
}

std::string FactoryFixture::BagRecord(const std::string& bag, int index, const std::string& what) {
  return BagRecordAt(stationFiles.toolDir, bag, index, what, dir / ("record-" + what));
}

int FactoryFixture::Run(const std::string& program, std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), program);
  const pid_t pid = plat::SpawnProcess(program, args, cwd);
  if (pid < 0) return -1;
  int status = -1;
  if (plat::WaitProcess(pid, -1, &status) != plat::WaitOutcome::Exited) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool MakeKeyBagAt(const std::string& toolDir, const std::string& bag, int keys,
                  const std::vector<std::string>& options) {
  std::vector<std::string> args = {"create", bag, "--keys", std::to_string(keys), "--seed", "3", "--force"};
  args.insert(args.end(), options.begin(), options.end());
  return FactoryFixture::Run(toolDir + "/keybag-make", args) == 0;
}

std::string BagRecordAt(const std::string& toolDir, const std::string& bag, int index, const std::string& what,
                        const std::filesystem::path& scratch) {
  std::filesystem::remove(scratch);
  const std::vector<std::string> args = {"print", bag, std::to_string(index), what, "--out", scratch.string()};
  if (FactoryFixture::Run(toolDir + "/keybag-make", args) != 0) return {};
  return ReadFile(scratch);
}

std::vector<std::string> UnpackedMembers(const std::string& archive, const fs::path& into) {
  fs::remove_all(into);
  fs::create_directories(into);
  if (FactoryFixture::Run("/usr/bin/env", {"tar", "-xf", archive, "-C", into.string()}) != 0) return {};
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(into)) {
    std::string name = fs::relative(e.path(), into).string();
    if (e.is_directory() && !e.is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testenv
