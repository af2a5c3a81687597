// Checks shared by the fuzz targets. A failed check prints what it saw and
// aborts, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "compile.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "json.h"
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

inline std::uint32_t float_bits(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

inline std::uint64_t double_bits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

// Node equality with floats compared by bit pattern, so that NaN payloads and
// signed zeros count (operator== would call NaN unequal to itself).
inline bool same_data(const VelqData& a, const VelqData& b) {
  if (a.index() != b.index()) return false;
  switch (a.index()) {
    case kFloat32Index:
      return float_bits(std::get<float>(a)) == float_bits(std::get<float>(b));
    case kArrayIndex: {
      const auto& x = std::get<VelqArray>(a);
      const auto& y = std::get<VelqArray>(b);
      if (x.self_def_index != y.self_def_index || x.elem_def_index != y.elem_def_index) return false;
      if (x.items.size() != y.items.size()) return false;
      for (std::size_t i = 0; i < x.items.size(); ++i) {
        if (!same_data(x.items[i], y.items[i])) return false;
      }
      return true;
    }
    case kObjectIndex: {
      const auto& x = std::get<VelqObject>(a);
      const auto& y = std::get<VelqObject>(b);
      if (x.self_def_index != y.self_def_index || x.values.size() != y.values.size()) return false;
      for (std::size_t i = 0; i < x.values.size(); ++i) {
        if (!same_data(x.values[i], y.values[i])) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

// Same definitions, dictionary and chunks; block offsets and version may differ.
inline bool same_content(const VelqDocument& a, const VelqDocument& b) {
  if (a.definitions != b.definitions || a.dict != b.dict || a.chunks.size() != b.chunks.size()) return false;
  for (std::size_t i = 0; i < a.chunks.size(); ++i) {
    if (a.chunks[i].def_index != b.chunks[i].def_index) return false;
    if (!same_data(a.chunks[i].data, b.chunks[i].data)) return false;
  }
  return true;
}

inline std::size_t count_nodes(const VelqData& data) {
  std::size_t n = 1;
  if (const auto* array = std::get_if<VelqArray>(&data)) {
    for (const auto& item : array->items) n += count_nodes(item);
  } else if (const auto* object = std::get_if<VelqObject>(&data)) {
    for (const auto& value : object->values) n += count_nodes(value);
  }
  return n;
}

inline std::size_t count_nodes(const VelqDocument& document) {
  std::size_t n = 0;
  for (const auto& chunk : document.chunks) n += count_nodes(chunk.data);
  return n;
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

// Bitwise equality of two JSON trees (doubles by bit pattern, so -0.0 counts).
inline bool same_json(const JsonValue& a, const JsonValue& b) {
  if (a.kind != b.kind || a.size != b.size) return false;
  switch (a.kind) {
    case JsonKind::Null: return true;
    case JsonKind::Bool: return a.boolean == b.boolean;
    case JsonKind::UInt: return a.uint == b.uint;
    case JsonKind::Int: return a.sint == b.sint;
    case JsonKind::Double: return double_bits(a.dbl) == double_bits(b.dbl);
    case JsonKind::String: return a.string() == b.string();
    case JsonKind::Array:
      for (std::size_t i = 0; i < a.size; ++i) {
        if (!same_json(a.items[i], b.items[i])) return false;
      }
      return true;
    case JsonKind::Object:
      for (std::size_t i = 0; i < a.size; ++i) {
        if (a.members[i].key != b.members[i].key || !same_json(a.members[i].value, b.members[i].value)) return false;
      }
      return true;
  }
  return false;
}

// Builds a JSON tree from what the streaming decompiler hands over, the way
// the Python layer builds objects from it. Gives up (returns false) past a
// node budget, which the decompiler must tolerate.
class StreamTreeBuilder {
 public:
  explicit StreamTreeBuilder(JsonArena& arena, std::size_t budget) : arena_(arena), budget_(budget) {}

  bool null() { return push(JsonValue::null()); }
  bool boolean(bool value) { return push(JsonValue::from_bool(value)); }
  bool real(double value) { return push(JsonValue::from_double(value)); }
  bool non_negative(std::uint64_t value) { return push(JsonValue::from_uint(value)); }
  bool negative(std::int64_t value) {
    if (value >= 0) fail("a non-negative integer handed over as negative");
    return push(JsonValue::from_int(value));
  }
  bool string(std::string_view text, bool ascii) {
    bool really_ascii = true;
    for (char c : text) really_ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii != really_ascii) fail("wrong ascii flag on a string");
    if (!is_valid_utf8(text)) fail("invalid UTF-8 handed over as a string");
    return push(JsonValue::from_string(arena_.copy_string(text)));
  }
  bool dict_string(std::uint32_t, std::string_view text) { return push(JsonValue::from_string(arena_.copy_string(text))); }
  bool array(std::size_t count) {
    if (count > stack_.size()) fail("an array of more values than were handed over");
    JsonValue* items = arena_.new_values(count);
    std::copy(stack_.end() - static_cast<std::ptrdiff_t>(count), stack_.end(), items);
    stack_.resize(stack_.size() - count);
    return push(JsonValue::from_array(items, count));
  }
  bool object(const ObjectLayout& layout) {
    const std::vector<VelqField>& fields = *layout.fields;
    if (fields.size() > stack_.size()) fail("an object of more values than were handed over");
    const JsonValue* values = stack_.data() + (stack_.size() - fields.size());
    JsonMember* members = arena_.new_members(layout.members.size());
    for (std::size_t i = 0; i < layout.members.size(); ++i) {
      std::uint16_t field = layout.members[i];
      if (field >= fields.size()) fail("an object layout naming a field that is not there");
      members[i] = {arena_.copy_string(fields[field].name), values[field]};
    }
    stack_.resize(stack_.size() - fields.size());
    return push(JsonValue::from_object(members, layout.members.size()));
  }

  bool gave_up() const { return gave_up_; }
  // The one value left once a whole document has been handed over.
  const JsonValue& root() const {
    if (stack_.size() != 1) fail("the streaming decompiler did not leave exactly one value");
    return stack_.front();
  }

 private:
  bool push(JsonValue value) {
    if (++nodes_ > budget_) {
      gave_up_ = true;
      return false;
    }
    stack_.push_back(value);
    return true;
  }

  JsonArena& arena_;
  std::size_t budget_;
  std::size_t nodes_ = 0;
  bool gave_up_ = false;
  std::vector<JsonValue> stack_;
};

// The reading road that loads takes (decode_document_to feeding the streaming
// decompiler) must agree with decode_document followed by decompile_document:
// the same first error, or the same tree.
inline void check_streaming_road(ByteSpan bytes, const Result<VelqDocument>& decoded, const JsonValue* expected,
                                 const VelqError* decompile_error) {
  JsonArena arena;
  StreamTreeBuilder builder(arena, 1 << 20);
  Decompiler<StreamTreeBuilder> decompiler(builder);
  Status streamed = decode_document_to(bytes, decompiler);
  if (!decoded.ok()) {
    if (streamed.ok()) fail("streaming decoder accepts what decode_document refuses", decoded.error().message);
    if (streamed.error().message != decoded.error().message) {
      fail("streaming decoder fails differently", streamed.error().message + " | " + decoded.error().message);
    }
    return;
  }
  if (!streamed.ok()) fail("streaming decoder refuses what decode_document accepts", streamed.error().message);
  if (decompile_error != nullptr) {
    if (!decompiler.failed()) fail("streaming decompiler accepts what decompile_document refuses", decompile_error->message);
    VelqError error = decompiler.take_error();
    if (error.message != decompile_error->message) {
      fail("streaming decompiler fails differently", error.message + " | " + decompile_error->message);
    }
    return;
  }
  if (decompiler.failed()) fail("streaming decompiler refuses what decompile_document accepts", decompiler.take_error().message);
  if (builder.gave_up() || expected == nullptr) return;
  if (!same_json(builder.root(), *expected)) fail("streaming road reads a different value");
}

// Output memory for compile_json_to_velq, provided the way the Python layer
// provides a bytes object's: a block that grows and keeps its content.
class GrowingStorage final : public ByteBuffer::Storage {
 public:
  char* resize(std::size_t capacity) override {
    block_.resize(capacity);
    return block_.data();
  }

 private:
  std::vector<char> block_;
};

// The writing road that dumps takes (compile_json_to_velq) must give exactly
// what compile_json_str, check_reader_limits and encode_document give: the
// same bytes, or the same first error. Returns the bytes, empty on an error.
inline std::string check_direct_road(std::string_view text, const Result<VelqDocument>& compiled,
                                     ByteBuffer::Storage* storage) {
  std::string expected, error;
  if (!compiled.ok()) {
    error = compiled.error().message;
  } else if (Status limits = check_reader_limits(compiled.value()); !limits.ok()) {
    error = limits.error().message;
  } else if (auto bytes = encode_document(compiled.value()); !bytes.ok()) {
    error = bytes.error().message;
  } else {
    expected = std::move(bytes.value());
  }
  auto direct = compile_json_to_velq(text, storage);
  if (!direct.ok()) {
    if (error.empty()) fail("compile_json_to_velq refuses what the document road writes", direct.error().message);
    if (direct.error().message != error) fail("compile_json_to_velq fails differently", direct.error().message + " | " + error);
    return {};
  }
  if (!error.empty()) fail("compile_json_to_velq writes what the document road refuses", error);
  std::string joined = direct.value().joined();
  if (joined != expected) fail("compile_json_to_velq writes other bytes than the document road");
  if (joined.size() != direct.value().size()) fail("EncodedDocument::size disagrees with its bytes");
  return joined;
}

}  // namespace velq::fuzz
