#pragma once
// Settings files read and written one key at a time, with the behaviour operators know from
// the Windows profile functions:
// - sections ("[NAME]") and keys ("KEY=value") are matched without regard to ASCII case;
//   blanks inside names count ("NAND FLASH TYPE"), blanks around names and around "=" do not;
// - a read of a missing file, section or key gives the default; a value is cut to
//   bufferSize - 1 characters, as a read into a buffer of that size is;
// - a value written in matching quotes ('x' or "x") reads without them;
// - lines whose first non-blank character is ';' are comments and never match a key;
// - a write changes only the line of its key, or adds the key after the last line of its
//   section, or adds the section at the end of the file; every other byte of the file (lines,
//   comments, blank lines, line endings) stays as it was; the file is created on first write.
// Calls are serialised within the process, so a read never sees half a write.
#include <cstddef>
#include <string>

namespace plat {

constexpr size_t kProfileBufferSize = 260;

// The value of `key` in `section` of the file `path`, or `def` (blanks at its end dropped)
// when the file, the section or the key is missing. At most bufferSize - 1 characters come
// back; a bufferSize of 0 gives the empty text.
std::string GetProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t bufferSize = kProfileBufferSize);

// Sets `key` in `section` to `value` (written as "key=value" when the key is new). False when
// the file cannot be read or written (for example when its folder does not exist), and false
// with the file untouched when the write could not be read back as written: an empty section
// or key, a line break in either or in the value, a key holding "=" or starting with "[" or
// ";" (blanks around it aside), a section holding "]".
bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path);

}  // namespace plat
