#pragma once
// A board's factory archive, built on the PC before its factory area is written: the package's
// factory template unpacked into the work folder's factory folder (TmpFactoryDir), the
// package's "layout.txt" and the board's own files added (its MAC as an environment image or
// a parameter file, "sn.txt", its secure key), the folder packed again by the archiver into
// "factory_<slot>_tmp.tar", checked and stamped. Both builders run in the slot's factory-data
// step under "MY_MUTEX_FACTORY": the work folder is shared by all slots.
#include <string>

#include "factory/slot_tables.h"
#include "factory/status_tag.h"
#include "usblink/flash_options.h"

namespace station {

// "factory_<slot>_tmp.tar".
std::string FactoryArchiveName(int slot);

// Key mode: the full archive with the board's key from the key bag. The storage table is
// given when "burn se_storage" is clear: the key then goes into this archive and the table
// names it; with "burn se_storage" set the key goes into the storage archive instead (built
// first, in the same factory-data step), this archive holds no key and its check asks for
// none. A failed check builds the archive again, up to five builds; the key is taken once.
// Success: the archive's path in TempDir, the MAC and SN tables filled (emptied when the key
// bag gave no MAC or SN file).
StatusTag Gen_factory_tar_file(int slot, const SlotTextTable& macTable, const SlotTextTable& snTable,
                               const BurnOption& option, const SlotTextTable* storageTable);

// Blank mode (pack flag 1): the package's template with only "layout.txt" added, packed,
// checked and stamped; success gives its path in the work folder. Pack flag 0 (firmware-only
// upgrade) only prepares TmpFactoryDir (the template's files and "layout.txt") and DumpDir,
// and gives "PASS". `packageFolder` is the package folder under UnTarTmp ("/package5").
StatusTag Gen_blank_factory_tar_file(const std::string& packageFolder, int slot, const BurnOption& option,
                                     int packFlag);

}  // namespace station
