#pragma once
// A slot on the main dialog: its picture button, percentage label, MAC and SN edits and
// number label. These routines are called from the user-interface thread and from job and
// hot-plug threads alike; each touches only its own slot's controls (state 4 also enables
// three shared controls of the main dialog).
#include <array>
#include <string>

#include "foundation/station_state.h"

namespace station {

constexpr int SlotButtonId(int slot) { return 1006 + slot; }
constexpr int SlotPercentId(int slot) { return 1036 + slot; }
constexpr int SlotMacId(int slot) { return 1050 + slot; }
constexpr int SlotSnId(int slot) { return 1071 + slot; }
constexpr int SlotNumberId(int slot) { return 1098 + slot; }

// Slot pictures (bitmap resources, 100 x 100 pixels; the single-mode key is 105 x 100).
constexpr int kPictureConnected = 139;
constexpr int kPictureConnectedSelected = 140;
constexpr int kPictureIdle = 141;  // gear: no board, or the board was removed
constexpr int kPictureRunning = 142;
constexpr int kPictureFailedBase = 153;  // 153 + n: red square with the number n (0 to 24)
constexpr int kPictureSingleDone = 183;

enum SlotStateKind : int {
  kSlotInitial = 0,
  kSlotRemoved = 1,
  kSlotConnected = 2,
  kSlotRunning = 3,
  kSlotFailed = 4,
  kSlotSingleDone = 5,
};

constexpr const char* kNoMac = "FF:FF:FF:FF:FF:FF";

// Shows a slot's state: its picture, whether its button can be pressed, and its MAC and SN
// fields; `code` is the failure number for state 4. Any other state only refreshes.
void SetSlotState(int slot, int state, int code);

// Sets the slot's MAC edit: with `show`, the slot's MAC text (or "FF:FF:FF:FF:FF:FF" when it is
// empty), returning 0; otherwise empties it, returning 1.
int ShowSlotMac(int slot, int show, const std::array<std::string, kSlotCount>& macTexts);

// Sets the slot's percentage label: "Disable" without `show`, else the share of the loaded
// image that the slot has sent, as a whole number; in the large font.
void ShowProgressPercent(int slot, int show);

// The percentage ShowProgressPercent shows for a busy slot, from 0 to 100.
int SlotPercent(const StationState& s, int slot);

}  // namespace station
