#pragma once
// The key bag and the key counters. Each board that gets factory data takes one secure key
// from the key bag the operator chose with the key "open" button; the station never reads the
// bag itself: the viewer reports its counters (keys used, keys in the bag) and the generator
// hands out the next key (tools/keybag). The counters are kept as "KEY CONT" and "KEY MAX" in
// [FACTORY] of "USBMPTOOL.ini" and in the main dialog's key fields, beside "KEY PATH".
//
// The key thread and the slots' factory-data steps both write the counters and run the
// key-bag tools: each of those writes and runs goes under "MY_MUTEX_FACTORY".
#include <stop_token>
#include <string>

#include "platform/clock.h"

namespace station {

// The key thread, started by the key "open" button: asks for the key bag with a file dialog,
// then reads its counters with the viewer (up to four tries) and shows them with the path in
// the main dialog's key fields (kKeyPathEdit, kKeyCounterEdit, kKeyMaximumEdit) and in
// "USBMPTOOL.ini". The fields and keys end either all three set from one
// reading, or all three empty (cancel, or four failed tries; the warning of the last try is
// shown first). Its waits (the mutex, the viewer) end at a stop request of `stop`, and then
// it returns at once. Returns 0.
int gen_Key_header(std::stop_token stop = plat::CurrentStopToken());

// Runs the viewer, after deleting the counters of an earlier run (a stale reading never
// counts); true when it ended with 0 and the counter file (KeyIndexFile) is there. A viewer
// past its 150 s is ended and shows "Decompress_Keybag_Count : wait timeout !", a failed wait
// "Decompress_Keybag_Count : wait failed !" (caption "ERROR").
bool Decompress_Keybag_Count();

// The first two lines of a text file (line ends removed; a missing line reads as empty);
// false when the file cannot be opened.
bool ReadTextFileLines(const std::string& path, std::string& line1, std::string& line2);

// Writes the two lines of the work folder's idx.txt as "KEY CONT" and "KEY MAX"; false when
// "USBMPTOOL.ini" or idx.txt is missing or a write failed.
bool WriteKeyIndexToIni();

// Which builder prepares the key: the wording of its move failure differs.
enum class KeyStep { Factory, Storage };

// The key step of the archive builders: a key already in the work folder, or one the
// generator left in the key folder, is used again; otherwise the generator hands out the next
// one, which is moved into the work folder. Then the counters go into "USBMPTOOL.ini". The
// empty text when the key is ready, else the failure tag: "CALL_PROCESS_GEN_SINGLE_KEY_FAIL",
// "GEN_SINGLE_KEY_FAIL", "MOVE_SECURE_KEY_TO_PC_TEMP_FAIL" (factory) or "MOVE_FILE_FAIL"
// (storage), "READ_KEY_IDX_FAIL". A key noted as spent (KeySpent: it went out to a board and
// the station stopped before its clean-up) is first deleted with the board's work files and
// the counters are shown again; "DROP_SPENT_KEY_FAIL" when it cannot be deleted. Runs in the
// factory-data step, which holds the mutex.
std::string PrepareSingleSecureKey(int slot, KeyStep step);

}  // namespace station
