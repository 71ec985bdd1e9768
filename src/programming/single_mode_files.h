#pragma once
// The options dialog's single-mode buttons. Four of them take the file their operation sends:
// checking "HW Setting" (998), "Go ddr address" (1026), "Special page" (1003) or "User data "
// (1004) asks for the file and loads it into its single-mode buffer, unchecking releases it.
// "Kn key" (1002) and "System reset" (1000) prepare the geometry edits for a command without
// data, and "read mode" (1136) opens the edits of the read-back range.
//
// They run on the window's thread. The file buttons replace buffers that running jobs send
// from, so they act only while no job holds the package; otherwise the operator is asked to
// wait and the button stays as it was.
namespace station {

// Control ids of the buttons.
constexpr int kHwSettingButton = 998;
constexpr int kGoDdrButton = 1026;
constexpr int kSpecialPageButton = 1003;
constexpr int kUserDataButton = 1004;
constexpr int kKnKeyButton = 1002;
constexpr int kSystemResetButton = 1000;
constexpr int kReadModeButton = 1136;

// Files of 2 GiB or more are refused: the operations count a file's bytes in 32 bits.
constexpr unsigned long long kSingleModeFileLimit = 1ull << 31;

// The handlers, run after the click changed the box's check.
void OnBnClickedHwSetting();
void OnBnClickedGoDdrAddress();
void OnBnClickedSpecialPage();
void OnBnClickedUserData();
void OnBnClickedKnKey();
void OnBnClickedSystemReset();
void OnBnClickedReadMode();

// Connects the handlers to the running station's options dialog.
void BindSingleModeButtons();

}  // namespace station
