#include "decode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>

namespace velq {
namespace {

// Smallest encodings of an array value (self_def_index, elem_def_index, count) and an object value
// (self_def_index alone), used to bound how many items a payload can hold.
constexpr std::size_t kMinArrayBytes = 6;
constexpr std::size_t kMinObjectBytes = 2;
constexpr std::size_t kEntryHeaderBytes = 6;

template <class T>
inline T load_le(const std::uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) {
      swapped = static_cast<T>((swapped << 8) | ((v >> (8 * i)) & 0xFF));
    }
    v = swapped;
  }
  return v;
}

inline std::uint16_t load_u16(const std::uint8_t* at) { return load_le<std::uint16_t>(at); }
inline std::uint32_t load_u32(const std::uint8_t* at) { return load_le<std::uint32_t>(at); }
inline std::size_t load_u24(const std::uint8_t* at) {
  return static_cast<std::size_t>(at[0]) | static_cast<std::size_t>(at[1]) << 8 |
         static_cast<std::size_t>(at[2]) << 16;
}

std::string unknown_tag(std::uint8_t byte) { return "Unknown VELQ type tag: 0x" + hex_byte(byte); }

// ---------------------------------------------------------------------------------------------
// UTF-8 validation (RFC 3629).

// Where a text stops being well-formed: `index` counts the valid bytes before the fault, `length`
// is the maximal ill-formed subpart found there (1 to 3), or 0 when the text ends inside a sequence
// that could still have been completed.
struct Utf8Fault {
  std::size_t index = 0;
  std::size_t length = 0;
};

std::string describe(const Utf8Fault& fault) {
  if (fault.length == 0) return compose_message("incomplete utf-8 byte sequence from index ", fault.index);
  return compose_message("invalid utf-8 sequence of ", fault.length, " bytes from index ", fault.index);
}

// Checks the multi-byte sequence whose lead byte is at s[0] (n bytes available). Returns its length,
// or 0 after filling `fault` (with index 0, relative to s).
inline std::size_t check_sequence(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  const std::uint8_t lead = s[0];
  // The second byte's range is narrowed for the leads that would otherwise admit overlong forms,
  // surrogates or code points above U+10FFFF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  std::size_t size;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    fault = {0, 1};
    return 0;
  }
  if (n < 2) {
    fault = {0, 0};
    return 0;
  }
  if (s[1] < low || s[1] > high) {
    fault = {0, 1};
    return 0;
  }
  for (std::size_t k = 2; k < size; ++k) {
    if (k >= n) {
      fault = {0, 0};
      return 0;
    }
    if ((s[k] & 0xC0) != 0x80) {
      fault = {0, k};
      return 0;
    }
  }
  return size;
}

// True when the n bytes at s are well-formed UTF-8; otherwise fills `fault`. ASCII runs are
// skipped eight bytes at a time.
bool scan_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      const std::uint64_t high = load_le<std::uint64_t>(s + i) & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else if (n >= 8) {
      // Less than a word is left: load the last word and drop the 1 to 7 bytes already checked.
      const std::size_t checked = i - (n - 8);
      const std::uint64_t high = (load_le<std::uint64_t>(s + n - 8) & kHighBits) >> (8 * checked);
      if (high == 0) return true;
      i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t size = check_sequence(s + i, n - i, fault);
    if (size == 0) {
      fault.index = i;
      return false;
    }
    i += size;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Values.

// The unread part of one entry's payload.
struct Cursor {
  const std::uint8_t* at;
  const std::uint8_t* end;
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
};

using Nodes = std::vector<VelqData>;

// Reads values against a definition list; keeps the first failure's message. Every reader appends
// the node it reads to `out` (the enclosing array's items or object's values), constructing it in
// place, and advances c.at past the value's bytes.
class ValueReader {
 public:
  explicit ValueReader(const std::vector<VelqDefinition>& definitions) : definitions_(definitions) {}

  bool array(Cursor& c, std::size_t depth, Nodes& out);
  bool object(Cursor& c, std::size_t depth, Nodes& out);
  [[gnu::always_inline]] inline bool primitive(Cursor& c, VelqType type, Nodes& out);

  std::string take_message() { return std::move(message_); }

 private:
  bool items(Cursor& c, VelqType type, std::size_t count, std::size_t depth, Nodes& out);
  template <std::size_t Index, class T>
  bool fixed(Cursor& c, std::size_t count, Nodes& out, const char* message);
  bool string(Cursor& c, Nodes& out);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  const std::vector<VelqDefinition>& definitions_;
  std::string message_;
};

bool ValueReader::array(Cursor& c, std::size_t depth, Nodes& out) {
  if (depth > MAX_DEPTH) [[unlikely]] return fail("Max recursion depth");
  const std::size_t left = c.left();
  if (left < 2) [[unlikely]] return fail("Truncated array self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<VelqType>& elem_type = definitions_[self].elem_type;
  if (!elem_type) [[unlikely]] return fail(compose_message("Array #", self, " has no elem_type"));
  if (left < 4) [[unlikely]] return fail("Truncated array elem_def_index");
  if (left < 6) [[unlikely]] return fail("Truncated array count");

  VelqArray& array = *std::get_if<kArrayIndex>(&out.emplace_back(std::in_place_index<kArrayIndex>));
  array.self_def_index = self;
  array.elem_def_index = load_u16(c.at + 2);
  const std::size_t count = load_u16(c.at + 4);
  c.at += 6;
  return items(c, *elem_type, count, depth, array.items);
}

bool ValueReader::items(Cursor& c, VelqType type, std::size_t count, std::size_t depth, Nodes& out) {
  // Storage for variable-width items is reserved only for as many as the payload can hold.
  const std::size_t left = c.left();
  switch (type) {
    case VelqType::Null:
      out.resize(count);
      return true;
    case VelqType::Bool:
      return fixed<kBoolIndex, bool>(c, count, out, "Expected bool byte");
    case VelqType::Int32:
      return fixed<kInt32Index, std::int32_t>(c, count, out, "Expected int32 (4 bytes)");
    case VelqType::UInt32:
      return fixed<kUInt32Index, std::uint32_t>(c, count, out, "Expected uint32 (4 bytes)");
    case VelqType::Float32:
      return fixed<kFloat32Index, float>(c, count, out, "Expected float32 (4 bytes)");
    case VelqType::String:
      out.reserve(std::min(count, left));
      for (std::size_t i = 0; i < count; ++i) {
        if (!string(c, out)) return false;
      }
      return true;
    case VelqType::Array:
      out.reserve(std::min(count, left / kMinArrayBytes));
      for (std::size_t i = 0; i < count; ++i) {
        if (!array(c, depth + 1, out)) return false;
      }
      return true;
    case VelqType::Object:
      out.reserve(std::min(count, left / kMinObjectBytes));
      for (std::size_t i = 0; i < count; ++i) {
        if (!object(c, depth + 1, out)) return false;
      }
      return true;
  }
  // Only reachable with a definition list not produced by the decoder.
  if (count == 0) return true;
  return fail(unknown_tag(static_cast<std::uint8_t>(type)));
}

// Walks the fixed-width items of an array (Bool: 1 byte; Int32, UInt32, Float32: 4 bytes) and
// yields each as a node, so that the item vector is built by one range insertion: one allocation and
// no capacity check per item.
template <std::size_t Index, class T>
struct FixedNodes {
  static constexpr std::size_t kWidth = std::is_same_v<T, bool> ? 1 : 4;

  using iterator_category = std::forward_iterator_tag;
  using value_type = VelqData;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = VelqData;

  const std::uint8_t* at;

  VelqData operator*() const {
    if constexpr (std::is_same_v<T, bool>) {
      return VelqData(std::in_place_index<Index>, *at != 0);
    } else {
      return VelqData(std::in_place_index<Index>, std::bit_cast<T>(load_u32(at)));
    }
  }
  FixedNodes& operator++() {
    at += kWidth;
    return *this;
  }
  FixedNodes operator++(int) {
    FixedNodes before = *this;
    at += kWidth;
    return before;
  }
  bool operator==(const FixedNodes&) const = default;
};

// Fixed-width items are checked for room all at once: the message is the same whichever item
// would run short.
template <std::size_t Index, class T>
bool ValueReader::fixed(Cursor& c, std::size_t count, Nodes& out, const char* message) {
  using Walk = FixedNodes<Index, T>;
  if (c.left() / Walk::kWidth < count) return fail(message);
  const std::uint8_t* end = c.at + Walk::kWidth * count;
  out.insert(out.end(), Walk{c.at}, Walk{end});
  c.at = end;
  return true;
}

bool ValueReader::object(Cursor& c, std::size_t depth, Nodes& out) {
  if (depth > MAX_DEPTH) [[unlikely]] {
    return fail(compose_message("Max recursion depth ", MAX_DEPTH, " exceeded at Object"));
  }
  if (c.left() < 2) [[unlikely]] return fail("Truncated object self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<std::vector<VelqField>>& fields = definitions_[self].fields;
  if (!fields) [[unlikely]] return fail(compose_message("Object #", self, " has no fields"));

  VelqObject& object = *std::get_if<kObjectIndex>(&out.emplace_back(std::in_place_index<kObjectIndex>));
  object.self_def_index = self;
  c.at += 2;
  Nodes& values = object.values;
  values.reserve(fields->size());
  for (const VelqField& field : *fields) {
    bool ok;
    if (field.type == VelqType::Object) {
      ok = this->object(c, depth + 1, values);
    } else if (field.type == VelqType::Array) {
      ok = array(c, depth + 1, values);
    } else {
      ok = primitive(c, field.type, values);
    }
    if (!ok) [[unlikely]] return false;
  }
  return true;
}

inline bool ValueReader::primitive(Cursor& c, VelqType type, Nodes& out) {
  switch (type) {
    case VelqType::Null:
      out.emplace_back();
      return true;
    case VelqType::Bool:
      if (c.left() < 1) [[unlikely]] return fail("Expected bool byte");
      out.emplace_back(std::in_place_index<kBoolIndex>, *c.at != 0);
      c.at += 1;
      return true;
    case VelqType::Int32:
      if (c.left() < 4) [[unlikely]] return fail("Expected int32 (4 bytes)");
      out.emplace_back(std::in_place_index<kInt32Index>, static_cast<std::int32_t>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::UInt32:
      if (c.left() < 4) [[unlikely]] return fail("Expected uint32 (4 bytes)");
      out.emplace_back(std::in_place_index<kUInt32Index>, load_u32(c.at));
      c.at += 4;
      return true;
    case VelqType::Float32:
      if (c.left() < 4) [[unlikely]] return fail("Expected float32 (4 bytes)");
      out.emplace_back(std::in_place_index<kFloat32Index>, std::bit_cast<float>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::String:
      return string(c, out);
    case VelqType::Array:
    case VelqType::Object:
      break;
  }
  // Compound values need definitions; this function reads only the primitive types.
  return fail(unknown_tag(static_cast<std::uint8_t>(type)));
}

bool ValueReader::string(Cursor& c, Nodes& out) {
  const std::size_t left = c.left();
  if (left == 0) [[unlikely]] return fail("Expected string/StrRef byte");
  const std::uint8_t first = c.at[0];
  std::size_t header;
  std::size_t length;
  if (first < 0x80) {
    header = 1;
    length = first;
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated short string: need ", header + length, " bytes, got ", left));
    }
  } else if (first < 0xFE) {
    // 0xC0 to 0xFD are read as medium too: bit 6 of the first byte is ignored in data values.
    if (left == 1) [[unlikely]] return fail("Truncated medium string length");
    header = 2;
    length = static_cast<std::size_t>(first & 0x3F) << 8 | c.at[1];
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated medium string: need ", header + length, " bytes, got ", left));
    }
  } else if (first == 0xFE) {
    if (left < 4) [[unlikely]] return fail("Truncated long string length");
    header = 4;
    length = load_u24(c.at + 1);
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated long string: need ", header + length, " bytes, got ", left));
    }
  } else {
    if (left < 5) [[unlikely]] return fail("Truncated StrRef dict index");
    out.emplace_back(std::in_place_index<kStrRefIndex>, VelqStrRef{load_u32(c.at + 1)});
    c.at += 5;
    return true;
  }
  const std::uint8_t* text = c.at + header;
  Utf8Fault fault;
  if (!scan_utf8(text, length, fault)) [[unlikely]] return fail("Invalid UTF-8 string: " + describe(fault));
  out.emplace_back(std::in_place_index<kStringIndex>, reinterpret_cast<const char*>(text), length);
  c.at = text + length;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Documents.

// Reads an entry's top-level value by the kind of the entry's definition.
bool read_entry_value(ValueReader& reader, Cursor& c, VelqType kind, Nodes& out) {
  if (kind == VelqType::Array) return reader.array(c, 1, out);
  if (kind == VelqType::Object) return reader.object(c, 1, out);
  return reader.primitive(c, kind, out);
}

// One decoding run over a whole input: header, then the three blocks in file order.
class DocumentReader {
 public:
  explicit DocumentReader(ByteSpan input) : input_(input) {}

  bool read();
  VelqDocument take_document() { return std::move(document_); }
  VelqError take_error() { return VelqError::parse(std::move(message_)); }

 private:
  bool header();
  bool definitions(const std::uint8_t* block, std::size_t size);
  bool fields(const std::uint8_t* block, std::size_t size, std::size_t& p, VelqDefinition& definition);
  bool dictionary(const std::uint8_t* block, std::size_t size);
  bool data(const std::uint8_t* block, std::size_t size);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  ByteSpan input_;
  VelqDocument document_;
  std::string message_;
};

bool DocumentReader::read() {
  if (!header()) return false;
  const std::uint8_t* base = input_.data();
  const std::size_t defs_at = document_.def_block_offset;
  const std::size_t dict_at = document_.dict_block_offset;
  const std::size_t data_at = document_.data_block_offset;
  return definitions(base + defs_at, dict_at - defs_at) && dictionary(base + dict_at, data_at - dict_at) &&
         data(base + data_at, input_.size() - data_at);
}

bool DocumentReader::header() {
  const std::size_t len = input_.size();
  if (len < HEADER_SIZE) return fail(compose_message("Header requires ", HEADER_SIZE, " bytes, got ", len));
  const std::uint8_t* base = input_.data();
  const std::uint8_t version = base[0];
  const std::uint32_t defs_at = load_u32(base + 1);
  const std::uint32_t dict_at = load_u32(base + 5);
  const std::uint32_t data_at = load_u32(base + 9);
  if (version != FORMAT_VERSION) return fail(compose_message("Unsupported VELQ version: ", version));
  if (defs_at < HEADER_SIZE) return fail(compose_message("Def block offset ", defs_at, " before header"));
  if (dict_at < defs_at) return fail(compose_message("Dict block offset ", dict_at, " before defs"));
  if (data_at < dict_at) return fail(compose_message("Data block offset ", data_at, " before dict"));
  if (data_at > len) return fail(compose_message("Data block offset ", data_at, " exceeds buffer length ", len));
  document_.version = version;
  document_.def_block_offset = defs_at;
  document_.dict_block_offset = dict_at;
  document_.data_block_offset = data_at;
  return true;
}

bool DocumentReader::definitions(const std::uint8_t* block, std::size_t size) {
  if (size < 2) return fail(compose_message("Definition block too short: ", size, " bytes"));
  const std::size_t n = load_u16(block);
  if (n > MAX_DEFINITIONS) return fail(compose_message("Definition count ", n, " exceeds max ", MAX_DEFINITIONS));
  if (size < 3 * n + 2) {
    return fail(compose_message("Definition block has ", size, " bytes but ", n, " defs require ", 3 * n + 2));
  }
  std::vector<VelqDefinition>& definitions = document_.definitions;
  definitions.reserve(n);
  std::size_t p = 2;
  for (std::size_t i = 0; i < n; ++i) {
    if (p >= size) return fail(compose_message("Truncated definition block at entry ", i));
    const std::uint8_t kind = block[p];
    if (!is_type_byte(kind)) return fail(unknown_tag(kind));
    if (p + 3 > size) return fail("Truncated definition index");
    VelqDefinition& definition = definitions.emplace_back();
    definition.kind = static_cast<VelqType>(kind);
    definition.index = load_u16(block + p + 1);
    if (definition.kind == VelqType::Array) {
      if (p + 3 >= size) return fail("Truncated array elem_type");
      const std::uint8_t elem = block[p + 3];
      if (!is_type_byte(elem)) return fail(unknown_tag(elem));
      definition.elem_type = static_cast<VelqType>(elem);
      p += 4;
    } else if (definition.kind == VelqType::Object) {
      if (!fields(block, size, p, definition)) return false;
    } else {
      p += 3;
    }
  }
  return true;
}

bool DocumentReader::fields(const std::uint8_t* block, std::size_t size, std::size_t& p,
                            VelqDefinition& definition) {
  if (p + 5 > size) return fail("Truncated object field count");
  const std::size_t m = load_u16(block + p + 3);
  if (m > MAX_OBJECT_FIELDS) {
    return fail(compose_message("Object #", definition.index, " has ", m, " fields (max ", MAX_OBJECT_FIELDS, ")"));
  }
  std::vector<VelqField>& fields = definition.fields.emplace();
  fields.reserve(m);
  std::size_t q = p + 5;
  for (std::size_t j = 0; j < m; ++j) {
    if (q >= size) return fail(compose_message("Truncated field ", j, " name length"));
    const std::size_t name_len = block[q];
    // The name and the type byte after it must both lie inside the block.
    if (q + name_len + 1 >= size) return fail(compose_message("Truncated field ", j, " name data"));
    const std::uint8_t* name = block + q + 1;
    Utf8Fault fault;
    if (!scan_utf8(name, name_len, fault)) return fail("Invalid UTF-8 in field name: " + describe(fault));
    const std::uint8_t type = block[q + name_len + 1];
    if (!is_type_byte(type)) return fail(unknown_tag(type));
    fields.push_back(
        {std::string(reinterpret_cast<const char*>(name), name_len), static_cast<VelqType>(type)});
    q += name_len + 2;
  }
  p = q;
  return true;
}

bool DocumentReader::dictionary(const std::uint8_t* block, std::size_t size) {
  if (size == 0) return true;
  if (size < 4) return fail("Dict block too short for entry count");
  const std::size_t count = load_u32(block);
  std::vector<std::string>& dict = document_.dict;
  // The count is not bounded by the format, but every string takes at least one byte of the block.
  dict.reserve(std::min(count, size - 4));
  std::size_t p = 4;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t left = size - p;
    if (left == 0) return fail("Truncated dict string");
    const std::uint8_t first = block[p];
    if (first == 0xFF || (first >= 0xC0 && first <= 0xFD)) {
      return fail("Invalid dict string encoding byte: 0x" + hex_byte(first));
    }
    std::size_t header;
    std::size_t length;
    if (first < 0x80) {
      header = 1;
      length = first;
    } else if (first == 0xFE) {
      if (left < 4) return fail("Truncated long dict string");
      header = 4;
      length = load_u24(block + p + 1);
    } else {
      if (left == 1) return fail("Truncated medium dict string");
      header = 2;
      length = static_cast<std::size_t>(first & 0x3F) << 8 | block[p + 1];
    }
    if (left < header + length) return fail("Truncated dict string data");
    const std::uint8_t* text = block + p + header;
    Utf8Fault fault;
    if (!scan_utf8(text, length, fault)) return fail("Invalid UTF-8 in dict: " + describe(fault));
    dict.emplace_back(reinterpret_cast<const char*>(text), length);
    p += header + length;
  }
  return true;
}

bool DocumentReader::data(const std::uint8_t* block, std::size_t size) {
  if (size < 4) return fail(compose_message("Data block too short: ", size, " bytes"));
  const std::size_t count = load_u32(block);
  if (count > MAX_DATA_ENTRIES) {
    return fail(compose_message("Data entry count ", count, " exceeds max ", MAX_DATA_ENTRIES));
  }
  const std::vector<VelqDefinition>& definitions = document_.definitions;
  std::vector<VelqChunk>& chunks = document_.chunks;
  chunks.reserve(std::min(count, (size - 4) / kEntryHeaderBytes));
  ValueReader reader(definitions);
  Nodes entry;  // holds each entry's value until it is checked
  entry.reserve(1);
  std::size_t p = 4;
  for (std::size_t i = 0; i < count; ++i) {
    if (size - p < kEntryHeaderBytes) return fail(compose_message("Truncated entry ", i, " header"));
    const std::uint16_t def_index = load_u16(block + p);
    const std::size_t payload = load_u32(block + p + 2);
    const std::uint8_t* value_at = block + p + kEntryHeaderBytes;
    if (size - p - kEntryHeaderBytes < payload) {
      return fail(compose_message("Entry ", i, " payload (", payload, " bytes) exceeds buffer"));
    }
    if (def_index >= definitions.size()) return fail(compose_message("Unknown definition index: ", def_index));

    Cursor c{value_at, value_at + payload};
    if (!read_entry_value(reader, c, definitions[def_index].kind, entry)) return fail(reader.take_message());
    const std::size_t used = static_cast<std::size_t>(c.at - value_at);
    if (used != payload) return fail(compose_message("Mismatch entry ", i, ": consumed ", used, " of ", payload));
    chunks.push_back({std::move(entry.back()), def_index});
    entry.clear();
    p += kEntryHeaderBytes + payload;
  }
  return true;
}

// Runs one value reader over a whole span and reports the node with the bytes it took.
template <class Read>
Result<DecodedValue> read_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions, Read read) {
  ValueReader reader(definitions);
  Cursor c{bytes.data(), bytes.data() + bytes.size()};
  Nodes out;
  if (!read(reader, c, out)) return VelqError::parse(reader.take_message());
  return DecodedValue{std::move(out.back()), static_cast<std::size_t>(c.at - bytes.data())};
}

}  // namespace

Result<VelqDocument> decode_document(ByteSpan input) {
  DocumentReader reader(input);
  if (!reader.read()) return reader.take_error();
  return reader.take_document();
}

Result<DecodedValue> decode_array_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                        std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader& r, Cursor& c, Nodes& out) { return r.array(c, depth, out); });
}

Result<DecodedValue> decode_object_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                         std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader& r, Cursor& c, Nodes& out) { return r.object(c, depth, out); });
}

Result<DecodedValue> decode_primitive_value(ByteSpan bytes, VelqType type) {
  const std::vector<VelqDefinition> no_definitions;
  return read_value(bytes, no_definitions,
                    [type](ValueReader& r, Cursor& c, Nodes& out) { return r.primitive(c, type, out); });
}

Result<std::string> str_from_utf8(ByteSpan bytes) {
  Utf8Fault fault;
  if (!scan_utf8(bytes.data(), bytes.size(), fault)) {
    return VelqError::parse("Invalid UTF-8 string: " + describe(fault));
  }
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace velq
