#pragma once
// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, final complement),
// carried by every data phase the station sends.
#include <cstddef>
#include <cstdint>

namespace station {

// Computes the CRC-32 of `length` bytes into `out`; returns 0.
int Crc32Calc(const void* data, size_t length, uint32_t* out);
// Builds the lookup tables (Crc32Calc does it on first use; safe from any thread).
void Crc32InitTable();
// The same as a value.
uint32_t Crc32(const void* data, size_t length);
// The same through the portable table path alone, whatever the processor offers (the check
// that both paths agree, and the benchmark, use it).
uint32_t Crc32Portable(const void* data, size_t length);

}  // namespace station
