#include "scan.h"

#include <bit>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELQ_HAS_AVX2_KERNELS 1
#endif

namespace velq {

namespace {

ScanRoad detect_best_road() {
#if defined(VELQ_HAS_AVX2_KERNELS)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? ScanRoad::Avx2 : ScanRoad::Sse2;
#elif defined(__aarch64__) && defined(__ARM_NEON)
  return ScanRoad::Neon;
#else
  return ScanRoad::Scalar;
#endif
}

const ScanRoad kBestRoad = detect_best_road();

constexpr std::string_view kRoadNames[] = {"scalar", "sse2", "avx2", "neon", "blocks"};

}  // namespace

namespace scan_detail {
ScanRoad current_road = kBestRoad;
bool long_runs_on_avx2 = kBestRoad == ScanRoad::Avx2;
}  // namespace scan_detail

ScanRoad best_scan_road() { return kBestRoad; }

bool set_scan_road(ScanRoad road) {
  // A road is available when it is the best one, or one that the best one builds on.
  const bool available = road == kBestRoad || road == ScanRoad::Scalar ||
                         ((road == ScanRoad::Sse2 || road == ScanRoad::Blocks) && kBestRoad == ScanRoad::Avx2);
  if (!available) return false;
  scan_detail::current_road = road;
  scan_detail::long_runs_on_avx2 = road == ScanRoad::Avx2 || road == ScanRoad::Blocks;
  return true;
}

std::string_view scan_road_name(ScanRoad road) { return kRoadNames[static_cast<unsigned>(road)]; }

bool scan_road_named(std::string_view name, ScanRoad& road) {
  for (unsigned i = 0; i < std::size(kRoadNames); ++i) {
    if (kRoadNames[i] == name) {
      road = static_cast<ScanRoad>(i);
      return true;
    }
  }
  return false;
}

namespace scan_detail {

#if defined(VELQ_HAS_AVX2_KERNELS)

// Compiled for AVX2 alone: called only once the CPU is known to have it.
[[gnu::target("avx2")]] const char* avx2_string_stop(const char* p, const char* end) {
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i bit_1 = _mm256_set1_epi8(0x02);
  const __m256i space = _mm256_set1_epi8(0x20);
  while (end - p >= 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    // '"' with bit 1 flipped is 0x20, and the control bytes stay below it (as in the 16-byte scan).
    const __m256i flipped = _mm256_xor_si256(bytes, bit_1);
    const __m256i quote_or_control = _mm256_cmpeq_epi8(_mm256_max_epu8(flipped, space), space);
    const __m256i hits = _mm256_or_si256(quote_or_control, _mm256_cmpeq_epi8(bytes, backslash));
    if (const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits))) return p + std::countr_zero(mask);
    p += 32;
  }
  for (; p != end; ++p) {
    if (*p == '"' || *p == '\\' || static_cast<unsigned char>(*p) < 0x20) return p;
  }
  return end;
}

[[gnu::target("avx2")]] const char* avx2_space_end(const char* p, const char* end) {
  while (end - p >= 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i space = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')), _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))),
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\r')), _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\t'))));
    if (const auto other = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(space))) return p + std::countr_zero(other);
    p += 32;
  }
  for (; p != end; ++p) {
    if (*p != ' ' && *p != '\n' && *p != '\r' && *p != '\t') return p;
  }
  return end;
}

#else

// Never called where the CPU has no AVX2 (long_runs_on_avx2 stays false).
const char* avx2_string_stop(const char*, const char* end) { return end; }
const char* avx2_space_end(const char*, const char* end) { return end; }

#endif

}  // namespace scan_detail

}  // namespace velq
