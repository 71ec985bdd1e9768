#pragma once
// What the key-bag tools share beside the bag itself: the bag's path, read as "KEY PATH" of
// section "FACTORY" from "USBMPTOOL.ini" in the working folder (the station runs the tools in
// its tool folder, beside that file), the output folder "keytemp" there, and output files that
// are written complete or not at all.
#include <cstddef>
#include <string>

namespace keybag {

inline constexpr const char* kIniFile = "USBMPTOOL.ini";
inline constexpr const char* kOutputFolder = "keytemp";

// "KEY PATH" of [FACTORY] in `iniPath`; empty when the file or the key is missing.
std::string BagPathFromIni(const std::string& iniPath = kIniFile);

// Makes the output folder when it is missing; false when it is not a folder afterwards.
bool MakeOutputFolder(const std::string& folder = kOutputFolder);

// Writes `data` to a new file beside `path`, makes it durable and renames it over `path`, so
// that a reader finds the old file, the whole new one, or none. False (and no new file) when
// any step fails.
bool WriteFileWhole(const std::string& path, const void* data, size_t length);
bool WriteFileWhole(const std::string& path, const std::string& text);

}  // namespace keybag
