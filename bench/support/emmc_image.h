#pragma once
// What the eMMC benchmarks share: CPU clocks, filler data and a board image loaded straight
// into the station's buffers, as a package load would leave them.
#include <sys/resource.h>

#include <cstdint>

namespace benchsupport {

// CPU seconds of `who` (RUSAGE_SELF or RUSAGE_THREAD).
double CpuSeconds(int who);

// `n` bytes of a pattern drawn from `seed` (never all blank).
void Fill(uint8_t* p, uint64_t n, uint64_t seed);

// A board image of `total` bytes in the running station's buffers: the seven boot pieces, a
// typical set of firmware entries, the firmware table and two MBR images, the rest one
// partition in 48 MiB pieces.
void LoadEmmcImage(uint64_t total);

}  // namespace benchsupport
