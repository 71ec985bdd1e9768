#pragma once
// The twelve slot picture buttons of the main dialog (controls 1006 to 1017): a click starts the
// slot's programming job once the start-up checks pass.
namespace station {

// The click handler of slot `slot`'s button (also run by auto burn).
void OnSlotButton(int slot);

// The checks before a job may start: no image is loading, a flash type is chosen, and an eMMC
// type has its DDR type. Each failure shows its warning and gives false.
bool CheckTypesSelected(int slot);

// Prepares the slot for its new job: empties its log, MAC and SN texts ("-" in the SN edit),
// sets Busy and frees PartRemaining. The job's thread does it once the slot's previous job has
// ended.
void PrepareSlotForJob(int slot);

// Connects the twelve buttons of the main dialog to their handler.
void BindSlotButtons();

}  // namespace station
