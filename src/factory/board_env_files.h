#pragma once
// The two forms a board's MAC address takes in its factory archive: the boot loader's
// environment image, made from the template the station ships in Tempfile with the MAC as its
// "ethaddr" entry, or the board parameter file with the MAC as its "ethaddr" record. Both take
// the MAC from the board's MAC file, TempToolEnvFile ("env.txt" in the work folder, twelve
// hexadecimal digits), and store the MAC text in the caller's table.
//
// Environment image (DefaultEnvFile), 131072 bytes: the CRC-32 of bytes 4 to the end
// (little-endian), then the template's NUL-ended name=value entries, then zeros.
#include <cstddef>
#include <string>

#include "factory/slot_tables.h"

namespace station {

constexpr size_t kEnvImageSize = 0x20000;
constexpr size_t kEnvDataSize = kEnvImageSize - 4;

// AppDir/Tempfile/6142_default_env.txt.
std::string DefaultEnvTemplatePath();

// The MAC text of a MAC file: its content without blanks and line ends around it must be
// twelve hexadecimal digits, which are written in pairs with ":" between them
// ("001020304050" gives "00:10:20:30:40:50"). False for anything else.
bool MacTextFromFile(const std::string& path, std::string& mac);

// Makes the environment image over TempToolEnvFile, after copying the MAC file to
// TempToolBkEnvFile (an older copy there is deleted first). The value of the first "ethaddr="
// becomes the MAC text, whatever its old length; the other entries stay as they are, and a
// template without "ethaddr=" gives its data unchanged. False, and TempToolEnvFile as it was,
// for a missing template or MAC file, a MAC file that holds no MAC, a template whose data do
// not fit the image (also with the MAC in place), or a failed backup; false too when the image
// could not be written whole. On true the MAC text is stored at `index`.
bool MakeDefaultEnvFile(const SlotTextTable& macTable, int index);

// Writes TempToolSysParamFile: the parameter file's defaults with "ethaddr" set to the MAC
// text. The MAC file stays as it is. True, with the MAC text stored at `index`, when the file
// was saved.
bool SetSysParamEthaddr(const SlotTextTable& macTable, int index);

}  // namespace station
