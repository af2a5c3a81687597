// JSON text through the writing roads: parse_json, and compile_json_to_velq
// then encode_document (dumps) or encode_front followed by the payload (dump).
// Beyond "no crash, no out-of-bounds access, no leak":
//   - the parser's tree keeps its promises (sorted unique keys, finite
//     doubles, at most 127 levels);
//   - the compiler fails exactly where the parser fails, with the same
//     message, and otherwise only on arrays it cannot represent, on what the
//     reader would refuse (too many definitions, too many fields) and on
//     what the byte layout cannot hold (a field name of more than 255 bytes);
//   - dumps and dump write the same bytes or fail with the same error;
//   - the scalar road of the text scan writes the bytes, or fails with the
//     message, of the CPU's best road, and so does a top-level array compiled
//     item by item (as large texts are) of the whole tree, and a text in
//     pages that go once parsed (as a large text made for the call is);
//   - a compiled document starts with the built-in definitions, and its
//     bytes have a well-formed header and are read back, by a reader that
//     keeps its contract, as one entry with the definitions and the
//     dictionary that were compiled.
// Input that is not valid UTF-8 is skipped: the text always comes from a
// Python str, so the parser never sees any.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compile.h"
#include "format.h"
#include "fuzz_support.h"
#include "json.h"
#include "scan.h"

namespace {

using velq::fuzz::fail;
using velq::fuzz::starts_with;

std::uint32_t read_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void check_header(const std::string& bytes) {
  if (bytes.size() < 23) fail("encoded document shorter than 23 bytes");
  if (bytes[0] != 1) fail("encoded document with a version other than 1");
  std::uint32_t defs = read_u32(bytes, 1), dict = read_u32(bytes, 5), data = read_u32(bytes, 9);
  if (defs != 13 || dict < defs + 2 || data < dict + 4 || data + 4 > bytes.size()) {
    fail("encoded document with inconsistent block offsets");
  }
  if (read_u32(bytes, data) != 1) fail("a compiled document of other than one entry");
}

// What a compile may refuse in text that parses.
bool refusable(const std::string& message) {
  return starts_with(message, "Mixed array item at /") || starts_with(message, "Definition count ") ||
         (starts_with(message, "Object #") && message.find(" fields (max ") != std::string::npos) ||
         message == velq::kFieldNameTooLong;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!velq::fuzz::is_valid_utf8(text)) return -1;

  velq::JsonArena arena;
  auto parsed = velq::parse_json(text, arena);
  if (parsed.ok()) {
    volatile std::size_t sum = velq::fuzz::check_json_tree(parsed.value(), 0, velq::JSON_MAX_NESTING);
    (void)sum;
  }

  velq::fuzz::WrittenFront front;
  auto bytes = velq::fuzz::dumps_bytes(text, nullptr, &front);
  if (velq::best_scan_road() != velq::ScanRoad::Scalar) {
    velq::set_scan_road(velq::ScanRoad::Scalar);
    auto scalar = velq::fuzz::dumps_bytes(text, nullptr);
    const std::string scalar_outcome = scalar.ok() ? scalar.value() : "error: " + scalar.error().message;
    // Blocks of 64, which the best road takes for texts of 512 bytes or more only.
    if (velq::set_scan_road(velq::ScanRoad::Blocks)) {
      auto blocks = velq::fuzz::dumps_bytes(text, nullptr);
      const std::string blocks_outcome = blocks.ok() ? blocks.value() : "error: " + blocks.error().message;
      if (blocks_outcome != scalar_outcome) fail("the scalar and block roads of the scan disagree", blocks_outcome);
    }
    velq::set_scan_road(velq::best_scan_road());
    const std::string vector_outcome = bytes.ok() ? bytes.value() : "error: " + bytes.error().message;
    if (vector_outcome != scalar_outcome) fail("the scalar and vector roads of the scan disagree", scalar_outcome);
  }
  {
    auto streamed = velq::fuzz::dumps_bytes(text, nullptr, nullptr, 0);
    const std::string whole_outcome = bytes.ok() ? bytes.value() : "error: " + bytes.error().message;
    const std::string streamed_outcome = streamed.ok() ? streamed.value() : "error: " + streamed.error().message;
    if (whole_outcome != streamed_outcome) fail("items compiled one by one differ from the whole tree", streamed_outcome);
    auto paged = velq::fuzz::dumps_bytes_in_pages(text);
    const std::string paged_outcome = paged.ok() ? paged.value() : "error: " + paged.error().message;
    if (whole_outcome != paged_outcome) fail("a text in pages that go differs from the text in place", paged_outcome);
  }
  if (!parsed.ok()) {
    if (bytes.ok()) fail("the compiler accepts text the parser refuses", parsed.error().message);
    if (bytes.error().message != parsed.error().message) {
      fail("compiler and parser disagree on the parse error", bytes.error().message + " | " + parsed.error().message);
    }
    return 0;
  }
  if (!bytes.ok()) {
    if (!refusable(bytes.error().message)) fail("unexpected compile error for parsable JSON", bytes.error().message);
    return 0;
  }

  const auto& builtins = velq::BUILTIN_DEFINITIONS;
  if (front.definitions.size() < builtins.size() ||
      !std::equal(builtins.begin(), builtins.end(), front.definitions.begin())) {
    fail("a compiled document must start with the built-in definitions");
  }
  check_header(bytes.value());
  const velq::ByteSpan span = velq::fuzz::span_of(bytes.value());
  velq::fuzz::ContractSink contract(span, &front);
  const velq::Status read = velq::decode_document(span, contract);
  if (!read.ok()) fail("the reader refuses what the writer wrote", read.error().message);
  if (contract.entries() != 1) fail("a compiled document of other than one entry");
  return 0;
}
