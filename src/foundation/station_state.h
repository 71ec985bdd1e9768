#pragma once
// The station's shared state: what the main dialog owns and every worker thread shares.
// One object per running station (tests make their own). Each slot's job writes its own
// slot's entries; the members that other threads read meanwhile (the bound path, the MAC and
// SN texts, the lists of counters the percentage adds up) change only under the slot's lock.
// The image buffers are written only by the loaders, while no job holds the package
// (PackageUse).
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/fw_entry.h"
#include "foundation/package_use.h"
#include "foundation/progress_strip.h"
#include "foundation/splash_window.h"
#include "platform/named_mutex.h"
#include "platform/pages.h"
#include "platform/ui.h"

namespace station {

constexpr int kSlotCount = 12;
constexpr int kPathMax = 260;

// A board's open device (a connected socket on this platform); -1 when none is open.
using DevHandle = int;
constexpr DevHandle kInvalidHandle = -1;

// Dialog ids.
constexpr int kMainDialogId = 102;
constexpr int kOptionsDialogId = 189;
constexpr int kProgressDialogId = 190;
constexpr int kSplashDialogId = 184;

// Id of slot `slot`'s hidden log edit in the main dialog.
constexpr int DeviceLogControlId(int slot) { return 65535 - slot; }
constexpr int kMainLogControlId = 1005;  // in the options dialog

// The main dialog's two fonts, as ControlState::font values (the number is the font height).
constexpr int kLargeFont = 22;
constexpr int kSmallFont = 19;

// A single image buffer: bytes the state owns and the 32-bit length the procedures use
// (for NAND boot pieces the length is four times the bytes, as the boot-loader load records it).
struct ImageBuffer {
  std::vector<uint8_t> data;
  uint32_t length = 0;
  void Free() {
    std::vector<uint8_t>().swap(data);
    length = 0;
  }
};

// The seven boot pieces of the boot-loader archive, in the order the procedures use them.
enum BootPiece : int { kBootHwsetting, kBootCode, kBootFsbl, kBootTee, kBootBl31, kBootRsaFw, kBootRsaTee, kBootPieceCount };

// A partition piece (page-reserved memory) or an MBR image (heap memory).
struct ImageRecord {
  std::string name;
  uint64_t length = 0;
  plat::PageBuffer pages;      // partition pieces
  std::vector<uint8_t> heap;   // MBR images (file plus one zero byte)
  uint64_t offset = 0;
  uint64_t layoutSize = 0;
  const uint8_t* data() const { return pages.empty() ? heap.data() : pages.data(); }
};
using PartitionPiece = ImageRecord;
using MbrImage = ImageRecord;

struct EntryRecord {
  std::string name;
  uint32_t length = 0;
  std::vector<uint8_t> buffer;
};

// Every piece of the loaded installation image.
struct ImageBuffers {
  ImageBuffer usbHwsetting;
  std::array<ImageBuffer, kBootPieceCount> boot;
  ImageBuffer norImage;
  std::array<ImageBuffer, 4> singleMode;  // go-ddr (0), hwsetting (1), user data (2), special page (3)
  std::vector<EntryRecord> entryList;     // nothing fills it
  std::vector<MbrImage> mbrImages;
  std::vector<PartitionPiece> partitionPieces;
  std::vector<int64_t> partitionFileSizes;  // one per " PART" line of the layout
  int partitionCount = 0;
};

// A slot's bytes still to send, one counter per loaded piece (filled when a job is prepared).
struct RemainingBytes {
  std::array<int64_t, kBootPieceCount> boot{};
  std::array<int64_t, kFwEntryCount> entries{};
  std::vector<int64_t> partitions;  // per partition piece
  std::vector<int64_t> mbr;         // per MBR image
  std::vector<int64_t> entryList;   // per entry-list record
  std::array<int64_t, 4> singleMode{};
  int64_t norImage = 0;
};

struct DeviceSlot {
  // Guards DevicePath, the slot's MAC and SN texts, and the counter lists of Remaining and
  // PartRemaining while they are replaced (their counters themselves are read and written
  // through std::atomic_ref, see SlotCounter).
  mutable std::mutex lock;
  DevHandle DeviceHandle = kInvalidHandle;
  RemainingBytes Remaining;
  std::vector<int64_t> PartRemaining;  // one per layout entry
  std::atomic<int> Busy{0};
  std::string DevicePath;  // at most 259 characters; empty when the slot is free
  // The slot's own copy of the USB hardware-setting program (no other slot frees it while
  // this one sends it) and its bytes still to send.
  std::vector<uint8_t> HwsettingBuffer;
  int64_t HwsettingSize = 0;
};

// A slot's picture button: its pictures for the normal, selected and focused looks (0: none,
// the normal picture is drawn) and whether the button has been bound to its control yet.
struct SlotButton {
  std::atomic<bool> bound{false};
  std::atomic<int> normal{0};
  std::atomic<int> selected{0};
  std::atomic<int> focus{0};
};

struct StationState {
  StationState();
  ~StationState();
  StationState(const StationState&) = delete;
  StationState& operator=(const StationState&) = delete;

  ui::Dialog mainDlg{kMainDialogId, ""};
  ui::Dialog optionsDlg{kOptionsDialogId, "function type"};
  ui::Dialog progressDlg{kProgressDialogId, ""};
  ui::Dialog splashDlg{kSplashDialogId, ""};
  int DialogIcon = 128;  // icon resource of the main dialog

  ProgressStrip progress{progressDlg};
  SplashWindow splash{splashDlg, mainDlg};

  FwEntryTable* fwEntries = &fwEntryTable();

  std::array<std::array<uint8_t, 17>, kSlotCount> SlotKteeKey{};
  // Keys a board handed back to the key command, counted per slot: a key that no exchange
  // brought back is no key.
  std::array<std::atomic<uint32_t>, kSlotCount> SlotKteeKeyCount{};
  std::string PackageSubdir;
  std::string DdrFolderName;

  static constexpr int LargeFont = kLargeFont;
  static constexpr int SmallFont = kSmallFont;

  std::array<DeviceSlot, kSlotCount> slots;
  std::array<SlotButton, kSlotCount> slotButtons;
  std::array<std::string, kSlotCount> StorageTable, MacTable, SnTable;
  ImageBuffers images;
  std::array<std::string, kSlotCount> rememberedPaths;  // behind RememberedPath / SetRememberedPath
  mutable std::mutex rememberedLock;

  std::array<std::atomic<int>, kSlotCount> SlotResult{};
  std::array<std::atomic<int>, kSlotCount> HwsettingPending{};

  ui::Rect SavedClientRect;  // the base the children are scaled against on a resize
  bool LayoutReady = false;
  bool Minimised = false;
  std::atomic<int> ImageLoading{0};
  // The unpack progress shared by the unpacker and the package load: the bar's range (1 when
  // idle) and position (0 when idle).
  uint16_t UnpackProgressRange = 1;
  uint32_t UnpackProgressPos = 0;
  // True from the start of an image loading thread until its last step; its std::jthread
  // below stays joinable until the next start joins it.
  std::atomic<bool> OpenThreadRunning{false};
  std::atomic<bool> ReloadThreadRunning{false};

  // The named mutexes that serialise the factory-data stage, the efuse stage and binding.
  plat::NamedMutex MutexFactory;
  plat::NamedMutex MutexGoDdr;
  plat::NamedMutex MutexEnum;

  // The loaded package, held by every running job.
  PackageUse package;

  // Worker threads; a thread that is not joinable is "no thread". They are declared last so
  // that they are asked to stop and joined before any member they use goes away.
  std::array<std::jthread, kSlotCount> jobThreads;
  std::jthread ReloadThreadHandle;
  std::jthread OpenThreadHandle;
  std::jthread KeyHeaderThreadHandle;
};

// A counter of bytes still to send, read by the percentage while its job counts it down.
inline int64_t LoadCounter(const int64_t& c) { return std::atomic_ref<int64_t>(const_cast<int64_t&>(c)).load(std::memory_order_relaxed); }
inline void StoreCounter(int64_t& c, int64_t v) { std::atomic_ref<int64_t>(c).store(v, std::memory_order_relaxed); }

// The station's names: the three named mutexes.
inline constexpr const char* kMutexFactoryName = "MY_MUTEX_FACTORY";
inline constexpr const char* kMutexGoDdrName = "MY_MUTEX_GODDR";
inline constexpr const char* kMutexEnumName = "MY_MUTEX_ENUM";
// Creates the three named mutexes of `s`; false when any of them exists already (another
// station instance holds it) or cannot be made.
bool CreateNamedMutexes(StationState& s);
// Closes them (whoever holds one keeps nothing).
void CloseNamedMutexes(StationState& s);

// The path slot `slot` was last given, read and written under the state's remembered-path lock.
std::string RememberedPath(int slot);
void SetRememberedPath(int slot, const std::string& path);

// A slot's device handle as the display timer reads it while the slot's job opens and closes it.
inline DevHandle LoadHandle(const DevHandle& h) { return std::atomic_ref<DevHandle>(const_cast<DevHandle&>(h)).load(); }
inline void StoreHandle(DevHandle& h, DevHandle v) { std::atomic_ref<DevHandle>(h).store(v); }

// The slot's bound device path, its MAC and SN texts, read and written under the slot's lock.
std::string SlotDevicePath(int slot);
void SetSlotDevicePath(int slot, const std::string& path);
std::string SlotMacText(int slot);
void SetSlotMacText(int slot, const std::string& text);
std::string SlotSnText(int slot);
void SetSlotSnText(int slot, const std::string& text);
// The name of the archive that carries the slot's secure key, likewise.
std::string SlotStorageText(int slot);
void SetSlotStorageText(int slot, const std::string& text);

// The running station's state. Tests install their own with ScopedStation.
StationState& state();
void SetState(StationState* s);

// A fresh state with its dialogs built and the log boxes pointed at it, for one test or one
// run of the station.
class ScopedStation {
 public:
  ScopedStation();
  ~ScopedStation();
  StationState& operator*() { return *state_; }
  StationState* operator->() { return state_.get(); }

 private:
  std::unique_ptr<StationState> state_;
  StationState* previous_;
};

}  // namespace station
