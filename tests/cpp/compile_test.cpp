#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "compile.h"
#include "pages.h"
#include "test_data.h"
#include "test_support.h"
#include "utf8.h"

namespace velq {
namespace {

using namespace velq::test_support;

constexpr VelqType kNull = VelqType::Null, kBool = VelqType::Bool, kInt = VelqType::Int32,
                   kUInt = VelqType::UInt32, kFloat = VelqType::Float32, kString = VelqType::String,
                   kArray = VelqType::Array, kObject = VelqType::Object;
const float kInf = std::numeric_limits<float>::infinity();

// The whole document of a compilation, or "failure: {message}". A top-level
// array is compiled item by item when the text has `streamed_from` bytes.
std::string document_bytes(std::string_view text, std::size_t streamed_from = JSON_STREAMED_FROM) {
  CompiledDocument compiled;
  if (Status status = compile_json_to_velq(text, compiled, nullptr, streamed_from); !status) {
    return "failure: " + status.error().message;
  }
  ByteBuffer fresh;
  Result<ByteBuffer*> whole = encode_document(compiled.front(), compiled.payload, fresh);
  return whole ? std::string(whole.value()->view()) : "failure: " + whole.error().message;
}

// The same, the text in pages that go as soon as a release step of one byte lets them.
std::string document_bytes_in_pages(std::string_view text) {
  TextPages pages(text.size(), 1);
  std::memcpy(pages.data(), text.data(), text.size());
  pages.set_size(text.size());
  CompiledDocument compiled;
  if (Status status = compile_json_to_velq(pages, compiled); !status) return "failure: " + status.error().message;
  ByteBuffer fresh;
  Result<ByteBuffer*> whole = encode_document(compiled.front(), compiled.payload, fresh);
  return whole ? std::string(whole.value()->view()) : "failure: " + whole.error().message;
}

// ---------------------------------------------------------------------------
// What the JSON compiler makes of small texts: definitions, dictionary, the
// entry's definition and the payload, against bytes written by hand.

struct CompileCase {
  const char* name;
  std::string text;
  std::string payload;
  std::uint16_t def_index;
  std::vector<OwnedDefinition> extra_definitions;  // beyond the six built-ins
  std::vector<std::string> dict;
};

void PrintTo(const CompileCase& c, std::ostream* os) { *os << c.name; }

class CompileJson : public testing::TestWithParam<CompileCase> {};

TEST_P(CompileJson, DefinitionsDictionaryAndPayload) {
  const CompileCase& c = GetParam();
  CompiledDocument doc;
  Status status = compile_json_to_velq(c.text, doc);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_TRUE(owned(doc.definitions, doc.fields) == with_builtins(c.extra_definitions));
  EXPECT_EQ(std::vector<std::string>(doc.dict.begin(), doc.dict.end()), c.dict);
  EXPECT_EQ(doc.def_index, c.def_index);
  EXPECT_EQ(to_hex(doc.payload.bytes().view()), to_hex(c.payload));
}

INSTANTIATE_TEST_SUITE_P(
    TopLevel, CompileJson,
    testing::Values(
        CompileCase{"Null", "null", N(), 0, {}, {}}, CompileCase{"True", " true ", B(true), 1, {}, {}},
        CompileCase{"String", "\"abc\"", S("abc"), 5, {}, {}},
        CompileCase{"IntegerKeepsLowBits", "3000000000", I(-1294967296), 2, {}, {}},
        CompileCase{"IntegerAbove32Bits", "4294967301", I(5), 2, {}, {}},
        CompileCase{"NegativeInteger", "-1", I(-1), 2, {}, {}},
        CompileCase{"NegativeBelow32Bits", "-4294967297", I(-1), 2, {}, {}},
        CompileCase{"Zero", "0", I(0), 2, {}, {}},
        CompileCase{"LargestSigned", "9223372036854775807", I(-1), 2, {}, {}},
        CompileCase{"TopBitMakesUInt32", "9223372036854775808", U(0), 3, {}, {}},
        CompileCase{"LargestUnsigned", "18446744073709551615", U(4294967295u), 3, {}, {}},
        CompileCase{"BeyondUnsignedIsAFloat", "18446744073709551616", F(18446744073709551616.0f), 4, {}, {}},
        CompileCase{"Float", "1.5", F(1.5f), 4, {}, {}}, CompileCase{"Tenth", "0.1", F(0.1f), 4, {}, {}},
        CompileCase{"OverflowToInfinity", "1e39", F(kInf), 4, {}, {}},
        CompileCase{"OverflowToNegativeInfinity", "-1e39", F(-kInf), 4, {}, {}},
        CompileCase{"Underflow", "1e-50", F(0), 4, {}, {}},
        CompileCase{"NegativeZero", "-0.0", F(-0.0f), 4, {}, {}},
        CompileCase{"ObjectExample", R"({"b":1,"a":2})", O(6, {I(2), I(1)}), 6, {obj_def(6, {{"a", kInt}, {"b", kInt}})}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strings, CompileJson,
    testing::Values(
        CompileCase{"RepeatedStringMovesToDictAtSecondOccurrence", R"(["x","x","x"])", A(6, 5, {S("x"), R(0), R(0)}),
                    6, {arr_def(6, kString)}, {"x"}},
        CompileCase{"DictInOrderOfSecondOccurrences", R"(["a","b","b","a"])",
                    A(6, 5, {S("a"), S("b"), R(0), R(1)}), 6, {arr_def(6, kString)}, {"b", "a"}},
        CompileCase{"EmptyStringIsPromotedToo", R"(["",""])", A(6, 5, {S(""), R(0)}), 6, {arr_def(6, kString)}, {""}},
        CompileCase{"KeysAreNotStringValues", R"({"k":"k"})", O(6, {S("k")}), 6, {obj_def(6, {{"k", kString}})}, {}},
        CompileCase{"StringsMeetInKeyOrder", R"({"b":"v","a":"v"})", O(6, {S("v"), R(0)}), 6,
                    {obj_def(6, {{"a", kString}, {"b", kString}})}, {"v"}},
        CompileCase{"NoUnicodeNormalisation", "[\"\xC3\xA9\",\"e\\u0301\"]", A(6, 5, {S("\xC3\xA9"), S("e\xCC\x81")}), 6,
                    {arr_def(6, kString)}, {}},
        CompileCase{"OverviewExample", R"({"name":"x","tags":["x","y"]})", O(7, {S("x"), A(6, 5, {R(0), S("y")})}), 7,
                    {arr_def(6, kString), obj_def(7, {{"name", kString}, {"tags", kArray}})}, {"x"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Shapes, CompileJson,
    testing::Values(
        CompileCase{"OneArrayDefinitionPerElementType", R"([[1],[2],["a"]])",
                    A(8, 2, {A(6, 2, {I(1)}), A(6, 2, {I(2)}), A(7, 5, {S("a")})}), 8,
                    {arr_def(6, kInt), arr_def(7, kString), arr_def(8, kArray)}, {}},
        CompileCase{"PostOrderNumbering", "[[1]]", A(7, 2, {A(6, 2, {I(1)})}), 7, {arr_def(6, kInt), arr_def(7, kArray)},
                    {}},
        CompileCase{"InnerArraysShareOneDefinitionAcrossTheDocument", R"({"a":[[1,2],[3]],"b":[[4]]})",
                    O(8, {A(7, 2, {A(6, 2, {I(1), I(2)}), A(6, 2, {I(3)})}), A(7, 2, {A(6, 2, {I(4)})})}), 8,
                    {arr_def(6, kInt), arr_def(7, kArray), obj_def(8, {{"a", kArray}, {"b", kArray}})}, {}},
        CompileCase{"ObjectsOfOneShapeShareADefinition", R"([{"a":1},{"a":2}])", A(7, 6, {O(6, {I(1)}), O(6, {I(2)})}),
                    7, {obj_def(6, {{"a", kInt}}), arr_def(7, kObject)}, {}},
        CompileCase{"FieldTypeTellsShapesApart", R"([{"a":1},{"a":"x"},{"a":null}])",
                    A(9, 6, {O(6, {I(1)}), O(7, {S("x")}), O(8, {N()})}), 9,
                    {obj_def(6, {{"a", kInt}}), obj_def(7, {{"a", kString}}), obj_def(8, {{"a", kNull}}),
                     arr_def(9, kObject)},
                    {}},
        CompileCase{"NestedShapesDoNotSplitObjects", R"([{"a":[1]},{"a":["x"]}])",
                    A(9, 7, {O(7, {A(6, 2, {I(1)})}), O(7, {A(8, 5, {S("x")})})}), 9,
                    {arr_def(6, kInt), obj_def(7, {{"a", kArray}}), arr_def(8, kString), arr_def(9, kObject)}, {}},
        CompileCase{"EmptyObjectsShareAnEmptyFieldList", "[{},{}]", A(7, 6, {O(6, {}), O(6, {})}), 7,
                    {obj_def(6, {}), arr_def(7, kObject)}, {}},
        CompileCase{"MemberOrderDoesNotMatter", R"([{"x":1,"y":2},{"y":2,"x":1}])",
                    A(7, 6, {O(6, {I(1), I(2)}), O(6, {I(1), I(2)})}), 7,
                    {obj_def(6, {{"x", kInt}, {"y", kInt}}), arr_def(7, kObject)}, {}},
        CompileCase{"KeysWithSeparatorBytesStayDistinct", R"([{"a":1,"b:2,c":2},{"a:2,b":1,"c":2},{"\u0000":1},{"":1}])",
                    A(10, 6, {O(6, {I(1), I(2)}), O(7, {I(1), I(2)}), O(8, {I(1)}), O(9, {I(1)})}), 10,
                    {obj_def(6, {{"a", kInt}, {"b:2,c", kInt}}), obj_def(7, {{"a:2,b", kInt}, {"c", kInt}}),
                     obj_def(8, {{std::string("\0", 1), kInt}}), obj_def(9, {{"", kInt}}), arr_def(10, kObject)},
                    {}},
        // Shapes of one member count alternate: each is recognised again, none is taken for another.
        CompileCase{"AlternatingShapesOfOneSize", R"([{"a":1},{"b":1},{"a":2},{"a":"x"},{"b":2},{"a":"y"}])",
                    A(9, 6, {O(6, {I(1)}), O(7, {I(1)}), O(6, {I(2)}), O(8, {S("x")}), O(7, {I(2)}), O(8, {S("y")})}),
                    9, {obj_def(6, {{"a", kInt}}), obj_def(7, {{"b", kInt}}), obj_def(8, {{"a", kString}}),
                        arr_def(9, kObject)},
                    {}},
        CompileCase{"LastDuplicateKeyWins", R"({"a":1,"a":2})", O(6, {I(2)}), 6, {obj_def(6, {{"a", kInt}})}, {}},
        CompileCase{"EmptyAndAllNullArraysShareTheNullShape", "[[],[null,null]]", A(7, 0, {A(6, 0, {}), A(6, 0, {N(), N()})}),
                    7, {arr_def(6, kNull), arr_def(7, kArray)}, {}},
        CompileCase{"ElemDefIndexOfPrimitives", R"([[true],[1],[9223372036854775808],[1.0],["a"]])",
                    A(11, 1, {A(6, 1, {B(true)}), A(7, 2, {I(1)}), A(8, 3, {U(0)}), A(9, 4, {F(1)}), A(10, 5, {S("a")})}),
                    11,
                    {arr_def(6, kBool), arr_def(7, kInt), arr_def(8, kUInt), arr_def(9, kFloat), arr_def(10, kString),
                     arr_def(11, kArray)},
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Items that are numbers, at least one held as a double, are all stored as Float32.
INSTANTIATE_TEST_SUITE_P(
    Widening, CompileJson,
    testing::Values(
        CompileCase{"IntegerAndDouble", "[1,2.5]", A(6, 4, {F(1), F(2.5)}), 6, {arr_def(6, kFloat)}, {}},
        CompileCase{"DoubleFirst", "[-60.64,47]", A(6, 4, {F(-60.64f), F(47)}), 6, {arr_def(6, kFloat)}, {}},
        CompileCase{"LargeIntegerKeepsItsValue", "[3000000000,0.5]", A(6, 4, {F(3e9f), F(0.5)}), 6,
                    {arr_def(6, kFloat)}, {}},
        CompileCase{"SignedAndUnsignedWidenTogether", "[-1,18446744073709551615,0.5]",
                    A(6, 4, {F(-1), F(18446744073709551616.0f), F(0.5)}), 6, {arr_def(6, kFloat)}, {}},
        // 2^60 + 2^36 + 1 lies just above the midpoint of two floats; through a
        // double it would land on the midpoint and round down to 2^60.
        CompileCase{"SingleRounding", "[1152921573326323713,-1152921573326323713,0.0]",
                    A(6, 4, {F(1152921642045800448.0f), F(-1152921642045800448.0f), F(0)}), 6, {arr_def(6, kFloat)}, {}},
        CompileCase{"TiesToEven", "[16777217,16777219,0.0]", A(6, 4, {F(16777216.0f), F(16777220.0f), F(0)}), 6,
                    {arr_def(6, kFloat)}, {}},
        CompileCase{"NegativeZeroKeepsItsSign", "[0,0,-0.0]", A(6, 4, {F(0), F(0), F(-0.0f)}), 6, {arr_def(6, kFloat)}, {}},
        CompileCase{"WidenedShapeAndElemDefIndexInParent", "[[1,2.5],[3]]",
                    A(8, 4, {A(6, 4, {F(1), F(2.5)}), A(7, 2, {I(3)})}), 8,
                    {arr_def(6, kFloat), arr_def(7, kInt), arr_def(8, kArray)}, {}},
        CompileCase{"IntegersAloneStayIntegers", "[1,-2]", A(6, 2, {I(1), I(-2)}), 6, {arr_def(6, kInt)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The whole document of the overview example, byte for byte.
TEST(CompileJsonDocument, GoldenBytes) {
  EXPECT_EQ(to_hex(document_bytes(R"({"name":"x","tags":["x","y"]})")),
            to_hex(from_hex("01 0D000000 36000000 3C000000 0800 000000 010100 020200 030300 040400 050500 10060005 "
                            "11070002 00 046E616D6505 047461677310 01000000 0178 01000000 0700 11000000 "
                            "0700 0178 0600 0500 0200 FF00000000 0179")));
  EXPECT_EQ(to_hex(document_bytes("7")), to_hex(from_hex("01 0D000000 21000000 25000000 0600 000000 010100 020200 "
                                                         "030300 040400 050500 00000000 01000000 0200 04000000 07000000")));
}

// ---------------------------------------------------------------------------
// Failures.

TEST(CompileJsonFailures, ParseAndMixedArrayMessages) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1,2,3", "EOF while parsing a list at line 1 column 6"},
      {"1e400", "number out of range at line 1 column 5"},
      {"\xEF\xBB\xBFnull", "expected value at line 1 column 1"},
      {R"([1,"a"])", "Mixed array item at /1: String in an array of Int32"},
      {"\n{\"a\":[1,null]}", "Mixed array item at /a/1: Null in an array of Int32"},
      {"[null,1]", "Mixed array item at /0: Null in an array of Int32"},
      {"[1,2.5,null]", "Mixed array item at /2: Null in an array of Float32"},
      {R"([[1,"a"],1])", "Mixed array item at /0/1: String in an array of Int32"},
      {"[1,9223372036854775808]", "Mixed array item at /1: UInt32 in an array of Int32"},
      {"[true,1]", "Mixed array item at /1: Int32 in an array of Bool"},
      {R"(["a",1.5,1])", "Mixed array item at /1: Float32 in an array of String"},
      {R"([1.5,"a",2])", "Mixed array item at /1: String in an array of Float32"},
      {"[[],{}]", "Mixed array item at /1: Object in an array of Array"},
      {R"({"a/b":{"c~d":[{},1]}})", "Mixed array item at /a~1b/c~0d/1: Int32 in an array of Object"},
      {R"({"b":[1,"x"],"a":[true,1]})", "Mixed array item at /a/1: Int32 in an array of Bool"},
      {R"([{"z":[1,"a"]},[true,1],"x"])", "Mixed array item at /0/z/1: String in an array of Int32"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(document_bytes(text), std::string("failure: ") + message) << text;
  }
}

std::string repeated(std::string_view item, std::size_t count) {
  std::string text = "[";
  for (std::size_t k = 0; k < count; ++k) text += (k > 0 ? "," : "") + std::string(item);
  return text + "]";
}

// The order of failures: the compiler's, the reader's limits, then the
// encoder's in writing order (definitions, dictionary, data).
TEST(CompileJsonFailures, FirstFailureInOrder) {
  const std::string wide = repeated("0", 70000);
  const std::string long_string = "\"" + std::string(MAX_INLINE_STRING_LEN + 1, 'x') + "\"";
  std::string many_shapes = "[";
  for (int k = 0; k < 2042; ++k) many_shapes += (k > 0 ? ",{\"k" : "{\"k") + std::to_string(k) + "\":1}";
  many_shapes += "]";
  std::string wide_object = "{";
  for (int k = 0; k < 257; ++k) wide_object += (k > 0 ? ",\"k" : "\"k") + std::to_string(k) + "\":1";
  wide_object += "}";
  const std::string kTooLong = "String exceeds maximum inline length (16 777 215 bytes)";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"a\":" + wide + ",\"b\":[1,\"x\"]}", "Mixed array item at /b/1: String in an array of Int32"},
      {"{\"a\":" + wide + ",\"b\":" + many_shapes + "}", "Definition count 2051 exceeds max 2048"},
      {many_shapes, "Definition count 2049 exceeds max 2048"},
      {"{\"a\":" + wide + ",\"b\":" + wide_object + "}", "Object #7 has 257 fields (max 256)"},
      {wide_object, "Object #6 has 257 fields (max 256)"},
      {"{\"" + std::string(256, 'k') + "\":" + wide + "}", "Field name too long"},
      {"{\"a\":" + wide + ",\"b\":" + long_string + "}", "Too many array items (70000), max 65535"},
      {"{\"a\":" + long_string + ",\"b\":" + wide + "}", kTooLong},
      {"{\"a\":" + wide + ",\"b\":" + long_string + ",\"c\":" + long_string + "}", kTooLong},  // in the dictionary
      {"[" + wide + "," + wide + "]", "Too many array items (70000), max 65535"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(document_bytes(text).substr(0, 200), "failure: " + message) << text.substr(0, 80);
  }
  // At the limits.
  EXPECT_EQ(json_text(document_bytes(repeated("0", 65535))), repeated("0", 65535));
  EXPECT_EQ(json_text(document_bytes(repeated("\"s\"", 65535))), repeated("\"s\"", 65535));
  std::string fields = "{";
  for (int k = 0; k < 256; ++k) {
    fields += (k > 0 ? ",\"" : "\"") + std::string(1 + k / 26, static_cast<char>('a' + k % 26)) + "\":1";
  }
  EXPECT_FALSE(document_bytes(fields + "}").starts_with("failure"));
}

TEST(CompileJsonFailures, NestingUpToTheParserLimitCompiles) {
  CompiledDocument deep;
  Status status = compile_json_to_velq(std::string(127, '[') + std::string(127, ']'), deep);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_TRUE(owned(deep.definitions, deep.fields) == with_builtins({arr_def(6, kNull), arr_def(7, kArray)}));
  EXPECT_EQ(deep.def_index, 7);
  EXPECT_EQ(document_bytes(std::string(128, '[') + std::string(128, ']')),
            "failure: recursion limit exceeded at line 1 column 128");
}

TEST(CompileJson, SameTextSameBytes) {
  const std::string text = R"({"items":[{"k":"a","v":[1,2.5]},{"k":"b","v":[]},{"k":"a","w":{"x":"b"}}],)"
                           R"("s":["a","b"],"t":{"":null,"z":[["q"],["q",""]]}})";
  const std::string first = document_bytes(text);
  ASSERT_FALSE(first.starts_with("failure"));
  for (int round = 0; round < 3; ++round) EXPECT_EQ(document_bytes(text), first);
  EXPECT_EQ(json_text(first), R"({"items":[{"k":"a","v":[1.0,2.5]},{"k":"b","v":[]},{"k":"a","w":{"x":"b"}}],)"
                              R"("s":["a","b"],"t":{"":null,"z":[["q"],["q",""]]}})");
}

// Unescaped texts live in the tree, which is gone once the compiler returns:
// here on the heap, past the arena's first block (a fault the sanitizers see).
// A top-level array compiled item by item, its items' nodes released as it
// goes, gives the bytes and the first failure of the whole tree: mixed items
// settled at the end, strings seen in released items (unescaped ones too),
// a parse error after a compile error, items past a scalar batch.
TEST(CompileJson, TopLevelItemsOneByOneWriteWhatTheWholeTreeWrites) {
  std::string batches = "[";
  for (int i = 0; i < 9000; ++i) batches += std::to_string(i % 7) + (i % 1000 == 999 ? ",{\"k\":[1]}," : ",");
  batches += "2.5]";
  const std::vector<std::string> texts = {
      "[]", "[1]", "[1, 2.5, -3]", R"([1, "a"])", R"([null, 1, null])", R"([[1, "a"], x])", R"([[1, "a"], 2)",
      R"([{"b":"v\n", "a":"w"}, "v\n", ["w", {"a":"v\n"}], "v\n"])", R"([{"x":[1,[2.5]]}, {"x":[3]}, [[]], ""])",
      R"([{"k":"a"},{"k":"b"},{"k":"a"},["b","a"]])", "[1,]", "[1 2]", "[", std::string(127, '[') + std::string(127, ']'),
      std::string(128, '[') + std::string(128, ']'), "  [ 1 , \"s\" ]  x", batches, batches + "x",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(document_bytes(text, 0), document_bytes(text, SIZE_MAX)) << text.substr(0, 80);
    EXPECT_EQ(document_bytes_in_pages(text), document_bytes(text, SIZE_MAX)) << text.substr(0, 80);
  }
}

// Records over many pages, which go as they are parsed: what the document
// keeps of them (strings, repeated or not, keys out of order, names) and the
// line and column of a failure past them come out as from the text in place.
TEST(CompileJson, TextInPagesThatGoWritesWhatTheTextInPlaceWrites) {
  std::string records = "[\n";
  for (int i = 0; i < 3000; ++i) {
    records += R"( {"name": "n)" + std::to_string(i % 500) + R"(", "id": )" + std::to_string(i) +
               R"(, "tag": "t\u00e9)" + std::to_string(i % 3) + R"(", "a)" + std::to_string(i % 5) + R"(": [1.5]},)" + "\n";
  }
  const std::vector<std::string> texts = {
      records + " {}]", records + " {} x]", records + " {\"id\": 1,\n\"id\" 2}]", records + " 1]",
  };
  for (const std::string& text : texts) {
    const std::string in_place = document_bytes(text, SIZE_MAX);
    EXPECT_EQ(document_bytes_in_pages(text), in_place) << text.substr(text.size() - 30);
  }
  EXPECT_EQ(document_bytes_in_pages(texts[1]), "failure: expected `,` or `]` at line 3002 column 5");
}

TEST(CompileJson, UnescapedNamesAndStringsOutliveTheTree) {
  std::string items = "[0]";
  for (int i = 1; i < 300; ++i) items += ",[0]";
  const std::string text = R"({"a":[)" + items + R"(],"k\u00e9":"\tv","z\/":["\tv"]})";
  CompiledDocument doc;
  Status status = compile_json_to_velq(text, doc);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_TRUE(owned(doc.definitions, doc.fields) ==
              with_builtins({arr_def(6, kInt), arr_def(7, kArray), arr_def(8, kString),
                             obj_def(9, {{"a", kArray}, {"k\xC3\xA9", kString}, {"z/", kArray}})}));
  EXPECT_EQ(std::vector<std::string>(doc.dict.begin(), doc.dict.end()), std::vector<std::string>{"\tv"});
}

// The payload is written into the storage given, from its start.
TEST(CompileJson, WritesThePayloadIntoTheGivenStorage) {
  StringStorage storage;
  const std::string text = R"({"list":[{"a":"x"},{"a":"x"}],"n":[1.5,2]})" + std::string(4000, ' ');
  CompiledDocument compiled(&storage);
  Status status = compile_json_to_velq(text, compiled);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_GT(storage.resizes, 0);
  EXPECT_EQ(compiled.payload.bytes().data(), storage.bytes.data());
  EXPECT_EQ(to_hex(compiled.payload.bytes().view()),
            to_hex(O(9, {A(7, 6, {O(6, {S("x")}), O(6, {R(0)})}), A(8, 4, {F(1.5f), F(2)})})));
}

// ---------------------------------------------------------------------------
// The JSON compiler against a statement of its rules over the parsed tree:
// integers keep their low 32 bits (Int32, or UInt32 from 2^63 on), doubles
// become the nearest float, arrays of integers and doubles become floats
// (each integer rounded once), other mixes are refused, keys come back in
// byte order with the last duplicate kept, non-finite floats are refused
// when read back, and so are texts that are not UTF-8 (the parser passes
// them through) and objects of more than 256 keys. Empty when the document is
// to be refused.

std::optional<std::string> expected_text(const JsonValue& value);

VelqType code_of(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null: return kNull;
    case JsonKind::Bool: return kBool;
    case JsonKind::UInt: return value.uint >> 63 ? kUInt : kInt;
    case JsonKind::Int: return kInt;
    case JsonKind::Double: return kFloat;
    case JsonKind::String: return kString;
    case JsonKind::Array: return kArray;
    case JsonKind::Object: return kObject;
  }
  return kNull;
}

bool valid_utf8(std::string_view text) {
  Utf8Fault fault;
  return scan_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), fault);
}

std::optional<std::string> float_text(float f) {
  if (f != f || f == kInf || f == -kInf) return std::nullopt;
  return real_text(f);
}

std::optional<std::string> expected_text(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return value.boolean ? "true" : "false";
    case JsonKind::UInt:
      return value.uint >> 63 ? std::to_string(static_cast<std::uint32_t>(value.uint))
                              : std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value.uint)));
    case JsonKind::Int: return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value.sint)));
    case JsonKind::Double: return float_text(static_cast<float>(value.dbl));
    case JsonKind::String:
      if (!valid_utf8(value.string())) return std::nullopt;
      return "\"" + std::string(value.string()) + "\"";
    case JsonKind::Array: {
      const auto items = value.array();
      bool same = true, numbers = true, any_double = false;
      for (const JsonValue& item : items) {
        same = same && code_of(item) == code_of(items[0]);
        numbers = numbers && (code_of(item) == kInt || code_of(item) == kFloat);
        any_double = any_double || item.kind == JsonKind::Double;
      }
      const bool widen = !same && numbers && any_double;
      if (!same && !widen) return std::nullopt;
      std::string out = "[";
      for (const JsonValue& item : items) {
        std::optional<std::string> text =
            !widen                           ? expected_text(item)
            : item.kind == JsonKind::Double  ? float_text(static_cast<float>(item.dbl))
            : item.kind == JsonKind::Int     ? float_text(static_cast<float>(item.sint))
                                             : float_text(static_cast<float>(item.uint));
        if (!text) return std::nullopt;
        out += (out.size() > 1 ? "," : "") + *text;
      }
      return out + "]";
    }
    case JsonKind::Object: {
      if (value.object().size() > MAX_OBJECT_FIELDS) return std::nullopt;
      std::string out = "{";
      for (const JsonMember& member : value.object()) {
        std::optional<std::string> text = expected_text(member.value);
        if (!text || !valid_utf8(member.key)) return std::nullopt;
        out += (out.size() > 1 ? ",\"" : "\"") + std::string(member.key) + "\":" + *text;
      }
      return out + "}";
    }
  }
  return std::nullopt;
}

void check_against_the_rules(const std::string& text, const std::string& name) {
  JsonArena arena;
  Result<JsonValue> tree = parse_json(text, arena);
  if (!tree) return;
  const std::optional<std::string> expected = expected_text(tree.value());
  const std::string bytes = document_bytes(text);
  const std::string got = bytes.starts_with("failure: ") ? bytes : json_text(bytes);
  if (expected) {
    EXPECT_TRUE(got == *expected) << name << ": " << got.substr(0, 200) << "\nexpected " << expected->substr(0, 200);
  } else {
    EXPECT_TRUE(got.starts_with("failure: ") || got.starts_with("error: ")) << name;
  }
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CompileJsonRules, HoldOnTheSamples) {
  const std::vector<std::filesystem::path> samples = test_data::samples();
  for (const auto& path : samples) check_against_the_rules(read_all(path), path.filename().string());
  EXPECT_GE(samples.size(), 3u);
}

TEST(CompileJsonRules, HoldOnTheCorpus) {
  VELQ_NEEDS_SHARED("corpus");
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test_data::shared_dir() / "corpus")) {
    if (entry.path().extension() != ".json") continue;
    check_against_the_rules(read_all(entry.path()), entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 10u);
}

TEST(CompileJsonRules, HoldOnTheConformanceFiles) {
  VELQ_NEEDS_SHARED("conformance");
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test_data::shared_dir() / "conformance" / "json")) {
    check_against_the_rules(read_all(entry.path()), entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 100u);
}

// ---------------------------------------------------------------------------
// The reader's limits, checked before encoding.

std::vector<OwnedField> many_fields(std::size_t count) {
  std::vector<OwnedField> fields;
  for (std::size_t k = 0; k < count; ++k) fields.push_back({"f" + std::to_string(k), kInt});
  return fields;
}

TEST(CheckReaderLimits, DefinitionCountThenTheFirstWideObject) {
  std::vector<OwnedDefinition> definitions = owned_builtins();
  for (std::uint16_t k = 6; k < 2048; ++k) definitions.push_back(arr_def(k, kInt));
  EXPECT_TRUE(check_reader_limits(listed(definitions).definitions).ok());
  definitions.push_back(obj_def(2048, many_fields(300)));
  Status status = check_reader_limits(listed(definitions).definitions);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "Definition count 2049 exceeds max 2048");

  EXPECT_TRUE(check_reader_limits(listed(with_builtins({obj_def(6, many_fields(256))})).definitions).ok());
  Status wide = check_reader_limits(listed(with_builtins(
      {obj_def(6, many_fields(3)), obj_def(9, many_fields(257)), obj_def(8, many_fields(300))})).definitions);
  ASSERT_FALSE(wide.ok());
  EXPECT_EQ(wide.error().message, "Object #9 has 257 fields (max 256)");
}

// ---------------------------------------------------------------------------
// The value compiler's tables.

TEST(DataCompiler, OneDefinitionPerShapeNumberedInOrder) {
  CompiledDocument document;
  DataCompiler tables(document);
  EXPECT_EQ(tables.intern_array_shape(kInt), 6);
  EXPECT_EQ(tables.intern_object_shape(std::string("\x05\x02", 2)), 7);
  EXPECT_EQ(tables.intern_array_shape(kObject), 8);
  EXPECT_EQ(tables.intern_object_shape(""), 9);
  EXPECT_EQ(tables.intern_array_shape(kInt), 6);
  EXPECT_EQ(tables.intern_object_shape(std::string("\x05\x02", 2)), 7);
  EXPECT_EQ(tables.intern_object_shape(std::string("\x05\x00\x11\x10", 4)), 10);
  EXPECT_TRUE(owned(tables.definitions, tables.fields) ==
              with_builtins({arr_def(6, kInt), obj_def(7, {{"f0", kString}, {"f1", kInt}}), arr_def(8, kObject),
                             obj_def(9, {}), obj_def(10, {{"f0", kString}, {"f1", kNull}, {"f2", kObject}, {"f3", kArray}})}));
}

// A key built a code at a time, nested keys behind their parent's, beyond
// the room asked for.
TEST(ObjectShapeKeys, NestedKeys) {
  ObjectShapeKeys keys;
  keys.begin(1);
  keys.add(kString);
  keys.add(kObject);
  keys.begin(0);
  for (int i = 0; i < 40; ++i) keys.add(i % 2 ? kInt : kFloat);  // beyond the room asked for
  std::string inner;
  for (int i = 0; i < 40; ++i) inner += static_cast<char>(i % 2 ? kInt : kFloat);
  EXPECT_EQ(keys.key(), inner);
  keys.end();
  keys.add(kBool);
  const std::string outer = {static_cast<char>(kString), static_cast<char>(kObject), static_cast<char>(kBool)};
  EXPECT_EQ(keys.key(), outer);
  keys.end();
}

TEST(DataCompiler, DefinitionIndexWrapsAfter65535) {
  CompiledDocument document;
  DataCompiler tables(document);
  static const char kCodes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x11};
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < 65536 - 6 + 2; ++k) {
    std::string key;
    for (std::size_t rest = k; key.size() < 6; rest /= 8) key += kCodes[rest % 8];
    keys.push_back(key);
  }
  for (const std::string& key : keys) tables.intern_object_shape(key);
  ASSERT_EQ(tables.definitions.size(), 65536u + 2);
  EXPECT_EQ(tables.definitions[65535].index, 65535);
  EXPECT_EQ(tables.definitions[65536].index, 0);
  EXPECT_EQ(tables.definitions[65537].index, 1);
  EXPECT_EQ(tables.intern_object_shape(keys.back()), 1);
}

// Enough strings to grow the string table several times, with texts that
// share prefixes and differ only in length or in their last byte, each met
// again after its first visit.
TEST(DataCompiler, ListsEveryDistinctStringOnceInFirstVisitOrder) {
  std::vector<std::string> texts;
  for (int n = 0; n < 3000; ++n) texts.push_back(std::string(static_cast<std::size_t>(n % 40), 'x') + std::to_string(n / 40));
  texts.push_back(std::string("a\0b", 3));
  texts.push_back("a");
  CompiledDocument document;
  DataCompiler tables(document);
  std::size_t kept = 0;
  // Each std::string is a node: a text is met again by its own node and by
  // a copy, found by text.
  auto visit = [&](const std::string& text) {
    const HashedText hashed{text, QuickTextHash{}(text)};
    StringSlot& slot = tables.string_slot(hashed, &text);
    if (StringPositions::listed(slot)) return;
    ++kept;
    tables.list_string(slot, hashed, &text, text);
  };
  for (const std::string& text : texts) {
    visit(text);
    visit(texts.front());
    visit(text);
    const std::string copy = text;
    visit(copy);
  }
  EXPECT_EQ(kept, texts.size());
  EXPECT_EQ(std::vector<std::string>(tables.dict.begin(), tables.dict.end()), texts);
}

}  // namespace
}  // namespace velq
