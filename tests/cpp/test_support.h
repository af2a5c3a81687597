// Helpers shared by the C++ tests: hex, a writer of hand-made documents that
// shares no code with the library's writers, and two ways to look inside a
// document: the raw events of the decoder, and the decompiled value as text.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "structure.h"

namespace velq::test_support {

// Storage for a ByteBuffer in a std::string, counting its resizes.
struct StringStorage final : ByteBuffer::Storage {
  std::string bytes;
  int resizes = 0;
  char* resize(std::size_t& capacity) override {
    ++resizes;
    bytes.resize(capacity);
    return bytes.data();
  }
};

// "01 0D 00" -> the bytes 0x01 0x0D 0x00; spaces are ignored.
inline std::string from_hex(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char ch : hex) {
    if (ch == ' ') continue;
    const int digit = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::toupper(ch) - 'A' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

// The bytes as uppercase hex pairs separated by spaces, for readable failures.
inline std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// `width` bytes of v, low byte first.
inline std::string le(std::uint64_t v, int width) {
  std::string out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// ---------------------------------------------------------------------------
// Values as payload bytes, written by hand: the notation of the expected
// output of the compilers and of the input of the reader.

inline std::string N() { return {}; }
inline std::string B(bool v) { return std::string(1, v ? '\x01' : '\x00'); }
inline std::string I(std::int32_t v) { return le(static_cast<std::uint32_t>(v), 4); }
inline std::string U(std::uint32_t v) { return le(v, 4); }
inline std::string F(float v) { return le(std::bit_cast<std::uint32_t>(v), 4); }
// An inline string in its shortest form.
inline std::string S(std::string_view text) {
  const std::size_t n = text.size();
  std::string prefix = n < 0x80     ? le(n, 1)
                       : n < 0x4000 ? std::string{static_cast<char>(0x80 | (n >> 8)), static_cast<char>(n & 0xFF)}
                                    : "\xFE" + le(n, 3);
  return prefix + std::string(text);
}
inline std::string R(std::uint32_t position) { return "\xFF" + le(position, 4); }
inline std::string A(std::uint16_t self, std::uint16_t elem, const std::vector<std::string>& items) {
  std::string out = le(self, 2) + le(elem, 2) + le(items.size(), 2);
  for (const std::string& item : items) out += item;
  return out;
}
inline std::string O(std::uint16_t self, const std::vector<std::string>& values) {
  std::string out = le(self, 2);
  for (const std::string& value : values) out += value;
  return out;
}

// ---------------------------------------------------------------------------
// Definitions and whole documents.

// A definition that holds its fields and their names, as tests write and
// compare them; the library's own view one field list (see listed, owned).
struct OwnedField {
  std::string name;
  VelqType type = VelqType::Null;
  friend bool operator==(const OwnedField&, const OwnedField&) = default;
};

struct OwnedDefinition {
  std::optional<std::vector<OwnedField>> fields;
  std::uint16_t index = 0;
  VelqType kind = VelqType::Null;
  std::optional<VelqType> elem_type;
  friend bool operator==(const OwnedDefinition&, const OwnedDefinition&) = default;
};

// Definitions as the library holds them, their names viewing those of the
// owned definitions they were listed from, which must outlive them.
struct DefinitionLists {
  Definitions definitions;
  Fields fields;
};

inline DefinitionLists listed(const std::vector<OwnedDefinition>& owned) {
  DefinitionLists lists;
  for (const OwnedDefinition& d : owned) {
    VelqDefinition& definition = lists.definitions.emplace_back();
    definition.index = d.index;
    definition.kind = d.kind;
    definition.elem_type = d.elem_type;
    if (!d.fields) continue;
    definition.first_field = static_cast<std::uint32_t>(lists.fields.size());
    definition.field_count = static_cast<std::uint32_t>(d.fields->size());
    for (const OwnedField& field : *d.fields) lists.fields.push_back({field.name, field.type});
  }
  return lists;
}

// Copies of definitions that the library holds (those of objects with their fields).
inline std::vector<OwnedDefinition> owned(std::span<const VelqDefinition> definitions,
                                          std::span<const VelqField> fields) {
  std::vector<OwnedDefinition> copies;
  for (const VelqDefinition& d : definitions) {
    OwnedDefinition& copy = copies.emplace_back();
    copy.index = d.index;
    copy.kind = d.kind;
    copy.elem_type = d.elem_type;
    if (!d.has_fields()) continue;
    std::vector<OwnedField>& named = copy.fields.emplace();
    for (const VelqField& field : fields_of(fields, d)) named.push_back({std::string(field.name), field.type});
  }
  return copies;
}

inline std::vector<OwnedDefinition> owned_builtins() { return owned(BUILTIN_DEFINITIONS, {}); }

inline OwnedDefinition prim_def(std::uint16_t index, VelqType kind) { return {std::nullopt, index, kind, std::nullopt}; }
inline OwnedDefinition arr_def(std::uint16_t index, VelqType elem) {
  return {std::nullopt, index, VelqType::Array, elem};
}
inline OwnedDefinition obj_def(std::uint16_t index, std::vector<OwnedField> fields) {
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}
inline std::vector<OwnedDefinition> with_builtins(const std::vector<OwnedDefinition>& extra) {
  std::vector<OwnedDefinition> all = owned_builtins();
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

inline std::string write_definitions(const std::vector<OwnedDefinition>& definitions) {
  std::string out = le(definitions.size(), 2);
  for (const OwnedDefinition& d : definitions) {
    out += static_cast<char>(d.kind) + le(d.index, 2);
    if (d.kind == VelqType::Array && d.elem_type) out += static_cast<char>(*d.elem_type);
    if (d.kind == VelqType::Object && d.fields) {
      out += le(d.fields->size(), 2);
      for (const OwnedField& f : *d.fields) out += static_cast<char>(f.name.size()) + f.name + static_cast<char>(f.type);
    }
  }
  return out;
}

inline std::string write_dict(const std::vector<std::string>& dict) {
  std::string out = le(dict.size(), 4);
  for (const std::string& text : dict) out += S(text);
  return out;
}

// A header in front of the three blocks, pointing at them.
inline std::string with_header(const std::string& defs, const std::string& dict, const std::string& data) {
  const std::size_t dict_at = 13 + defs.size();
  return "\x01" + le(13, 4) + le(dict_at, 4) + le(dict_at + dict.size(), 4) + defs + dict + data;
}

// A file with the given block contents, in hex.
inline std::string assemble(std::string_view defs_hex, std::string_view dict_hex, std::string_view data_hex) {
  return with_header(from_hex(defs_hex), from_hex(dict_hex), from_hex(data_hex));
}

struct Entry {
  std::uint16_t def_index;
  std::string payload;
};

inline std::string write_entries(const std::vector<Entry>& entries) {
  std::string out = le(entries.size(), 4);
  for (const Entry& e : entries) out += le(e.def_index, 2) + le(e.payload.size(), 4) + e.payload;
  return out;
}

inline std::string write_document(const std::vector<OwnedDefinition>& definitions, const std::vector<std::string>& dict,
                                  const std::vector<Entry>& entries) {
  return with_header(write_definitions(definitions), write_dict(dict), write_entries(entries));
}

// ---------------------------------------------------------------------------
// Looking inside.

// A float as the shortest decimal that reads back as it, always with a
// point or an exponent, so that 7.0 and 7 differ.
inline std::string real_text(double value) {
  char buffer[40];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  std::string text(buffer, end);
  if (text.find_first_of(".ein") == std::string::npos) text += ".0";
  return text;
}

// What the decoder reports, one token per event: n t f i-5 u7 x3FC00000
// (float bits) "text" @3 (dictionary reference) [ ] {6 (object of definition
// 6) }. Also checks the ascii flag of every string.
class RawText {
 public:
  std::vector<std::string> tokens;
  // Copies of the definitions and dictionary read.
  std::vector<OwnedDefinition> definitions;
  std::vector<std::string> dict;
  std::size_t entries = 0;
  bool ended = false;

  void begin_entries(const VelqDocument& read, std::size_t count) {
    definitions = owned(read.definitions, read.fields);
    dict.assign(read.dict.begin(), read.dict.end());
    entries = count;
  }
  void end_entries() { ended = true; }
  void null() { tokens.push_back("n"); }
  void boolean(bool v) { tokens.push_back(v ? "t" : "f"); }
  void int32(std::int32_t v) { tokens.push_back("i" + std::to_string(v)); }
  void uint32(std::uint32_t v) { tokens.push_back("u" + std::to_string(v)); }
  void float32(float v) {
    char bits[12];
    std::snprintf(bits, sizeof bits, "x%08X", static_cast<unsigned>(std::bit_cast<std::uint32_t>(v)));
    tokens.push_back(bits);
  }
  void string(std::string_view text, bool ascii) {
    EXPECT_EQ(ascii, std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) << to_hex(text);
    tokens.push_back("\"" + std::string(text) + "\"");
  }
  void str_ref(std::uint32_t position) { tokens.push_back("@" + std::to_string(position)); }
  void begin_array(std::size_t) { tokens.push_back("["); }
  void end_array() { tokens.push_back("]"); }
  void fixed_array(VelqType type, const std::uint8_t* at, std::size_t count) {
    tokens.push_back("[");
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t word = type == VelqType::Null || type == VelqType::Bool ? 0 : load_le32(at + 4 * i);
      switch (type) {
        case VelqType::Null: null(); break;
        case VelqType::Bool: boolean(at[i] != 0); break;
        case VelqType::Int32: int32(static_cast<std::int32_t>(word)); break;
        case VelqType::UInt32: uint32(word); break;
        default: float32(std::bit_cast<float>(word)); break;
      }
    }
    tokens.push_back("]");
  }
  void begin_object(std::uint16_t self, std::size_t) { tokens.push_back("{" + std::to_string(self)); }
  void end_object() { tokens.push_back("}"); }

  std::string text() const {
    std::string out;
    for (const std::string& token : tokens) out += (out.empty() ? "" : " ") + token;
    return out;
  }
};

// Decodes from a buffer of exactly the input's size, so that a read past the
// end is caught by the address sanitizer.
inline Status decode_into(std::string_view bytes, RawText& sink) {
  const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
  return decode_document(buffer, sink);
}

// The decoder's events as text, or "error: {message}".
inline std::string raw_text(std::string_view bytes) {
  RawText sink;
  Status status = decode_into(bytes, sink);
  return status ? sink.text() : "error: " + status.error().message;
}

// A Decompiler builder that writes compact JSON-like text: reals always with a
// point or exponent, keys in the order the layout gives.
class TextBuilder {
 public:
  bool null() { return push("null"); }
  bool boolean(bool value) { return push(value ? "true" : "false"); }
  bool integer(std::int64_t value) { return push(std::to_string(value)); }
  bool real(double value) { return push(real_text(value)); }
  bool string(std::string_view text, bool) { return push("\"" + std::string(text) + "\""); }
  bool dict_string(std::uint32_t, std::string_view text) { return push("\"" + std::string(text) + "\""); }
  bool array(std::size_t count) {
    std::string out = "[";
    for (std::size_t i = stack_.size() - count; i < stack_.size(); ++i) out += (out.size() > 1 ? "," : "") + stack_[i];
    stack_.resize(stack_.size() - count);
    return push(out + "]");
  }
  bool fixed_array(VelqType type, const std::uint8_t* at, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t word = type == VelqType::Null || type == VelqType::Bool ? 0 : load_le32(at + 4 * i);
      switch (type) {
        case VelqType::Null: null(); break;
        case VelqType::Bool: boolean(at[i] != 0); break;
        case VelqType::Int32: integer(static_cast<std::int32_t>(word)); break;
        case VelqType::UInt32: integer(word); break;
        default: real(std::bit_cast<float>(word)); break;
      }
    }
    return array(count);
  }
  bool object(const ObjectLayout& layout) {
    const std::size_t base = stack_.size() - layout.fields.size();
    std::string out = "{";
    for (std::uint16_t field : layout.members) {
      out += (out.size() > 1 ? ",\"" : "\"") + std::string(layout.fields[field].name) + "\":" + stack_[base + field];
    }
    stack_.resize(base);
    return push(out + "}");
  }
  std::string root() const { return stack_.empty() ? "<nothing>" : stack_.back(); }

 private:
  bool push(std::string text) {
    stack_.push_back(std::move(text));
    return true;
  }
  std::vector<std::string> stack_;
};

// The document decompiled as loads would, as text, or "error: {message}".
inline std::string json_text(std::string_view bytes) {
  const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
  TextBuilder builder;
  Decompiler<TextBuilder> decompiler(builder);
  Status decoded = decode_document(buffer, decompiler);
  if (!decoded) return "error: " + decoded.error().message;
  if (decompiler.failed()) return "error: " + decompiler.take_error().message;
  return builder.root();
}

}  // namespace velq::test_support
