#pragma once
// The stamp every per-board factory or storage archive gets before it goes to a board: the
// first header block carries a 12-byte trailer in its unused tail (bytes 500-511: the caller's
// flag, the archive's length before the stamp, "MVX" and a NUL, integers little-endian) and a
// checksum over all its 512 bytes; a copy of that block is appended at the archive's old end,
// and, unless the flag is 1 or "NAS enable" is set, 1024 zero bytes behind it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "usblink/flash_options.h"

namespace station {

// The flags of the stamp: 0 from the archive builders, 1 from the factory-area writers.
constexpr uint32_t kTarHeadBuilt = 0;
constexpr uint32_t kTarHeadWritten = 1;

// Writes `length` bytes at `offset` of an existing file (a missing file is not made); true
// when all of them were written.
bool WriteFileAt(const std::string& path, int64_t offset, const void* buffer, size_t length);

// Stamps the archive at `path`. False, with nothing written, when it cannot be read, is
// shorter than one header block (the head and its copy would overlap) or too long for the
// trailer's length field; false when a write failed (the head may already be stamped then,
// and the caller discards the archive).
bool RecalculateTarHead(const std::string& path, const BurnOption& option, uint32_t flag);

// True when the 512 bytes are an archive's header block: not blank, and the checksum field
// holds the sum of all 512 bytes, the field counted as blanks (a stamped head counts its
// trailer in, as the boards and GNU tar do).
bool IsTarHead(const uint8_t* block);

}  // namespace station
