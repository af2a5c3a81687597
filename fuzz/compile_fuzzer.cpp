// JSON text through the writing roads: parse_json, compile_json_str,
// check_reader_limits, encode_document, and compile_json_to_velq, which dumps
// takes. Beyond "no crash, no out-of-bounds access, no leak":
//   - the parser's tree keeps its promises (sorted unique keys, finite
//     doubles, at most 127 levels);
//   - the compiler fails exactly where the parser fails, with the same
//     message, and otherwise only on arrays it cannot represent;
//   - both roads write the same bytes or fail with the same first error, and
//     the bytes start with a well-formed header.
// Input that is not valid UTF-8 is skipped: the text always comes from a
// Python str, so the parser never sees any.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compile.h"
#include "fuzz_support.h"
#include "json.h"

namespace {

std::uint32_t read_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void check_header(const std::string& bytes) {
  if (bytes.size() < 23) velq::fuzz::fail("encoded document shorter than 23 bytes");
  if (bytes[0] != 1) velq::fuzz::fail("encoded document with a version other than 1");
  std::uint32_t defs = read_u32(bytes, 1), dict = read_u32(bytes, 5), data = read_u32(bytes, 9);
  if (defs != 13 || dict < defs + 2 || data < dict + 4 || data + 4 > bytes.size()) {
    velq::fuzz::fail("encoded document with inconsistent block offsets");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!velq::fuzz::is_valid_utf8(text)) return -1;

  auto parsed = velq::parse_json(text);
  if (parsed.ok()) {
    volatile std::size_t sum = velq::fuzz::check_json_tree(parsed.value().root, 0, velq::JSON_MAX_NESTING);
    (void)sum;
  }

  auto compiled = velq::compile_json_str(text);
  if (!parsed.ok()) {
    if (compiled.ok()) velq::fuzz::fail("the compiler accepts text the parser refuses", parsed.error().message);
    if (compiled.error().message != parsed.error().message) {
      velq::fuzz::fail("compiler and parser disagree on the parse error",
                       compiled.error().message + " | " + parsed.error().message);
    }
  } else if (!compiled.ok()) {
    if (!velq::fuzz::starts_with(compiled.error().message, "Mixed array item at /")) {
      velq::fuzz::fail("unexpected compile error for parsable JSON", compiled.error().message);
    }
  } else {
    const velq::VelqDocument& document = compiled.value();
    if (document.chunks.size() != 1) velq::fuzz::fail("a compiled document must hold exactly one chunk");
    if (document.definitions.size() < velq::BUILTIN_DEFINITION_COUNT) {
      velq::fuzz::fail("a compiled document must start with the built-in definitions");
    }
  }

  std::string bytes = velq::fuzz::check_direct_road(text, compiled, nullptr);
  if (!bytes.empty()) check_header(bytes);
  return 0;
}
