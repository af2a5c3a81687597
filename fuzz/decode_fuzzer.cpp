// Hostile bytes through the reading road: decode_document, then
// decompile_document, and the streaming road that loads takes
// (decode_document_to feeding the streaming decompiler). Beyond "no crash, no
// out-of-bounds access, no leak":
//   - both roads give the same first error or the same value;
//   - whatever the decoder accepts is a document the encoder can write, and
//     writing then reading it gives the same document back, byte-stable;
//   - a decompiled tree has sorted unique keys, finite numbers, valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "fuzz_support.h"

namespace {

// A few bytes can legitimately describe millions of nulls (an array item of
// type Null takes no bytes). Past this many nodes the extra checks are skipped
// so that the run measures the decoder, not the allocator.
constexpr std::size_t kMaxCheckedNodes = 1 << 20;

void check_rewrite(const velq::VelqDocument& document) {
  auto bytes = velq::encode_document(document);
  if (!bytes.ok()) velq::fuzz::fail("a decoded document cannot be encoded", bytes.error().message);
  const std::string& first = bytes.value();
  velq::ByteSpan span(reinterpret_cast<const std::uint8_t*>(first.data()), first.size());
  auto again = velq::decode_document(span);
  if (!again.ok()) velq::fuzz::fail("re-encoded bytes are refused", again.error().message);
  if (!velq::fuzz::same_content(document, again.value())) {
    velq::fuzz::fail("decode(encode(document)) differs from the document");
  }
  auto second = velq::encode_document(again.value());
  if (!second.ok() || second.value() != first) velq::fuzz::fail("encoding is not stable across a round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velq::ByteSpan bytes(data, size);
  auto decoded = velq::decode_document(bytes);
  if (!decoded.ok()) {
    velq::fuzz::check_streaming_road(bytes, decoded, nullptr, nullptr);
    return 0;
  }
  const velq::VelqDocument& document = decoded.value();
  if (velq::fuzz::count_nodes(document) > kMaxCheckedNodes) return 0;

  auto tree = velq::decompile_document(document);
  if (tree.ok()) {
    // One level more than the decoder allows: several chunks come wrapped in an array.
    volatile std::size_t sum = velq::fuzz::check_json_tree(tree.value().root, 0, velq::MAX_DEPTH + 1);
    (void)sum;
    velq::fuzz::check_streaming_road(bytes, decoded, &tree.value().root, nullptr);
  } else {
    velq::fuzz::check_streaming_road(bytes, decoded, nullptr, &tree.error());
  }
  check_rewrite(document);
  return 0;
}
