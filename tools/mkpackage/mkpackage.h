#pragma once
// Builds installation packages the way a firmware build does: a package folder with the data
// files, "layout.txt" naming them, the boot-loader archive, "config.txt" and a factory
// template, all packed with GNU tar into "install.img". Contents are synthetic and follow from
// a seed, so a test can compute what a board must hold after the package was installed.
// Options leave pieces out or damage the archive, for the failure paths.
//
// It also makes what a station folder ships in "Tempfile": the hardware-setting programs of
// the eight DDR types, the default environment template and the blank factory template.
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace mkpackage {

enum class TarFormat { Gnu, Ustar, Posix };

// A firmware entry line of the layout: "fw = KEY target=.. offset=.. size=.. name=..".
struct EntrySpec {
  std::string key;          // "FW_KERNEL" (the layout key without its trailing blank)
  std::string file;         // data file name inside the package folder
  uint64_t size = 0;        // bytes of the data file
  uint64_t layoutSize = 0;  // the line's size=; 0: the data size rounded up to the alignment
  uint64_t offset = 0;      // the line's offset=; 0 with autoOffset: placed after the previous one
  bool autoOffset = true;
  uint32_t target = 0;      // the line's target= (DDR address)
};

// A partition line: "part = PART<n> offset=.. size=.. name=..".
struct PartitionSpec {
  int number = 0;
  std::string file;
  uint64_t size = 0;
  uint64_t layoutSize = 0;  // 0: the data size rounded up to the alignment
  uint64_t offset = 0;      // 0: placed after the previous one
};

// An MBR line of an eMMC package: "mbr = MBR<n> offset=.. size=.. name=..".
struct MbrSpec {
  int number = 0;
  uint64_t size = 512;
  uint64_t offset = 0;  // MBR0 stands at 0; the others wherever the caller puts them
};

struct PackageOptions {
  std::string outDir;                    // created if missing; receives install.img and tree/
  std::string packageFolder = "package5";  // "package5", "omv" or "generic"
  std::string flashSizeGb;               // not empty: layout.txt goes into <folder>_<N>gb/
  uint64_t seed = 1;
  TarFormat format = TarFormat::Gnu;
  bool lk = false;                       // bootloader_lk.tar with lk.bin, tee_enc.bin, bl31_enc.bin
  bool emmc = false;                     // MBR lines and no FW_PROFILE line
  std::string nfId = "MX30LF1G18AC";     // the FW_PROFILE line's NAND model
  uint64_t alignment = 0x100000;         // flash placement and layout size rounding
  // The NAND block size the package is made for (the default model's: 128 KiB); it decides
  // where the boot area and the factory data end (the page size only rounds their starts down).
  uint64_t nandBlockBytes = 0x20000;
  // Where the first automatically placed entry goes; 0: FirstFreeOffset(*this), the first
  // alignment boundary clear of the boot area and of the factory data.
  uint64_t firstOffset = 0;
  std::vector<EntrySpec> entries;        // empty: DefaultEntries(emmc)
  std::vector<PartitionSpec> partitions; // empty: DefaultPartitions()
  std::vector<MbrSpec> mbrs;             // empty (eMMC): DefaultMbrs()
  uint64_t bootPieceSize = 4096;         // bytes of each boot-loader piece
  std::map<std::string, uint64_t> bootPieceSizes;  // per member name, overrides bootPieceSize
  bool factoryTemplate = true;           // <folder>/factory.tar
  std::string installFactory = "y";      // config.txt
  std::string installAvfileCount = "1";

  // What to leave out or damage.
  bool noLayout = false;
  bool noBootloader = false;
  bool noConfig = false;
  std::vector<std::string> missingFiles;  // layout keys ("FW_KERNEL", "PART1") or boot members
  uint64_t truncateBytes = 0;             // bytes cut from the end of install.img
  bool noEndBlocks = false;               // install.img ends right after its last member's data
  std::string badChecksumMember;          // archive member (as tar names it) whose header is spoiled
};

struct PlacedData {
  std::string key;         // layout key as written: "FW_KERNEL", "PART0", "MBR0"
  std::string member;      // path in the archive and in the unpacked tree: "package5/uImage"
  std::string path;        // the file in the staging tree (absent when left out)
  uint64_t size = 0;       // bytes of data
  uint64_t layoutSize = 0;
  uint64_t offset = 0;
  uint32_t target = 0;
  bool present = true;
};

struct BootPieceData {
  std::string member;  // "hw_setting.bin", "uboot.bin", ...
  std::string path;    // the file as packed (absent when left out)
  uint64_t size = 0;
  bool present = true;
};

struct PackageInfo {
  std::string imagePath;           // <outDir>/install.img
  std::string treeDir;             // <outDir>/tree: the package as it unpacks
  std::string packageFolder;       // "package5"
  std::string layoutMember;        // "layout.txt" or "package5_8gb/layout.txt"; empty when left out
  std::string bootloaderMember;    // "package5/bootloader.tar"; empty when left out
  std::string factoryMember;       // "package5/factory.tar"; empty when none
  std::vector<PlacedData> entries;     // in layout order
  std::vector<PlacedData> partitions;  // in layout order
  std::vector<PlacedData> mbrs;
  std::vector<BootPieceData> bootPieces;  // in the order the station reads them
  uint64_t seed = 0;
  uint64_t firstOffset = 0;        // where the first automatically placed entry went
};

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The entry lines a NAND (or eMMC) firmware build writes, with small data sizes.
std::vector<EntrySpec> DefaultEntries(bool emmc);
std::vector<PartitionSpec> DefaultPartitions();
std::vector<MbrSpec> DefaultMbrs();
// The seven boot-loader members, in the order the station reads them.
std::vector<std::string> BootPieceMembers(bool lk);

// Where the factory data of the package's geometry ends, in bytes: the two factory copies
// (2 MiB each) and the storage area (4 MiB) of a board, with and without "NAS enable" on NAND
// and "burn se_storage" on eMMC, so that a board programmed from the package can carry its
// factory data. On NAND, also the end of the boot area: block 6 on, each of the seven boot
// pieces four times, block by block.
uint64_t FactoryDataEnd(const PackageOptions& options);
// The first placement boundary at or past FactoryDataEnd.
uint64_t FirstFreeOffset(const PackageOptions& options);

// Builds the package; throws Error when a file cannot be made or tar fails.
PackageInfo BuildPackage(const PackageOptions& options);

// What BuildPackage put where, one line per file, for people.
std::string Describe(const PackageInfo& info);

// The synthetic bytes of a file: a function of the seed and the file's name only.
std::vector<uint8_t> SyntheticData(uint64_t seed, const std::string& name, uint64_t size);
void WriteSyntheticFile(const std::string& path, uint64_t seed, const std::string& name, uint64_t size);

// The eight DDR folder names of the hardware-setting programs.
extern const char* const kDdrFolderNames[8];

struct StationFiles {
  std::string toolDir;                      // <stationDir>/for_usb_mp_tool
  std::vector<std::string> keyBagTools;     // keybag-gen, keybag-view, keybag-make in toolDir
  std::string archiver;                     // toolDir/keytemp/tar.exe: the system's GNU tar
  std::string tempfileDir;                  // <stationDir>/Tempfile
  std::vector<std::string> hwsettingFiles;  // tamor_usb_hwsetting_<DDR>.bin, in kDdrFolderNames order
  std::string envTemplate;                  // 6142_default_env.txt
  std::string factoryTemplate;              // factory.tar
  std::string nandSupportList;              // nand_flash_support_list.xlsx, the shipped default list
};

// Writes the Tempfile folder of a station: hardware-setting programs of `hwsettingSize` bytes,
// the environment template (NUL-ended name=value entries with a 17-character ethaddr) and
// the blank factory template, and the station's shipped files (resources/Tempfile: the default
// NAND support list); and its tool folder: the key-bag tools of this build, and GNU tar (the
// first "tar" on PATH) copied into keytemp under the name the station runs it by. Existing
// files are replaced.
StationFiles InstallStationFiles(const std::string& stationDir, uint64_t seed = 1, uint64_t hwsettingSize = 4096);

// Runs GNU tar with these arguments (no shell); throws Error when it fails.
void RunTar(const std::vector<std::string>& args);

}  // namespace mkpackage
