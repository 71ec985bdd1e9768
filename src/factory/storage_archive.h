#pragma once
// A board's storage archive, built when "burn se_storage" is set: the folder "tmp/se_storage"
// of the work folder with the board's secure key ("key_bag_final_sig_enc.bin"), as handed out
// or, when the board produced a key of its own, encrypted under it with AES-128-CBC (zero IV)
// beside that board key ("ktee.bin", 16 bytes); packed into "storage_<slot>_tmp.tar", stamped
// and moved to TempDir. Runs in the slot's factory-data step under "MY_MUTEX_FACTORY".
#include <cstdint>
#include <string>

#include "factory/slot_tables.h"
#include "factory/status_tag.h"
#include "usblink/flash_options.h"

namespace station {

constexpr size_t kBoardKeySize = 16;

// "storage_<slot>_tmp.tar".
std::string StorageArchiveName(int slot);

// Builds the slot's storage archive; `boardKey` is the board's 16-byte key, or null for none.
// The archiver run is waited for like every other: only a whole archive is stamped. Success:
// the archive's path in TempDir, and the storage table names it.
StatusTag Gen_storage_tar_file(int slot, const SlotTextTable& storageTable, const BurnOption& option,
                               const uint8_t* boardKey);

// Encrypts the key file `sourcePath` under `key` (CBC, zero IV) into SeStorageSigEncFile,
// leaving the decryption of the result as "dec.bin" beside the source for a look. False for a
// missing or unreadable file, a file that is not a whole number of 16-byte blocks (nothing
// would decrypt it back whole), or a failed write, delete or move.
bool CbcEncryptSecureKey(const std::string& sourcePath, const uint8_t* key, int slot);

}  // namespace station
