#pragma once
// A station folder for the factory-data builders: the shipped files, the key-bag tools and
// GNU tar in its tool folder (mkpackage station), an unpacked package in UnTarTmp, and a
// temporary folder of its own for the work folder. Helpers put a fake archiver in place, make
// a key bag, and unpack what the station built with the system's GNU tar.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/package_env.h"

namespace testenv {

struct FactoryFixture : PackageFixture {
  FactoryFixture();

  // TempDir and the work folder under it.
  std::string tempDir;
  std::string workDir;

  // Makes the work folder and puts a shell script in place of the archiver there (the
  // station copies its archiver in only when none is there).
  void FakeArchiver(const std::string& body);
  // Makes a key bag of `keys` keys in the scratch folder and names it as "KEY PATH" in
  // USBMPTOOL.ini; its path.
  std::string MakeKeyBag(int keys, const std::vector<std::string>& options = {});
  // What keybag-make prints of record `index` of `bag` ("key", "mac" or "sn").
  std::string BagRecord(const std::string& bag, int index, const std::string& what);
  // Runs a program to its end in real time; its exit status (-1 when it did not start).
  static int Run(const std::string& program, std::vector<std::string> args, const std::string& cwd = "");

 private:
  std::unique_ptr<ScopedEnv> temp_;
};

// A key bag for fixtures that are no FactoryFixture: a bag
// of `keys` keys made at `bag` by the key-bag maker of `toolDir` (the same seed as
// FactoryFixture::MakeKeyBag, an existing file replaced); false when the maker failed.
bool MakeKeyBagAt(const std::string& toolDir, const std::string& bag, int keys,
                  const std::vector<std::string>& options = {});
// What the maker of `toolDir` prints of record `index` of `bag` ("key", "mac" or "sn"),
// passed through the file `scratch`; empty when there is no such record.
std::string BagRecordAt(const std::string& toolDir, const std::string& bag, int index, const std::string& what,
                        const std::filesystem::path& scratch);

// Unpacks `archive` with the system's GNU tar into a fresh folder `into` and lists what came
// out: paths relative to `into`, folders with a trailing "/", sorted. Empty when tar fails.
std::vector<std::string> UnpackedMembers(const std::string& archive, const std::filesystem::path& into);

}  // namespace testenv
