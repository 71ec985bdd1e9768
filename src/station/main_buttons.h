#pragma once
// The main dialog's lower controls: the flash type, DDR type and NAND model lists, the install
// image's "open" and "reload img" buttons, the key "open" button and the "function" button that
// shows or hides the options dialog. All handlers run on the window's thread.
namespace station {

void OnSelchangeFlashType();
void OnSelchangeDdrType();
void OnSelchangeNandList();
void OnBnClickedFunction();
void OnBnClickedOpenKey();
void OnBnClickedOpenImage();
void OnBnClickedReloadImg();

// Connects the handlers to the main dialog's controls.
void BindMainButtons();

}  // namespace station
