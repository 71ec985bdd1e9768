#pragma once
// The housekeeping around a board's factory and storage archives in the work folder: the
// archiver put in place, the key-bag generator's files taken in, a blank factory template for
// a package without one, and the clean-ups after a board. Everything here runs inside the
// factory-data step, under "MY_MUTEX_FACTORY", except DeleteTmpTarFilesWhenIdle, which takes
// that mutex itself.
#include <string>

#include "usblink/flash_options.h"

namespace station {

// Makes the work folder (PrepareWorkFolder) and copies the archiver into it from KeyTempDir
// when it is not there yet (one that is there is left as it is). The archiver's two libraries
// of other platforms do not exist here. False when the folder is refused or the copy failed.
bool prepareTarCommand(int slot = 0);

// Moves the key-bag generator's output from KeyTempDir into the work folder, in this order:
// env.txt, key_bag_final_sig_enc.bin, key_bag_final_sig_dec.bin, sn.txt, idx.txt. The files
// belong to one key: each replaces the work folder's file of its name, and a work-folder file
// whose counterpart the generator did not write is deleted, so nothing of an earlier board's
// key stays beside the new one. False without idx.txt ("<path> not found!"), or when a move or
// delete failed ("move file failed path:[<path>]").
bool MoveKeyTempFiles(int slot);

// Copies the station's blank template (AppDir/Tempfile/factory.tar) into the package folder
// of the unpacked package (UnTarTmp + GetPackageDir, or "/omv" with NAS enable, else
// "/package5"), making the folders when they are missing ("caret folder failed - <folder>").
bool PrepareFactoryTemplate(int slot, const BurnOption& option);

// Deletes the per-board work files: the key-bag generator's files, the slot's archives in
// TempDir and in the work folder, the key, MAC, SN and counter files of the work folder, the
// storage folder's key files, the factory folder's files and the dump folder's board files.
// The handed-out key (and "dec.bin", its check decryption) goes first, so that it never
// waits for the next board; a file that cannot be deleted is logged ("delete file path failed
// :<path>") and the others are still deleted. True when every file that was there is gone
// (also when none was there); then the note that the key is spent (MarkKeySpent) goes too.
// Below the work folder no link is followed: a link in a file's place, or in the place of a
// folder on its way, is removed itself.
bool DeleteTmpTarFiles(int icon);

// Notes durably (the file "key_spent" beside the key in the work folder, synced with its
// folder) that the work folder's secure key goes out to a board: from then on it is spent,
// also for a station started again after a crash before the clean-up. Called before the first
// write that carries the key is sent; false, with the slot-log line "the secure key could not
// be noted as spent : <path>", when the note cannot be made (the write must not be sent then).
// DeleteTmpTarFiles removes the note once every file it deletes is gone.
bool MarkKeySpent(int slot);
// Whether the note is there: the work folder's key, if any, must never go to another board.
bool KeySpent();

// DeleteTmpTarFiles, only while no slot holds "MY_MUTEX_FACTORY" (the work files belong to the
// slot in its factory-data step then); false, deleting nothing, when the mutex is held.
bool DeleteTmpTarFilesWhenIdle(int icon);

// Empties and removes the work folder's tmp, check and dump folders, links in them (or in
// their place) removed, never followed. Nothing is done in a work folder that is refused (a
// link would lead the deletes elsewhere).
void CleanWorkFolders();

}  // namespace station
