#pragma once
// The options dialog ("function type"): its own buttons ("OK", "clean log", "burn factory",
// "NAS enable", "only upgrade bootloader") and the single-mode buttons, which act on the main
// window. Its other controls are read directly by the steps that need them.
namespace station {

void OnBnClickedOk();
void OnBnClickedCleanLog();
void OnBnClickedBurnFactory();
void OnBnClickedNasEnable();
void OnBnClickedOnlyUpgradeBootloader();

// Connects the handlers (the single-mode buttons' too) to the options dialog's controls.
void BindOptionsButtons();

}  // namespace station
