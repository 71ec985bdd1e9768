#pragma once
// The check of a finished factory archive: it is unpacked again into the work folder's check
// folder, and the files a board needs from it must be there: "layout.txt" always,
// "000BootParam.h" when the package's config.txt says the board takes boot parameters
// (install_factory=y and install_avfile_count=1), and the secure key when it belongs in the
// archive.
#include <string>

namespace station {

// Checks the archive `tarPath` (in the work folder). The empty text when it passed, else
// "CREATE_TMP_FACTORY_DIR_FAIL", "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND" (the archiver failed:
// an archive that does not unpack whole fails its check) or "CHECK_FACOTRY_FAIL". The check
// folder is left filled; the callers empty it.
std::string CheckFactoryTar(const std::string& tarPath, int slot, bool checkSecureKey);

}  // namespace station
