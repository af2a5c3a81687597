#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "compile.h"
#include "test_support.h"

namespace velq {
namespace {

using namespace velq::test_support;

// ---------------------------------------------------------------------------
// Building JSON trees and expected documents by hand.

JsonValue n() { return JsonValue::null(); }
JsonValue b(bool v) { return JsonValue::from_bool(v); }
JsonValue u(std::uint64_t v) { return JsonValue::from_uint(v); }
JsonValue i(std::int64_t v) { return JsonValue::from_int(v); }
JsonValue d(double v) { return JsonValue::from_double(v); }
JsonValue s(std::string_view v) { return JsonValue::from_string(v); }

struct Tree {
  JsonArena arena;

  JsonValue arr(std::initializer_list<JsonValue> items) {
    if (items.size() == 0) return JsonValue::from_array(nullptr, 0);
    JsonValue* values = arena.new_values(items.size());
    std::copy(items.begin(), items.end(), values);
    return JsonValue::from_array(values, items.size());
  }
  // Members in any order, as the parser would hand them over: sorted, last duplicate kept.
  JsonValue obj(std::initializer_list<JsonMember> members) {
    if (members.size() == 0) return JsonValue::from_object(nullptr, 0);
    JsonMember* copy = arena.new_members(members.size());
    std::copy(members.begin(), members.end(), copy);
    return JsonValue::from_object(copy, sort_members(copy, members.size()));
  }
};

VelqData A(std::uint16_t self, std::uint16_t elem, std::vector<VelqData> items) {
  return VelqArray{self, elem, std::move(items)};
}

VelqDefinition arr_def(std::uint16_t index, VelqType elem) {
  return {std::nullopt, index, VelqType::Array, elem};
}
VelqDefinition obj_def(std::uint16_t index, std::vector<VelqField> fields) {
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}

std::vector<VelqDefinition> with_builtins(std::vector<VelqDefinition> extra) {
  std::vector<VelqDefinition> all = builtin_definitions();
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

constexpr VelqType kNull = VelqType::Null, kBool = VelqType::Bool, kInt = VelqType::Int32,
                   kUInt = VelqType::UInt32, kFloat = VelqType::Float32, kString = VelqType::String,
                   kArray = VelqType::Array, kObject = VelqType::Object;

// ---------------------------------------------------------------------------
// compile_inline on hand-built trees: definitions, dictionary, nodes.

struct InlineCase {
  const char* name;
  std::function<JsonValue(Tree&)> input;
  VelqData data;
  std::vector<VelqDefinition> extra_definitions;  // beyond the six built-ins
  std::vector<std::string> dict;
};

void PrintTo(const InlineCase& c, std::ostream* os) { *os << c.name; }

class CompileInline : public testing::TestWithParam<InlineCase> {};

TEST_P(CompileInline, BuildsNodesDefinitionsAndDictionary) {
  const InlineCase& c = GetParam();
  Tree tree;
  CompileBuilder builder;
  Result<VelqData> data = compile_inline(builder, c.input(tree));
  ASSERT_TRUE(data.ok()) << data.error().message;
  EXPECT_EQ(data.value(), c.data);
  EXPECT_EQ(builder.definitions, with_builtins(c.extra_definitions));
  EXPECT_EQ(builder.dict, c.dict);
  EXPECT_EQ(builder.next_def_index, 6 + c.extra_definitions.size());
}

INSTANTIATE_TEST_SUITE_P(
    Strings, CompileInline,
    testing::Values(
        InlineCase{"RepeatedStringMovesToDictAtSecondOccurrence",
                   [](Tree& t) { return t.arr({s("x"), s("x"), s("x")}); },
                   A(6, 5, {S("x"), R(0), R(0)}), {arr_def(6, kString)}, {"x"}},
        InlineCase{"DictInOrderOfSecondOccurrences",
                   [](Tree& t) { return t.arr({s("a"), s("b"), s("b"), s("a")}); },
                   A(6, 5, {S("a"), S("b"), R(0), R(1)}), {arr_def(6, kString)}, {"b", "a"}},
        InlineCase{"EmptyStringIsPromotedToo", [](Tree& t) { return t.arr({s(""), s("")}); },
                   A(6, 5, {S(""), R(0)}), {arr_def(6, kString)}, {""}},
        InlineCase{"KeysAreNotStringValues", [](Tree& t) { return t.obj({{"k", s("k")}}); },
                   O(6, {S("k")}), {obj_def(6, {{"k", kString}})}, {}},
        InlineCase{"StringsMeetInKeyOrder",
                   [](Tree& t) { return t.obj({{"b", s("v")}, {"a", s("v")}}); },
                   O(6, {S("v"), R(0)}), {obj_def(6, {{"a", kString}, {"b", kString}})}, {"v"}},
        InlineCase{"NoUnicodeNormalisation",
                   [](Tree& t) { return t.arr({s("\xC3\xA9"), s("e\xCC\x81")}); },
                   A(6, 5, {S("\xC3\xA9"), S("e\xCC\x81")}), {arr_def(6, kString)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Shapes, CompileInline,
    testing::Values(
        InlineCase{"OneArrayDefinitionPerElementType",
                   [](Tree& t) { return t.arr({t.arr({u(1)}), t.arr({u(2)}), t.arr({s("a")})}); },
                   A(8, 2, {A(6, 2, {I(1)}), A(6, 2, {I(2)}), A(7, 5, {S("a")})}),
                   {arr_def(6, kInt), arr_def(7, kString), arr_def(8, kArray)}, {}},
        InlineCase{"PostOrderNumbering", [](Tree& t) { return t.arr({t.arr({u(1)})}); },
                   A(7, 2, {A(6, 2, {I(1)})}), {arr_def(6, kInt), arr_def(7, kArray)}, {}},
        InlineCase{"InnerArraysShareOneDefinitionAcrossTheDocument",
                   [](Tree& t) {
                     return t.obj({{"a", t.arr({t.arr({u(1), u(2)}), t.arr({u(3)})})},
                                   {"b", t.arr({t.arr({u(4)})})}});
                   },
                   O(8, {A(7, 2, {A(6, 2, {I(1), I(2)}), A(6, 2, {I(3)})}), A(7, 2, {A(6, 2, {I(4)})})}),
                   {arr_def(6, kInt), arr_def(7, kArray), obj_def(8, {{"a", kArray}, {"b", kArray}})},
                   {}},
        InlineCase{"ObjectsOfOneShapeShareADefinition",
                   [](Tree& t) { return t.arr({t.obj({{"a", u(1)}}), t.obj({{"a", u(2)}})}); },
                   A(7, 6, {O(6, {I(1)}), O(6, {I(2)})}), {obj_def(6, {{"a", kInt}}), arr_def(7, kObject)},
                   {}},
        InlineCase{"FieldTypeTellsShapesApart",
                   [](Tree& t) {
                     return t.arr({t.obj({{"a", u(1)}}), t.obj({{"a", s("x")}}), t.obj({{"a", n()}})});
                   },
                   A(9, 6, {O(6, {I(1)}), O(7, {S("x")}), O(8, {N()})}),
                   {obj_def(6, {{"a", kInt}}), obj_def(7, {{"a", kString}}), obj_def(8, {{"a", kNull}}),
                    arr_def(9, kObject)},
                   {}},
        InlineCase{"NestedShapesDoNotSplitObjects",
                   [](Tree& t) {
                     return t.arr({t.obj({{"a", t.arr({u(1)})}}), t.obj({{"a", t.arr({s("x")})}})});
                   },
                   A(9, 7, {O(7, {A(6, 2, {I(1)})}), O(7, {A(8, 5, {S("x")})})}),
                   {arr_def(6, kInt), obj_def(7, {{"a", kArray}}), arr_def(8, kString), arr_def(9, kObject)},
                   {}},
        InlineCase{"EmptyObjectsShareAnEmptyFieldList",
                   [](Tree& t) { return t.arr({t.obj({}), t.obj({})}); }, A(7, 6, {O(6, {}), O(6, {})}),
                   {obj_def(6, {}), arr_def(7, kObject)}, {}},
        InlineCase{"MemberOrderDoesNotMatter",
                   [](Tree& t) {
                     return t.arr({t.obj({{"x", u(1)}, {"y", u(2)}}), t.obj({{"y", u(2)}, {"x", u(1)}})});
                   },
                   A(7, 6, {O(6, {I(1), I(2)}), O(6, {I(1), I(2)})}),
                   {obj_def(6, {{"x", kInt}, {"y", kInt}}), arr_def(7, kObject)}, {}},
        InlineCase{"KeysWithSeparatorBytesStayDistinct",
                   [](Tree& t) {
                     return t.arr({t.obj({{"a", u(1)}, {"b:2,c", u(2)}}), t.obj({{"a:2,b", u(1)}, {"c", u(2)}}),
                                   t.obj({{std::string_view("\0", 1), u(1)}}), t.obj({{"", u(1)}})});
                   },
                   A(10, 6, {O(6, {I(1), I(2)}), O(7, {I(1), I(2)}), O(8, {I(1)}), O(9, {I(1)})}),
                   {obj_def(6, {{"a", kInt}, {"b:2,c", kInt}}), obj_def(7, {{"a:2,b", kInt}, {"c", kInt}}),
                    obj_def(8, {{std::string("\0", 1), kInt}}), obj_def(9, {{"", kInt}}),
                    arr_def(10, kObject)},
                   {}},
        // Shapes of one member count alternate: each is recognised again, none is taken for another.
        InlineCase{"AlternatingShapesOfOneSize",
                   [](Tree& t) {
                     return t.arr({t.obj({{"a", u(1)}}), t.obj({{"b", u(1)}}), t.obj({{"a", u(2)}}),
                                   t.obj({{"a", s("x")}}), t.obj({{"b", u(2)}}), t.obj({{"a", s("y")}})});
                   },
                   A(9, 6,
                     {O(6, {I(1)}), O(7, {I(1)}), O(6, {I(2)}), O(8, {S("x")}), O(7, {I(2)}), O(8, {S("y")})}),
                   {obj_def(6, {{"a", kInt}}), obj_def(7, {{"b", kInt}}), obj_def(8, {{"a", kString}}),
                    arr_def(9, kObject)},
                   {}},
        InlineCase{"FieldsInKeyOrderValuesToo",
                   [](Tree& t) { return t.obj({{"b", u(1)}, {"a", u(2)}}); }, O(6, {I(2), I(1)}),
                   {obj_def(6, {{"a", kInt}, {"b", kInt}})}, {}},
        InlineCase{"LastDuplicateKeyWins", [](Tree& t) { return t.obj({{"a", u(1)}, {"a", u(2)}}); },
                   O(6, {I(2)}), {obj_def(6, {{"a", kInt}})}, {}},
        InlineCase{"EmptyAndAllNullArraysShareTheNullShape",
                   [](Tree& t) { return t.arr({t.arr({}), t.arr({n(), n()})}); },
                   A(7, 0, {A(6, 0, {}), A(6, 0, {N(), N()})}), {arr_def(6, kNull), arr_def(7, kArray)}, {}},
        InlineCase{"ElemDefIndexOfPrimitives",
                   [](Tree& t) {
                     return t.arr({t.arr({b(true)}), t.arr({u(1) }), t.arr({u(1ull << 63)}), t.arr({d(1)}),
                                   t.arr({s("a")})});
                   },
                   A(11, 1, {A(6, 1, {B(true)}), A(7, 2, {I(1)}), A(8, 3, {U(0)}), A(9, 4, {F(1)}),
                             A(10, 5, {S("a")})}),
                   {arr_def(6, kBool), arr_def(7, kInt), arr_def(8, kUInt), arr_def(9, kFloat),
                    arr_def(10, kString), arr_def(11, kArray)},
                   {}},
        InlineCase{"OverviewExample",
                   [](Tree& t) { return t.obj({{"name", s("x")}, {"tags", t.arr({s("x"), s("y")})}}); },
                   O(7, {S("x"), A(6, 5, {R(0), S("y")})}),
                   {arr_def(6, kString), obj_def(7, {{"name", kString}, {"tags", kArray}})}, {"x"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Items that are numbers, at least one held as a double, are all stored as Float32.
INSTANTIATE_TEST_SUITE_P(
    Widening, CompileInline,
    testing::Values(
        InlineCase{"IntegerAndDouble", [](Tree& t) { return t.arr({u(1), d(2.5)}); },
                   A(6, 4, {F(1), F(2.5)}), {arr_def(6, kFloat)}, {}},
        InlineCase{"DoubleFirst", [](Tree& t) { return t.arr({d(-60.64), u(47)}); },
                   A(6, 4, {F(-60.64f), F(47)}), {arr_def(6, kFloat)}, {}},
        InlineCase{"LargeIntegerKeepsItsValue", [](Tree& t) { return t.arr({u(3000000000), d(0.5)}); },
                   A(6, 4, {F(3e9f), F(0.5)}), {arr_def(6, kFloat)}, {}},
        InlineCase{"SignedAndUnsignedWidenTogether",
                   [](Tree& t) { return t.arr({i(-1), u(18446744073709551615ull), d(0.5)}); },
                   A(6, 4, {F(-1), F(18446744073709551616.0f), F(0.5)}), {arr_def(6, kFloat)}, {}},
        // 2^60 + 2^36 + 1 lies just above the midpoint of two floats; through a
        // double it would land on the midpoint and round down to 2^60.
        InlineCase{"SingleRounding",
                   [](Tree& t) {
                     return t.arr({u(1152921573326323713ull), i(-1152921573326323713ll), d(0)});
                   },
                   A(6, 4, {F(1152921642045800448.0f), F(-1152921642045800448.0f), F(0)}),
                   {arr_def(6, kFloat)}, {}},
        InlineCase{"TiesToEven", [](Tree& t) { return t.arr({u(16777217), u(16777219), d(0)}); },
                   A(6, 4, {F(16777216.0f), F(16777220.0f), F(0)}), {arr_def(6, kFloat)}, {}},
        InlineCase{"WidenedShapeAndElemDefIndexInParent",
                   [](Tree& t) { return t.arr({t.arr({u(1), d(2.5)}), t.arr({u(3)})}); },
                   A(8, 4, {A(6, 4, {F(1), F(2.5)}), A(7, 2, {I(3)})}),
                   {arr_def(6, kFloat), arr_def(7, kInt), arr_def(8, kArray)}, {}},
        InlineCase{"IntegersAloneStayIntegers", [](Tree& t) { return t.arr({u(1), i(-2)}); },
                   A(6, 2, {I(1), I(-2)}), {arr_def(6, kInt)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CompileInlineWidening, NegativeZeroKeepsItsSign) {
  Tree tree;
  CompileBuilder builder;
  Result<VelqData> data = compile_inline(builder, tree.arr({u(0), u(0), d(-0.0)}));
  ASSERT_TRUE(data.ok());
  const auto& items = std::get<VelqArray>(data.value()).items;
  ASSERT_EQ(items.size(), 3u);
  EXPECT_FALSE(std::signbit(std::get<float>(items[0])));
  EXPECT_FALSE(std::signbit(std::get<float>(items[1])));
  EXPECT_TRUE(std::signbit(std::get<float>(items[2])));
}

// ---------------------------------------------------------------------------
// Numbers.

struct NumberCase {
  JsonValue input;
  VelqData expected;
};

TEST(CompileInlineNumbers, KeepLowBitsOrRoundToFloat) {
  const NumberCase cases[] = {
      {u(3000000000), I(-1294967296)},
      {u(4294967301), I(5)},
      {i(-1), I(-1)},
      {i(-4294967297), I(-1)},
      {u(0), I(0)},
      {u((1ull << 63) - 1), I(-1)},
      {u(1ull << 63), U(0)},
      {u(18446744073709551615ull), U(4294967295)},
      {d(18446744073709551616.0), F(18446744073709551616.0f)},
      {d(1.5), F(1.5)},
      {d(0.1), F(0.1f)},
      {d(1e39), F(std::numeric_limits<float>::infinity())},
      {d(-1e39), F(-std::numeric_limits<float>::infinity())},
      {d(1e-50), F(0)},
  };
  for (const NumberCase& c : cases) {
    CompileBuilder builder;
    Result<VelqData> data = compile_inline(builder, c.input);
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(data.value(), c.expected) << "value index " << &c - cases;
  }
  CompileBuilder builder;
  Result<VelqData> zero = compile_inline(builder, d(-0.0));
  EXPECT_TRUE(std::signbit(std::get<float>(zero.value())));
}

// ---------------------------------------------------------------------------
// Arrays whose items differ in type.

struct MixedCase {
  const char* name;
  std::function<JsonValue(Tree&)> input;
  const char* message;
};

void PrintTo(const MixedCase& c, std::ostream* os) { *os << c.name; }

class MixedArrays : public testing::TestWithParam<MixedCase> {};

TEST_P(MixedArrays, AreRefusedAtTheFirstOffendingItem) {
  Tree tree;
  CompileBuilder builder;
  Result<VelqData> data = compile_inline(builder, GetParam().input(tree));
  ASSERT_FALSE(data.ok());
  EXPECT_EQ(data.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, MixedArrays,
    testing::Values(
        MixedCase{"StringAmongIntegers", [](Tree& t) { return t.arr({u(1), s("a")}); },
                  "Mixed array item at /1: String in an array of Int32"},
        MixedCase{"NullAfterInteger", [](Tree& t) { return t.obj({{"a", t.arr({u(1), n()})}}); },
                  "Mixed array item at /a/1: Null in an array of Int32"},
        MixedCase{"NullBeforeInteger", [](Tree& t) { return t.arr({n(), u(1)}); },
                  "Mixed array item at /0: Null in an array of Int32"},
        MixedCase{"NullInWidenedArray", [](Tree& t) { return t.arr({u(1), d(2.5), n()}); },
                  "Mixed array item at /2: Null in an array of Float32"},
        MixedCase{"InnerArrayFirst", [](Tree& t) { return t.arr({t.arr({u(1), s("a")}), u(1)}); },
                  "Mixed array item at /0/1: String in an array of Int32"},
        MixedCase{"SignedWithUnsigned", [](Tree& t) { return t.arr({u(1), u(1ull << 63)}); },
                  "Mixed array item at /1: UInt32 in an array of Int32"},
        MixedCase{"BoolWithInteger", [](Tree& t) { return t.arr({b(true), u(1)}); },
                  "Mixed array item at /1: Int32 in an array of Bool"},
        MixedCase{"NoWideningWithStrings", [](Tree& t) { return t.arr({s("a"), d(1.5), u(1)}); },
                  "Mixed array item at /1: Float32 in an array of String"},
        MixedCase{"DoubleThenString", [](Tree& t) { return t.arr({d(1.5), s("a"), u(2)}); },
                  "Mixed array item at /1: String in an array of Float32"},
        MixedCase{"ArrayWithObject", [](Tree& t) { return t.arr({t.arr({}), t.obj({})}); },
                  "Mixed array item at /1: Object in an array of Array"},
        MixedCase{"PointerEscapes",
                  [](Tree& t) { return t.obj({{"a/b", t.obj({{"c~d", t.arr({t.obj({}), u(1)})}})}}); },
                  "Mixed array item at /a~1b/c~0d/1: Int32 in an array of Object"},
        MixedCase{"MembersInKeyOrder",
                  [](Tree& t) { return t.obj({{"b", t.arr({u(1), s("x")})}, {"a", t.arr({b(true), u(1)})}}); },
                  "Mixed array item at /a/1: Int32 in an array of Bool"},
        MixedCase{"DepthFirst",
                  [](Tree& t) {
                    return t.arr({t.obj({{"z", t.arr({u(1), s("a")})}}), t.arr({b(true), u(1)}), s("x")});
                  },
                  "Mixed array item at /0/z/1: String in an array of Int32"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The driver, on JSON text.

struct TextCase {
  const char* text;
  VelqData data;
  std::uint16_t def_index;
  std::vector<VelqDefinition> extra_definitions;
  std::vector<std::string> dict;
};

TEST(CompileJsonStr, TopLevelValueAndItsDefinition) {
  const TextCase cases[] = {
      {"null", N(), 0, {}, {}},
      {" true ", B(true), 1, {}, {}},
      {"3000000000", I(-1294967296), 2, {}, {}},
      {"18446744073709551615", U(4294967295), 3, {}, {}},
      {"18446744073709551616", F(18446744073709551616.0f), 4, {}, {}},
      {"1.5", F(1.5), 4, {}, {}},
      {"\"abc\"", S("abc"), 5, {}, {}},
      {"[1]", A(6, 2, {I(1)}), 6, {arr_def(6, kInt)}, {}},
      {"{\"b\":1,\"a\":2}", O(6, {I(2), I(1)}), 6, {obj_def(6, {{"a", kInt}, {"b", kInt}})}, {}},
      {R"({"name":"x","tags":["x","y"]})", O(7, {S("x"), A(6, 5, {R(0), S("y")})}), 7,
       {arr_def(6, kString), obj_def(7, {{"name", kString}, {"tags", kArray}})}, {"x"}},
  };
  for (const TextCase& c : cases) {
    Result<VelqDocument> document = compile_json_str(c.text);
    ASSERT_TRUE(document.ok()) << c.text << ": " << document.error().message;
    const VelqDocument& doc = document.value();
    EXPECT_EQ(doc.definitions, with_builtins(c.extra_definitions)) << c.text;
    EXPECT_EQ(doc.dict, c.dict) << c.text;
    ASSERT_EQ(doc.chunks.size(), 1u) << c.text;
    EXPECT_EQ(doc.chunks[0].data, c.data) << c.text;
    EXPECT_EQ(doc.chunks[0].def_index, c.def_index) << c.text;
    EXPECT_EQ(doc.def_block_offset, 13u);
    EXPECT_EQ(doc.dict_block_offset, 0u);
    EXPECT_EQ(doc.data_block_offset, 0u);
    EXPECT_EQ(doc.version, 1);
  }
}

TEST(CompileJsonStr, ReportsParseAndMixedArrayErrorsVerbatim) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"\xEF\xBB\xBFnull", "expected value at line 1 column 1"},
      {"[[1,\"a\"],1]", "Mixed array item at /0/1: String in an array of Int32"},
      {"\n{\"a\":[1,null]}", "Mixed array item at /a/1: Null in an array of Int32"},
  };
  for (const auto& [text, message] : cases) {
    Result<VelqDocument> document = compile_json_str(text);
    ASSERT_FALSE(document.ok()) << text;
    EXPECT_EQ(document.error().message, message);
  }
}

TEST(CompileJsonStr, NestingUpToTheParserLimitCompiles) {
  std::string deep = std::string(127, '[') + std::string(127, ']');
  Result<VelqDocument> document = compile_json_str(deep);
  ASSERT_TRUE(document.ok()) << document.error().message;
  EXPECT_EQ(document.value().definitions, with_builtins({arr_def(6, kNull), arr_def(7, kArray)}));
  EXPECT_EQ(document.value().chunks[0].def_index, 7);

  Result<VelqDocument> too_deep = compile_json_str(std::string(128, '[') + std::string(128, ']'));
  ASSERT_FALSE(too_deep.ok());
  EXPECT_EQ(too_deep.error().message, "recursion limit exceeded at line 1 column 128");
}

TEST(CompileJsonStr, SameTextSameDocument) {
  std::string text = R"({"items":[{"k":"a","v":[1,2.5]},{"k":"b","v":[]},{"k":"a","w":{"x":"b"}}],)"
                     R"("s":["a","b"],"t":{"":null,"z":[["q"],["q",""]]}})";
  Result<VelqDocument> first = compile_json_str(text);
  ASSERT_TRUE(first.ok()) << first.error().message;
  for (int round = 0; round < 3; ++round) {
    Result<VelqDocument> again = compile_json_str(text);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), first.value());
  }
}

// ---------------------------------------------------------------------------
// The decoder's limits, checked before encoding.

VelqDocument document_with(std::vector<VelqDefinition> definitions) {
  VelqDocument document;
  document.definitions = std::move(definitions);
  return document;
}

std::vector<VelqField> many_fields(std::size_t count) {
  std::vector<VelqField> fields;
  for (std::size_t k = 0; k < count; ++k) fields.push_back({"f" + std::to_string(k), kInt});
  return fields;
}

TEST(CheckReaderLimits, DefinitionCount) {
  std::vector<VelqDefinition> definitions = builtin_definitions();
  for (std::uint16_t k = 6; k < 2048; ++k) definitions.push_back(arr_def(k, kInt));
  EXPECT_TRUE(check_reader_limits(document_with(definitions)).ok());
  definitions.push_back(obj_def(2048, many_fields(300)));
  Status status = check_reader_limits(document_with(definitions));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "Definition count 2049 exceeds max 2048");
}

TEST(CheckReaderLimits, FieldCountOfTheFirstOffendingObject) {
  EXPECT_TRUE(check_reader_limits(document_with(with_builtins({obj_def(6, many_fields(256))}))).ok());
  Status status = check_reader_limits(document_with(
      with_builtins({obj_def(6, many_fields(3)), obj_def(9, many_fields(257)), obj_def(8, many_fields(300))})));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "Object #9 has 257 fields (max 256)");
}

// ---------------------------------------------------------------------------
// The one-pass road of dumps against the document road it stands for.

// The bytes, or the first failure, of compiling to a document, checking the
// reader's limits and encoding.
std::string through_document(std::string_view text) {
  Result<VelqDocument> document = compile_json_str(text);
  if (!document) return "failure: " + document.error().message;
  Status limits = check_reader_limits(document.value());
  if (!limits) return "failure: " + limits.error().message;
  Result<std::string> bytes = encode_document(document.value());
  return bytes ? bytes.value() : "failure: " + bytes.error().message;
}

std::string in_one_pass(std::string_view text, ByteBuffer::Storage* storage = nullptr) {
  Result<EncodedDocument> encoded = compile_json_to_velq(text, storage);
  return encoded ? encoded.value().joined() : "failure: " + encoded.error().message;
}

std::string repeated(std::string_view item, std::size_t count) {
  std::string text = "[";
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) text += ',';
    text += item;
  }
  return text + "]";
}

std::vector<std::string> one_pass_texts() {
  const std::string wide = repeated("0", 70000);
  const std::string long_string = "\"" + std::string(MAX_INLINE_STRING_LEN + 1, 'x') + "\"";
  std::string many_shapes = "[";
  for (int k = 0; k < 2042; ++k) many_shapes += (k > 0 ? ",{\"k" : "{\"k") + std::to_string(k) + "\":1}";
  many_shapes += "]";
  std::string wide_object = "{";
  for (int k = 0; k < 257; ++k) wide_object += (k > 0 ? ",\"k" : "\"k") + std::to_string(k) + "\":1";
  wide_object += "}";
  return {
      "null", "true", "-0", "1e39", "\"\"", "[]", "{}", "[[]]", "[null,null]", "[1,2.5,-3]", "[1,\"a\"]",
      "[18446744073709551615,1.5]", R"({"b":"v","a":"v","c":["v","w",{"v":"v"}]})",
      R"([{"a":1},{"b":1},{"a":"x"},{"a":2},[[1],["a"]]])", R"({"k":"k","s":["\u00e9","e\u0301","\n"]})",
      "\"" + std::string(127, 'a') + "\"", "\"" + std::string(128, 'a') + "\"",
      "\"" + std::string(16384, 'a') + "\"",
      "[1,2,3", "[1,]",
      // The order of failures: the compiler's, the reader's limits, then the
      // encoder's in writing order (definitions, dictionary, data).
      "{\"a\":" + wide + ",\"b\":[1,\"x\"]}", "{\"a\":" + wide + ",\"b\":" + many_shapes + "}",
      "{\"a\":" + wide + ",\"b\":" + wide_object + "}", "{\"" + std::string(256, 'k') + "\":" + wide + "}",
      "{\"a\":" + wide + ",\"b\":" + long_string + "}", "{\"a\":" + long_string + ",\"b\":" + wide + "}",
      "{\"a\":" + wide + ",\"b\":" + long_string + ",\"c\":" + long_string + "}",
      "[" + wide + "," + wide + "]",
      many_shapes, wide_object, repeated("0", 65535), repeated("\"s\"", 65535),
  };
}

TEST(CompileJsonToVelq, SameBytesOrFailureAsTheDocumentRoad) {
  for (const std::string& text : one_pass_texts()) {
    EXPECT_EQ(in_one_pass(text), through_document(text)) << text.substr(0, 80);
  }
}

TEST(CompileJsonToVelq, SameBytesOrFailureAsTheDocumentRoadOnTheCorpus) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(VELQ_SHARED_DIR) + "/corpus")) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(in_one_pass(text), through_document(text)) << entry.path();
    ++files;
  }
  EXPECT_GT(files, 10u);
}

// The payload is written into the storage given, from its start; the head goes in front of it.
TEST(CompileJsonToVelq, WritesThePayloadIntoTheGivenStorage) {
  struct StringStorage final : ByteBuffer::Storage {
    std::string bytes;
    int resizes = 0;
    char* resize(std::size_t capacity) override {
      ++resizes;
      bytes.resize(capacity);
      return bytes.data();
    }
  } storage;
  const std::string text = R"({"list":[{"a":"x"},{"a":"x"}],"n":[1.5,2]})" + std::string(4000, ' ');
  Result<EncodedDocument> encoded = compile_json_to_velq(text, &storage);
  ASSERT_TRUE(encoded.ok()) << encoded.error().message;
  EXPECT_GT(storage.resizes, 0);
  EXPECT_EQ(encoded.value().payload.data(), storage.bytes.data());
  const std::string payload = storage.bytes.substr(0, encoded.value().payload.size());
  EXPECT_EQ(std::string(encoded.value().head.view()) + payload, through_document(text));
}

// ---------------------------------------------------------------------------
// The value compiler.

VelqData obj_node(std::vector<VelqData> values) { return O(0, std::move(values)); }
VelqData arr_node(std::vector<VelqData> items) { return A(0, 0, std::move(items)); }

struct DataCase {
  const char* name;
  VelqData input;
  VelqData data;
  std::uint16_t def_index;
  std::vector<VelqDefinition> extra_definitions;
  std::vector<std::string> dict;
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class CompileData : public testing::TestWithParam<DataCase> {};

TEST_P(CompileData, BuildsOneChunkDocument) {
  const DataCase& c = GetParam();
  VelqDocument document = compile_data(c.input);
  EXPECT_EQ(document.definitions, with_builtins(c.extra_definitions));
  EXPECT_EQ(document.dict, c.dict);
  ASSERT_EQ(document.chunks.size(), 1u);
  EXPECT_EQ(document.chunks[0].data, c.data);
  EXPECT_EQ(document.chunks[0].def_index, c.def_index);
  EXPECT_EQ(document.def_block_offset, 13u);
  EXPECT_EQ(document.version, 1);
  EXPECT_EQ(compile_data(c.input), document);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CompileData,
    testing::Values(
        DataCase{"RootInt", I(7), I(7), 2, {}, {}}, DataCase{"RootBool", B(false), B(false), 1, {}, {}},
        DataCase{"RootFloat", F(2.5), F(2.5), 4, {}, {}},
        DataCase{"RootString", S("abc"), S("abc"), 5, {}, {"abc"}},
        DataCase{"EmptyArray", arr_node({}), A(6, 6, {}), 6, {arr_def(6, kNull)}, {}},
        DataCase{"EmptyObject", obj_node({}), O(6, {}), 6, {obj_def(6, {})}, {}},
        DataCase{"Dict", obj_node({S("a"), I(1)}), O(6, {S("a"), I(1)}), 6,
                 {obj_def(6, {{"f0", kString}, {"f1", kInt}})}, {"a"}},
        DataCase{"ListOfDicts", arr_node({obj_node({S("a"), I(1)}), obj_node({S("b"), I(2)})}),
                 A(6, 6, {O(7, {S("a"), I(1)}), O(7, {S("b"), I(2)})}), 6,
                 {arr_def(6, kObject), obj_def(7, {{"f0", kString}, {"f1", kInt}})}, {"a", "b"}},
        DataCase{"DictOfLists", obj_node({S("x"), arr_node({I(1)}), S("y"), arr_node({F(2.5)})}),
                 O(8, {S("x"), A(6, 6, {I(1)}), S("y"), A(7, 7, {F(2.5)})}), 8,
                 {arr_def(6, kInt), arr_def(7, kFloat),
                  obj_def(8, {{"f0", kString}, {"f1", kArray}, {"f2", kString}, {"f3", kArray}})},
                 {"x", "y"}},
        DataCase{"ElementTypeFromFirstItemOnly", arr_node({S("a"), I(1)}), A(6, 6, {S("a"), I(1)}), 6,
                 {arr_def(6, kString)}, {"a"}},
        DataCase{"EveryDistinctStringOnceInFirstVisitOrder",
                 arr_node({S("b"), S("a"), obj_node({S("a"), S("c")}), S("b")}),
                 A(6, 6, {S("b"), S("a"), O(7, {S("a"), S("c")}), S("b")}), 6,
                 {arr_def(6, kString), obj_def(7, {{"f0", kString}, {"f1", kString}})}, {"b", "a", "c"}},
        DataCase{"ArraysBeforeTheirItems", arr_node({arr_node({I(1)})}), A(6, 6, {A(7, 7, {I(1)})}), 6,
                 {arr_def(6, kArray), arr_def(7, kInt)}, {}},
        // Objects get their definition after their values: the inner dict is
        // defined first, and the outer one then shares its shape.
        DataCase{"ObjectsAfterTheirValues",
                 obj_node({S("a"), arr_node({obj_node({S("b"), arr_node({})})})}),
                 O(8, {S("a"), A(6, 6, {O(8, {S("b"), A(7, 7, {})})})}), 8,
                 {arr_def(6, kObject), arr_def(7, kNull), obj_def(8, {{"f0", kString}, {"f1", kArray}})},
                 {"a", "b"}},
        DataCase{"IncomingIndexIsPartOfTheKey", arr_node({A(3, 0, {}), A(0, 0, {}), O(3, {}), O(0, {})}),
                 A(6, 6, {A(7, 7, {}), A(8, 8, {}), O(9, {}), O(10, {})}), 6,
                 {arr_def(6, kArray), arr_def(7, kNull), arr_def(8, kNull), obj_def(9, {}), obj_def(10, {})},
                 {}},
        DataCase{"StrRefAndOtherScalarsCopied", arr_node({R(4), U(9), N()}), A(6, 6, {R(4), U(9), N()}), 6,
                 {arr_def(6, kString)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(CompileData, RewritingInPlaceMatchesTheCopy) {
  const DataCase& c = GetParam();
  DataCompiler copying;
  copying.walk(c.input);
  const VelqData copy = copying.rewrite_indices(c.input);

  VelqData tree = c.input;
  DataCompiler in_place;
  in_place.walk(tree);
  in_place.rewrite_indices_in_place(tree);
  EXPECT_EQ(tree, copy);
}

TEST(DataCompiler, ShapeKeys) {
  DataCompiler compiler;
  compiler.walk(arr_node({obj_node({S("a"), I(1)}), obj_node({}), arr_node({arr_node({})}),
                          obj_node({N(), B(true), U(1), F(1), R(0), arr_node({}), obj_node({})}),
                          A(1234, 0, {I(1)}), O(65535, {S("b")})}));
  for (const char* key : {"arr:0:17", "arr:0:16", "arr:0:0", "arr:1234:2"}) {
    EXPECT_TRUE(compiler.array_shapes.contains(key)) << key;
  }
  for (const char* key : {"obj:0:5,2", "obj:0:", "obj:0:0,1,3,4,5,6,7", "obj:65535:5"}) {
    EXPECT_TRUE(compiler.object_shapes.contains(key)) << key;
  }
  EXPECT_EQ(compiler.array_shapes.size(), 4u);
  EXPECT_EQ(compiler.object_shapes.size(), 4u);
}

// Enough strings to grow the string table several times, with texts that
// share prefixes and differ only in length or in their last byte, each met
// again after its first visit.
TEST(DataCompiler, ListsEveryDistinctStringOnceInFirstVisitOrder) {
  std::vector<std::string> texts;
  for (int n = 0; n < 3000; ++n) {
    std::string text(static_cast<std::size_t>(n % 40), 'x');
    text += std::to_string(n / 40);
    texts.push_back(text);
  }
  texts.push_back(std::string("a\0b", 3));
  texts.push_back("a");
  std::vector<VelqData> items;
  for (const std::string& text : texts) {
    items.push_back(S(text));
    items.push_back(S(texts.front()));
    items.push_back(S(text));
  }
  VelqDocument document = compile_data(arr_node(std::move(items)));
  EXPECT_EQ(document.dict, texts);
  EXPECT_EQ(std::get<VelqArray>(document.chunks[0].data).items.size(), 3 * texts.size());
}

TEST(DataCompiler, DefinitionIndexWrapsAfter65535) {
  std::vector<VelqData> items;
  for (std::uint32_t k = 0; k <= 65535; ++k) items.push_back(A(static_cast<std::uint16_t>(k), 0, {}));
  VelqDocument document = compile_data(arr_node(std::move(items)));
  ASSERT_EQ(document.definitions.size(), 6u + 1u + 65536u);
  EXPECT_EQ(document.definitions[65535].index, 65535);
  EXPECT_EQ(document.definitions[65536].index, 0);
  EXPECT_EQ(document.definitions.back().index, 6);
  const auto& out = std::get<VelqArray>(document.chunks[0].data).items;
  EXPECT_EQ(std::get<VelqArray>(out[65528]).self_def_index, 65535);
  EXPECT_EQ(std::get<VelqArray>(out[65529]).self_def_index, 0);
}

}  // namespace
}  // namespace velq
