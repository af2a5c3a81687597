#include "utf8.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace velq {
namespace {

using test_support::from_hex;

TEST(Utf8, ReportsTheFirstFault) {
  struct Utf8Case {
    const char* hex;
    const char* detail;  // empty when the text is valid
  };
  const Utf8Case cases[] = {
      {"", ""},
      {"61 C3A9 E282AC F09F9880 EFBFBF F48FBFBF", ""},
      {"61626364656667 68 C3A9 696A6B6C6D6E6F70", ""},
      {"61 62 FF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"C3 28", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"E2 82 28", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"ED A0 80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"C0 80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"F0 9F 98", "incomplete utf-8 byte sequence from index 0"},
      {"E0 9F BF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"F0 8F BF BF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"F4 90 80 80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"F5 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"F0 9F 98 41", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"F0 9F 41", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"E2 82", "incomplete utf-8 byte sequence from index 0"},
      {"C3", "incomplete utf-8 byte sequence from index 0"},
      {"F4 8F", "incomplete utf-8 byte sequence from index 0"},
      {"F4 90", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"6162636465666768 69 FF 6A6B6C6D6E6F7071", "invalid utf-8 sequence of 1 bytes from index 9"},
      {"C3A9 C3A9 C3A9 C3A9 C3A9 6162 E282", "incomplete utf-8 byte sequence from index 12"},
      {"6162636465666768 C3A9 6162636465666768 ED BF BF", "invalid utf-8 sequence of 1 bytes from index 18"},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.hex);
    const std::string text = from_hex(c.hex);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    bool ascii = false;
    Utf8Fault checked;
    Utf8Fault scanned;
    const bool valid = check_utf8(bytes, text.size(), ascii, checked);
    EXPECT_EQ(scan_utf8(bytes, text.size(), scanned), valid);
    if (*c.detail == '\0') {
      EXPECT_TRUE(valid);
      EXPECT_EQ(ascii, std::all_of(text.begin(), text.end(), [](char ch) { return (ch & 0x80) == 0; }));
    } else {
      ASSERT_FALSE(valid);
      EXPECT_EQ(describe_utf8_fault(checked), c.detail);
      EXPECT_EQ(describe_utf8_fault(scanned), c.detail);
    }
  }
}

// Short texts are tested for ASCII with overlapping word loads: a stray byte
// is found at every position of every short length, and ASCII is told as such.
TEST(Utf8, FindsAStrayByteAnywhereInAShortText) {
  for (std::size_t size = 0; size <= SHORT_TEXT_MAX + 1; ++size) {
    std::string text(size, 'a');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    bool ascii = false;
    Utf8Fault fault;
    EXPECT_TRUE(check_utf8(bytes, size, ascii, fault)) << size;
    EXPECT_TRUE(ascii) << size;
    for (std::size_t at = 0; at < size; ++at) {
      text[at] = '\x80';
      EXPECT_FALSE(check_utf8(bytes, size, ascii, fault)) << size << " " << at;
      EXPECT_EQ(fault.index, at);
      text[at] = 'a';
    }
  }
}

// Code points at the edges of each sequence length, written and read back.
TEST(Utf8, WritesAndTranscodesCodePoints) {
  const std::uint32_t points[] = {0, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};
  std::string text;
  for (std::uint32_t point : points) append_utf8(text, point);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  Utf8Fault fault;
  ASSERT_TRUE(check_utf8(bytes, text.size(), fault));
  std::uint8_t top = 0;
  std::size_t continuations = 0;
  measure_utf8(bytes, text.size(), top, continuations);
  EXPECT_EQ(top, 0xF4);
  EXPECT_EQ(text.size() - continuations, std::size(points));
  std::vector<std::uint32_t> decoded(std::size(points));
  transcode_utf8(bytes, text.size(), decoded.data());
  EXPECT_EQ(decoded, std::vector<std::uint32_t>(std::begin(points), std::end(points)));
}

// The block paths (transcoding: ASCII runs, four three-byte characters at once; measuring: blocks
// and an overlapping last block) against the scalar rules, over random mixes that put every kind
// of character at every block offset.
TEST(Utf8, BlockPathsAgreeWithTheScalarRules) {
  const std::uint32_t palette[] = {0x41, 0x0A, 0x7F, 0x80, 0x3B1, 0x7FF, 0x800, 0x4E2D, 0xD7FF, 0xE000, 0xFF08, 0xFFFF};
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const std::size_t characters = random() % 60;
    // Long runs of one kind as well as mixes.
    const std::size_t first = random() % std::size(palette);
    const std::size_t kinds = 1 + random() % (std::size(palette) - first);
    for (std::size_t i = 0; i < characters; ++i) append_utf8(text, palette[first + random() % kinds]);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::vector<std::uint16_t> fast(text.size()), scalar(text.size());
    transcode_utf8(bytes, text.size(), fast.data());
    transcode_utf8_each(bytes, text.size(), scalar.data());
    ASSERT_EQ(fast, scalar) << "round " << round;
    std::uint8_t top = 0;
    std::size_t continuations = 0;
    measure_utf8(bytes, text.size(), top, continuations);
    EXPECT_EQ(top, text.empty() ? 0 : *std::max_element(bytes, bytes + text.size()));
    EXPECT_EQ(continuations, static_cast<std::size_t>(std::count_if(bytes, bytes + text.size(),
                                                                    [](std::uint8_t b) { return (b & 0xC0) == 0x80; })));
  }
}
}  // namespace
}  // namespace velq
