// UTF-8 (RFC 3629): validation that names the exact place and kind of a
// fault, with fast paths for the common case of valid text, and the
// conversions the JSON parser and the Python layer need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes.h"

namespace velq {

// Where a text stops being well-formed: `index` counts the valid bytes before the fault, `length`
// is the maximal ill-formed subpart found there (1 to 3), or 0 when the text ends inside a sequence
// that could still have been completed.
struct Utf8Fault {
  std::size_t index = 0;
  std::size_t length = 0;
};

// "incomplete utf-8 byte sequence from index {index}" or "invalid utf-8
// sequence of {length} bytes from index {index}".
std::string describe_utf8_fault(const Utf8Fault& fault);

// Texts up to this size are tested for ASCII inline (short_text_is_ascii).
inline constexpr std::size_t SHORT_TEXT_MAX = 16;

// True when every one of the n bytes at s (n at most SHORT_TEXT_MAX) is below
// 0x80: at most two overlapping word loads, so that short texts (most names and
// many values) are settled without a call.
inline bool short_text_is_ascii(const std::uint8_t* s, std::size_t n) {
  if (n >= 8) return ((load_le64(s) | load_le64(s + n - 8)) & 0x8080808080808080ULL) == 0;
  if (n >= 4) return ((load_le32(s) | load_le32(s + n - 4)) & 0x80808080U) == 0;
  // One to three bytes are the first, the middle and the last, without a loop.
  if (n == 0) return true;
  return (s[0] | s[n / 2] | s[n - 1]) < 0x80;
}

// check_utf8 for any text, without the short ASCII shortcut.
bool check_utf8_text(const std::uint8_t* s, std::size_t n, bool& ascii, Utf8Fault& fault);

// True when the n bytes at s are well-formed UTF-8 (and `ascii` tells whether
// every byte is below 0x80); otherwise fills `fault`. A fast check first, the
// exact scan only to describe a fault.
inline bool check_utf8(const std::uint8_t* s, std::size_t n, bool& ascii, Utf8Fault& fault) {
  if (n <= SHORT_TEXT_MAX && short_text_is_ascii(s, n)) {
    ascii = true;
    return true;
  }
  return check_utf8_text(s, n, ascii, fault);
}
inline bool check_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  bool ascii;
  return check_utf8(s, n, ascii, fault);
}

// The exact scan alone: the same answer as check_utf8, byte by byte.
bool scan_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault);

// Appends the UTF-8 form of one code point (below U+110000, not a surrogate).
void append_utf8(std::string& out, std::uint32_t code_point);

// Of valid UTF-8: its largest byte, which tells the widest character (see
// widest_character), and its number of continuation bytes (10xxxxxx), so that the number of characters
// is size - continuations.
void measure_utf8(const std::uint8_t* text, std::size_t size, std::uint8_t& top, std::size_t& continuations);

// The largest code point that valid UTF-8 whose largest byte is `top` can
// hold: a lead byte below C4 starts one below U+0100, below F0 one below
// U+10000.
inline constexpr std::uint32_t widest_character(std::uint8_t top) {
  return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

// One character of valid UTF-8 as a code point, advancing `text` past it.
// Sequences longer than the code unit Char can hold do not occur (see
// measure_utf8), so their tests are left out for the narrower kinds.
template <class Char>
inline std::uint32_t take_utf8_character(const std::uint8_t*& text) {
  const std::uint32_t lead = text[0];
  if (lead < 0x80) {
    text += 1;
    return lead;
  }
  if (sizeof(Char) == 1 || lead < 0xE0) {
    const std::uint32_t code = (lead & 0x1F) << 6 | (text[1] & 0x3F);
    text += 2;
    return code;
  }
  if (sizeof(Char) == 2 || lead < 0xF0) {
    const std::uint32_t code = (lead & 0x0F) << 12 | (text[1] & 0x3F) << 6 | (text[2] & 0x3F);
    text += 3;
    return code;
  }
  const std::uint32_t code = (lead & 0x07) << 18 | (text[1] & 0x3F) << 12 | (text[2] & 0x3F) << 6 | (text[3] & 0x3F);
  text += 4;
  return code;
}

template <class Char>
void transcode_utf8_each(const std::uint8_t* text, std::size_t size, Char* out) {
  const std::uint8_t* end = text + size;
  while (text < end) *out++ = static_cast<Char>(take_utf8_character<Char>(text));
}

// Two-byte code units (the kind of most text beyond Latin-1), with runs of
// ASCII and of three-byte characters (most of CJK) taken several at a time.
void transcode_utf8_to_ucs2(const std::uint8_t* text, std::size_t size, std::uint16_t* out);

// Writes the characters of valid UTF-8 as code units of type Char, which
// must be wide enough for all of them (see measure_utf8).
template <class Char>
void transcode_utf8(const std::uint8_t* text, std::size_t size, Char* out) {
  if constexpr (sizeof(Char) == 2) {
    transcode_utf8_to_ucs2(text, size, reinterpret_cast<std::uint16_t*>(out));
  } else {
    transcode_utf8_each(text, size, out);
  }
}

}  // namespace velq
