#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "encode.h"
#include "test_support.h"

namespace velq {
namespace {

using test_support::arr_def;
using test_support::from_hex;
using test_support::obj_def;
using test_support::OwnedDefinition;
using test_support::OwnedField;
using test_support::prim_def;
using test_support::StringStorage;
using test_support::to_hex;

// What stands in front of a payload, owned.
struct Front {
  std::vector<OwnedDefinition> definitions;
  std::vector<std::string> dict;
  std::uint16_t def_index = 0;
};

// A front as the encoder takes it, viewing a Front that outlives it.
struct FrontView {
  explicit FrontView(const Front& front)
      : lists(test_support::listed(front.definitions)),
        dict(front.dict.begin(), front.dict.end()),
        def_index(front.def_index) {}
  DocumentFront view() const { return {lists.definitions, lists.fields, dict, def_index}; }

  test_support::DefinitionLists lists;
  std::vector<std::string_view> dict;
  std::uint16_t def_index;
};

// The whole document as encode_front and the payload make it, or "failure: {message}".
std::string encode(const Front& front, const PayloadWriter& payload) {
  ByteBuffer out;
  const FrontView view(front);
  Status written = encode_front(out, view.view(), payload);
  if (!written) return "failure: " + written.error().message;
  EXPECT_EQ(front_size(view.view()), out.size());
  return std::string(out.view()) + std::string(payload.bytes().view());
}

using Write = std::function<void(PayloadWriter&)>;
const Write kNothing = [](PayloadWriter&) {};

OwnedDefinition elemless_array(std::uint16_t index) { return {std::nullopt, index, VelqType::Array, std::nullopt}; }

struct DocumentCase {
  const char* name;
  Front front;
  Write write;
  std::string hex;  // X stands for 6D
};

TEST(EncodeFront, WritesExactBytes) {
  const DocumentCase cases[] = {
      {"smallest document the writer makes: a null entry, no definitions", {}, kNothing,
       "01 0D000000 0F000000 13000000 0000 00000000 01000000 0000 00000000"},
      {"object example (43 bytes)", {{obj_def(0, {{"a", VelqType::Int32}})}, {}, 0},
       [](PayloadWriter& p) {
         const std::size_t at = p.begin_object();
         p.int32(1);
         p.end_object(at, 0);
       },
       "01 0D000000 17000000 1B000000 0100 11 0000 0100 016102 00000000 01000000 0000 06000000 0000 01000000"},
      {"array example (50 bytes)", {{arr_def(0, VelqType::String)}, {"hi"}, 0},
       [](PayloadWriter& p) {
         const std::size_t at = p.begin_array();
         p.str_ref(0);
         p.string("yo");
         p.end_array(at, 0, 0, 2);
       },
       "01 0D000000 13000000 1A000000 0100 10000005 01000000 026869 01000000 0000 0E000000 000000000200 "
       "FF00000000 02796F"},
      {"null entry of a null definition", {{prim_def(0, VelqType::Null)}, {}, 0}, kNothing,
       "01 0D000000 12000000 16000000 0100 000000 00000000 01000000 0000 00000000"},
      {"empty array: a 6-byte payload", {{arr_def(0, VelqType::Int32)}, {}, 0},
       [](PayloadWriter& p) { p.end_array(p.begin_array(), 0, 3, 0); },
       "01 0D000000 13000000 17000000 0100 10000002 00000000 01000000 0000 06000000 0000 0300 0000"},
      {"object of an empty definition is its self_def_index", {{obj_def(0, {})}, {}, 0},
       [](PayloadWriter& p) { p.end_object(p.begin_object(), 0); },
       "01 0D000000 14000000 18000000 0100 1100000000 00000000 01000000 0000 02000000 0000"},
      {"definition of primitive kind ignores stray fields and elem_type",
       {{{std::vector<OwnedField>{{"x", VelqType::Bool}}, 2, VelqType::Bool, VelqType::Null}}, {}, 0}, kNothing,
       "01 0D000000 12000000 16000000 0100 010200 00000000 01000000 0000 00000000"},
      {"entry's definition and dictionary strings of every form",
       {{prim_def(0, VelqType::Null), prim_def(1, VelqType::String)}, {"", std::string(128, 'm')}, 1},
       [](PayloadWriter& p) { p.string("abc"); },
       "01 0D000000 15000000 9C000000 0200 000000 050100 02000000 00 8080" + std::string(128, 'X') +
       " 01000000 0100 04000000 03616263"},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    PayloadWriter payload;
    c.write(payload);
    std::string hex = c.hex;
    for (std::size_t at = hex.find('X'); at != std::string::npos; at = hex.find('X', at)) hex.replace(at, 1, "6D");
    EXPECT_EQ(to_hex(encode(c.front, payload)), to_hex(from_hex(hex)));
  }
}

TEST(PayloadWriter, WritesEachKindOfValue) {
  struct ValueCase {
    const char* name;
    Write write;
    const char* hex;
  };
  const ValueCase cases[] = {
      {"false, true", [](PayloadWriter& p) { p.boolean(false), p.boolean(true); }, "00 01"},
      {"int32 -2", [](PayloadWriter& p) { p.int32(-2); }, "FEFFFFFF"},
      {"uint32", [](PayloadWriter& p) { p.uint32(0x01020304); }, "04030201"},
      {"float 1.5", [](PayloadWriter& p) { p.float32(1.5f); }, "0000C03F"},
      {"negative zero", [](PayloadWriter& p) { p.float32(-0.0f); }, "00000080"},
      {"NaN payload", [](PayloadWriter& p) { p.float32(std::bit_cast<float>(std::uint32_t{0x7FA00001})); },
       "0100A07F"},
      {"string", [](PayloadWriter& p) { p.string("h\xC3\xA9"); }, "03 68C3A9"},
      {"dictionary reference", [](PayloadWriter& p) { p.str_ref(0x01020304); }, "FF 04030201"},
      {"array", [](PayloadWriter& p) {
         const std::size_t at = p.begin_array();
         p.int32(1);
         p.int32(2);
         p.end_array(at, 3, 4, 2);
       }, "0300 0400 0200 01000000 02000000"},
      {"nested, headers completed afterwards", [](PayloadWriter& p) {
         const std::size_t object = p.begin_object();
         const std::size_t array = p.begin_array();
         const std::size_t inner = p.begin_object();
         p.boolean(true);
         p.end_object(inner, 3);
         p.end_array(array, 2, 0, 1);
         p.string("");
         p.end_object(object, 1);
       }, "0100 0200 0000 0100 0300 01 00"},
      {"an item rewritten as a float", [](PayloadWriter& p) {
         const std::size_t at = p.begin_array();
         p.int32(7);
         p.int32(-3);
         EXPECT_EQ(p.item_bits(at, 1), 0xFFFFFFFDu);
         p.rewrite_item_as_float32(at, 1, -3.0f);
         p.end_array(at, 6, 6, 2);
       }, "0600 0600 0200 07000000 000040C0"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    PayloadWriter payload;
    c.write(payload);
    EXPECT_EQ(to_hex(payload.bytes().view()), to_hex(from_hex(c.hex)));
    EXPECT_FALSE(payload.failure());
  }
}

TEST(PayloadWriter, ChoosesTheStringFormByLength) {
  struct FormCase {
    std::size_t length;
    const char* prefix;
  };
  const FormCase cases[] = {
      {0, "00"},      {1, "01"},        {127, "7F"},            {128, "80 80"},
      {300, "81 2C"}, {16383, "BF FF"}, {16384, "FE 00 40 00"}, {16777215, "FE FF FF FF"},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string text(c.length, 'x');
    PayloadWriter payload;
    payload.boolean(true);  // appending keeps what was there
    payload.string(text);
    const std::string out(payload.bytes().view());
    const std::string expected_prefix = "\x01" + from_hex(c.prefix);
    ASSERT_EQ(out.size(), expected_prefix.size() + c.length);
    EXPECT_EQ(to_hex(out.substr(0, expected_prefix.size())), to_hex(expected_prefix));
    EXPECT_EQ(out.compare(expected_prefix.size(), std::string::npos, text), 0);
  }
  // Short texts are copied in pieces by their length: every byte of each
  // length around the pieces' widths lands in its place.
  for (std::size_t length = 0; length <= 40; ++length) {
    SCOPED_TRACE(length);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('A' + i));
    PayloadWriter payload;
    payload.string(text);
    payload.boolean(true);
    EXPECT_EQ(std::string(payload.bytes().view()), static_cast<char>(length) + text + "\x01");
  }
  PayloadWriter too_long;
  too_long.boolean(true);
  too_long.string(std::string(MAX_INLINE_STRING_LEN + 1, 'x'));
  EXPECT_EQ(too_long.bytes().size(), 1u);  // nothing appended
  ASSERT_TRUE(too_long.failure());
  EXPECT_EQ(*too_long.failure(), "String exceeds maximum inline length (16 777 215 bytes)");
}

struct ErrorCase {
  const char* name;
  std::function<Front()> front;
  Write write;
  const char* message;
};

Front many_definitions(std::size_t n) {
  Front front;
  front.definitions.resize(n);
  return front;
}

// Definitions first, then the dictionary, then the payload's own first failure.
TEST(EncodeFront, RefusesWithTheFirstFailure) {
  const Write oversized_array = [](PayloadWriter& p) { p.end_array(p.begin_array(), 0, 0, 65536); };
  const Write long_string = [](PayloadWriter& p) { p.string(std::string(MAX_INLINE_STRING_LEN + 1, 's')); };
  // The array's count stands before the string in the bytes, though checked after it.
  const Write count_before_string = [](PayloadWriter& p) {
    const std::size_t at = p.begin_array();
    p.string(std::string(MAX_INLINE_STRING_LEN + 1, 'x'));
    p.end_array(at, 0, 0, 70000);
  };
  const ErrorCase cases[] = {
      {"65536 definitions", [] { return many_definitions(65536); }, kNothing, "Too many definitions (65536), max 65535"},
      {"definition count before any definition",
       [] {
         Front front = many_definitions(65536);
         front.definitions[0] = elemless_array(0);
         return front;
       },
       kNothing, "Too many definitions (65536), max 65535"},
      {"array without elem_type shows its index field", [] { return Front{{elemless_array(7)}, {}, 0}; }, kNothing,
       "Array #7 has no elem_type"},
      {"first failing definition decides", [] { return Front{{elemless_array(3), elemless_array(4)}, {}, 0}; },
       kNothing, "Array #3 has no elem_type"},
      {"field name of 256 bytes", [] { return Front{{obj_def(0, {{std::string(256, 'n'), VelqType::Null}})}, {}, 0}; },
       kNothing, "Field name too long"},
      {"65536 fields", [] { return Front{{obj_def(5, std::vector<OwnedField>(65536))}, {}, 0}; }, kNothing,
       "Too many fields (65536), max 65535"},
      {"dictionary string over 16777215 bytes",
       [] { return Front{{}, {"ok", std::string(MAX_INLINE_STRING_LEN + 1, 'd')}, 0}; }, kNothing,
       "String exceeds maximum inline length (16 777 215 bytes)"},
      {"string value over 16777215 bytes", [] { return Front{}; }, long_string,
       "String exceeds maximum inline length (16 777 215 bytes)"},
      {"array of 65536 items", [] { return Front{}; }, oversized_array, "Too many array items (65536), max 65535"},
      {"oversized array nested in an object", [] { return Front{}; },
       [](PayloadWriter& p) {
         const std::size_t object = p.begin_object();
         p.end_array(p.begin_array(), 1, 1, 70000);
         p.end_object(object, 0);
       },
       "Too many array items (70000), max 65535"},
      {"the payload's failure first in its bytes", [] { return Front{}; }, count_before_string,
       "Too many array items (70000), max 65535"},
      {"a definition's failure before the payload's",
       [] { return Front{{obj_def(0, {{std::string(256, 'k'), VelqType::Null}})}, {}, 0}; }, count_before_string,
       "Field name too long"},
      {"the dictionary's failure before the payload's",
       [] { return Front{{}, {std::string(MAX_INLINE_STRING_LEN + 1, 'd')}, 0}; }, oversized_array,
       "String exceeds maximum inline length (16 777 215 bytes)"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    PayloadWriter payload;
    c.write(payload);
    EXPECT_EQ(encode(c.front(), payload), std::string("failure: ") + c.message);
  }
  EXPECT_EQ(VelqError{"x"}.display(), "Failed to parse VELQ: x");
}

TEST(EncodeFront, WritesEverythingAtTheLimits) {
  struct LimitCase {
    const char* name;
    std::function<Front()> front;
    Write write;
    std::size_t size;
  };
  const LimitCase cases[] = {
      {"65535 definitions", [] { return many_definitions(65535); }, kNothing, 13 + 2 + 3 * 65535 + 4 + 4 + 6},
      {"65535 unnamed fields", [] { return Front{{obj_def(0, std::vector<OwnedField>(65535))}, {}, 0}; },
       [](PayloadWriter& p) { p.end_object(p.begin_object(), 0); }, 13 + 2 + 5 + 2 * 65535 + 4 + 4 + 6 + 2},
      {"field name of 255 bytes", [] { return Front{{obj_def(0, {{std::string(255, 'n'), VelqType::Null}})}, {}, 0}; },
       kNothing, 13 + 2 + 5 + 1 + 255 + 1 + 4 + 4 + 6},
      {"array of 65535 booleans", [] { return Front{{arr_def(0, VelqType::Bool)}, {}, 0}; },
       [](PayloadWriter& p) {
         const std::size_t at = p.begin_array();
         for (int i = 0; i < 65535; ++i) p.boolean(true);
         p.end_array(at, 0, 0, 65535);
       },
       13 + 2 + 4 + 4 + 4 + 6 + 6 + 65535},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    PayloadWriter payload;
    c.write(payload);
    const std::string bytes = encode(c.front(), payload);
    EXPECT_EQ(bytes.size(), c.size) << bytes.substr(0, 80);
  }
}

// encode_document puts the front before the payload in the payload's own
// memory when that has room for it or the payload is large, else in the
// fresh buffer: the same bytes either way, those of encode_front followed by
// the payload.
TEST(EncodeDocument, BothPlacementsGiveTheSameBytes) {
  const Front front{{arr_def(0, VelqType::String), obj_def(1, {{"name", VelqType::Array}})}, {"hi", "there"}, 1};
  std::set<bool> placements;
  for (std::size_t length : {std::size_t{3}, std::size_t{200}, std::size_t{235}, std::size_t{100000}}) {
    SCOPED_TRACE(length);
    auto write = [length](PayloadWriter& p) {
      const std::size_t object = p.begin_object();
      const std::size_t array = p.begin_array();
      p.str_ref(1);
      p.string(std::string(length, 'z'));
      p.end_array(array, 0, 0, 2);
      p.end_object(object, 1);
    };
    PayloadWriter reference;
    write(reference);
    const std::string expected = encode(front, reference);

    PayloadWriter payload;
    write(payload);
    ByteBuffer fresh;
    const FrontView view(front);
    const std::size_t front_room = front_size(view.view());
    const bool in_place = payload.bytes().room() >= front_room || front_room <= payload.bytes().size() / 8;
    Result<ByteBuffer*> whole = encode_document(view.view(), payload, fresh);
    ASSERT_TRUE(whole.ok()) << whole.error().message;
    EXPECT_EQ(whole.value(), in_place ? &payload.bytes() : &fresh);
    placements.insert(in_place);
    EXPECT_TRUE(whole.value()->view() == expected);
  }
  EXPECT_EQ(placements.size(), 2u);
  for (std::size_t length : {std::size_t{3}, std::size_t{100000}}) {
    PayloadWriter payload;
    payload.string(std::string(length, 'z'));
    ByteBuffer fresh;
    const Front failing{{elemless_array(2)}, {}, 0};
    Result<ByteBuffer*> whole = encode_document(FrontView(failing).view(), payload, fresh);
    ASSERT_FALSE(whole.ok());
    EXPECT_EQ(whole.error().message, "Array #2 has no elem_type");
  }
}

TEST(ByteBuffer, OpenInFrontAndGrowInCallerStorage) {
  StringStorage storage;
  ByteBuffer buffer(&storage);
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    buffer.put_u32(static_cast<std::uint32_t>(i));
    expected += test_support::le(static_cast<std::uint32_t>(i), 4);
  }
  std::memcpy(buffer.open_in_front(4), "head", 4);
  EXPECT_GT(storage.resizes, 1);
  EXPECT_EQ(buffer.data(), storage.bytes.data());
  EXPECT_TRUE(buffer.view() == "head" + expected);
}

}  // namespace
}  // namespace velq
