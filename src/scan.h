// The byte scans that the JSON parser runs over long runs of text, on the
// widest vectors the CPU offers, and the choice of that road.
//
// A road is chosen once, from what the CPU that runs the process has: AVX2
// where present, else the vectors every CPU of the architecture has (SSE2 on
// x86-64, NEON on aarch64), else words of eight bytes (the scalar road).
// Every road gives the same positions; the scalar road can be asked for, so
// that tests and fuzzers run it beside the vector one on the same CPU.
#pragma once

#include <string_view>

namespace velq {

enum class ScanRoad : unsigned char {
  Scalar,  // eight bytes at a time in general-purpose registers
  Sse2,    // sixteen bytes, x86-64
  Avx2,    // sixteen bytes, then thirty-two once a run is long, x86-64 with AVX2;
           // texts of 512 bytes or more in blocks of sixty-four (as Blocks)
  Neon,    // sixteen bytes, aarch64
  Blocks,  // blocks of sixty-four for every text, x86-64 with AVX2
};

namespace scan_detail {
extern ScanRoad current_road;
}  // namespace scan_detail

// The road that JSON texts are scanned on from now on.
inline ScanRoad scan_road() { return scan_detail::current_road; }
// The best road that this CPU offers.
ScanRoad best_scan_road();
// Uses `road` from now on; false, and nothing changes, when this CPU lacks it.
// Meant for tests and benchmarks, before calls are made: not for use while
// another thread parses.
bool set_scan_road(ScanRoad road);

std::string_view scan_road_name(ScanRoad road);
// The road of that name ("scalar", "sse2", "avx2", "neon"); false when there is none.
bool scan_road_named(std::string_view name, ScanRoad& road);

namespace scan_detail {

// Whether runs longer than sixteen bytes are scanned with AVX2 (on the Avx2
// and Blocks roads): the parser reads it once per long run.
extern bool long_runs_on_avx2;

// From p (with at least 32 bytes to `end`): the first byte that is '"', '\\'
// or below 0x20, or `end` when there is none.
const char* avx2_string_stop(const char* p, const char* end);
// From p: the first byte that is not JSON whitespace, or `end`.
const char* avx2_space_end(const char* p, const char* end);

}  // namespace scan_detail

}  // namespace velq
