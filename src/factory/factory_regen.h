#pragma once
// A board's factory archive built again from its own factory area, when only its firmware is
// upgraded: the board's read-back of the area becomes the old archive (DumpDir +
// "/flash_factory.tar"), which is checked like any archive from outside and unpacked into a
// fresh folder of the dump folder (tmp/, so that its tmp/factory/ members land in
// DumpFactoryDir); the board's own files (its
// environment image, parameter file, serial number, boot parameters and secure key) are
// carried over into the factory folder that Gen_blank_factory_tar_file (pack flag 0) prepared
// with the new package's template and layout; the folder is packed into
// "factory_<slot>_tmp.tar", checked and stamped. Runs under "MY_MUTEX_FACTORY".
#include "factory/status_tag.h"
#include "usblink/flash_options.h"

namespace station {

// Success: the archive's path in the work folder. A board whose area holds no archive head (a
// blank area) gets the blank factory, with a slot-log line saying so. Failures:
// "REGEN_FACTORY_DUMP_FILE_FAIL" (no read-back of the area), "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND"
// (also for an old archive that does not unpack), "REGEN_FACTORY_DEL_ENV_FILE_FAIL", the copy
// tags of the carried files, "REGEN_FACTORY_RECALCULATE_HEAD_FAIL", or the check's tag after
// five failed checks (the archive is then kept in the tool folder). A board's archive that
// holds anything but files and folders under tmp/ (links, devices, sparse or extended
// members, names leaving the tree) or more than one factory area's bytes is refused before
// anything is unpacked: "flash factory tar refused : <member> : <why>" and
// "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND". Only regular files of the dump, each within the
// factory area's size, are carried over.
StatusTag Regen_factory_tar_file(int slot, int flashType, const BurnOption& option);

}  // namespace station
