// Checks shared by the fuzz targets. A failed check prints what it saw and
// aborts, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <bit>
#include <cmath>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bytes.h"
#include "compile.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "json.h"
#include "pages.h"
#include "structure.h"

namespace velq::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** velq fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) std::fprintf(stderr, "*** %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF. The JSON
// parser is only ever handed text that Python encoded, which is always valid.
inline bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char b = *p;
    if (b < 0x80) { ++p; continue; }
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n + 1;
  }
  return true;
}

inline std::uint64_t double_bits(double d) { return std::bit_cast<std::uint64_t>(d); }

inline ByteSpan span_of(std::string_view bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// What every JSON tree must hold, whoever built it: object keys strictly
// ascending in byte order (so no duplicates), finite doubles, valid UTF-8, and
// bounded depth. Reads every string byte, so a tree pointing into freed
// memory shows up under AddressSanitizer. Returns a checksum of the bytes read.
inline std::size_t check_json_tree(const JsonValue& value, std::size_t depth, std::size_t max_depth) {
  std::size_t sum = static_cast<std::size_t>(value.kind);
  switch (value.kind) {
    case JsonKind::Null:
    case JsonKind::Bool:
    case JsonKind::UInt:
    case JsonKind::Int:
      break;
    case JsonKind::Double:
      if (!std::isfinite(value.dbl)) fail("non-finite double in a JSON tree");
      break;
    case JsonKind::String:
      if (!is_valid_utf8(value.string())) fail("invalid UTF-8 in a JSON tree string");
      for (char c : value.string()) sum += static_cast<unsigned char>(c);
      break;
    case JsonKind::Array:
      if (depth >= max_depth) fail("JSON tree nested deeper than its limit");
      for (const JsonValue& item : value.array()) sum += check_json_tree(item, depth + 1, max_depth);
      break;
    case JsonKind::Object: {
      if (depth >= max_depth) fail("JSON tree nested deeper than its limit");
      std::string_view previous;
      bool first = true;
      for (const JsonMember& member : value.object()) {
        if (!first && !(previous < member.key)) fail("object keys not strictly ascending", member.key);
        if (!is_valid_utf8(member.key)) fail("invalid UTF-8 in a JSON tree key");
        previous = member.key;
        first = false;
        for (char c : member.key) sum += static_cast<unsigned char>(c);
        sum += check_json_tree(member.value, depth + 1, max_depth);
      }
      break;
    }
  }
  return sum;
}

// A builder for the Decompiler that makes a JSON tree of what it is handed,
// the way loads makes Python objects of it, and checks what it is handed on
// the way. Gives up (returns false) past a node budget, which the
// decompiler must tolerate.
class TreeBuilder {
 public:
  TreeBuilder(JsonArena& arena, std::size_t budget) : arena_(arena), budget_(budget) {}

  bool null() { return push(JsonValue::null()); }
  bool boolean(bool value) { return push(JsonValue::from_bool(value)); }
  bool real(double value) { return push(JsonValue::from_double(value)); }
  bool integer(std::int64_t value) {
    return push(value < 0 ? JsonValue::from_int(value) : JsonValue::from_uint(static_cast<std::uint64_t>(value)));
  }
  bool string(std::string_view text, bool ascii) {
    bool really_ascii = true;
    for (char c : text) really_ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii != really_ascii) fail("wrong ascii flag on a string");
    if (!is_valid_utf8(text)) fail("invalid UTF-8 handed over as a string");
    return push(JsonValue::from_string(arena_.copy_string(text)));
  }
  bool dict_string(std::uint32_t, std::string_view text) {
    if (!is_valid_utf8(text)) fail("invalid UTF-8 handed over from the dictionary");
    return push(JsonValue::from_string(arena_.copy_string(text)));
  }
  bool array(std::size_t count) {
    if (count > stack_.size()) fail("an array of more values than were handed over");
    const JsonValue* items =
        arena_.copy_values(std::span<const JsonValue>(stack_).subspan(stack_.size() - count));
    stack_.resize(stack_.size() - count);
    return push(JsonValue::from_array(items, count));
  }
  bool fixed_array(VelqType type, const std::uint8_t* at, std::size_t count) {
    if (!spend(count)) return false;
    std::vector<JsonValue> items(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t word = type == VelqType::Null || type == VelqType::Bool ? 0 : load_le32(at + 4 * i);
      switch (type) {
        case VelqType::Null: items[i] = JsonValue::null(); break;
        case VelqType::Bool: items[i] = JsonValue::from_bool(at[i] != 0); break;
        case VelqType::Int32: {
          const auto value = static_cast<std::int32_t>(word);
          items[i] = value < 0 ? JsonValue::from_int(value) : JsonValue::from_uint(static_cast<std::uint64_t>(value));
          break;
        }
        case VelqType::UInt32: items[i] = JsonValue::from_uint(word); break;
        case VelqType::Float32: {
          const float value = std::bit_cast<float>(word);
          if (!std::isfinite(value)) fail("a non-finite float handed over in an array");
          items[i] = JsonValue::from_double(value);
          break;
        }
        default: fail("an array of fixed-width items of a type that has no fixed width");
      }
    }
    return push(JsonValue::from_array(arena_.copy_values(items), count));
  }
  // Members in byte order of their names; of fields with the same name, the last one's value.
  bool object(const ObjectLayout& layout) {
    const std::span<const VelqField> fields = layout.fields;
    if (fields.size() > stack_.size()) fail("an object of more values than were handed over");
    std::unordered_map<std::string_view, std::size_t> last;
    for (std::size_t i = 0; i < fields.size(); ++i) last[fields[i].name] = i;
    if (last.size() != layout.members.size()) fail("an object layout without one member per field name");
    const JsonValue* values = stack_.data() + (stack_.size() - fields.size());
    JsonMember* members = arena_.new_members(layout.members.size());
    for (std::size_t i = 0; i < layout.members.size(); ++i) {
      const std::uint16_t field = layout.members[i];
      if (field >= fields.size()) fail("an object layout naming a field that is not there");
      if (last[fields[field].name] != field) fail("a member taken from another than the last field of its name");
      members[i] = {arena_.copy_string(fields[field].name), values[field]};
    }
    stack_.resize(stack_.size() - fields.size());
    return push(JsonValue::from_object(members, layout.members.size()));
  }

  bool gave_up() const { return gave_up_; }
  // The one value left once a whole document has been handed over.
  const JsonValue& root() const {
    if (stack_.size() != 1) fail("the decompiler did not leave exactly one value");
    return stack_.front();
  }

 private:
  bool spend(std::size_t nodes) {
    nodes_ += nodes;
    if (nodes_ > budget_) gave_up_ = true;
    return !gave_up_;
  }
  bool push(JsonValue value) {
    if (!spend(1)) return false;
    stack_.push_back(value);
    return true;
  }

  JsonArena& arena_;
  std::size_t budget_;
  std::size_t nodes_ = 0;
  bool gave_up_ = false;
  std::vector<JsonValue> stack_;
};

// A decode sink that holds the reader to its contract: values come in
// document order, as many as each container announced, each of the type its
// object field gives; an array's items are of one type, and only strings,
// arrays and objects come one by one; nesting stays within MAX_DEPTH; strings
// are well-formed UTF-8 inside the input; end_entries comes once, after all
// entries. On the way it works out, from the decompiler's rules as the
// documentation states them, the first error decompiling must report.
// The definitions and dictionary a compiler wrote, to compare with those read.
struct WrittenFront {
  std::vector<VelqDefinition> definitions;
  std::vector<std::pair<std::string, VelqType>> fields;  // names copied: the compiler's may be gone
  std::vector<std::string> dict;

  bool same_fields(std::span<const VelqField> read) const {
    return std::equal(read.begin(), read.end(), fields.begin(), fields.end(),
                      [](const VelqField& a, const auto& b) { return a.name == b.first && a.type == b.second; });
  }
};

class ContractSink {
 public:
  explicit ContractSink(ByteSpan input, const WrittenFront* expected_front = nullptr)
      : input_(input), expected_front_(expected_front) {}

  void begin_entries(const VelqDocument& document, std::size_t count) {
    if (document_ != nullptr) fail("begin_entries came twice");
    if (expected_front_ != nullptr &&
        (!std::equal(document.definitions.begin(), document.definitions.end(),
                     expected_front_->definitions.begin(), expected_front_->definitions.end()) ||
         !expected_front_->same_fields(document.fields) ||
         !std::equal(document.dict.begin(), document.dict.end(), expected_front_->dict.begin(),
                     expected_front_->dict.end()))) {
      fail("the definitions or the dictionary read differ from those written");
    }
    if (document.object_definitions !=
        static_cast<std::size_t>(std::count_if(document.definitions.begin(), document.definitions.end(),
                                               [](const VelqDefinition& d) { return d.has_fields(); }))) {
      fail("the count of object definitions is wrong");
    }
    document_ = &document;
    entries_ = count;
    frames_.push_back({{}, false, count});
  }
  void end_entries() {
    started();
    if (frames_.size() != 1 || frames_.back().seen != entries_) fail("end_entries before every entry was read");
    ended_ = true;
  }

  void null() { value(VelqType::Null); }
  void boolean(bool) { value(VelqType::Bool); }
  void int32(std::int32_t) { value(VelqType::Int32); }
  void uint32(std::uint32_t) { value(VelqType::UInt32); }
  void float32(float number) {
    value(VelqType::Float32);
    check_float(number);
  }
  void string(std::string_view text, bool ascii) {
    value(VelqType::String);
    const auto* at = reinterpret_cast<const std::uint8_t*>(text.data());
    if (!text.empty() && !inside(at, text.size())) fail("a string outside the input");
    bool really_ascii = true;
    for (char c : text) really_ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii != really_ascii) fail("wrong ascii flag on a string");
    if (!is_valid_utf8(text)) fail("invalid UTF-8 handed over as a string");
  }
  void str_ref(std::uint32_t position) {
    value(VelqType::String);
    if (position >= document_->dict.size()) {
      std::string message = compose_message("StrRef index ", position, " out of bounds");
      if (frames_.size() == 1) message += compose_message(" (dict len ", document_->dict.size(), ")");
      expect_error(std::move(message));
    }
  }

  void begin_array(std::size_t count) {
    value(VelqType::Array);
    frames_.push_back({{}, false, count});
    if (frames_.size() - 1 > MAX_DEPTH) fail("an array nested deeper than MAX_DEPTH");
  }
  void end_array() { end(false); }
  void fixed_array(VelqType type, const std::uint8_t* at, std::size_t count) {
    value(VelqType::Array);
    if (frames_.size() > MAX_DEPTH) fail("an array nested deeper than MAX_DEPTH");
    if (count > MAX_ARRAY_ITEMS) fail("an array of more items than its count holds");
    const std::size_t width = type == VelqType::Null ? 0 : type == VelqType::Bool ? 1 : 4;
    if (type != VelqType::Null && type != VelqType::Bool && type != VelqType::Int32 && type != VelqType::UInt32 &&
        type != VelqType::Float32) {
      fail("fixed_array of a type that has no fixed width");
    }
    if (width * count != 0 && !inside(at, width * count)) fail("fixed_array items outside the input");
    values_ += count;
    if (type == VelqType::Float32) {
      for (std::size_t i = 0; i < count; ++i) check_float(std::bit_cast<float>(load_le32(at + 4 * i)));
    }
  }

  void begin_object(std::uint16_t index, std::size_t count) {
    value(VelqType::Object);
    const Definitions& definitions = document_->definitions;
    if (index >= definitions.size() || !definitions[index].has_fields()) fail("an object of no object definition");
    const std::span<const VelqField> fields = document_->fields_of(definitions[index]);
    if (fields.size() != count) fail("an object's count differs from its definition's fields");
    for (const VelqField& field : fields) {
      const bool ascii = std::all_of(field.name.begin(), field.name.end(), [](char c) { return (c & 0x80) == 0; });
      if (field.ascii != ascii) fail("a field name's ascii flag is wrong");
      if (!inside(reinterpret_cast<const std::uint8_t*>(field.name.data()), field.name.size())) {
        fail("a field name outside the input");
      }
    }
    frames_.push_back({fields, true, count});
    if (frames_.size() - 1 > MAX_DEPTH) fail("an object nested deeper than MAX_DEPTH");
    expect_layout(index, count);
  }
  void end_object() { end(true); }

  bool ended() const { return ended_; }
  std::size_t entries() const { return entries_; }
  // Values read, the items of fixed-width arrays included.
  std::size_t values() const { return values_; }
  const std::optional<std::string>& expected_error() const { return expected_error_; }

 private:
  struct Frame {
    std::span<const VelqField> fields;
    bool object;  // false for an array or the entries
    std::size_t count;
    std::size_t seen = 0;
    VelqType items = VelqType::Null;  // an array's: the type of its first item
  };

  void started() const {
    if (document_ == nullptr) fail("a value before begin_entries");
    if (ended_) fail("a value after end_entries");
  }

  bool inside(const std::uint8_t* at, std::size_t size) const {
    const auto* begin = input_.data();
    const auto* end = begin + input_.size();
    return at >= begin && at <= end && size <= static_cast<std::size_t>(end - at);
  }

  void value(VelqType type) {
    started();
    ++values_;
    Frame& frame = frames_.back();
    if (frame.seen >= frame.count) fail("more values than their container announced");
    if (frame.object) {
      if (frame.fields[frame.seen].type != type) fail("a field's value of another type than its definition gives");
    } else if (frames_.size() > 1) {
      if (type != VelqType::String && type != VelqType::Array && type != VelqType::Object) {
        fail("a fixed-width item handed over one by one");
      }
      if (frame.seen > 0 && type != frame.items) fail("an array of items of more than one type");
      frame.items = type;
    }
    ++frame.seen;
  }

  void end(bool object) {
    started();
    if (frames_.size() < 2 || frames_.back().object != object) fail("an end without its begin");
    if (frames_.back().seen != frames_.back().count) fail("fewer values than their container announced");
    frames_.pop_back();
  }

  void check_float(float number) {
    if (std::isnan(number)) expect_error("Cannot represent float NaN");
    if (std::isinf(number)) expect_error(number > 0 ? "Cannot represent float inf" : "Cannot represent float -inf");
  }

  // The decompiler finds an object's definition by its position when the one there has that
  // index, else as the first with that index.
  void expect_layout(std::uint16_t index, std::size_t count) {
    const Definitions& definitions = document_->definitions;
    const VelqDefinition* found = nullptr;
    if (index < definitions.size() && definitions[index].index == index) {
      found = &definitions[index];
    } else {
      for (const VelqDefinition& definition : definitions) {
        if (definition.index == index) {
          found = &definition;
          break;
        }
      }
    }
    if (found == nullptr) {
      expect_error(compose_message("Unknown definition index: ", index));
    } else if (!found->has_fields()) {
      expect_error(compose_message("Object #", index, ": no field definitions"));
    } else if (found->field_count != count) {
      expect_error(compose_message("Object #", index, ": expected ", std::size_t{found->field_count}, " fields, got ",
                                   count));
    }
  }

  void expect_error(std::string message) {
    if (!expected_error_) expected_error_ = std::move(message);
  }

  ByteSpan input_;
  const WrittenFront* expected_front_;
  const VelqDocument* document_ = nullptr;
  std::size_t entries_ = 0;
  std::size_t values_ = 0;
  bool ended_ = false;
  std::vector<Frame> frames_;
  std::optional<std::string> expected_error_;
};

// Output memory provided the way the Python layer provides a bytes object's:
// a block that grows and keeps its content.
class GrowingStorage final : public ByteBuffer::Storage {
 public:
  char* resize(std::size_t& capacity) override {
    block_.resize(capacity);
    return block_.data();
  }

 private:
  std::vector<char> block_;
};

// The bytes dumps writes for the text (compile_json_to_velq, then
// encode_document), or its first error. dump writes the same document as
// the front (encode_front) followed by the payload: both must agree. The
// definitions and dictionary go to `front` when given.
inline Result<std::string> dumps_bytes(std::string_view text, ByteBuffer::Storage* storage,
                                       WrittenFront* front = nullptr,
                                       std::size_t streamed_from = JSON_STREAMED_FROM) {
  CompiledDocument document(storage);
  if (Status compiled = compile_json_to_velq(text, document, nullptr, streamed_from); !compiled) {
    return std::move(compiled).error();
  }
  if (front != nullptr) {
    front->definitions.assign(document.definitions.begin(), document.definitions.end());
    front->fields.clear();
    for (const VelqField& field : document.fields) front->fields.emplace_back(field.name, field.type);
    front->dict.assign(document.dict.begin(), document.dict.end());
  }

  ByteBuffer dump_front;
  const Status dumped = encode_front(dump_front, document.front(), document.payload);
  std::string dump_bytes;
  if (dumped) dump_bytes = std::string(dump_front.view()).append(document.payload.bytes().view());

  GrowingStorage fresh_storage;
  ByteBuffer fresh(storage != nullptr ? &fresh_storage : nullptr);
  auto encoded = encode_document(document.front(), document.payload, fresh);
  if (!encoded) {
    if (dumped) fail("encode_document refuses what encode_front writes", encoded.error().message);
    if (encoded.error().message != dumped.error().message) {
      fail("encode_document and encode_front fail differently", encoded.error().message + " | " + dumped.error().message);
    }
    return std::move(encoded).error();
  }
  if (!dumped) fail("encode_document writes what encode_front refuses", dumped.error().message);
  std::string bytes(encoded.value()->view());
  if (bytes != dump_bytes) fail("encode_document writes other bytes than encode_front and the payload");
  return bytes;
}

// The document of a text compiled from pages that go as soon as the parse
// has passed them (as a large text made for the call is), or the error.
inline Result<std::string> dumps_bytes_in_pages(std::string_view text) {
  TextPages pages(text.size(), 1);
  if (pages.data() == nullptr) fail("no room for the text's pages");
  std::memcpy(pages.data(), text.data(), text.size());
  pages.set_size(text.size());
  CompiledDocument document;
  if (Status compiled = compile_json_to_velq(pages, document); !compiled) return std::move(compiled).error();
  ByteBuffer fresh;
  auto encoded = encode_document(document.front(), document.payload, fresh);
  if (!encoded) return std::move(encoded).error();
  return std::string(encoded.value()->view());
}

}  // namespace velq::fuzz
