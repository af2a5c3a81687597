// Hostile bytes through the reading road that loads takes: decode_document
// handing values to the Decompiler, which hands them to a tree builder.
// Beyond "no crash, no out-of-bounds access, no leak":
//   - the reader keeps its sink contract (see ContractSink): the values it
//     hands over agree with the definitions, the counts and the input;
//   - the reader fails, or not, with the same message whatever its sink;
//   - the decompiler fails exactly with the first error that its documented
//     rules give for the values read (a dictionary reference out of bounds,
//     a float that is not finite, an object whose definition it cannot find
//     or whose fields do not match), and otherwise builds one value: null for
//     no entry, an array for several;
//   - a decompiled value has sorted unique keys, finite numbers, valid UTF-8,
//     and an object's members are the last field of each name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "decode.h"
#include "decompile.h"
#include "fuzz_support.h"

namespace {

using velq::fuzz::fail;

// A few bytes can legitimately describe millions of nulls (an array item of
// type Null takes no bytes). Past this many values no tree is built, so that
// the run measures the reader, not the allocator.
constexpr std::size_t kMaxBuiltValues = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velq::ByteSpan bytes(data, size);
  velq::fuzz::ContractSink contract(bytes);
  const velq::Status read = velq::decode_document(bytes, contract);
  if (read.ok() != contract.ended()) fail("end_entries came without success, or success without end_entries");

  velq::JsonArena arena;
  velq::fuzz::TreeBuilder builder(arena, kMaxBuiltValues);
  velq::Decompiler<velq::fuzz::TreeBuilder> decompiler(builder);
  const velq::Status loaded = velq::decode_document(bytes, decompiler);
  if (read.ok() != loaded.ok()) fail("the reader's outcome depends on its sink");
  if (!read.ok()) {
    if (read.error().message != loaded.error().message) {
      fail("the reader fails differently with another sink", read.error().message + " | " + loaded.error().message);
    }
    return 0;
  }

  const std::optional<std::string>& expected = contract.expected_error();
  if (decompiler.failed()) {
    const std::string message = decompiler.take_error().message;
    if (!expected) fail("the decompiler refuses values its rules accept", message);
    if (message != *expected) fail("the decompiler reports another error than its first", message + " | " + *expected);
    return 0;
  }
  if (expected) fail("the decompiler accepts values its rules refuse", *expected);
  if (builder.gave_up()) return 0;

  const velq::JsonValue& root = builder.root();
  const std::size_t entries = contract.entries();
  if (entries == 0 && root.kind != velq::JsonKind::Null) fail("a document without entries does not read as null");
  if (entries > 1 && (root.kind != velq::JsonKind::Array || root.size != entries)) {
    fail("a document of several entries does not read as an array of them");
  }
  // One level more than the reader allows: several entries come wrapped in an array.
  volatile std::size_t sum = velq::fuzz::check_json_tree(root, 0, velq::MAX_DEPTH + 1);
  (void)sum;
  return 0;
}
