#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <string>

#include "encode.h"
#include "test_support.h"

// GCC 12 reports moves of std::variant temporaries holding vectors as possibly uninitialized reads.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace velq {
namespace {

using test_support::from_hex;
using test_support::to_hex;

VelqDefinition primitive_def(std::uint16_t index, VelqType kind) {
  return {std::nullopt, index, kind, std::nullopt};
}
VelqDefinition array_def(std::uint16_t index, std::optional<VelqType> elem) {
  return {std::nullopt, index, VelqType::Array, elem};
}
VelqDefinition object_def(std::uint16_t index, std::optional<std::vector<VelqField>> fields) {
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}

VelqDocument object_example() {
  VelqDocument doc;
  doc.definitions.push_back(object_def(0, std::vector<VelqField>{{"a", VelqType::Int32}}));
  doc.chunks.push_back({VelqObject{0, {std::int32_t{1}}}, 0});
  return doc;
}

VelqDocument array_example() {
  VelqDocument doc;
  doc.definitions.push_back(array_def(0, VelqType::String));
  doc.dict = {"hi"};
  doc.chunks.push_back({VelqArray{0, 0, {VelqStrRef{0}, std::string("yo")}}, 0});
  return doc;
}

VelqDocument with_chunk(VelqDefinition def, VelqData data) {
  VelqDocument doc;
  doc.definitions.push_back(std::move(def));
  doc.chunks.push_back({std::move(data), 0});
  return doc;
}

struct DocumentCase {
  const char* name;
  std::function<VelqDocument()> make;
  const char* hex;
};

TEST(EncodeDocument, WritesExactBytes) {
  const DocumentCase cases[] = {
      {"empty document", [] { return VelqDocument{}; },
       "01 0D000000 0F000000 13000000 0000 00000000 00000000"},
      {"object example (43 bytes)", object_example,
       "01 0D000000 17000000 1B000000 0100 11 0000 0100 016102 00000000 01000000 0000 06000000 0000 01000000"},
      {"array example (50 bytes)", array_example,
       "01 0D000000 13000000 1A000000 0100 10000005 01000000 026869 01000000 0000 0E000000 000000000200 "
       "FF00000000 02796F"},
      {"stored offsets are ignored, version is written as stored",
       [] {
         VelqDocument doc;
         doc.version = 7;
         doc.dict_block_offset = 99;
         doc.data_block_offset = 99;
         return doc;
       },
       "07 0D000000 0F000000 13000000 0000 00000000 00000000"},
      {"null chunk has an empty payload",
       [] { return with_chunk(primitive_def(0, VelqType::Null), VelqNull{}); },
       "01 0D000000 12000000 16000000 0100 000000 00000000 01000000 0000 00000000"},
      {"empty array chunk has a 6-byte payload",
       [] { return with_chunk(array_def(0, VelqType::Int32), VelqArray{0, 3, {}}); },
       "01 0D000000 13000000 17000000 0100 10000002 00000000 01000000 0000 06000000 0000 0300 0000"},
      {"object of an empty definition is its self_def_index",
       [] { return with_chunk(object_def(0, std::vector<VelqField>{}), VelqObject{0, {}}); },
       "01 0D000000 14000000 18000000 0100 1100000000 00000000 01000000 0000 02000000 0000"},
      {"definition of primitive kind ignores stray fields and elem_type",
       [] {
         VelqDocument doc;
         doc.definitions.push_back(
             {std::vector<VelqField>{{"x", VelqType::Bool}}, 2, VelqType::Bool, VelqType::Null});
         return doc;
       },
       "01 0D000000 12000000 16000000 0100 010200 00000000 00000000"},
      {"two chunks each get their own payload length",
       [] {
         VelqDocument doc = object_example();
         doc.definitions.push_back(primitive_def(1, VelqType::String));
         doc.chunks.push_back({std::string("abc"), 1});
         return doc;
       },
       "01 0D000000 1A000000 1E000000 0200 11 0000 0100 016102 050100 00000000 02000000 "
       "0000 06000000 0000 01000000 0100 04000000 03616263"},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_document(c.make());
    ASSERT_TRUE(encoded.ok()) << encoded.error().message;
    EXPECT_EQ(to_hex(encoded.value()), to_hex(from_hex(c.hex)));
  }
}

struct ErrorCase {
  const char* name;
  std::function<VelqDocument()> make;
  const char* message;
};

VelqDocument many_definitions(std::size_t n) {
  VelqDocument doc;
  doc.definitions.resize(n);
  return doc;
}

TEST(EncodeDocument, RefusesWithTheFirstFailure) {
  const ErrorCase cases[] = {
      {"65536 definitions", [] { return many_definitions(65536); },
       "Too many definitions (65536), max 65535"},
      {"definition count before any definition",
       [] {
         VelqDocument doc = many_definitions(65536);
         doc.definitions[0] = array_def(0, std::nullopt);
         return doc;
       },
       "Too many definitions (65536), max 65535"},
      {"array without elem_type shows its index field",
       [] { return with_chunk(array_def(7, std::nullopt), VelqNull{}); }, "Array #7 has no elem_type"},
      {"object without fields", [] { return with_chunk(object_def(4, std::nullopt), VelqNull{}); },
       "Object #4 has no fields"},
      {"first failing definition decides",
       [] {
         VelqDocument doc;
         doc.definitions = {array_def(3, std::nullopt), object_def(4, std::nullopt)};
         return doc;
       },
       "Array #3 has no elem_type"},
      {"field name of 256 bytes",
       [] { return with_chunk(object_def(0, {{{std::string(256, 'n'), VelqType::Null}}}), VelqNull{}); },
       "Field name too long"},
      {"65536 fields",
       [] { return with_chunk(object_def(5, std::vector<VelqField>(65536)), VelqNull{}); },
       "Too many fields (65536), max 65535"},
      {"dictionary string over 16777215 bytes",
       [] {
         VelqDocument doc;
         doc.dict = {"ok", std::string(MAX_INLINE_STRING_LEN + 1, 'd')};
         return doc;
       },
       "String exceeds maximum inline length (16 777 215 bytes)"},
      {"string node over 16777215 bytes",
       [] {
         return with_chunk(primitive_def(0, VelqType::String), std::string(MAX_INLINE_STRING_LEN + 1, 's'));
       },
       "String exceeds maximum inline length (16 777 215 bytes)"},
      {"array of 65536 items",
       [] { return with_chunk(array_def(0, VelqType::Null), VelqArray{0, 0, std::vector<VelqData>(65536)}); },
       "Too many array items (65536), max 65535"},
      {"oversized array nested in an object",
       [] {
         VelqDocument doc;
         doc.definitions = {object_def(0, {{{"a", VelqType::Array}}}), array_def(1, VelqType::Null)};
         doc.chunks.push_back({VelqObject{0, {VelqArray{1, 1, std::vector<VelqData>(70000)}}}, 0});
         return doc;
       },
       "Too many array items (70000), max 65535"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_document(c.make());
    ASSERT_FALSE(encoded.ok());
    EXPECT_EQ(encoded.error().message, c.message);
    EXPECT_EQ(encoded.error().display(), std::string("Failed to parse VELQ: ") + c.message);
  }
}

TEST(EncodeDocument, WritesEverythingAtTheLimits) {
  struct LimitCase {
    const char* name;
    std::function<VelqDocument()> make;
    std::size_t size;
  };
  const LimitCase cases[] = {
      {"65535 definitions", [] { return many_definitions(65535); }, 13 + 2 + 3 * 65535 + 4 + 4},
      {"65535 unnamed fields",
       [] {
         return with_chunk(object_def(0, std::vector<VelqField>(65535)),
                           VelqObject{0, std::vector<VelqData>(65535)});
       },
       13 + 2 + 5 + 2 * 65535 + 4 + 4 + 6 + 2},
      {"field name of 255 bytes",
       [] { return with_chunk(object_def(0, {{{std::string(255, 'n'), VelqType::Null}}}), VelqNull{}); },
       13 + 2 + 5 + 1 + 255 + 1 + 4 + 4 + 6},
      {"array of 65535 booleans",
       [] {
         return with_chunk(array_def(0, VelqType::Bool),
                           VelqArray{0, 0, std::vector<VelqData>(65535, VelqData{true})});
       },
       13 + 2 + 4 + 4 + 4 + 6 + 6 + 65535},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_document(c.make());
    ASSERT_TRUE(encoded.ok()) << encoded.error().message;
    EXPECT_EQ(encoded.value().size(), c.size);
  }
}

TEST(EncodeStrInline, ChoosesTheFormByLength) {
  struct FormCase {
    std::size_t length;
    const char* prefix;
  };
  const FormCase cases[] = {
      {0, "00"},         {1, "01"},          {127, "7F"},          {128, "80 80"},
      {300, "81 2C"},    {16383, "BF FF"},   {16384, "FE 00 40 00"}, {16777215, "FE FF FF FF"},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string text(c.length, 'x');
    std::string out = "\x5A";  // appending keeps what was there
    ASSERT_TRUE(encode_str_inline(text, out).ok());
    const std::string expected_prefix = from_hex(c.prefix);
    ASSERT_EQ(out.size(), 1 + expected_prefix.size() + c.length);
    EXPECT_EQ(to_hex(out.substr(0, 1 + expected_prefix.size())), to_hex("\x5A" + expected_prefix));
    EXPECT_EQ(out.compare(1 + expected_prefix.size(), std::string::npos, text), 0);
  }
}

TEST(EncodeStrInline, TooLongAppendsNothing) {
  std::string out = "keep";
  const Status status = encode_str_inline(std::string(MAX_INLINE_STRING_LEN + 1, 'x'), out);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "String exceeds maximum inline length (16 777 215 bytes)");
  EXPECT_EQ(out, "keep");
}

TEST(EncodeValueInto, WritesEachVariant) {
  struct ValueCase {
    const char* name;
    VelqData value;
    const char* hex;
  };
  const ValueCase cases[] = {
      {"null", VelqNull{}, ""},
      {"false", false, "00"},
      {"true", true, "01"},
      {"int32 -2", std::int32_t{-2}, "FEFFFFFF"},
      {"uint32", std::uint32_t{0x01020304}, "04030201"},
      {"float 1.5", 1.5f, "0000C03F"},
      {"negative zero", -0.0f, "00000080"},
      {"NaN payload", std::bit_cast<float>(std::uint32_t{0x7FA00001}), "0100A07F"},
      {"string", std::string("hé"), "03 68C3A9"},
      {"dictionary reference", VelqStrRef{0x01020304}, "FF 04030201"},
      {"array", VelqArray{3, 4, {std::int32_t{1}, std::int32_t{2}}}, "0300 0400 0200 01000000 02000000"},
      {"object of nulls", VelqObject{2, {VelqNull{}, VelqNull{}}}, "0200"},
      {"nested", VelqObject{1, {VelqArray{2, 0, {VelqObject{3, {true}}}}, std::string("")}},
       "0100 0200 0000 0100 0300 01 00"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    ASSERT_TRUE(encode_value_into(c.value, out).ok());
    EXPECT_EQ(to_hex(out), to_hex(from_hex(c.hex)));
  }
}

// A payload written node by node, headers completed afterwards, then the head
// in front: the bytes of encode_document for the same document.
TEST(EncodeHead, WithItsPayloadMatchesTheWholeDocument) {
  VelqDocument doc;
  doc.definitions = {array_def(0, VelqType::Float32),
                     object_def(1, std::vector<VelqField>{{"a", VelqType::Array}}),
                     array_def(2, VelqType::Object)};
  doc.dict = {"hi"};
  doc.chunks.push_back({VelqArray{2, 1, {VelqObject{1, {VelqArray{0, 4, {1.0f, 2.5f}}}}}}, 2});

  PayloadWriter payload;
  const std::size_t outer = payload.begin_array(1);
  const std::size_t object = payload.begin_object();
  const std::size_t inner = payload.begin_array(2);
  payload.int32(1);
  payload.float32(2.5f);
  payload.rewrite_item_as_float32(inner, 0, 1.0f);
  payload.end_array(inner, 0, 4);
  payload.end_object(object, 1);
  payload.end_array(outer, 2, 1);
  Result<std::string> head = encode_head(doc.definitions, doc.dict, 2, payload);
  ASSERT_TRUE(head.ok()) << head.error().message;
  Result<std::string> whole = encode_document(doc);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(to_hex(head.value() + std::string(payload.bytes().view())), to_hex(whole.value()));
}

// The payload's first failure comes after those of the blocks in front of it.
TEST(EncodeHead, ReportsThePayloadFailureLast) {
  PayloadWriter payload;
  payload.begin_array(70000);
  payload.string(std::string(MAX_INLINE_STRING_LEN + 1, 'x'));
  const std::vector<std::string> no_strings;
  Result<std::string> head = encode_head({}, no_strings, 0, payload);
  ASSERT_FALSE(head.ok());
  EXPECT_EQ(head.error().message, "Too many array items (70000), max 65535");

  const VelqDefinition long_name = object_def(0, std::vector<VelqField>{{std::string(256, 'k'), VelqType::Null}});
  Result<std::string> long_field = encode_head({long_name}, no_strings, 0, payload);
  ASSERT_FALSE(long_field.ok());
  EXPECT_EQ(long_field.error().message, "Field name too long");
}

}  // namespace
}  // namespace velq
