#include "mkpackage/mkpackage.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace mkpackage {

namespace fs = std::filesystem;

namespace {

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t NameHash(const std::string& name) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : name) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

// Fills `buf` with the part of the file's byte stream that starts at `offset` (a multiple of 8).
void FillSynthetic(uint64_t seed, const std::string& name, uint64_t offset, uint8_t* buf, size_t n) {
  // Each 8-byte word is a function of its index, so any piece of the file can be made alone.
  uint64_t base = seed * 0x9E3779B97F4A7C15ull ^ NameHash(name);
  uint64_t word = offset / 8;
  for (size_t i = 0; i < n; i += 8, ++word) {
    uint64_t state = base + word * 0xD1B54A32D192ED03ull;
    uint64_t v = SplitMix(state);
    size_t take = std::min<size_t>(8, n - i);
    memcpy(buf + i, &v, take);
  }
}

uint64_t RoundUp(uint64_t v, uint64_t to) { return to == 0 ? v : (v + to - 1) / to * to; }

std::string Hex(uint64_t v) {
  char b[32];
  snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

void WriteText(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw Error("cannot write " + p.string());
}

bool Missing(const PackageOptions& o, const std::string& what) {
  return std::find(o.missingFiles.begin(), o.missingFiles.end(), what) != o.missingFiles.end();
}

const char* FormatName(TarFormat f) {
  switch (f) {
    case TarFormat::Ustar: return "ustar";
    case TarFormat::Posix: return "posix";
    default: return "gnu";
  }
}

// tar options that make the same tree always give the same archive.
std::vector<std::string> ReproducibleTar(TarFormat format) {
  std::vector<std::string> a = {std::string("--format=") + FormatName(format), "--sort=name", "--owner=0",
                                "--group=0", "--numeric-owner", "--mtime=@0"};
  if (format == TarFormat::Posix) a.push_back("--pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime");
  return a;
}

uint64_t ReadNumber(const uint8_t* f, int width) {
  if (f[0] & 0x80) {
    uint64_t v = f[0] & 0x7F;
    for (int i = 1; i < width; ++i) v = (v << 8) | f[i];
    return v;
  }
  int i = 0;
  while (i < width && f[i] == ' ') ++i;
  uint64_t v = 0;
  for (; i < width && f[i] >= '0' && f[i] <= '7'; ++i) v = v * 8 + (f[i] - '0');
  return v;
}

struct MemberHeader {
  uint64_t headerPos = 0;
  std::string name;
  char typeflag = 0;
  uint64_t size = 0;
};

// The member headers of an archive made by GNU tar, in order (with the pax and long-name
// members among them), and where the data of the last one ends.
std::vector<MemberHeader> WalkArchive(const std::string& path, uint64_t* dataEnd) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read " + path);
  std::vector<MemberHeader> out;
  uint64_t pos = 0;
  *dataEnd = 0;
  uint8_t block[512];
  std::string longName;
  for (;;) {
    in.seekg(static_cast<std::streamoff>(pos));
    if (!in.read(reinterpret_cast<char*>(block), 512)) break;
    if (std::all_of(block, block + 512, [](uint8_t b) { return b == 0; })) break;
    MemberHeader h;
    h.headerPos = pos;
    size_t n = 0;
    while (n < 100 && block[n]) ++n;
    h.name.assign(reinterpret_cast<char*>(block), n);
    if (memcmp(block + 257, "ustar\0", 6) == 0 && block[345]) {
      size_t p = 0;
      while (p < 155 && block[345 + p]) ++p;
      h.name = std::string(reinterpret_cast<char*>(block + 345), p) + "/" + h.name;
    }
    h.typeflag = static_cast<char>(block[156]);
    h.size = ReadNumber(block + 124, 12);
    if (!longName.empty() && h.typeflag != 'L') {
      h.name = longName;
      longName.clear();
    }
    if (h.typeflag == 'L') {
      std::string data(h.size, '\0');
      in.read(data.data(), static_cast<std::streamsize>(h.size));
      longName = data.substr(0, data.find('\0'));
    }
    out.push_back(h);
    pos += 512 + RoundUp(h.size, 512);
    *dataEnd = pos;
  }
  return out;
}

void SpoilChecksum(const std::string& image, const std::string& member) {
  uint64_t end = 0;
  std::vector<MemberHeader> headers = WalkArchive(image, &end);
  auto it = std::find_if(headers.begin(), headers.end(), [&](const MemberHeader& h) {
    return h.name == member || h.name == member + "/" || h.name == "./" + member;
  });
  if (it == headers.end()) throw Error("no member " + member + " in " + image);
  std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
  uint8_t block[512];
  f.seekg(static_cast<std::streamoff>(it->headerPos));
  f.read(reinterpret_cast<char*>(block), 512);
  uint64_t stored = ReadNumber(block + 148, 8);
  // One more than the true sum: neither the signed nor the unsigned sum matches it, and it
  // is not 0 (which a reader may take as "no checksum").
  char field[9];
  snprintf(field, sizeof field, "%06llo", static_cast<unsigned long long>(stored + 1));
  memcpy(block + 148, field, 6);
  block[154] = '\0';
  block[155] = ' ';
  f.seekp(static_cast<std::streamoff>(it->headerPos));
  f.write(reinterpret_cast<char*>(block), 512);
  if (!f) throw Error("cannot rewrite " + image);
}

void Truncate(const std::string& path, uint64_t size) {
  std::error_code ec;
  fs::resize_file(path, size, ec);
  if (ec) throw Error("cannot truncate " + path + ": " + ec.message());
}

}  // namespace

const char* const kDdrFolderNames[8] = {"2DDR4_1GB", "2DDR4_2GB", "4DDR4_1GB", "4DDR4_2GB",
                                        "2DDR3_1GB", "2DDR3_2GB", "4DDR3_1GB", "4DDR3_2GB"};

std::vector<uint8_t> SyntheticData(uint64_t seed, const std::string& name, uint64_t size) {
  std::vector<uint8_t> v(size);
  FillSynthetic(seed, name, 0, v.data(), v.size());
  return v;
}

void WriteSyntheticFile(const std::string& path, uint64_t seed, const std::string& name, uint64_t size) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw Error("cannot create " + path);
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
    FillSynthetic(seed, name, done, buf.data(), n);
    out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(n));
    done += n;
  }
  if (!out) throw Error("cannot write " + path);
}

std::vector<EntrySpec> DefaultEntries(bool emmc) {
  std::vector<EntrySpec> v = {
      {"FW_KERNEL", "uImage", 0x10000, 0, 0, true, 0x03000000},
      {"FW_RESCUE_DT", "rescue.dtb", 0x2000, 0, 0, true, 0x02140000},
      {"FW_KERNEL_DT", "kernel.dtb", 0x2000, 0, 0, true, 0x02100000},
      {"FW_RESCUE_ROOTFS", "rescue.root.cpio.gz", 0x8000, 0, 0, true, 0x02200000},
      {"FW_KERNEL_ROOTFS", "kernel.root.cpio.gz", 0x8000, 0, 0, true, 0x02200000},
      {"FW_AKERNEL", "bluecore.audio", 0x4000, 0, 0, true, 0x0f900000},
      {"FW_FWTBL", "fw_tbl.bin", 0x400, 0, 0, true, 0x01ff0000},
  };
  if (!emmc) v.push_back({"FW_PROFILE", "profile.bin", 0x400, 0, 0, true, 0x01fe0000});
  // The efuse programs go to DDR only; they have no place in the flash.
  v.push_back({"FW_EFUSE_VERIFY", "efuse_verify.bin", 0x800, 0, 0, false, 0x01b00000});
  v.push_back({"FW_EFUSE_PROGRAMMER", "efuse_programmer.bin", 0x800, 0, 0, false, 0x01c00000});
  return v;
}

std::vector<PartitionSpec> DefaultPartitions() {
  return {{0, "rootfs.bin", 0x18000, 0, 0}, {1, "etc.bin", 0x8000, 0, 0}, {2, "cache.bin", 0x4000, 0, 0}};
}

std::vector<MbrSpec> DefaultMbrs() { return {{0, 512, 0}, {1, 512, 0x200000}}; }

std::vector<std::string> BootPieceMembers(bool lk) {
  if (lk) return {"hw_setting.bin", "lk.bin", "fsbl.bin", "tee_enc.bin", "bl31_enc.bin", "rsa_bin_tee.bin", "rsa_bin_fw.bin"};
  return {"hw_setting.bin", "uboot.bin", "fsbl.bin", "tee.bin", "bl31.bin", "rsa_bin_tee.bin", "rsa_bin_fw.bin"};
}

void RunTar(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"tar"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "tar", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) throw Error(std::string("cannot start tar: ") + strerror(rc));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw Error("cannot wait for tar");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string cmd;
    for (const std::string& a : all) cmd += a + " ";
    throw Error("tar failed: " + cmd);
  }
}

uint64_t FactoryDataEnd(const PackageOptions& o) {
  if (o.emmc) return 0x820000 + 0x200000;  // copy 1 behind the storage area, with se_storage
  const uint64_t b = o.nandBlockBytes;
  if (b == 0 || (b & (b - 1)) != 0) throw Error("the NAND block size must be a power of two");
  auto down = [b](uint64_t v) { return v & ~(b - 1); };
  const uint64_t plain = down(0x3FFFFF) + b - 0x400000 + (b < 0x40000 ? 74 : 50) * b;
  const uint64_t nas = down(4 * b - 1) + 4 * (down(0xBFFFF) + b) + 11 * b;
  const uint64_t x = down(0x7FFFFF) + 4 * down(0x7FFFF) + 15 * b;
  const uint64_t y = static_cast<uint64_t>(static_cast<double>(x) * 1.2);
  const uint64_t storage = ((y - 1) & ~(b - 1)) + b - 0x800000;
  uint64_t boot = 6 * b;
  for (const std::string& m : BootPieceMembers(o.lk)) {
    auto sz = o.bootPieceSizes.find(m);
    boot += 4 * RoundUp(std::max<uint64_t>(sz != o.bootPieceSizes.end() ? sz->second : o.bootPieceSize, 1), b);
  }
  return std::max({plain + 2 * 0x200000, nas + 2 * b + 0x200000, storage + 0x400000, boot});
}

uint64_t FirstFreeOffset(const PackageOptions& o) { return RoundUp(FactoryDataEnd(o), o.alignment); }

PackageInfo BuildPackage(const PackageOptions& o) {
  if (o.outDir.empty()) throw Error("no output folder");
  PackageInfo info;
  info.seed = o.seed;
  info.packageFolder = o.packageFolder;
  fs::path out = o.outDir;
  fs::path tree = out / "tree";
  fs::remove_all(tree);
  fs::create_directories(tree / o.packageFolder);
  info.treeDir = tree.string();
  info.imagePath = (out / "install.img").string();

  std::vector<EntrySpec> entries = o.entries.empty() ? DefaultEntries(o.emmc) : o.entries;
  std::vector<PartitionSpec> partitions = o.partitions.empty() ? DefaultPartitions() : o.partitions;
  std::vector<MbrSpec> mbrs = o.emmc ? (o.mbrs.empty() ? DefaultMbrs() : o.mbrs) : o.mbrs;

  auto place = [&](const std::string& key, const std::string& file, uint64_t size) {
    PlacedData d;
    d.key = key;
    d.member = o.packageFolder + "/" + file;
    d.size = size;
    d.present = !Missing(o, key);
    if (d.present) {
      d.path = (tree / d.member).string();
      WriteSyntheticFile(d.path, o.seed, d.member, size);
    }
    return d;
  };

  std::ostringstream layout;
  uint64_t next = o.firstOffset ? o.firstOffset : FirstFreeOffset(o);
  info.firstOffset = next;
  for (const EntrySpec& e : entries) {
    PlacedData d = place(e.key, e.file, e.size);
    d.layoutSize = e.layoutSize ? e.layoutSize : RoundUp(std::max<uint64_t>(e.size, 1), o.alignment);
    d.target = e.target;
    if (e.autoOffset && e.offset == 0) {
      d.offset = next;
      next = RoundUp(next + d.layoutSize, o.alignment);
    } else {
      d.offset = e.offset;
    }
    layout << "fw = " << e.key << " target=" << Hex(d.target) << " offset=" << Hex(d.offset)
           << " size=" << Hex(d.layoutSize) << " name=" << d.member;
    if (e.key == "FW_PROFILE") layout << " nf_id=" << o.nfId;
    layout << "\n";
    info.entries.push_back(d);
  }
  for (const PartitionSpec& p : partitions) {
    std::string key = "PART" + std::to_string(p.number);
    PlacedData d = place(key, p.file.empty() ? "part" + std::to_string(p.number) + ".bin" : p.file, p.size);
    d.layoutSize = p.layoutSize ? p.layoutSize : RoundUp(std::max<uint64_t>(p.size, 1), o.alignment);
    if (p.offset == 0) {
      d.offset = next;
      next = RoundUp(next + d.layoutSize, o.alignment);
    } else {
      d.offset = p.offset;
    }
    layout << "part = " << key << " offset=" << Hex(d.offset) << " size=" << Hex(d.layoutSize)
           << " name=" << d.member << "\n";
    info.partitions.push_back(d);
  }
  for (const MbrSpec& m : mbrs) {
    std::string key = "MBR" + std::to_string(m.number);
    PlacedData d = place(key, "mbr" + std::to_string(m.number) + ".bin", m.size);
    d.layoutSize = m.size;
    d.offset = m.offset;
    layout << "mbr = " << key << " offset=" << Hex(d.offset) << " size=" << Hex(d.layoutSize)
           << " name=" << d.member << "\n";
    info.mbrs.push_back(d);
  }

  if (!o.noLayout) {
    info.layoutMember = o.flashSizeGb.empty() ? "layout.txt" : o.packageFolder + "_" + o.flashSizeGb + "gb/layout.txt";
    WriteText(tree / info.layoutMember, layout.str());
  } else if (!o.flashSizeGb.empty()) {
    fs::create_directories(tree / (o.packageFolder + "_" + o.flashSizeGb + "gb"));
  }

  if (!o.noConfig)
    WriteText(tree / "config.txt",
              "install_factory=" + o.installFactory + "\ninstall_avfile_count=" + o.installAvfileCount + "\n");

  // The boot-loader archive: its seven pieces at its root.
  fs::path bootStage = out / "bootstage";
  fs::remove_all(bootStage);
  fs::create_directories(bootStage);
  std::vector<std::string> bootMembers;
  for (const std::string& m : BootPieceMembers(o.lk)) {
    BootPieceData b;
    b.member = m;
    auto sz = o.bootPieceSizes.find(m);
    b.size = sz != o.bootPieceSizes.end() ? sz->second : o.bootPieceSize;
    b.present = !Missing(o, m);
    if (b.present) {
      b.path = (bootStage / m).string();
      WriteSyntheticFile(b.path, o.seed, "boot/" + m, b.size);
      bootMembers.push_back(m);
    }
    info.bootPieces.push_back(b);
  }
  if (!o.noBootloader) {
    info.bootloaderMember = o.packageFolder + (o.lk ? "/bootloader_lk.tar" : "/bootloader.tar");
    std::vector<std::string> args = ReproducibleTar(TarFormat::Gnu);
    args.insert(args.end(), {"-C", bootStage.string(), "-cf", (tree / info.bootloaderMember).string()});
    if (bootMembers.empty()) args.insert(args.end(), {"-T", "/dev/null"});
    args.insert(args.end(), bootMembers.begin(), bootMembers.end());
    RunTar(args);
  }

  if (o.factoryTemplate) {
    fs::path factoryStage = out / "factorystage";
    fs::remove_all(factoryStage);
    WriteText(factoryStage / "000BootParam.h",
              "#define BOOT_PARAM_VERSION 1\n#define BOOT_PARAM_SEED " + std::to_string(o.seed) + "\n");
    info.factoryMember = o.packageFolder + "/factory.tar";
    std::vector<std::string> args = ReproducibleTar(TarFormat::Gnu);
    args.insert(args.end(), {"-C", factoryStage.string(), "-cf", (tree / info.factoryMember).string(), "000BootParam.h"});
    RunTar(args);
  }

  // install.img: the tree's top-level items, in name order.
  std::set<std::string> top;
  for (const auto& de : fs::directory_iterator(tree)) top.insert(de.path().filename().string());
  std::vector<std::string> args = ReproducibleTar(o.format);
  args.insert(args.end(), {"-C", tree.string(), "-cf", info.imagePath});
  args.insert(args.end(), top.begin(), top.end());
  RunTar(args);

  if (!o.badChecksumMember.empty()) SpoilChecksum(info.imagePath, o.badChecksumMember);
  if (o.noEndBlocks) {
    uint64_t end = 0;
    WalkArchive(info.imagePath, &end);
    Truncate(info.imagePath, end);
  }
  if (o.truncateBytes) {
    uint64_t size = fs::file_size(info.imagePath);
    Truncate(info.imagePath, o.truncateBytes < size ? size - o.truncateBytes : 0);
  }
  return info;
}

std::string Describe(const PackageInfo& info) {
  std::ostringstream s;
  s << "image " << info.imagePath << "\n";
  s << "tree " << info.treeDir << "\n";
  s << "package folder " << info.packageFolder << "\n";
  s << "layout " << (info.layoutMember.empty() ? "(none)" : info.layoutMember) << "\n";
  s << "bootloader " << (info.bootloaderMember.empty() ? "(none)" : info.bootloaderMember) << "\n";
  s << "factory template " << (info.factoryMember.empty() ? "(none)" : info.factoryMember) << "\n";
  auto line = [&s](const char* kind, const PlacedData& d) {
    s << kind << " " << d.key << " target=" << Hex(d.target) << " offset=" << Hex(d.offset)
      << " layout size=" << Hex(d.layoutSize) << " bytes=" << d.size << " " << d.member
      << (d.present ? "" : " (left out)") << "\n";
  };
  for (const PlacedData& d : info.entries) line("entry", d);
  for (const PlacedData& d : info.partitions) line("partition", d);
  for (const PlacedData& d : info.mbrs) line("mbr", d);
  for (const BootPieceData& b : info.bootPieces)
    s << "boot " << b.member << " bytes=" << b.size << (b.present ? "" : " (left out)") << "\n";
  return s.str();
}

namespace {

// The first executable regular file `name` in a folder of PATH, links followed.
fs::path FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const fs::path candidate = fs::path(dirs.substr(at, end - at)) / name;
    std::error_code ec;
    if (end > at && fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
      return fs::canonical(candidate);
    at = end + 1;
  }
  throw Error("no " + name + " on PATH");
}

std::string CopyProgram(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
  return to.string();
}

}  // namespace

StationFiles InstallStationFiles(const std::string& stationDir, uint64_t seed, uint64_t hwsettingSize) {
  StationFiles f;
  const fs::path tools = fs::path(stationDir) / "for_usb_mp_tool";
  f.toolDir = tools.string();
  for (const char* tool : {"keybag-gen", "keybag-view", "keybag-make"})
    f.keyBagTools.push_back(CopyProgram(fs::path(KEYBAG_TOOLS_DIR) / tool, tools / tool));
  f.archiver = CopyProgram(FindOnPath("tar"), tools / "keytemp" / "tar.exe");

  fs::path dir = fs::path(stationDir) / "Tempfile";
  fs::create_directories(dir);
  f.tempfileDir = dir.string();
  for (const char* ddr : kDdrFolderNames) {
    std::string name = std::string("tamor_usb_hwsetting_") + ddr + ".bin";
    std::string path = (dir / name).string();
    WriteSyntheticFile(path, seed, "Tempfile/" + name, hwsettingSize);
    f.hwsettingFiles.push_back(path);
  }

  // The boot loader's default environment: NUL-ended name=value entries.
  static const char* const kEnv[] = {"baudrate=115200", "bootdelay=0", "ethaddr=00:00:00:00:00:00",
                                     "ipaddr=192.168.0.9", "serverip=192.168.0.1", "bootcmd=go all"};
  std::string env;
  for (const char* e : kEnv) {
    env += e;
    env += '\0';
  }
  f.envTemplate = (dir / "6142_default_env.txt").string();
  WriteText(f.envTemplate, env);

  // The blank factory template: the factory folder of a board that has no board data yet.
  fs::path stage = fs::path(stationDir) / ".factorystage";
  fs::remove_all(stage);
  WriteText(stage / "000BootParam.h", "#define BOOT_PARAM_VERSION 1\n");
  f.factoryTemplate = (dir / "factory.tar").string();
  std::vector<std::string> args = ReproducibleTar(TarFormat::Gnu);
  args.insert(args.end(), {"-C", stage.string(), "-cf", f.factoryTemplate, "000BootParam.h"});
  RunTar(args);
  fs::remove_all(stage);

  // What the station ships as it is.
  const fs::path shipped = fs::path(STATION_RESOURCES_DIR) / "Tempfile";
  for (const auto& e : fs::directory_iterator(shipped)) {
    if (!e.is_regular_file()) continue;
    fs::copy_file(e.path(), dir / e.path().filename(), fs::copy_options::overwrite_existing);
  }
  f.nandSupportList = (dir / "nand_flash_support_list.xlsx").string();
  return f;
}

}  // namespace mkpackage
