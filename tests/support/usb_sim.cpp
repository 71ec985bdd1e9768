#include "support/usb_sim.h"

#include <cstdio>

#include "platform/device_nodes.h"
#include "usblink/usb_device.h"

namespace testenv {

ScopedReadTimeout::ScopedReadTimeout(int ms) : old_(plat::DriverReadTimeoutMs()) { plat::SetDriverReadTimeoutMs(ms); }
ScopedReadTimeout::~ScopedReadTimeout() { plat::SetDriverReadTimeoutMs(old_); }

std::string BoardClassFolder() { return plat::ClassFolder(station::kUsbClassGuid); }

SimBoard::SimBoard(boardsim::BoardConfig config, const std::string& nodeName) : board_(std::move(config)) {
  root_.emplace();
  deviceRoot_.emplace("USB_DEVICE_ROOT", root_->str());
  readTimeout_.emplace(50);
  Open(BoardClassFolder(), nodeName);
}

SimBoard::SimBoard(const ScratchDir& dir, boardsim::BoardConfig config) : board_(std::move(config)) {
  Open((dir / "dev").string(), "b0");
}

SimBoard::SimBoard(boardsim::BoardConfig config, const std::function<std::string(boardsim::Board&)>& plug)
    : board_(std::move(config)) {
  path_ = plug(board_);
  if (!path_.empty()) handle_ = station::OpenUsbDevice(path_.c_str());
}

void SimBoard::Open(const std::string& folder, const std::string& nodeName) {
  path_ = board_.Plug(folder, nodeName);
  if (!path_.empty()) handle_ = station::OpenUsbDevice(path_.c_str());
}

SimBoard::~SimBoard() {
  station::CloseDevice(handle_);
  board_.Unplug();
}

std::vector<boardsim::Exchange> SimBoard::Exchanges(uint8_t opcode) const {
  std::vector<boardsim::Exchange> out;
  for (const auto& e : board_.exchanges())
    if (e.opcode == opcode) out.push_back(e);
  return out;
}

std::vector<uint8_t> FlashPattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  uint32_t x = seed * 2654435761u + 7;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>((x >> 16) % 0xFF);
  }
  return b;
}

void DescribeFlash(const boardsim::BoardConfig& cfg) {
  using namespace station::option_id;
  ui::Dialog& d = station::state().optionsDlg;
  auto HexText = [](uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
    return std::string(b);
  };
  const int type = cfg.flash == boardsim::FlashKind::Nand ? 0 : cfg.flash == boardsim::FlashKind::Nor ? 1 : 2;
  d.SetText(kFlashType, HexText(type));
  if (type == 0) {
    d.SetText(kNandSizeM, HexText(cfg.nandSizeM));
    d.SetText(kBlockSizeK, HexText(cfg.blockSizeK));
    d.SetText(kPageSize, HexText(cfg.pageSize));
  }
  d.SetText(kTransmissionSizeK, "256");
  d.SetText(kOneWriteSizeM, "16");
}

station::FlashInfo FlashInfoOf(const boardsim::BoardConfig& cfg, int slot) {
  DescribeFlash(cfg);
  station::FlashInfo info{};
  station::GetFlashInfo(info, slot);
  return info;
}

}  // namespace testenv
