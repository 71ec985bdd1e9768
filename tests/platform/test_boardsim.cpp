// The board simulator driven over its device node by a tiny client of its own that builds the
// wrappers byte by byte, as the boards' documentation lays them out.
#include "boardsim/board_sim.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/aes128.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "support/test_env.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Bitwise CRC-32 (reflected 0xEDB88320), kept apart from the station's own.
uint32_t Crc(const Bytes& b) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t x : b) {
    c ^= x;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

struct Cbw {
  uint32_t signature = 0x43425355, tag = 0x12345678, transferLength = 0;
  uint8_t flags = 0, indicator = 3, routing = 0, blockLength = 28;
  uint8_t opcode = 0, subCode = 0;
  uint32_t address = 0;
  uint8_t ecc = 0, flashType = 0;
  uint16_t pageSize = 0;
  uint32_t blockSizeK = 0, flashSizeM = 0;
  uint16_t partMarker = 0;
  uint32_t extra = 0, crc = 0;

  Bytes Frame() const {
    Bytes b(43, 0);
    Put32(b, 0, signature);
    Put32(b, 4, tag);
    Put32(b, 8, transferLength);
    b[12] = flags;
    b[13] = uint8_t((indicator & 0x0F) | routing);
    b[14] = blockLength;
    b[15] = opcode;
    b[16] = subCode;
    Put32(b, 17, address);
    b[21] = ecc;
    b[22] = flashType;
    Put16(b, 23, pageSize);
    Put32(b, 25, blockSizeK);
    Put32(b, 29, flashSizeM);
    Put16(b, 33, partMarker);
    Put32(b, 35, extra);
    Put32(b, 39, crc);
    return b;
  }
};

struct Csw {
  uint32_t signature = 0, tag = 0, value = 0;
  uint8_t flagByte = 0, status = 0xEE;
  Bytes key;
  bool valid() const { return signature == 0x53425355 && tag == 0x12345678; }
};

uint8_t SubCodeOf(uint8_t op) {
  switch (op) {
    case 0xF1: return 3;
    case 0xF2: return 2;
    case 0xF3: return 4;
    case 0xF4: return 1;
    case 0xF9: return 5;
    case 0xFA: return 6;
    case 0xFB: return 7;
    default: return 0;  // 0xF5, 0xF6, 0xFC
  }
}

const Bytes kTest = {'t', 'e', 's', 't', 0};

class Client {
 public:
  explicit Client(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool connected() const { return fd_ >= 0; }
  // Something has arrived (looked at without waiting).
  bool HasData() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

  bool Send(const Bytes& frame) { return plat::WriteFrame(fd_, frame.data(), frame.size()); }
  plat::FrameResult Next(Bytes& out, int timeoutMs = 5000) { return plat::ReadFrame(fd_, out, timeoutMs); }

  std::optional<Csw> ReadCsw(int timeoutMs = 5000) {
    Bytes f;
    if (Next(f, timeoutMs) != plat::FrameResult::Ok || f.size() != 50) return std::nullopt;
    Csw c;
    c.signature = Get32(f, 0);
    c.tag = Get32(f, 4);
    c.value = Get32(f, 8);
    c.flagByte = f[12];
    c.status = f[13];
    c.key.assign(f.begin() + 14, f.begin() + 30);
    return c;
  }

  // A write or a no-data command: the wrapper (length and CRC of `data` unless `edit` changes
  // them), the data frame, then one status wrapper.
  Csw Write(uint8_t op, uint32_t address, uint8_t indicator, const Bytes& data,
            const std::function<void(Cbw&)>& edit = {}) {
    Cbw w;
    w.opcode = op;
    w.subCode = SubCodeOf(op);
    w.address = address;
    w.indicator = indicator;
    w.transferLength = uint32_t(data.size());
    w.crc = Crc(data);
    w.partMarker = 0xFF;
    if (edit) edit(w);
    EXPECT_TRUE(Send(w.Frame()));
    EXPECT_TRUE(Send(data));
    auto c = ReadCsw();
    EXPECT_TRUE(c.has_value());
    return c.value_or(Csw{});
  }
  Csw Command(uint8_t op) { return Write(op, 0, 3, kTest); }
  // The wrapper and the payload of a no-data command, leaving its status wrappers unread.
  bool SendCommand(uint8_t op) {
    Cbw w;
    w.opcode = op;
    w.subCode = SubCodeOf(op);
    w.transferLength = uint32_t(kTest.size());
    w.crc = Crc(kTest);
    return Send(w.Frame()) && Send(kTest);
  }

  // A read: the wrapper, then the data frame and the status wrapper.
  std::pair<Bytes, Csw> Read(uint8_t op, uint32_t address, uint32_t length) {
    Cbw w;
    w.opcode = op;
    w.subCode = 0;
    w.flags = 0x80;
    w.address = address;
    w.transferLength = length;
    EXPECT_TRUE(Send(w.Frame()));
    Bytes data;
    EXPECT_EQ(Next(data), plat::FrameResult::Ok);
    auto c = ReadCsw();
    EXPECT_TRUE(c.has_value());
    return {data, c.value_or(Csw{})};
  }

 private:
  int fd_ = -1;
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

boardsim::BoardConfig SmallNand() {
  boardsim::BoardConfig c;
  c.flash = boardsim::FlashKind::Nand;
  c.pageSize = 2048;
  c.blockSizeK = 128;  // 64 pages a block
  c.nandSizeM = 8;     // 64 blocks
  c.badBlocks = {5};
  return c;
}

boardsim::BoardConfig SmallEmmc() {
  boardsim::BoardConfig c;
  c.flash = boardsim::FlashKind::Emmc;
  c.emmcBytes = 4u << 20;
  return c;
}

constexpr uint32_t kHwAddress = 0x1500000;

class BoardSimTest : public ::testing::Test {
 protected:
  void Start(boardsim::BoardConfig cfg) {
    board_ = std::make_unique<boardsim::Board>(std::move(cfg));
    path_ = board_->Plug(folder(), "board-a");
    ASSERT_FALSE(path_.empty());
    client_ = std::make_unique<Client>(path_);
    ASSERT_TRUE(client_->connected());
  }
  // Hardware setting and DDR enable, as the station does before any flash write.
  void PowerOn() {
    ASSERT_EQ(client_->Write(0xF5, kHwAddress, 3, Pattern(300, 1)).status, 0);
    ASSERT_EQ(client_->Command(0xFA).status, 0);
  }
  // Faults of the plugged board, changed under its lock.
  template <class F>
  void SetFaults(F change) {
    std::lock_guard g(board_->lock());
    change(board_->faults());
  }
  std::string folder() const { return (dir_ / "{7b56a5d6-cd10-4410-9f59-9a5e71269882}").string(); }

  plat::ScopedFastClock clock_;
  testenv::ScratchDir dir_;
  std::unique_ptr<boardsim::Board> board_;
  std::unique_ptr<Client> client_;
  std::string path_;
};

// ---------------------------------------------------------------------------------------------

TEST_F(BoardSimTest, RefusesBrokenWrappersAndStaysInStep) {
  Start(SmallEmmc());
  PowerOn();
  const Bytes data = Pattern(1024, 9);
  struct Case {
    const char* name;
    std::function<void(Cbw&)> edit;
    bool dataPhase = true;  // a wrapper that announces a read has none
  };
  const Case cases[] = {
      {"signature", [](Cbw& w) { w.signature = 0x53425355; }},
      {"tag", [](Cbw& w) { w.tag = 0x12345679; }},
      {"command block length", [](Cbw& w) { w.blockLength = 27; }},
      {"sub-code", [](Cbw& w) { w.subCode = 0; }},
      {"unknown opcode", [](Cbw& w) { w.opcode = 0xF7; }},
      {"transfer length above the data frame", [](Cbw& w) { w.transferLength += 1; }},
      {"transfer length below the data frame", [](Cbw& w) { w.transferLength -= 1; }},
      {"payload CRC", [](Cbw& w) { w.crc ^= 1; }},
      {"unknown indicator", [](Cbw& w) { w.indicator = 5; }},
      {"read flag on a write", [](Cbw& w) { w.flags = 0x80; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.dataPhase) {
      EXPECT_EQ(client_->Write(0xF4, 16, 3, data, c.edit).status, 1);
    } else {
      Cbw w;
      w.opcode = 0xF4;
      w.subCode = 1;
      w.address = 16;
      w.transferLength = uint32_t(data.size());
      c.edit(w);
      ASSERT_TRUE(client_->Send(w.Frame()));
      auto s = client_->ReadCsw();
      ASSERT_TRUE(s);
      EXPECT_EQ(s->status, 1);
    }
    EXPECT_EQ(board_->Flash(16 * 512, data.size()), Bytes(data.size(), 0xFF));
  }
  // The stream is still in step: a sound write goes through.
  EXPECT_EQ(client_->Write(0xF4, 16, 3, data).status, 0);
  EXPECT_EQ(board_->Flash(16 * 512, data.size()), data);
}

TEST_F(BoardSimTest, AnswersAShortWrapperFrameWithAFailedStatus) {
  Start(SmallEmmc());
  Bytes frame = Cbw{}.Frame();
  frame.pop_back();
  ASSERT_TRUE(client_->Send(frame));
  auto s = client_->ReadCsw();
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->valid());
  EXPECT_EQ(s->status, 1);
  EXPECT_EQ(client_->Command(0xF2).status, 0);
}

TEST_F(BoardSimTest, NoDataCommandsNeedTheTestPayload) {
  Start(SmallEmmc());
  EXPECT_EQ(client_->Write(0xF2, 0, 3, Bytes{'t', 'e', 's', 'x', 0}).status, 1);
  EXPECT_EQ(client_->Write(0xF2, 0, 3, Bytes{'t', 'e', 's', 't'}).status, 1);
  EXPECT_EQ(client_->Command(0xF2).status, 0);
}

TEST_F(BoardSimTest, FlashWritesWaitForHardwareSettingAndDdrEnable) {
  Start(SmallNand());
  const Bytes page = Pattern(2048, 3);
  EXPECT_EQ(client_->Write(0xF4, 64, 3, page).status, 1) << "before anything";
  EXPECT_EQ(client_->Command(0xFA).status, 1) << "DDR enable without a hardware setting";
  EXPECT_EQ(client_->Write(0xF5, kHwAddress, 3, Pattern(300, 1)).status, 0);
  EXPECT_TRUE(board_->hwsettingDone());
  EXPECT_EQ(board_->Ddr(kHwAddress, 300), Pattern(300, 1));
  EXPECT_EQ(client_->Write(0xF3, 64, 3, page).status, 1) << "hardware setting but no DDR enable";
  EXPECT_EQ(client_->Command(0xFA).status, 0);
  EXPECT_TRUE(board_->ddrEnabled());
  EXPECT_EQ(client_->Write(0xF4, 64, 3, page).status, 0);
  EXPECT_EQ(board_->Flash(64 * 2048, 2048), page);

  EXPECT_EQ(client_->Command(0xF2).status, 0);  // reset
  EXPECT_FALSE(board_->ddrEnabled());
  EXPECT_FALSE(board_->hwsettingDone());
  EXPECT_EQ(client_->Write(0xF4, 128, 3, page).status, 1);
  EXPECT_EQ(client_->Command(0xFA).status, 1);
}

TEST_F(BoardSimTest, TakesFlashWritesWithoutDdrWhenNotRequired) {
  auto cfg = SmallNand();
  cfg.requireDdrEnable = false;
  Start(cfg);
  EXPECT_EQ(client_->Write(0xF4, 64, 3, Pattern(2048, 3)).status, 0);
}

// Placement of the chunks of a run.
struct Step {
  uint8_t op;
  uint8_t indicator;
  uint32_t address;
  size_t length;
  uint64_t expectAt;  // byte offset in the memory written
};
struct PlacementCase {
  const char* name;
  boardsim::FlashKind kind;
  std::vector<Step> steps;
  std::vector<std::pair<uint64_t, uint64_t>> erased;  // ranges that must stay 0xFF
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class PlacementTest : public BoardSimTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, PlacesChunksByIndicator) {
  const PlacementCase& pc = GetParam();
  boardsim::BoardConfig cfg = pc.kind == boardsim::FlashKind::Emmc ? SmallEmmc() : SmallNand();
  cfg.flash = pc.kind;
  cfg.norBytes = 4u << 20;
  cfg.badBlocks.clear();
  Start(cfg);
  PowerOn();
  uint8_t seed = 10;
  for (const Step& s : pc.steps) {
    const Bytes data = Pattern(s.length, seed++);
    ASSERT_EQ(client_->Write(s.op, s.address, s.indicator, data).status, 0);
    const boardsim::Exchange ex = board_->exchanges().back();
    EXPECT_EQ(ex.placedAt, s.expectAt) << "chunk " << int(seed - 11);
    if (s.op == 0xF9) {
      EXPECT_EQ(board_->Ddr(uint32_t(s.expectAt), uint32_t(s.length)), data);
    } else {
      EXPECT_EQ(board_->Flash(s.expectAt, s.length), data) << "chunk " << int(seed - 11);
    }
  }
  for (auto [from, length] : pc.erased) {
    EXPECT_EQ(board_->Flash(from, length), Bytes(length, 0xFF)) << "at " << from;
  }
}

constexpr uint64_t kU = 0x8000;  // a transfer unit of 32 KiB (16 NAND pages)

INSTANTIATE_TEST_SUITE_P(
    Runs, PlacementTest,
    ::testing::Values(
        PlacementCase{"emmc_first_middle_last",
                      boardsim::FlashKind::Emmc,
                      {{0xF4, 1, 8, kU, 8 * 512}, {0xF4, 0, 8, kU, 8 * 512 + kU}, {0xF4, 3, 8, 100, 8 * 512 + 2 * kU}},
                      {{0, 8 * 512}, {8 * 512 + 2 * kU + 100, 412}}},
        PlacementCase{"nor_by_byte",
                      boardsim::FlashKind::Nor,
                      {{0xF4, 1, 1001, 4096, 1001}, {0xF4, 3, 1001, 10, 5097}},
                      {{0, 1001}, {5107, 100}}},
        PlacementCase{"lone_last_chunks_at_their_address",
                      boardsim::FlashKind::Emmc,
                      {{0xF4, 3, 0, 512, 0}, {0xF4, 3, 0, 512, 0}, {0xF4, 3, 40, 600, 40 * 512}},
                      {}},
        PlacementCase{"last_chunk_elsewhere_is_a_run_of_its_own",
                      boardsim::FlashKind::Emmc,
                      {{0xF4, 1, 0, kU, 0}, {0xF4, 3, 1000, 512, 1000 * 512}, {0xF4, 3, 0, 512, kU}},
                      {}},
        PlacementCase{"middle_chunk_without_a_run_opens_one",
                      boardsim::FlashKind::Emmc,
                      {{0xF4, 0, 4, 512, 4 * 512}, {0xF4, 3, 4, 512, 5 * 512}},
                      {}},
        PlacementCase{"ddr_ranges_continue_at_the_cursor",
                      boardsim::FlashKind::Emmc,
                      {{0xF9, 1, kHwAddress, 0x20000, kHwAddress},
                       {0xF9, 0, kHwAddress + 0x20000, 0x20000, kHwAddress + 0x20000},
                       {0xF9, 3, kHwAddress + 0x40000, 0x100, kHwAddress + 0x40000}},
                      {}},
        // A NAND chunk cut short at its blank tail pages ends its run: the cut pages stay
        // erased, and the station sends the next chunk as a new run at its own page.
        PlacementCase{"nand_cut_chunk_then_a_new_run",
                      boardsim::FlashKind::Nand,
                      {{0xF4, 1, 64, kU, 64 * 2048},
                       {0xF4, 3, 64, 4 * 2048, 64 * 2048 + kU},
                       {0xF4, 1, 96, kU, 96 * 2048},
                       {0xF4, 3, 96, 2048, 96 * 2048 + kU}},
                      {{64 * 2048 + kU + 4 * 2048, kU - 4 * 2048}, {96 * 2048 + kU + 2048, kU - 2048}}},
        // A board does not guess: a middle chunk after the run was closed starts over at its
        // address (a station that relied on resuming would overwrite its own data).
        PlacementCase{"middle_chunk_after_a_closed_run_goes_to_its_address",
                      boardsim::FlashKind::Nand,
                      {{0xF4, 1, 64, kU, 64 * 2048},
                       {0xF4, 3, 64, 2048, 64 * 2048 + kU},
                       {0xF4, 0, 64, kU, 64 * 2048}},
                      {{64 * 2048 + kU + 2048, kU - 2048}}},
        PlacementCase{"nand_new_write_after_cut_chunk_opens_its_own_run",
                      boardsim::FlashKind::Nand,
                      {{0xF4, 1, 64, kU, 64 * 2048},
                       {0xF4, 3, 64, 2048, 64 * 2048 + kU},
                       {0xF4, 1, 64, 2048, 64 * 2048}},
                      {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoardSimTest, RepeatedChunkGoesWhereTheAskedChunkWent) {
  Start(SmallEmmc());
  PowerOn();
  SetFaults([](boardsim::Faults& f) { f.repeatChunk = 1; });  // the second data chunk from now
  const Bytes a = Pattern(kU, 1), b = Pattern(kU, 2), c = Pattern(700, 3);
  EXPECT_EQ(client_->Write(0xF4, 0, 1, a).flagByte, 0);
  const Csw asked = client_->Write(0xF4, 0, 0, b);
  EXPECT_EQ(asked.status, 0);
  EXPECT_EQ(asked.flagByte & 0xE0, 0x40);
  EXPECT_EQ(board_->Flash(kU, kU), Bytes(kU, 0xFF)) << "a chunk asked for again is not taken";
  const Csw again = client_->Write(0xF4, 0, 2, b);
  EXPECT_EQ(again.flagByte, 0) << "asked once";
  EXPECT_EQ(client_->Write(0xF4, 0, 3, c).status, 0);
  Bytes expect = a;
  expect.insert(expect.end(), b.begin(), b.end());
  expect.insert(expect.end(), c.begin(), c.end());
  EXPECT_EQ(board_->Flash(0, expect.size()), expect);
}

TEST_F(BoardSimTest, BadBlockAnswersStatusThreeWithTheBadPage) {
  Start(SmallNand());
  PowerOn();
  // Three blocks from block 4 on; block 5 (pages 320..383) is bad.
  const Bytes data = Pattern(3 * 64 * 2048, 5);
  const Csw s = client_->Write(0xF4, 4 * 64, 3, data);
  EXPECT_EQ(s.status, 3);
  EXPECT_EQ(s.value, 320u);
  EXPECT_EQ(board_->Flash(4 * 64 * 2048, 64 * 2048), Bytes(data.begin(), data.begin() + 64 * 2048));
  EXPECT_EQ(board_->Flash(5 * 64 * 2048, 64 * 2048), Bytes(64 * 2048, 0xFF));
  EXPECT_EQ(board_->Flash(6 * 64 * 2048, 64 * 2048), Bytes(data.begin() + 2 * 64 * 2048, data.end()));

  // The first bad page is the first page of the write inside the block; the block stays bad.
  const Csw again = client_->Write(0xF4, 5 * 64 + 10, 3, Pattern(2048, 1));
  EXPECT_EQ(again.status, 3);
  EXPECT_EQ(again.value, 330u);
  EXPECT_TRUE(board_->isBad(5));
  EXPECT_EQ(board_->Flash(330 * 2048, 2048), Bytes(2048, 0xFF));
  // A write next to it is fine.
  EXPECT_EQ(client_->Write(0xF4, 6 * 64, 3, Pattern(2048, 1)).status, 0);
}

// A head page (0xF3) lands at its page and, as many times as its extra value says, at the same
// page of each following block; the copy that would fall into the bad block 5 is left out.
TEST_F(BoardSimTest, HeadPageIsCopiedIntoTheBlocksLeft) {
  Start(SmallNand());
  PowerOn();
  const Bytes head = Pattern(2048, 9);
  const Csw s = client_->Write(0xF3, 2 * 64 + 3, 3, head, [](Cbw& w) { w.extra = 3; });
  ASSERT_EQ(s.status, 0);
  EXPECT_EQ(s.value, 2u * 64 + 3);
  for (uint64_t block : {2, 3, 4}) EXPECT_EQ(board_->Flash((block * 64 + 3) * 2048, 2048), head) << block;
  EXPECT_EQ(board_->Flash((5 * 64 + 3) * 2048, 2048), Bytes(2048, 0xFF)) << "bad block";
  EXPECT_EQ(board_->Flash((6 * 64 + 3) * 2048, 2048), Bytes(2048, 0xFF)) << "only three blocks on";
}

TEST_F(BoardSimTest, KeyCommandsReturnTheKeyUnderTheDefaultKey) {
  auto cfg = SmallEmmc();
  for (int i = 0; i < 16; ++i) cfg.key[i] = uint8_t(0xA0 + i);
  Start(cfg);
  for (uint8_t op : {uint8_t(0xF1), uint8_t(0xFB)}) {
    SCOPED_TRACE(int(op));
    const Csw s = client_->Command(op);
    EXPECT_EQ(s.status, 0);
    uint8_t plain[16];
    station::Aes128EcbDecrypt(s.key.data(), nullptr, plain);
    EXPECT_EQ(Bytes(plain, plain + 16), Bytes(cfg.key.begin(), cfg.key.end()));
    EXPECT_NE(s.key, Bytes(cfg.key.begin(), cfg.key.end())) << "sent encrypted";
  }
  // Other answers carry no key.
  EXPECT_EQ(client_->Command(0xF2).key, Bytes(16, 0));
}

TEST_F(BoardSimTest, ReadsByPageSectorAndByte) {
  struct Case {
    const char* name;
    boardsim::FlashKind kind;
    uint32_t address;
    uint64_t offset;
  };
  const Case cases[] = {
      {"nand page", boardsim::FlashKind::Nand, 70, 70 * 2048},
      {"emmc sector", boardsim::FlashKind::Emmc, 70, 70 * 512},
      {"nor byte", boardsim::FlashKind::Nor, 70, 70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto cfg = SmallNand();
    cfg.flash = c.kind;
    cfg.emmcBytes = cfg.norBytes = 4u << 20;
    Start(cfg);
    const Bytes content = Pattern(10000, 4);
    board_->WriteFlash(c.offset, content);
    auto [data, s] = client_->Read(0xF6, c.address, 6000);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(data, Bytes(content.begin(), content.begin() + 6000));
    // Past what was written the flash reads erased.
    auto [tail, s2] = client_->Read(0xF6, c.address + (c.kind == boardsim::FlashKind::Nor ? 20000 : 20), 512);
    EXPECT_EQ(s2.status, 0);
    EXPECT_EQ(tail, Bytes(512, 0xFF));
  }
}

TEST_F(BoardSimTest, NorReadsAtTheSameAddressGoOnWhereTheLastStopped) {
  auto cfg = SmallEmmc();
  cfg.flash = boardsim::FlashKind::Nor;
  cfg.norBytes = 1u << 20;
  Start(cfg);
  const Bytes content = Pattern(3 * 4096, 8);
  board_->WriteFlash(0x1000, content);
  Bytes got;
  for (int i = 0; i < 3; ++i) {
    auto [data, s] = client_->Read(0xF6, 0x1000, 4096);
    EXPECT_EQ(s.status, 0);
    got.insert(got.end(), data.begin(), data.end());
  }
  EXPECT_EQ(got, content);
  // Anything else between starts over at the address.
  EXPECT_EQ(client_->Command(0xF2).status, 0);
  auto [first, s] = client_->Read(0xF6, 0x1000, 16);
  EXPECT_EQ(first, Bytes(content.begin(), content.begin() + 16));
}

TEST_F(BoardSimTest, RefusedReadSendsOnlyTheStatus) {
  Start(SmallEmmc());
  Cbw w;
  w.opcode = 0xF6;
  w.flags = 0x80;
  w.address = (4u << 20) / 512 - 1;  // the last sector, and one more
  w.transferLength = 1024;
  ASSERT_TRUE(client_->Send(w.Frame()));
  auto s = client_->ReadCsw();
  ASSERT_TRUE(s) << "the next frame is the status wrapper";
  EXPECT_EQ(s->status, 1);
  // A spare read on a board without a NAND is refused too.
  w.opcode = 0xFC;
  w.address = 0;
  w.transferLength = 16;
  ASSERT_TRUE(client_->Send(w.Frame()));
  s = client_->ReadCsw();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->status, 1);
}

TEST_F(BoardSimTest, SpareReadsCountTimesFourBytes) {
  Start(SmallNand());
  board_->WriteSpare(7, Pattern(64, 2));
  auto [data, s] = client_->Read(0xFC, 7, 16 * 4);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(data, Pattern(64, 2));
  // The bad block's first page carries the factory mark.
  auto [mark, s2] = client_->Read(0xFC, 5 * 64, 4);
  EXPECT_EQ(s2.status, 0);
  EXPECT_EQ(mark, (Bytes{0x00, 0xFF, 0xFF, 0xFF}));
}

TEST_F(BoardSimTest, BusyAnswersComeBeforeTheFinalStatus) {
  Start(SmallEmmc());
  SetFaults([](boardsim::Faults& f) { f.busyReads = 3; });
  ASSERT_TRUE(client_->SendCommand(0xF2));
  for (int i = 0; i < 3; ++i) {
    auto s = client_->ReadCsw();
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->valid());
    EXPECT_EQ(s->status, 2);
  }
  auto s = client_->ReadCsw();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->status, 0);
  EXPECT_EQ(client_->Command(0xF2).status, 0) << "busy was for one exchange";
}

TEST_F(BoardSimTest, BusyForAClockTime) {
  Start(SmallEmmc());
  SetFaults([](boardsim::Faults& f) { f.busyForMs = 30000; });
  const int64_t before = plat::clock().NowMs();
  ASSERT_TRUE(client_->SendCommand(0xF2));
  int busy = 0;
  std::optional<Csw> s;
  while ((s = client_->ReadCsw()) && s->status == 2) ++busy;
  ASSERT_TRUE(s);
  EXPECT_EQ(s->status, 0);
  EXPECT_GT(busy, 0);
  EXPECT_LE(busy, 30000 / boardsim::kBusyPaceMs);
  EXPECT_GE(plat::clock().NowMs() - before, 30000) << "busy until the clock time passed";
}

TEST_F(BoardSimTest, WrongWrappersPrecedeTheValidOne) {
  Start(SmallEmmc());
  SetFaults([](boardsim::Faults& f) {
    f.wrongTagCount = 2;
    f.wrongSignatureCount = 1;
  });
  ASSERT_TRUE(client_->SendCommand(0xF2));
  int tagWrong = 0, signatureWrong = 0;
  std::optional<Csw> s;
  while ((s = client_->ReadCsw()) && !s->valid()) {
    if (s->tag != 0x12345678) ++tagWrong;
    if (s->signature != 0x53425355) ++signatureWrong;
  }
  ASSERT_TRUE(s);
  EXPECT_EQ(tagWrong, 2);
  EXPECT_EQ(signatureWrong, 1);
  EXPECT_EQ(s->status, 0);
}

TEST_F(BoardSimTest, DroppedAndLateStatusWrappers) {
  Start(SmallEmmc());
  SetFaults([](boardsim::Faults& f) { f.dropStatusCount = 1; });
  ASSERT_TRUE(client_->SendCommand(0xF2));
  Bytes frame;
  EXPECT_EQ(client_->Next(frame, 200), plat::FrameResult::Timeout) << "no status for that exchange";
  EXPECT_FALSE(board_->exchanges().back().answered);

  SetFaults([](boardsim::Faults& f) { f.lateStatusMs = 400; });
  ASSERT_TRUE(client_->SendCommand(0xF2));
  EXPECT_EQ(client_->Next(frame, 20), plat::FrameResult::Timeout) << "not yet";
  auto s = client_->ReadCsw(5000);
  ASSERT_TRUE(s) << "a later read takes it";
  EXPECT_EQ(s->status, 0);
}

TEST_F(BoardSimTest, FailedStatusAndCorruptedWrite) {
  Start(SmallEmmc());
  PowerOn();
  const Bytes data = Pattern(4096, 6);
  SetFaults([](boardsim::Faults& f) {
    f.failStatusExchange = 0;
    f.corruptWriteExchange = 1;
  });
  EXPECT_EQ(client_->Write(0xF4, 0, 3, data).status, 1);
  EXPECT_EQ(board_->Flash(0, data.size()), Bytes(data.size(), 0xFF)) << "a failed write stores nothing";
  EXPECT_EQ(client_->Write(0xF4, 0, 3, data).status, 0);
  const Bytes held = board_->Flash(0, data.size());
  int differ = 0;
  for (size_t i = 0; i < data.size(); ++i) differ += held[i] != data[i];
  EXPECT_EQ(differ, 1) << "one byte changed on its way into the flash";
  EXPECT_EQ(client_->Write(0xF4, 0, 3, data).status, 0);
  EXPECT_EQ(board_->Flash(0, data.size()), data) << "once";
}

TEST_F(BoardSimTest, VanishesInTheMiddleOfATransfer) {
  Start(SmallEmmc());
  PowerOn();
  SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 1; });
  EXPECT_EQ(client_->Write(0xF4, 0, 1, Pattern(kU, 1)).status, 0);
  Cbw w;
  w.opcode = 0xF4;
  w.subCode = 1;
  w.indicator = 0;
  w.transferLength = uint32_t(kU);
  w.crc = Crc(Pattern(kU, 2));
  client_->Send(w.Frame());
  client_->Send(Pattern(kU, 2));  // may already fail
  Bytes frame;
  EXPECT_EQ(client_->Next(frame, 5000), plat::FrameResult::Closed);
  EXPECT_FALSE(board_->plugged());
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_FALSE(board_->exchanges().back().answered);
  Client late(path_);
  EXPECT_FALSE(late.connected());

  // Plugged in again it is a board that has just powered up, with its flash kept.
  ASSERT_EQ(board_->Plug(folder(), "board-a"), path_);
  Client again(path_);
  ASSERT_TRUE(again.connected());
  EXPECT_FALSE(board_->ddrEnabled());
  EXPECT_EQ(again.Write(0xF4, 100, 3, Pattern(512, 1)).status, 1);
  EXPECT_EQ(board_->Flash(0, kU), Pattern(kU, 1));
}

TEST_F(BoardSimTest, PublishesItsNodeAndServesOneConnectionAtATime) {
  Start(SmallEmmc());
  EXPECT_TRUE(fs::is_socket(path_));
  for (const auto& e : fs::directory_iterator(folder())) {
    EXPECT_NE(e.path().filename().string()[0], '.') << "no hidden name left";
  }
  // A second connection waits until the first one is closed: its command is not answered
  // while the first connection is served.
  Client second(path_);
  ASSERT_TRUE(second.connected());
  ASSERT_TRUE(second.SendCommand(0xF2));
  EXPECT_EQ(client_->Command(0xF2).status, 0);
  EXPECT_FALSE(second.HasData());
  client_->Close();
  Bytes frame;
  auto s = second.ReadCsw();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->status, 0);

  board_->Unplug();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(second.Next(frame, 5000), plat::FrameResult::Closed) << "the connection goes with the node";
}

TEST_F(BoardSimTest, RecordsWhatTheStationSent) {
  Start(SmallNand());
  PowerOn();
  board_->clearExchanges();
  const Bytes data = Pattern(4096, 1);
  client_->Write(0xF4, 192, 1, data, [](Cbw& w) {
    w.routing = (2 << 4) | (1 << 6);
    w.partMarker = 0x179;
    w.ecc = 0x0C;
    w.flashType = 0;
    w.pageSize = 2048;
    w.blockSizeK = 128;
    w.flashSizeM = 8;
    w.extra = 77;
  });
  const auto ex = board_->exchanges();
  ASSERT_EQ(ex.size(), 1u);
  const auto& e = ex[0];
  EXPECT_EQ(e.opcode, 0xF4);
  EXPECT_EQ(e.subCode, 1);
  EXPECT_EQ(e.indicator, 1);
  EXPECT_EQ(e.routingA, 2);
  EXPECT_EQ(e.routingB, 1);
  EXPECT_EQ(e.address, 192u);
  EXPECT_EQ(e.transferLength, 4096u);
  EXPECT_EQ(e.payloadCrc, Crc(data));
  EXPECT_EQ(e.partMarker, 0x179);
  EXPECT_EQ(e.eccCode, 0x0C);
  EXPECT_EQ(e.pageSize, 2048);
  EXPECT_EQ(e.blockSizeK, 128u);
  EXPECT_EQ(e.flashSizeM, 8u);
  EXPECT_EQ(e.extra, 77u);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.placedAt, 192u * 2048);
}

TEST_F(BoardSimTest, SavesFlashAndDdr) {
  Start(SmallEmmc());
  PowerOn();
  const Bytes data = Pattern(1000, 2);
  ASSERT_EQ(client_->Write(0xF4, 3, 3, data).status, 0);
  const fs::path flashFile = dir_ / "flash.bin", ddrFile = dir_ / "ddr.bin";
  ASSERT_TRUE(board_->SaveFlash(flashFile.string()));
  ASSERT_TRUE(board_->SaveDdr(ddrFile.string()));
  const std::string f = testenv::ReadFile(flashFile);
  ASSERT_EQ(f.size(), 4u << 20);
  std::string expect(4u << 20, '\xFF');
  std::memcpy(expect.data() + 3 * 512, data.data(), data.size());
  EXPECT_TRUE(f == expect);
  const std::string d = testenv::ReadFile(ddrFile);
  ASSERT_EQ(d.size(), board_->config().ddrBytes);
  EXPECT_EQ(Bytes(d.begin() + kHwAddress, d.begin() + kHwAddress + 300), Pattern(300, 1));
  EXPECT_EQ(d[kHwAddress - 1], 0);
}

TEST_F(BoardSimTest, LargeEmmcCostsMemoryOnlyWhereWritten) {
  auto cfg = SmallEmmc();
  cfg.emmcBytes = 8ull << 30;
  Start(cfg);
  PowerOn();
  const uint32_t lastSector = uint32_t((8ull << 30) / 512 - 1);
  ASSERT_EQ(client_->Write(0xF4, lastSector, 3, Pattern(512, 3)).status, 0);
  EXPECT_EQ(board_->Flash((8ull << 30) - 512, 512), Pattern(512, 3));
  EXPECT_EQ(client_->Write(0xF4, lastSector, 3, Pattern(1024, 3)).status, 1) << "past the end";
}

// ---------------------------------------------------------------------------------------------
// The program.

class Program {
 public:
  Program(const std::string& root, std::vector<std::string> args) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string exe = std::string(STATION_BINARY_DIR) + "/tools/boardsim/boardsim";
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"USB_DEVICE_ROOT=" + root};
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "USB_DEVICE_ROOT=", 16) != 0) env.push_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), envp.data()), 0) << exe;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = fdopen(out[0], "r");
  }
  ~Program() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) fclose(out_);
  }
  void Say(const std::string& line) {
    const std::string l = line + "\n";
    EXPECT_EQ(write(in_, l.data(), l.size()), ssize_t(l.size()));
  }
  std::string Line() {
    char buf[1024];
    if (!fgets(buf, sizeof buf, out_)) return "<eof>";
    std::string s(buf);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Reads lines until one starts with `prefix`.
  std::string Until(const std::string& prefix) {
    for (;;) {
      std::string l = Line();
      if (l == "<eof>" || l.rfind(prefix, 0) == 0) return l;
    }
  }
  int Wait() {
    int st = 0;
    waitpid(pid_, &st, 0);
    waited_ = true;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
  bool waited_ = false;
};

TEST(BoardSimProgram, PlugsUnplugsSavesAndLeavesNoNodes) {
  testenv::ScratchDir dir;
  const std::string root = (dir / "usb").string();
  const fs::path folder = fs::path(root) / "{7b56a5d6-cd10-4410-9f59-9a5e71269882}";
  struct Case {
    const char* name;
    bool bySignal;
  };
  for (const Case c : {Case{"quit", false}, Case{"SIGTERM", true}}) {
    SCOPED_TRACE(c.name);
    const fs::path saveDir = dir / (std::string("images-") + c.name);
    Program p(root, {"--boards", "2", "--flash", "emmc", "--emmc-mib", "2", "--save-dir", saveDir.string()});
    ASSERT_EQ(p.Until("ready"), "ready");
    const fs::path node0 = folder / "simboard-0", node1 = folder / "simboard-1";
    EXPECT_TRUE(fs::is_socket(node0));
    EXPECT_TRUE(fs::is_socket(node1));
    {
      Client board(node1.string());
      ASSERT_TRUE(board.connected());
      EXPECT_EQ(board.Command(0xF2).status, 0) << "a board answers through its node";
    }

    p.Say("unplug 0");
    EXPECT_EQ(p.Until("ok"), "ok unplug 0");
    EXPECT_FALSE(fs::exists(node0));
    EXPECT_TRUE(fs::exists(node1));
    p.Say("plug 0");
    EXPECT_EQ(p.Until("ok"), "ok plug 0 " + node0.string());
    EXPECT_TRUE(fs::is_socket(node0));

    const fs::path saved = dir / (std::string("saved-") + c.name);
    p.Say("save 1 " + saved.string());
    EXPECT_EQ(p.Until("ok"), "ok save 1 " + saved.string());
    EXPECT_EQ(fs::file_size(saved), 2u << 20);
    p.Say("save 7 x");
    EXPECT_EQ(p.Until("error"), "error save 7 x");

    if (c.bySignal) {
      kill(p.pid(), SIGTERM);
    } else {
      p.Say("quit");
    }
    EXPECT_EQ(p.Until("bye"), "bye");
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_FALSE(fs::exists(node0));
    EXPECT_FALSE(fs::exists(node1));
    // Leaving, it saved every board's flash.
    EXPECT_EQ(fs::file_size(saveDir / "board0.flash"), 2u << 20);
    EXPECT_EQ(fs::file_size(saveDir / "board1.flash"), 2u << 20);
  }
}

// Every board of the program has a key of its own (from --keys, else derived from --key), and
// a board can start with a flash picture loaded, as a board that was programmed before.
TEST(BoardSimProgram, OwnKeysAndLoadedFlash) {
  testenv::ScratchDir dir;
  const std::string root = (dir / "usb").string();
  const fs::path folder = fs::path(root) / "{7b56a5d6-cd10-4410-9f59-9a5e71269882}";
  const std::string base = "00112233445566778899aabbccddeeff";
  testenv::WriteFile(dir / "keys.txt", "0f0e0d0c0b0a09080706050403020100\n");
  const Bytes picture = Pattern(4096, 7);
  fs::create_directories(dir / "load");
  testenv::WriteFile(dir / "load" / "board2.flash", std::string(picture.begin(), picture.end()));

  Program p(root, {"--boards", "3", "--flash", "emmc", "--emmc-mib", "2", "--key", base, "--keys",
                   (dir / "keys.txt").string(), "--load-dir", (dir / "load").string()});
  ASSERT_EQ(p.Until("ready"), "ready");
  auto keyOf = [&](int n) {
    Client board((folder / ("simboard-" + std::to_string(n))).string());
    const Csw c = board.Command(0xF1);
    uint8_t plain[16];
    station::Aes128EcbDecrypt(c.key.data(), nullptr, plain);
    return Bytes(plain, plain + 16);
  };
  auto hex = [](const Bytes& b) {
    std::string s;
    char t[3];
    for (uint8_t v : b) {
      std::snprintf(t, sizeof t, "%02x", v);
      s += t;
    }
    return s;
  };
  EXPECT_EQ(hex(keyOf(0)), "0f0e0d0c0b0a09080706050403020100") << "from the keys file";
  EXPECT_EQ(hex(keyOf(1)), "00112233445566778899aabbccddef00") << "the base with 1 added";
  EXPECT_EQ(hex(keyOf(2)), "00112233445566778899aabbccddef01");

  {
    Client board((folder / "simboard-2").string());
    EXPECT_EQ(board.Read(0xF6, 0, 4096).first, picture) << "loaded from the load folder";
  }
  testenv::WriteFile(dir / "other.flash", std::string(512, 'x'));
  p.Say("load 0 " + (dir / "other.flash").string());
  EXPECT_EQ(p.Until("ok"), "ok load 0 " + (dir / "other.flash").string());
  {
    Client board((folder / "simboard-0").string());
    EXPECT_EQ(board.Read(0xF6, 0, 512).first, Bytes(512, 'x'));
  }
  p.Say("load 1 " + (dir / "missing").string());
  EXPECT_EQ(p.Until("error"), "error load " + (dir / "missing").string());
  p.Say("quit");
  EXPECT_EQ(p.Until("bye"), "bye");
  EXPECT_EQ(p.Wait(), 0);
}

}  // namespace
