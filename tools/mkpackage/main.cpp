// mkpackage: builds an installation package, or the Tempfile folder of a station.
//
//   mkpackage package --out DIR [options]
//   mkpackage station --home DIR [--seed N] [--hwsetting-size BYTES]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mkpackage/mkpackage.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  mkpackage package --out DIR [options]   build DIR/install.img (and DIR/tree)\n"
    "  mkpackage station --home DIR [--seed N] [--hwsetting-size BYTES]\n"
    "                                          write the station's Tempfile folder\n"
    "package options:\n"
    "  --folder package5|omv|generic   package folder (default package5)\n"
    "  --flash-size N                  put layout.txt into <folder>_<N>gb/\n"
    "  --seed N                        contents seed (default 1)\n"
    "  --format gnu|ustar|posix        tar format of install.img (default gnu)\n"
    "  --lk                            bootloader_lk.tar with the LK pieces\n"
    "  --emmc                          MBR lines, no FW_PROFILE line\n"
    "  --nf-id NAME                    NAND model of the FW_PROFILE line\n"
    "  --entry KEY=BYTES               data size of one firmware entry\n"
    "  --partition N=BYTES             data size of partition N (replaces the default set)\n"
    "  --boot-size BYTES               size of each boot-loader piece\n"
    "  --first-offset BYTES            flash offset of the first entry (default: the first\n"
    "                                  boundary clear of the boot area and the factory data)\n"
    "  --block-size BYTES              NAND block size the package is made for (default 0x20000)\n"

    "  --alignment BYTES               flash placement and layout size unit (default 0x100000)\n"
    "  --no-layout | --no-bootloader | --no-config | --no-factory\n"
    "  --missing KEY                   leave the data file of KEY (or a boot member) out\n"
    "  --truncate BYTES                cut BYTES from the end of install.img\n"
    "  --no-end-blocks                 end install.img right after the last member\n"
    "  --bad-checksum MEMBER           spoil the header checksum of MEMBER\n";

uint64_t Number(const char* s) {
  char* end = nullptr;
  unsigned long long v = strtoull(s, &end, 0);
  if (!end || *end) {
    fprintf(stderr, "mkpackage: not a number: %s\n", s);
    exit(2);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string mode = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  size_t i = 0;
  auto value = [&]() -> const char* {
    if (i + 1 >= args.size()) {
      fprintf(stderr, "mkpackage: %s needs a value\n", args[i].c_str());
      exit(2);
    }
    return args[++i].c_str();
  };
  try {
    if (mode == "station") {
      std::string home;
      uint64_t seed = 1, hwSize = 4096;
      for (; i < args.size(); ++i) {
        if (args[i] == "--home") home = value();
        else if (args[i] == "--seed") seed = Number(value());
        else if (args[i] == "--hwsetting-size") hwSize = Number(value());
        else {
          fputs(kUsage, stderr);
          return 2;
        }
      }
      if (home.empty()) {
        fputs(kUsage, stderr);
        return 2;
      }
      mkpackage::StationFiles f = mkpackage::InstallStationFiles(home, seed, hwSize);
      printf("tempfile %s\n", f.tempfileDir.c_str());
      for (const std::string& p : f.hwsettingFiles) printf("hwsetting %s\n", p.c_str());
      printf("env template %s\nfactory template %s\n", f.envTemplate.c_str(), f.factoryTemplate.c_str());
      for (const std::string& p : f.keyBagTools) printf("key-bag tool %s\n", p.c_str());
      printf("archiver %s\n", f.archiver.c_str());
      return 0;
    }
    if (mode != "package") {
      fputs(kUsage, stderr);
      return 2;
    }
    mkpackage::PackageOptions o;
    std::vector<std::pair<std::string, uint64_t>> entrySizes;
    for (; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a == "--out") o.outDir = value();
      else if (a == "--folder") o.packageFolder = value();
      else if (a == "--flash-size") o.flashSizeGb = value();
      else if (a == "--seed") o.seed = Number(value());
      else if (a == "--format") {
        std::string f = value();
        if (f == "gnu") o.format = mkpackage::TarFormat::Gnu;
        else if (f == "ustar") o.format = mkpackage::TarFormat::Ustar;
        else if (f == "posix") o.format = mkpackage::TarFormat::Posix;
        else {
          fprintf(stderr, "mkpackage: unknown format %s\n", f.c_str());
          return 2;
        }
      } else if (a == "--lk") o.lk = true;
      else if (a == "--emmc") o.emmc = true;
      else if (a == "--nf-id") o.nfId = value();
      else if (a == "--entry" || a == "--partition") {
        std::string kv = value();
        size_t eq = kv.find('=');
        if (eq == std::string::npos) {
          fprintf(stderr, "mkpackage: %s wants KEY=BYTES\n", a.c_str());
          return 2;
        }
        uint64_t bytes = Number(kv.c_str() + eq + 1);
        if (a == "--entry") {
          entrySizes.emplace_back(kv.substr(0, eq), bytes);
        } else {
          mkpackage::PartitionSpec p;
          p.number = static_cast<int>(Number(kv.substr(0, eq).c_str()));
          p.size = bytes;
          o.partitions.push_back(p);
        }
      } else if (a == "--boot-size") o.bootPieceSize = Number(value());
      else if (a == "--first-offset") o.firstOffset = Number(value());
      else if (a == "--alignment") o.alignment = Number(value());
      else if (a == "--block-size") o.nandBlockBytes = Number(value());

      else if (a == "--no-layout") o.noLayout = true;
      else if (a == "--no-bootloader") o.noBootloader = true;
      else if (a == "--no-config") o.noConfig = true;
      else if (a == "--no-factory") o.factoryTemplate = false;
      else if (a == "--missing") o.missingFiles.push_back(value());
      else if (a == "--truncate") o.truncateBytes = Number(value());
      else if (a == "--no-end-blocks") o.noEndBlocks = true;
      else if (a == "--bad-checksum") o.badChecksumMember = value();
      else {
        fprintf(stderr, "mkpackage: unknown option %s\n%s", a.c_str(), kUsage);
        return 2;
      }
    }
    if (o.outDir.empty()) {
      fputs(kUsage, stderr);
      return 2;
    }
    if (!entrySizes.empty()) {
      o.entries = mkpackage::DefaultEntries(o.emmc);
      for (const auto& [key, bytes] : entrySizes) {
        bool found = false;
        for (mkpackage::EntrySpec& e : o.entries)
          if (e.key == key) {
            e.size = bytes;
            found = true;
          }
        if (!found) {
          fprintf(stderr, "mkpackage: no entry %s in the default set\n", key.c_str());
          return 2;
        }
      }
    }
    fputs(mkpackage::Describe(mkpackage::BuildPackage(o)).c_str(), stdout);
    return 0;
  } catch (const std::exception& e) {
    fprintf(stderr, "mkpackage: %s\n", e.what());
    return 1;
  }
}
