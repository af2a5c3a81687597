// Round trip: any JSON text that the writing road accepts (the bytes dumps
// writes) must read back through the road loads takes (decode_document
// handing values to the Decompiler) as the value that was compiled, up to the
// format's documented transformations:
//   - integers keep their low 32 bits (Int32, or UInt32 from 2^63 up);
//   - other numbers become float32; a float32 that is not finite makes the
//     decompiler fail with "Cannot represent float ...", and only then;
//   - in an array of numbers holding at least one non-integer, every integer
//     becomes the float32 nearest to its exact value;
//   - object keys come in byte order (the parsed tree already has them so).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decode.h"
#include "decompile.h"
#include "fuzz_support.h"
#include "json.h"

namespace {

using velq::JsonKind;
using velq::JsonValue;
using velq::fuzz::fail;

bool is_number(const JsonValue& value) {
  return value.kind == JsonKind::UInt || value.kind == JsonKind::Int || value.kind == JsonKind::Double;
}

// An array of numbers with at least one double: its integers are widened.
bool widens(const JsonValue& array) {
  bool any_double = false;
  for (const JsonValue& item : array.array()) {
    if (!is_number(item)) return false;
    any_double |= item.kind == JsonKind::Double;
  }
  return any_double;
}

float as_float32(const JsonValue& number) {
  switch (number.kind) {
    case JsonKind::UInt: return static_cast<float>(number.uint);
    case JsonKind::Int: return static_cast<float>(number.sint);
    default: return static_cast<float>(number.dbl);
  }
}

bool holds_infinite_float(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Double: return std::isinf(static_cast<float>(value.dbl));
    case JsonKind::Array:
      for (const JsonValue& item : value.array()) {
        if (holds_infinite_float(item)) return true;
      }
      return false;
    case JsonKind::Object:
      for (const auto& member : value.object()) {
        if (holds_infinite_float(member.value)) return true;
      }
      return false;
    default: return false;
  }
}

// One step of a JSON Pointer (RFC 6901), for the messages.
void append_token(std::string& pointer, std::string_view token) {
  pointer += '/';
  for (char c : token) {
    if (c == '~') {
      pointer += "~0";
    } else if (c == '/') {
      pointer += "~1";
    } else {
      pointer += c;
    }
  }
}

std::string describe(const std::string& pointer, std::string_view what) {
  return "at '" + pointer + "': " + std::string(what);
}

void expect_integer(const JsonValue& got, std::int64_t want, const std::string& pointer) {
  if (want < 0) {
    if (got.kind != JsonKind::Int || got.sint != want) fail("integer differs", describe(pointer, std::to_string(want)));
  } else {
    if (got.kind != JsonKind::UInt || got.uint != static_cast<std::uint64_t>(want)) {
      fail("integer differs", describe(pointer, std::to_string(want)));
    }
  }
}

void expect_float(const JsonValue& got, float want, const std::string& pointer) {
  if (got.kind != JsonKind::Double ||
      velq::fuzz::double_bits(got.dbl) != velq::fuzz::double_bits(static_cast<double>(want))) {
    fail("float differs", describe(pointer, std::to_string(want)));
  }
}

void expect_same(const JsonValue& source, const JsonValue& got, bool widened, std::string& pointer) {
  if (widened) {
    expect_float(got, as_float32(source), pointer);
    return;
  }
  switch (source.kind) {
    case JsonKind::Null:
      if (got.kind != JsonKind::Null) fail("null differs", describe(pointer, "null"));
      return;
    case JsonKind::Bool:
      if (got.kind != JsonKind::Bool || got.boolean != source.boolean) fail("bool differs", describe(pointer, ""));
      return;
    case JsonKind::UInt: {
      auto low = static_cast<std::uint32_t>(source.uint);
      bool unsigned32 = source.uint >= (std::uint64_t{1} << 63);
      expect_integer(got, unsigned32 ? std::int64_t{low} : std::int64_t{static_cast<std::int32_t>(low)}, pointer);
      return;
    }
    case JsonKind::Int:
      expect_integer(got, static_cast<std::int32_t>(static_cast<std::uint32_t>(source.sint)), pointer);
      return;
    case JsonKind::Double:
      expect_float(got, static_cast<float>(source.dbl), pointer);
      return;
    case JsonKind::String:
      if (got.kind != JsonKind::String || got.string() != source.string()) {
        fail("string differs", describe(pointer, source.string()));
      }
      return;
    case JsonKind::Array: {
      if (got.kind != JsonKind::Array || got.size != source.size) fail("array differs", describe(pointer, ""));
      bool widen_items = widens(source);
      std::size_t length = pointer.size();
      for (std::size_t i = 0; i < source.size; ++i) {
        append_token(pointer, std::to_string(i));
        expect_same(source.items[i], got.items[i], widen_items, pointer);
        pointer.resize(length);
      }
      return;
    }
    case JsonKind::Object: {
      if (got.kind != JsonKind::Object || got.size != source.size) fail("object differs", describe(pointer, ""));
      std::size_t length = pointer.size();
      for (std::size_t i = 0; i < source.size; ++i) {
        if (got.members[i].key != source.members[i].key) fail("key differs", describe(pointer, source.members[i].key));
        append_token(pointer, source.members[i].key);
        expect_same(source.members[i].value, got.members[i].value, false, pointer);
        pointer.resize(length);
      }
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!velq::fuzz::is_valid_utf8(text)) return -1;

  velq::JsonArena source_arena;
  auto parsed = velq::parse_json(text, source_arena);
  if (!parsed.ok()) return 0;
  velq::fuzz::GrowingStorage storage;
  auto encoded = velq::fuzz::dumps_bytes(text, &storage);
  if (!encoded.ok()) return 0;  // the compile target checks the refusals

  velq::JsonArena arena;
  velq::fuzz::TreeBuilder builder(arena, std::size_t{1} << 24);
  velq::Decompiler<velq::fuzz::TreeBuilder> decompiler(builder);
  const velq::Status read = velq::decode_document(velq::fuzz::span_of(encoded.value()), decompiler);
  if (!read.ok()) fail("the reader refuses what the writer wrote", read.error().message);

  const JsonValue& source = parsed.value();
  const bool infinite = holds_infinite_float(source);
  if (decompiler.failed()) {
    const std::string message = decompiler.take_error().message;
    if (!infinite || !velq::fuzz::starts_with(message, "Cannot represent float ")) fail("decompiling failed", message);
    return 0;
  }
  if (infinite) fail("a non-finite float was decompiled");
  if (builder.gave_up()) fail("the tree builder gave up on a document of at most 16 KiB of text");
  std::string pointer;
  expect_same(source, builder.root(), false, pointer);
  return 0;
}
