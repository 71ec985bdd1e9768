// The single-mode operations against simulated boards: what each operation sends, as the
// board saw it, and how a job's single-mode run ends.
#include "programming/single_mode.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "programming/slot_params.h"
#include "support/app_dir.h"
#include "support/test_env.h"
#include "support/usb_sim.h"
#include "usblink/compare_mode.h"
#include "usblink/flash_options.h"
#include "usblink/flash_read.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using boardsim::BoardConfig;
using boardsim::Exchange;
using boardsim::FlashKind;
using testenv::FlashPattern;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 2;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kPagesPerBlock = 128 * 1024 / kPage;
constexpr uint8_t kOpWriteDdr = 0xF9;
constexpr uint8_t kOpRead = 0xF6;
constexpr uint8_t kOpSpare = 0xFC;
// Where the job's hardware setting went before the operation (out of the way of the cases).
constexpr uint32_t kPowerUpAddress = 0x3000000;

// The operation boxes, in the order they choose.
constexpr int kBoxes[] = {1026, 998, 1004, 1003, 1000, 1002, 1018, 1134, 1136, 1137, 999};

BoardConfig Board(FlashKind kind) {
  BoardConfig c;
  c.flash = kind;
  c.nandSizeM = 32;
  return c;
}

class SingleMode : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  SingleMode() {
    FreeImageBuffers();
    opt().SetChecked(option_id::kSingleMode, true);
    s().mainDlg.SetText(kNandModelList, "MX30LF1G18AC");
  }
  ~SingleMode() override { FreeImageBuffers(); }

  static StationState& s() { return state(); }
  static ui::Dialog& opt() { return state().optionsDlg; }

  // A single-mode file as its button leaves it: the bytes followed by one zero byte.
  static void LoadFile(int file, const Bytes& bytes) {
    ImageBuffer& b = s().images.singleMode[file];
    b.data = bytes;
    b.data.push_back(0);
    b.length = static_cast<uint32_t>(bytes.size());
  }
  // Checks box `id` and clears every other operation box.
  static void Choose(int id) {
    for (int box : kBoxes) opt().SetChecked(box, box == id);
  }

  // What the job did before the operation: the hardware setting and the DDR enable.
  static void PowerUp(SimBoard& b) {
    Bytes program(64, 0x5A);
    int64_t size = static_cast<int64_t>(program.size());
    int64_t none = 0;
    int32_t remaps = 0;
    const uint8_t type = b.board().config().flash == FlashKind::Nand ? 0 : 2;
    ASSERT_EQ(PerformReadTest(b.handle(), 0xF5, 0, kPowerUpAddress, program.data(), &size, 0, 0, 0, 0, 0x1000, type,
                              0, 0, 0, 0, 0, &remaps, nullptr, kSlot),
              kResultDone);
    ASSERT_EQ(PerformReadTest(b.handle(), 0xFA, 6, 0, nullptr, &none, 0, 0, 0, 0, 0, type, 0, 0, 0, 0, 0, &remaps,
                              nullptr, kSlot),
              kResultDone);
    b.board().clearExchanges();
  }

  // Runs the chosen operation as the single-mode stage of a job does, with the options read
  // from the dialog.
  static ResultCode Run(DevHandle device, const BoardConfig& cfg) {
    const FlashInfo info = testenv::FlashInfoOf(cfg, kSlot);
    BurnOption option;
    GetBurnOption(option, kSlot);
    FillDeviceParams(kSlot);
    DeviceSlot& dev = s().slots[kSlot];
    dev.DeviceHandle = device;
    const ResultCode rc = RunSingleModeOp(kSlot, dev, info, option);
    dev.DeviceHandle = kInvalidHandle;  // the board's own handle is closed by its owner
    return rc;
  }
  static ResultCode Run(SimBoard& b) { return Run(b.handle(), b.board().config()); }

  // The error log files of the station folder, oldest first, concatenated.
  std::string ErrorLogs() const {
    std::vector<fs::path> files;
    const fs::path folder = dir / "log" / "error_log";
    if (fs::exists(folder))
      for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const fs::path& f : files) all += testenv::ReadFile(f);
    return all;
  }
  // Whether a failure was reported under `label` with the message of `code`.
  ::testing::AssertionResult Reported(const std::string& label, ResultCode code) const {
    const std::string tail = label + "\r\n" + ResultMessage(code);
    const std::string logs = ErrorLogs();
    if (logs.find(tail) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no report \"" << tail << "\" in:\n" << logs;
  }
};

bool MainLogHas(const std::string& text) { return MainLogText().find(text) != std::string::npos; }

TEST_F(SingleMode, TheFirstCheckedBoxInItsOrderChoosesTheOperation) {
  struct Case {
    std::vector<int> checked;
    int op;
  };
  const Case cases[] = {
      {{}, single_op::kNone},
      {{999, 1137, 1136, 1134, 1018, 1002, 1000, 1003, 1004, 998, 1026}, single_op::kGoDdr},
      {{999, 1004, 998}, single_op::kHwsetting},
      {{1003, 1004}, single_op::kUserData},
      {{1002, 1000}, single_op::kSystemReset},
      {{1134, 1018}, single_op::kKsKey},
      {{1137, 1136}, single_op::kReadMode},
      {{999, 1137}, single_op::kReadSpare},
      {{999}, single_op::kBurnEfuse},
  };
  for (const Case& c : cases) {
    for (int box : kBoxes)
      opt().SetChecked(box, std::find(c.checked.begin(), c.checked.end(), box) != c.checked.end());
    EXPECT_EQ(GetSingleModeOp(), c.op) << "first of " << c.checked.size() << " boxes";
  }
}

// Every command of the operations 0 to 7 as the board receives it. The board is an eMMC
// (flash type 2), so that a flash type of 0 in the command block stands out.
TEST_F(SingleMode, EachCommandReachesTheBoardAsItsOperationSends) {
  struct Case {
    const char* name;
    int box;
    int file;            // the single-mode file sent, -1 for a command without data
    const char* start;   // "Start address:" text
    uint8_t opcode, subCode;
    uint32_t address;
    bool geometry, flashType, partMarker, routing;
    bool toDdr;          // where the file lands: DDR at the address, else flash
    const char* mainLine;
  };
  const Case cases[] = {
      {"run goddr", 1026, kFileGoDdr, "7000", 0xF9, 5, 0x7000, false, true, false, true, true,
       "\r\nstart address : 7000\r\ngojump: 1 \r\n"},
      {"run goddr at the default address", 1026, kFileGoDdr, "0", 0xF9, 5, kGoDdrDefaultAddress, false, true, false,
       true, true, "\r\nstart address : 1500000\r\ngojump: 1 \r\n"},
      {"write hwsetting", 998, kFileHwsetting, "40", 0xF5, 0, 0x40, true, true, true, true, true, nullptr},
      {"user data", 1004, kFileUserData, "40", 0xF4, 1, 0x40, true, true, true, true, false,
       "\r\nstart address : 0x40 \r\ngorojump: 1 \r\n"
       "device[2]:page size : 2048\r\neccbit: 5\r\ndata size:266240\r\n"},
      {"special case", 1003, kFileSpecialPage, "40", 0xF3, 4, 0x40, true, true, true, true, false, nullptr},
      {"run reset", 1000, -1, "40", 0xF2, 2, 0, false, true, true, false, false, nullptr},
      {"gen kn key", 1002, -1, "40", 0xF1, 3, 0, false, false, false, false, false, nullptr},
      {"gen ks key", 1018, -1, "40", 0xFB, 7, 0, false, false, false, false, false, nullptr},
      {"run ddr enable", 1134, -1, "40", 0xFA, 6, 0, false, true, true, false, false, nullptr},
  };
  const Bytes file = FlashPattern(0x40000 + 0x1000, 3);  // one whole transfer unit and a piece
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    if (c.file >= 0) LoadFile(c.file, file);
    SimBoard b(dir, Board(FlashKind::Emmc));
    PowerUp(b);
    Choose(c.box);
    opt().SetText(option_id::kStartAddress, c.start);
    opt().SetText(option_id::kEccBit, "5");
    opt().SetText(option_id::kPageSize, "800");
    opt().SetText(option_id::kBlockSizeK, "80");
    opt().SetText(option_id::kNandSizeM, "20");
    opt().SetText(option_id::kSpare, "23");
    opt().SetChecked(option_id::kSecure, true);
    opt().SetChecked(option_id::kGoJump, true);
    opt().SetText(kMainLogControlId, "");

    ASSERT_EQ(Run(b), kResultDone);

    const std::vector<Exchange> ex = b.board().exchanges();
    ASSERT_EQ(ex.size(), c.file >= 0 ? 2u : 1u) << "one chunk per transfer unit, or the bare command";
    for (const Exchange& e : ex) {
      EXPECT_EQ(e.opcode, c.opcode);
      EXPECT_EQ(e.subCode, c.subCode);
      EXPECT_EQ(e.address, c.address);
      EXPECT_EQ(e.eccCode, c.geometry ? 5 : 0);
      EXPECT_EQ(e.pageSize, c.geometry ? 0x800 : 0);
      EXPECT_EQ(e.blockSizeK, c.geometry ? 0x80u : 0u);
      EXPECT_EQ(e.flashSizeM, c.geometry ? 0x20u : 0u);
      EXPECT_EQ(e.flashType, c.flashType ? 2 : 0);
      EXPECT_EQ(e.partMarker, c.partMarker ? 0x23 : 0);
      EXPECT_EQ(e.extra, 0u);
      EXPECT_EQ(e.routingA, c.routing ? 1 : 0);
      EXPECT_EQ(e.routingB, c.routing ? 1 : 0);
    }
    if (c.file >= 0) {
      EXPECT_EQ(ex[0].transferLength, 0x40000u) << "the transfer unit of the options";
      const Bytes held = c.toDdr ? b.board().Ddr(c.address, static_cast<uint32_t>(file.size()))
                                 : b.board().Flash(uint64_t{c.address} * 512, file.size());
      EXPECT_TRUE(held == file);
      EXPECT_EQ(LoadCounter(s().slots[kSlot].Remaining.singleMode[c.file]), 0) << "the slot's counter is sent";
    } else {
      EXPECT_EQ(ex[0].transferLength, 5u);
    }
    if (c.mainLine) {
      EXPECT_TRUE(MainLogHas(c.mainLine)) << MainLogText();
    }
    EXPECT_TRUE(ErrorLogs().empty()) << ErrorLogs();
  }
}

TEST_F(SingleMode, KnKeyStartsFromAnEmptyKeyEvenWhenTheBoardGivesNone) {
  SimBoard b(dir, Board(FlashKind::Emmc));
  PowerUp(b);
  Choose(1002);
  s().SlotKteeKey[kSlot].fill(0xA5);  // the key of an earlier board
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });

  EXPECT_NE(Run(b), kResultDone);
  EXPECT_EQ(b.Exchanges(0xF1).size(), 1u);
  for (uint8_t byte : s().SlotKteeKey[kSlot]) EXPECT_EQ(byte, 0);
  EXPECT_TRUE(Reported("single mode:gen kn key", kResultCswStatus));
}

// The user data write on a NAND whose range holds a bad block: the write moves the block to a
// replacement through the operation's table, and the compare reads it from there. (The board's
// own table is read from blocks 1 and 2 first; the data lies clear of them.)
TEST_F(SingleMode, UserDataInCompareModeIsReadBackAndCompared) {
  struct Case {
    const char* name;
    int box;
    bool compare;
    int corruptExchange;  // -1: none; the two reads of the board's table come first
    ResultCode result;
    bool readBack;
  };
  const Case cases[] = {
      {"user data compared", 1004, true, -1, kResultDone, true},
      {"user data that differs", 1004, true, 2, kResultDataDiffers, true},
      {"user data without compare mode", 1004, false, -1, kResultDone, false},
      {"special page in compare mode", 1003, true, -1, kResultDone, false},
  };
  const Bytes data = FlashPattern(3 * kPagesPerBlock * kPage, 9);  // blocks 4, 5 and 6
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    if (c.box == 1004) {
      LoadFile(kFileUserData, data);
    } else {
      LoadFile(kFileSpecialPage, Bytes(data.begin(), data.begin() + kPage));
    }
    BoardConfig cfg = Board(FlashKind::Nand);
    cfg.badBlocks = {5};
    SimBoard b(dir, cfg);
    PowerUp(b);
    Choose(c.box);
    opt().SetText(option_id::kStartAddress, "100");  // page 256: block 4
    opt().SetChecked(option_id::kCompareMode, c.compare);
    b.SetFaults([&](boardsim::Faults& f) { f.corruptWriteExchange = c.corruptExchange; });
    opt().SetText(kMainLogControlId, "");

    EXPECT_EQ(Run(b), c.result);

    const std::vector<Exchange> reads = b.Exchanges(kOpRead);
    const auto ofData = [](const Exchange& e) { return e.address >= 4 * kPagesPerBlock; };
    EXPECT_EQ(std::any_of(reads.begin(), reads.end(), ofData), c.readBack);
    EXPECT_EQ(MainLogHas("single mode :start compare\r\n"), c.readBack);
    if (c.box == 1004 && c.corruptExchange < 0) {
      const uint64_t blockBytes = uint64_t{kPagesPerBlock} * kPage;
      const uint32_t replacement = 32 * 1024 / 128 - 1;  // the last block takes the first bad one
      EXPECT_TRUE(b.board().Flash(4 * blockBytes, blockBytes) == Bytes(data.begin(), data.begin() + blockBytes));
      EXPECT_TRUE(b.board().Flash(uint64_t{replacement} * blockBytes, blockBytes) ==
                  Bytes(data.begin() + blockBytes, data.begin() + 2 * blockBytes));
      EXPECT_TRUE(b.board().Flash(6 * blockBytes, blockBytes) == Bytes(data.begin() + 2 * blockBytes, data.end()));
    }
    if (c.readBack) {
      // A failed compare has saved the slot's log into the error log.
      const std::string log = c.result == kResultDone ? DeviceLogText(kSlot) : ErrorLogs();
      EXPECT_NE(log.find("device[2]-start compare single mode:user data\r\n "), std::string::npos);
    }
    if (c.result == kResultDataDiffers) {
      EXPECT_TRUE(Reported("single mode : compare data", kResultDataDiffers));
    }
  }
}

// The bad block table as a board carries it: one 8-byte entry per 5 % of the 256 blocks, the
// used ones first (bad block, replacement), then unused ones.
Bytes TableImage(const std::vector<std::pair<uint16_t, uint16_t>>& remaps) {
  Bytes t;
  for (uint16_t i = 0; i < 256 * 5 / 100; ++i) {
    const bool used = i < remaps.size();
    const uint16_t v[4] = {static_cast<uint16_t>(used ? 0 : 0xEEEE), used ? remaps[i].first : uint16_t{0xFFFE}, 0,
                           used ? remaps[i].second : static_cast<uint16_t>(0x0FFF - i)};
    for (uint16_t x : v) {
      t.push_back(static_cast<uint8_t>(x));
      t.push_back(static_cast<uint8_t>(x >> 8));
    }
  }
  return t;
}

// Single-mode flash writes keep the board's own bad block table: the installation's remap of
// block 20 to the last block stands, each write that meets a bad block takes the next
// replacement below the ones the table names, and both copies of the board's table hold
// every remap afterwards.
TEST_F(SingleMode, FlashWritesKeepTheBoardsBadBlockTable) {
  constexpr uint16_t kBlocks = 32 * 1024 / 128;
  constexpr uint64_t kBlockBytes = uint64_t{kPagesPerBlock} * kPage;
  BoardConfig cfg = Board(FlashKind::Nand);
  cfg.badBlocks = {6, 9, 20};
  SimBoard b(dir, cfg);
  const Bytes installed = FlashPattern(kBlockBytes, 11);
  b.board().WriteFlash((kBlocks - 1) * kBlockBytes, installed);
  for (uint64_t k : {1, 2}) b.board().WriteFlash(k * kBlockBytes, TableImage({{20, kBlocks - 1}}));
  PowerUp(b);

  // User data over blocks 5 to 7 (6 is bad), compared; then a special page in block 9 (bad).
  const Bytes user = FlashPattern(3 * kBlockBytes, 12);
  const Bytes special = FlashPattern(kPage, 13);
  LoadFile(kFileUserData, user);
  LoadFile(kFileSpecialPage, special);
  opt().SetChecked(option_id::kCompareMode, true);
  Choose(1004);
  opt().SetText(option_id::kStartAddress, "140");  // page 320
  EXPECT_EQ(Run(b), kResultDone);
  Choose(1003);
  opt().SetText(option_id::kStartAddress, "240");  // page 576
  EXPECT_EQ(Run(b), kResultDone);

  EXPECT_TRUE(b.board().Flash((kBlocks - 1) * kBlockBytes, kBlockBytes) == installed) << "the installation's block";
  EXPECT_TRUE(b.board().Flash((kBlocks - 2) * kBlockBytes, kBlockBytes) ==
              Bytes(user.begin() + kBlockBytes, user.begin() + 2 * kBlockBytes));
  EXPECT_TRUE(b.board().Flash((kBlocks - 3) * kBlockBytes, kPage) == special);
  const Bytes table = TableImage({{20, kBlocks - 1}, {6, kBlocks - 2}, {9, kBlocks - 3}});
  for (uint64_t k : {1, 2}) EXPECT_TRUE(b.board().Flash(k * kBlockBytes, table.size()) == table) << "block " << k;
  EXPECT_TRUE(ErrorLogs().empty()) << ErrorLogs();
}

// A file operation without its file, and a NAND flash write on a board whose table cannot be
// read, fail before anything is written.
TEST_F(SingleMode, RefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    int box;
    bool withFile;
    bool tableUnreadable;
    ResultCode result;
    const char* label;
    const char* prompt;  // nullptr: none
  };
  const Case cases[] = {
      {"go ddr without its file", 1026, false, false, kResultEmptyFile, "single mode:run goddr",
       "single mode : the file of \"Go ddr address\" is empty!"},
      {"hwsetting without its file", 998, false, false, kResultEmptyFile, "single mode:write hwsetting",
       "single mode : the file of \"HW Setting\" is empty!"},
      {"user data without its file", 1004, false, false, kResultEmptyFile, "single mode:user data",
       "single mode : the file of \"User data\" is empty!"},
      {"special page without its file", 1003, false, false, kResultEmptyFile, "single mode:special case",
       "single mode : the file of \"Special page\" is empty!"},
      {"user data, board table unreadable", 1004, true, true, kResultCswStatus, "single mode:user data", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    fs::remove_all(dir / "log");
    host->Clear();
    if (c.withFile) LoadFile(kFileUserData, FlashPattern(kPage, 1));
    SimBoard b(dir, Board(FlashKind::Nand));
    PowerUp(b);
    Choose(c.box);
    b.SetFaults([&](boardsim::Faults& f) { f.failStatusExchange = c.tableUnreadable ? 0 : -1; });

    EXPECT_EQ(Run(b), c.result);

    for (const Exchange& e : b.board().exchanges()) EXPECT_EQ(e.opcode, kOpRead) << "only the table's read";
    EXPECT_TRUE(c.withFile || b.board().exchanges().empty());
    EXPECT_TRUE(Reported(c.label, c.result));
    if (c.prompt) {
      ASSERT_EQ(host->Prompts().size(), 1u);
      EXPECT_EQ(host->Prompts()[0].text, c.prompt);
      EXPECT_EQ(host->Prompts()[0].caption, "WARNING");
    } else {
      EXPECT_TRUE(host->Prompts().empty());
    }
  }
}

// How the run ends before or without an operation on each kind of board.
TEST_F(SingleMode, PreparationAndNoOperation) {
  struct Case {
    const char* name;
    FlashKind kind;
    uint32_t nandSizeM;  // 1 MiB: too few blocks for a bad block table
    int box;             // 0: none checked
    ResultCode result;
    std::vector<std::pair<const char*, ResultCode>> reports;
    uint8_t sentOpcode;  // 0: nothing sent
  };
  const Case cases[] = {
      {"eMMC without an operation", FlashKind::Emmc, 32, 0, 0, {{"single mode:error case", 0}}, 0},
      {"NAND without a table or an operation", FlashKind::Nand, 1, 0, 22, {{"single mode:error case", 22}}, 0},
      {"NAND without a table still resets", FlashKind::Nand, 1, 1000, kResultDone, {{"nand gen bbt", 22}}, 0xF2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "log");
    host->Clear();
    BoardConfig cfg = Board(c.kind);
    cfg.nandSizeM = c.nandSizeM;
    SimBoard b(dir, cfg);
    PowerUp(b);
    Choose(c.box);

    EXPECT_EQ(Run(b), c.result);

    for (const auto& [label, code] : c.reports) EXPECT_TRUE(Reported(label, code));
    const std::vector<Exchange> ex = b.board().exchanges();
    if (c.sentOpcode) {
      ASSERT_EQ(ex.size(), 1u);
      EXPECT_EQ(ex[0].opcode, c.sentOpcode);
    } else {
      EXPECT_TRUE(ex.empty());
    }
    EXPECT_TRUE(host->Prompts().empty());
  }
}

TEST_F(SingleMode, WithoutANandModelTheDeviceIsClosedAndTheOperatorWarned) {
  DeviceSlot& dev = s().slots[kSlot];
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  s().mainDlg.SetText(kNandModelList, "");
  for (int id : {1068, 1067, 1064, 1145, 1048}) s().mainDlg.SetEnabled(id, false);
  Choose(1004);
  LoadFile(kFileUserData, FlashPattern(kPage, 1));
  FillDeviceParams(kSlot);
  dev.DeviceHandle = fd;

  EXPECT_EQ(RunSingleModeOp(kSlot, dev, testenv::FlashInfoOf(Board(FlashKind::Nand), kSlot), BurnOption{}), 22);

  EXPECT_EQ(dev.DeviceHandle, kInvalidHandle);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the handle was closed";
  ASSERT_EQ(host->Prompts().size(), 1u);
  EXPECT_EQ(host->Prompts()[0].text, "The nand flash model has not been selected yet!");
  EXPECT_EQ(host->Prompts()[0].caption, "WARNING");
  for (int id : {1068, 1067, 1064, 1145, 1048}) EXPECT_TRUE(s().mainDlg.Enabled(id)) << id;
  EXPECT_EQ(LoadCounter(dev.Remaining.singleMode[kFileUserData]), kPage) << "nothing was sent";
  EXPECT_TRUE(Reported("single mode:", 22)) << "no operation name: none was looked at";
}

TEST_F(SingleMode, ReadModeAndReadSpareReadWhatTheEditsName) {
  {
    SimBoard b(dir, Board(FlashKind::Emmc));
    const Bytes content = FlashPattern(1024, 4);
    b.board().WriteFlash(0x10 * 512, content);
    PowerUp(b);
    Choose(1136);
    opt().SetText(option_id::kStartAddress, "10");
    opt().SetText(option_id::kDataSize, "400");
    EXPECT_EQ(Run(b), kResultDone);
    const std::vector<Exchange> reads = b.Exchanges(kOpRead);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads[0].address, 0x10u);
    EXPECT_TRUE(testenv::ReadBytes(ReadBackFilePath(kSlot)) == content);
  }
  // "read spare" ends with 100 only when the words were read and saved, else with the read's code.
  struct Case {
    const char* name;
    bool failRead;
    bool fileBlocked;  // a folder stands where the spare file goes
    ResultCode result;
  };
  const Case cases[] = {
      {"read and saved", false, false, kResultDone},
      {"board fails the read", true, false, kResultCswStatus},
      {"spare file cannot be written", false, true, kResultReadDevice},
  };
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());  // the spare file goes to the current folder
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "spare_data.bin");
    fs::remove_all(dir / "log");
    if (c.fileBlocked) fs::create_directories(dir / "spare_data.bin");
    SimBoard b(dir, Board(FlashKind::Nand));
    const Bytes spare = FlashPattern(64, 5);
    b.board().WriteSpare(5, spare);
    PowerUp(b);
    Choose(1137);
    opt().SetText(option_id::kStartAddress, "5");
    opt().SetText(option_id::kSpareCount, "10");
    b.SetFaults([&](boardsim::Faults& f) { f.failStatusExchange = c.failRead ? 0 : -1; });
    EXPECT_EQ(Run(b), c.result);
    const std::vector<Exchange> reads = b.Exchanges(kOpSpare);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].address, 5u);
    EXPECT_EQ(reads[0].transferLength, 64u);
    if (c.result == kResultDone) {
      EXPECT_TRUE(testenv::ReadBytes(dir / "spare_data.bin") == spare);
    } else {
      EXPECT_TRUE(Reported("single mode:read spare mode", c.result));
    }
  }
  fs::remove_all(dir / "spare_data.bin");
  fs::current_path(previous);
}

class EfuseOp : public SingleMode {
 protected:
  EfuseOp() {
    fs::create_directories(dir / "efuse");
    Write("efuse_programmer.complete.enc", programmer);
    Write("efuse_verify.bin", verify);
    testenv::WriteFile(dir / "efuse" / "layout.txt", kLayout);
    Choose(999);
  }
  void Write(const std::string& name, const Bytes& b) {
    testenv::WriteFile(dir / "efuse" / name, std::string(b.begin(), b.end()));
  }
  static constexpr const char* kLayout =
      "fw = FW_KERNEL target=3000000 offset=400000 size=200000 name=kernel.bin\r\n"
      "fw = FW_EFUSE_PROGRAMMER target=1f00000 offset=0 size=1800 name=efuse_programmer.complete.enc\r\n"
      "fw = FW_EFUSE_VERIFY target=2000000 offset=0 size=900 name=efuse_verify.bin\r\n";
  const Bytes programmer = FlashPattern(0x1800, 11);
  const Bytes verify = FlashPattern(0x900, 12);
};

TEST_F(EfuseOp, ProgrammerThenVerifierGoIntoDdrAtTheirTargets) {
  EfuseImages images;
  ASSERT_TRUE(LoadEfuseFiles(images));
  EXPECT_EQ(images.programmerAddress, 0x1F00000u);
  EXPECT_EQ(images.verifyAddress, 0x2000000u);
  EXPECT_EQ(images.programmerLength, programmer.size());
  EXPECT_EQ(images.verifyLength, verify.size());

  SimBoard b(dir, Board(FlashKind::Nand));
  PowerUp(b);
  opt().SetText(option_id::kSpare, "23");
  opt().SetChecked(option_id::kSecure, true);
  opt().SetChecked(option_id::kGoJump, true);
  EXPECT_EQ(Run(b), kResultDone);

  const std::vector<Exchange> ex = b.board().exchanges();
  ASSERT_EQ(ex.size(), 2u);
  const uint32_t targets[] = {0x1F00000, 0x2000000};
  for (size_t i = 0; i < ex.size(); ++i) {
    EXPECT_EQ(ex[i].opcode, kOpWriteDdr);
    EXPECT_EQ(ex[i].subCode, 5);
    EXPECT_EQ(ex[i].address, targets[i]);
    EXPECT_EQ(ex[i].pageSize, kPage);
    EXPECT_EQ(ex[i].partMarker, 0x23);
    EXPECT_EQ(ex[i].routingA, 0) << "the options' routing values are not used";
    EXPECT_EQ(ex[i].routingB, i == 0 ? 0 : 1);
  }
  EXPECT_TRUE(b.board().Ddr(0x1F00000, static_cast<uint32_t>(programmer.size())) == programmer);
  EXPECT_TRUE(b.board().Ddr(0x2000000, static_cast<uint32_t>(verify.size())) == verify);
  const std::string log = DeviceLogText(kSlot);
  EXPECT_NE(log.find("efuse_programmer memaddress icon:[2]:32505856\r\n"), std::string::npos);
  EXPECT_LT(log.find("begin burn efuse_verify.bin\r\n"), log.find("efuse_verify memaddress icon:[2]:33554432\r\n"));
}

TEST_F(EfuseOp, MissingFilesOrAddressesSendNothing) {
  struct Case {
    const char* name;
    std::function<void()> spoil;
  };
  const Case cases[] = {
      {"no programmer", [&] { fs::remove(dir / "efuse" / "efuse_programmer.complete.enc"); }},
      {"no verifier", [&] { fs::remove(dir / "efuse" / "efuse_verify.bin"); }},
      {"no layout", [&] { fs::remove(dir / "efuse" / "layout.txt"); }},
      {"no line of the verifier",
       [&] { testenv::WriteFile(dir / "efuse" / "layout.txt", "fw = FW_EFUSE_PROGRAMMER target=1f00000\r\n"); }},
      {"programmer line without target",
       [&] {
         testenv::WriteFile(dir / "efuse" / "layout.txt",
                            "fw = FW_EFUSE_PROGRAMMER offset=0 size=1800\r\nfw = FW_EFUSE_VERIFY target=2000000\r\n");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "efuse");
    fs::create_directories(dir / "efuse");
    Write("efuse_programmer.complete.enc", programmer);
    Write("efuse_verify.bin", verify);
    testenv::WriteFile(dir / "efuse" / "layout.txt", kLayout);
    c.spoil();

    EfuseImages images;
    EXPECT_FALSE(LoadEfuseFiles(images));
    SimBoard b(dir, Board(FlashKind::Emmc));
    PowerUp(b);
    EXPECT_EQ(Run(b), 0);
    EXPECT_TRUE(b.board().exchanges().empty());
    EXPECT_TRUE(Reported("single mode:burn efuse", 0));
  }
}

TEST_F(EfuseOp, AFailedProgrammerIsNotFollowedByTheVerifier) {
  SimBoard b(dir, Board(FlashKind::Emmc));
  PowerUp(b);
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });

  const ResultCode rc = Run(b);
  EXPECT_NE(rc, kResultDone);
  const std::vector<Exchange> ex = b.board().exchanges();
  ASSERT_EQ(ex.size(), 1u);
  EXPECT_EQ(ex[0].address, 0x1F00000u);
  const std::string logs = ErrorLogs();
  EXPECT_NE(logs.find("burn efuse_programmer fail!\r\n"), std::string::npos);
  EXPECT_EQ(logs.find("begin burn efuse_verify.bin"), std::string::npos);
  EXPECT_TRUE(Reported("single mode:burn efuse", rc));
}

}  // namespace
}  // namespace station
