#include "decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>

#include "format.h"
#include "utf8.h"

namespace velq {
namespace {

// Smallest encodings of an array value (self_def_index, elem_def_index, count) and an object value
// (self_def_index alone), used to bound how many items a payload can hold.
constexpr std::size_t kMinArrayBytes = 6;
constexpr std::size_t kMinObjectBytes = 2;
constexpr std::size_t kEntryHeaderBytes = 6;

inline std::uint16_t load_u16(const std::uint8_t* at) { return load_le16(at); }
inline std::uint32_t load_u32(const std::uint8_t* at) { return load_le32(at); }


// ---------------------------------------------------------------------------------------------
// Values.

// The unread part of one entry's payload.
struct Cursor {
  const std::uint8_t* at;
  const std::uint8_t* end;
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
};

using Nodes = std::vector<VelqData>;

// The value reader reports what it reads to a sink. A sink may place each value by a Slot: the
// handle that the sink gave for the enclosing array or object (or the entry), passed back with
// every value inside it.

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

// Builds the VelqData tree of decode_document. A slot is the vector of the enclosing array's items
// or object's values; every node is constructed in place at its end.
class TreeSink {
 public:
  using Slot = Nodes*;

  explicit TreeSink(std::vector<VelqChunk>& chunks) : chunks_(chunks) {}

  void begin_entries(const std::vector<VelqDefinition>&, const std::vector<std::string>&, std::size_t,
                     std::size_t capacity) {
    chunks_.reserve(capacity);
    entry_.reserve(1);
  }
  // Holds each entry's value until it is checked.
  Slot entry_slot() { return &entry_; }
  void end_entry(std::uint16_t def_index) {
    chunks_.push_back({std::move(entry_.back()), def_index});
    entry_.clear();
  }
  void end_entries() {}

  void null(Slot out) { out->emplace_back(); }
  void boolean(Slot out, bool value) { out->emplace_back(std::in_place_index<kBoolIndex>, value); }
  void int32(Slot out, std::int32_t value) { out->emplace_back(std::in_place_index<kInt32Index>, value); }
  void uint32(Slot out, std::uint32_t value) { out->emplace_back(std::in_place_index<kUInt32Index>, value); }
  void float32(Slot out, float value) { out->emplace_back(std::in_place_index<kFloat32Index>, value); }
  void string(Slot out, const std::uint8_t* text, std::size_t size, bool) {
    out->emplace_back(std::in_place_index<kStringIndex>, reinterpret_cast<const char*>(text), size);
  }
  void str_ref(Slot out, std::uint32_t index) {
    out->emplace_back(std::in_place_index<kStrRefIndex>, VelqStrRef{index});
  }

  Slot begin_array(Slot out, std::uint16_t self, std::uint16_t elem, std::size_t, std::size_t capacity) {
    VelqArray& array = *std::get_if<kArrayIndex>(&out->emplace_back(std::in_place_index<kArrayIndex>));
    array.self_def_index = self;
    array.elem_def_index = elem;
    array.items.reserve(capacity);
    return &array.items;
  }
  template <VelqType Type>
  void fixed_array(Slot out, std::uint16_t self, std::uint16_t elem, const std::uint8_t* at,
                   std::size_t count) {
    Nodes& items = *begin_array(out, self, elem, count, 0);
    if constexpr (Type == VelqType::Null) {
      items.resize(count);
    } else if constexpr (Type == VelqType::Bool) {
      insert<kBoolIndex, bool>(items, at, count);
    } else if constexpr (Type == VelqType::Int32) {
      insert<kInt32Index, std::int32_t>(items, at, count);
    } else if constexpr (Type == VelqType::UInt32) {
      insert<kUInt32Index, std::uint32_t>(items, at, count);
    } else {
      insert<kFloat32Index, float>(items, at, count);
    }
  }
  void end_array(Slot) {}

  Slot begin_object(Slot out, std::uint16_t self, std::size_t count) {
    VelqObject& object = *std::get_if<kObjectIndex>(&out->emplace_back(std::in_place_index<kObjectIndex>));
    object.self_def_index = self;
    object.values.reserve(count);
    return &object.values;
  }
  void end_object(Slot) {}

 private:
  template <std::size_t Index, class T>
  static void insert(Nodes& items, const std::uint8_t* at, std::size_t count) {
    using Walk = FixedNodes<Index, T>;
    items.insert(items.end(), Walk{at}, Walk{at + Walk::kWidth * count});
  }

  std::vector<VelqChunk>& chunks_;
  Nodes entry_;
};

// Hands every value to a DecodeSink; there is nothing to place, so the slot is empty.
struct NoSlot {};

class EventSink {
 public:
  using Slot = NoSlot;

  explicit EventSink(DecodeSink& target) : target_(target) {}

  void begin_entries(const std::vector<VelqDefinition>& definitions, const std::vector<std::string>& dict,
                     std::size_t count, std::size_t) {
    target_.begin_entries(definitions, dict, count);
  }
  Slot entry_slot() { return {}; }
  void end_entry(std::uint16_t) {}
  void end_entries() { target_.end_entries(); }

  void null(Slot) { target_.null(); }
  void boolean(Slot, bool value) { target_.boolean(value); }
  void int32(Slot, std::int32_t value) { target_.int32(value); }
  void uint32(Slot, std::uint32_t value) { target_.uint32(value); }
  void float32(Slot, float value) { target_.float32(value); }
  void string(Slot, const std::uint8_t* text, std::size_t size, bool ascii) {
    target_.string(std::string_view(reinterpret_cast<const char*>(text), size), ascii);
  }
  void str_ref(Slot, std::uint32_t index) { target_.str_ref(index); }

  Slot begin_array(Slot, std::uint16_t, std::uint16_t, std::size_t count, std::size_t) {
    target_.begin_array(count);
    return {};
  }
  void end_array(Slot) { target_.end_array(); }
  template <VelqType Type>
  void fixed_array(Slot, std::uint16_t, std::uint16_t, const std::uint8_t* at, std::size_t count) {
    target_.fixed_array(Type, at, count);
  }

  Slot begin_object(Slot, std::uint16_t self, std::size_t count) {
    target_.begin_object(self, count);
    return {};
  }
  void end_object(Slot) { target_.end_object(); }

 private:
  DecodeSink& target_;
};

// Reads values against a definition list and reports them to a sink; keeps the first failure's
// message. Every reader advances c.at past the value's bytes.
template <class Sink>
class ValueReader {
 public:
  using Slot = typename Sink::Slot;

  ValueReader(const std::vector<VelqDefinition>& definitions, Sink& sink)
      : definitions_(definitions), sink_(sink) {}

  bool read_array(Cursor& c, std::size_t depth, Slot out);
  bool read_object(Cursor& c, std::size_t depth, Slot out);
  [[gnu::always_inline]] inline bool read_primitive(Cursor& c, VelqType type, Slot out);

  std::string take_message() { return std::move(message_); }

 private:
  template <VelqType Type>
  bool read_fixed_array(Cursor& c, std::uint16_t self, std::uint16_t elem_def, std::size_t count, Slot out,
                   const char* message);
  bool read_string(Cursor& c, Slot out);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  const std::vector<VelqDefinition>& definitions_;
  Sink& sink_;
  std::string message_;
};

template <class Sink>
bool ValueReader<Sink>::read_array(Cursor& c, std::size_t depth, Slot out) {
  if (depth > MAX_DEPTH) [[unlikely]] return fail(nesting_too_deep_message(VelqType::Array));
  const std::size_t left = c.left();
  if (left < 2) [[unlikely]] return fail("Truncated array self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<VelqType>& elem_type = definitions_[self].elem_type;
  if (!elem_type) [[unlikely]] return fail(missing_elem_type_message(self));
  if (left < 4) [[unlikely]] return fail("Truncated array elem_def_index");
  if (left < 6) [[unlikely]] return fail("Truncated array count");

  const std::uint16_t elem_def = load_u16(c.at + 2);
  const std::size_t count = load_u16(c.at + 4);
  c.at += 6;
  const VelqType type = *elem_type;
  switch (type) {
    case VelqType::Null:
      return read_fixed_array<VelqType::Null>(c, self, elem_def, count, out, "");
    case VelqType::Bool:
      return read_fixed_array<VelqType::Bool>(c, self, elem_def, count, out, "Expected bool byte");
    case VelqType::Int32:
      return read_fixed_array<VelqType::Int32>(c, self, elem_def, count, out, "Expected int32 (4 bytes)");
    case VelqType::UInt32:
      return read_fixed_array<VelqType::UInt32>(c, self, elem_def, count, out, "Expected uint32 (4 bytes)");
    case VelqType::Float32:
      return read_fixed_array<VelqType::Float32>(c, self, elem_def, count, out, "Expected float32 (4 bytes)");
    case VelqType::String:
    case VelqType::Array:
    case VelqType::Object:
      break;
    default:
      // Only reachable with a definition list not produced by the decoder.
      if (count != 0) return fail(unknown_type_tag_message(static_cast<std::uint8_t>(type)));
      break;
  }

  // Storage for the items is reserved only for as many as the payload can hold.
  const std::size_t room = c.left();
  if (type == VelqType::String) {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room));
    for (std::size_t i = 0; i < count; ++i) {
      if (!read_string(c, items)) return false;
    }
    sink_.end_array(items);
  } else if (type == VelqType::Array) {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room / kMinArrayBytes));
    for (std::size_t i = 0; i < count; ++i) {
      if (!read_array(c, depth + 1, items)) return false;
    }
    sink_.end_array(items);
  } else {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room / kMinObjectBytes));
    for (std::size_t i = 0; i < count; ++i) {
      if (!read_object(c, depth + 1, items)) return false;
    }
    sink_.end_array(items);
  }
  return true;
}

// Fixed-width items are checked for room all at once: the message is the same whichever item
// would run short.
template <class Sink>
template <VelqType Type>
bool ValueReader<Sink>::read_fixed_array(Cursor& c, std::uint16_t self, std::uint16_t elem_def, std::size_t count,
                                    Slot out, const char* message) {
  constexpr std::size_t kWidth = Type == VelqType::Null ? 0 : Type == VelqType::Bool ? 1 : 4;
  if constexpr (kWidth != 0) {
    if (c.left() / kWidth < count) return fail(message);
  }
  const std::uint8_t* at = c.at;
  c.at += kWidth * count;
  sink_.template fixed_array<Type>(out, self, elem_def, at, count);
  return true;
}

template <class Sink>
bool ValueReader<Sink>::read_object(Cursor& c, std::size_t depth, Slot out) {
  if (depth > MAX_DEPTH) [[unlikely]] {
    return fail(nesting_too_deep_message(VelqType::Object));
  }
  if (c.left() < 2) [[unlikely]] return fail("Truncated object self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<std::vector<VelqField>>& fields = definitions_[self].fields;
  if (!fields) [[unlikely]] return fail(missing_fields_message(self));

  c.at += 2;
  Slot values = sink_.begin_object(out, self, fields->size());
  for (const VelqField& field : *fields) {
    bool ok;
    if (field.type == VelqType::Object) {
      ok = read_object(c, depth + 1, values);
    } else if (field.type == VelqType::Array) {
      ok = read_array(c, depth + 1, values);
    } else {
      ok = read_primitive(c, field.type, values);
    }
    if (!ok) [[unlikely]] return false;
  }
  sink_.end_object(values);
  return true;
}

template <class Sink>
inline bool ValueReader<Sink>::read_primitive(Cursor& c, VelqType type, Slot out) {
  switch (type) {
    case VelqType::Null:
      sink_.null(out);
      return true;
    case VelqType::Bool:
      if (c.left() < 1) [[unlikely]] return fail("Expected bool byte");
      sink_.boolean(out, *c.at != 0);
      c.at += 1;
      return true;
    case VelqType::Int32:
      if (c.left() < 4) [[unlikely]] return fail("Expected int32 (4 bytes)");
      sink_.int32(out, static_cast<std::int32_t>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::UInt32:
      if (c.left() < 4) [[unlikely]] return fail("Expected uint32 (4 bytes)");
      sink_.uint32(out, load_u32(c.at));
      c.at += 4;
      return true;
    case VelqType::Float32:
      if (c.left() < 4) [[unlikely]] return fail("Expected float32 (4 bytes)");
      sink_.float32(out, std::bit_cast<float>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::String:
      return read_string(c, out);
    case VelqType::Array:
    case VelqType::Object:
      break;
  }
  // Compound values need definitions; this function reads only the primitive types.
  return fail(unknown_type_tag_message(static_cast<std::uint8_t>(type)));
}

template <class Sink>
bool ValueReader<Sink>::read_string(Cursor& c, Slot out) {
  const std::size_t left = c.left();
  if (left == 0) [[unlikely]] return fail("Expected string/StrRef byte");
  const StringForm form = string_form(c.at[0]);
  const std::size_t header = string_prefix_size(form);
  if (form == StringForm::Reference) {
    if (left < header) [[unlikely]] return fail("Truncated StrRef dict index");
    sink_.str_ref(out, load_u32(c.at + 1));
    c.at += header;
    return true;
  }
  if (left < header) [[unlikely]] {
    return fail(form == StringForm::Medium ? "Truncated medium string length" : "Truncated long string length");
  }
  const std::size_t length = string_length(form, c.at);
  if (left < header + length) [[unlikely]] {
    static constexpr const char* kForm[] = {"short", "medium", "long"};
    return fail(compose_message("Truncated ", kForm[static_cast<int>(form)], " string: need ", header + length,
                                " bytes, got ", left));
  }
  const std::uint8_t* text = c.at + header;
  bool ascii;
  Utf8Fault fault;
  if (!check_utf8(text, length, ascii, fault)) [[unlikely]] return fail("Invalid UTF-8 string: " + describe_utf8_fault(fault));
  sink_.string(out, text, length, ascii);
  c.at = text + length;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Documents.

// Reads an entry's top-level value by the kind of the entry's definition.
template <class Sink>
bool read_entry_value(ValueReader<Sink>& reader, Cursor& c, VelqType kind, typename Sink::Slot out) {
  if (kind == VelqType::Array) return reader.read_array(c, 1, out);
  if (kind == VelqType::Object) return reader.read_object(c, 1, out);
  return reader.read_primitive(c, kind, out);
}

// One decoding run over a whole input: header, then the three blocks in file order. The header,
// definitions and dictionary go into `document`; the values go to the sink.
template <class Sink>
class DocumentReader {
 public:
  DocumentReader(ByteSpan input, VelqDocument& document, Sink& sink)
      : input_(input), document_(document), sink_(sink) {}

  bool read();
  VelqError take_error() { return VelqError::parse(std::move(message_)); }

 private:
  bool read_header();
  bool read_definitions(const std::uint8_t* block, std::size_t size);
  bool fields(const std::uint8_t* block, std::size_t size, std::size_t& p, VelqDefinition& definition);
  bool read_dictionary(const std::uint8_t* block, std::size_t size);
  bool read_data(const std::uint8_t* block, std::size_t size);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  ByteSpan input_;
  VelqDocument& document_;
  Sink& sink_;
  std::string message_;
};

template <class Sink>
bool DocumentReader<Sink>::read() {
  if (!read_header()) return false;
  const std::uint8_t* base = input_.data();
  const std::size_t defs_at = document_.def_block_offset;
  const std::size_t dict_at = document_.dict_block_offset;
  const std::size_t data_at = document_.data_block_offset;
  return read_definitions(base + defs_at, dict_at - defs_at) &&
         read_dictionary(base + dict_at, data_at - dict_at) && read_data(base + data_at, input_.size() - data_at);
}

template <class Sink>
bool DocumentReader<Sink>::read_header() {
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

template <class Sink>
bool DocumentReader<Sink>::read_definitions(const std::uint8_t* block, std::size_t size) {
  if (size < 2) return fail(compose_message("Definition block too short: ", size, " bytes"));
  const std::size_t n = load_u16(block);
  if (n > MAX_DEFINITIONS) return fail(too_many_definitions_message(n));
  if (size < 3 * n + 2) {
    return fail(compose_message("Definition block has ", size, " bytes but ", n, " defs require ", 3 * n + 2));
  }
  std::vector<VelqDefinition>& definitions = document_.definitions;
  definitions.reserve(n);
  std::size_t p = 2;
  for (std::size_t i = 0; i < n; ++i) {
    if (p >= size) return fail(compose_message("Truncated definition block at entry ", i));
    const std::uint8_t kind = block[p];
    if (!is_type_byte(kind)) return fail(unknown_type_tag_message(kind));
    if (p + 3 > size) return fail("Truncated definition index");
    VelqDefinition& definition = definitions.emplace_back();
    definition.kind = static_cast<VelqType>(kind);
    definition.index = load_u16(block + p + 1);
    if (definition.kind == VelqType::Array) {
      if (p + 3 >= size) return fail("Truncated array elem_type");
      const std::uint8_t elem = block[p + 3];
      if (!is_type_byte(elem)) return fail(unknown_type_tag_message(elem));
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

template <class Sink>
bool DocumentReader<Sink>::fields(const std::uint8_t* block, std::size_t size, std::size_t& p,
                                  VelqDefinition& definition) {
  if (p + 5 > size) return fail("Truncated object field count");
  const std::size_t m = load_u16(block + p + 3);
  if (m > MAX_OBJECT_FIELDS) {
    return fail(too_many_object_fields_message(definition.index, m));
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
    if (!check_utf8(name, name_len, fault)) return fail("Invalid UTF-8 in field name: " + describe_utf8_fault(fault));
    const std::uint8_t type = block[q + name_len + 1];
    if (!is_type_byte(type)) return fail(unknown_type_tag_message(type));
    fields.push_back(
        {std::string(reinterpret_cast<const char*>(name), name_len), static_cast<VelqType>(type)});
    q += name_len + 2;
  }
  p = q;
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::read_dictionary(const std::uint8_t* block, std::size_t size) {
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
    // Unlike values, the dictionary takes no references, nor medium forms with bit 6 set.
    if (first == 0xFF || (first >= 0xC0 && first <= 0xFD)) {
      return fail("Invalid dict string encoding byte: 0x" + hex_byte(first));
    }
    const StringForm form = string_form(first);
    const std::size_t header = string_prefix_size(form);
    if (left < header) return fail(form == StringForm::Medium ? "Truncated medium dict string" : "Truncated long dict string");
    const std::size_t length = string_length(form, block + p);
    if (left < header + length) return fail("Truncated dict string data");
    const std::uint8_t* text = block + p + header;
    Utf8Fault fault;
    if (!check_utf8(text, length, fault)) return fail("Invalid UTF-8 in dict: " + describe_utf8_fault(fault));
    dict.emplace_back(reinterpret_cast<const char*>(text), length);
    p += header + length;
  }
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::read_data(const std::uint8_t* block, std::size_t size) {
  if (size < 4) return fail(compose_message("Data block too short: ", size, " bytes"));
  const std::size_t count = load_u32(block);
  if (count > MAX_DATA_ENTRIES) {
    return fail(compose_message("Data entry count ", count, " exceeds max ", MAX_DATA_ENTRIES));
  }
  const std::vector<VelqDefinition>& definitions = document_.definitions;
  sink_.begin_entries(definitions, document_.dict, count, std::min(count, (size - 4) / kEntryHeaderBytes));
  ValueReader<Sink> reader(definitions, sink_);
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
    if (!read_entry_value(reader, c, definitions[def_index].kind, sink_.entry_slot())) {
      return fail(reader.take_message());
    }
    const std::size_t used = static_cast<std::size_t>(c.at - value_at);
    if (used != payload) return fail(compose_message("Mismatch entry ", i, ": consumed ", used, " of ", payload));
    sink_.end_entry(def_index);
    p += kEntryHeaderBytes + payload;
  }
  sink_.end_entries();
  return true;
}

// Runs one value reader over a whole span and reports the node with the bytes it took.
template <class Read>
Result<DecodedValue> read_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions, Read read) {
  std::vector<VelqChunk> no_chunks;
  TreeSink sink(no_chunks);
  ValueReader<TreeSink> reader(definitions, sink);
  Cursor c{bytes.data(), bytes.data() + bytes.size()};
  Nodes out;
  if (!read(reader, c, &out)) return VelqError::parse(reader.take_message());
  return DecodedValue{std::move(out.back()), static_cast<std::size_t>(c.at - bytes.data())};
}

}  // namespace

Result<VelqDocument> decode_document(ByteSpan input) {
  VelqDocument document;
  TreeSink sink(document.chunks);
  DocumentReader<TreeSink> reader(input, document, sink);
  if (!reader.read()) return reader.take_error();
  return document;
}

Status decode_document_to(ByteSpan input, DecodeSink& sink) {
  VelqDocument document;  // header, definitions and dictionary; the values go to the sink
  EventSink events(sink);
  DocumentReader<EventSink> reader(input, document, events);
  if (!reader.read()) return reader.take_error();
  return {};
}

Result<DecodedValue> decode_array_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                        std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.read_array(c, depth, out); });
}

Result<DecodedValue> decode_object_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                         std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.read_object(c, depth, out); });
}

Result<DecodedValue> decode_primitive_value(ByteSpan bytes, VelqType type) {
  const std::vector<VelqDefinition> no_definitions;
  return read_value(bytes, no_definitions,
                    [type](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.read_primitive(c, type, out); });
}

Result<std::string> str_from_utf8(ByteSpan bytes) {
  Utf8Fault fault;
  if (!scan_utf8(bytes.data(), bytes.size(), fault)) {
    return VelqError::parse("Invalid UTF-8 string: " + describe_utf8_fault(fault));
  }
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace velq
