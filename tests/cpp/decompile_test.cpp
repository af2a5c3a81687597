#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "decode.h"
#include "decompile.h"
#include "test_support.h"

namespace velq {
namespace {

using namespace velq::test_support;

constexpr VelqType kInt = VelqType::Int32, kFloat = VelqType::Float32, kString = VelqType::String,
                   kArray = VelqType::Array, kObject = VelqType::Object, kBool = VelqType::Bool;
const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

OwnedDefinition ints_def(std::uint16_t index, std::vector<std::string> names) {
  std::vector<OwnedField> fields;
  for (std::string& name : names) fields.push_back({std::move(name), kInt});
  return obj_def(index, std::move(fields));
}

// Entries against the six built-in definitions and `extra` after them.
std::string document_of(const std::vector<Entry>& entries, const std::vector<OwnedDefinition>& extra = {},
                        const std::vector<std::string>& dict = {}) {
  return write_document(with_builtins(extra), dict, entries);
}

struct DecompileCase {
  const char* name;
  std::string bytes;
  std::string expected;  // the text, or "error: {message}"
};

void PrintTo(const DecompileCase& c, std::ostream* os) { *os << c.name; }

class Decompile : public testing::TestWithParam<DecompileCase> {};

TEST_P(Decompile, Document) { EXPECT_EQ(json_text(GetParam().bytes), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, Decompile,
    testing::Values(
        DecompileCase{"NoEntries", document_of({}), "null"},
        DecompileCase{"OneEntryIsNotWrapped", document_of({{2, I(1)}}), "1"},
        DecompileCase{"SeveralEntriesMakeAnArray", document_of({{2, I(1)}, {5, S("a")}}), "[1,\"a\"]"},
        DecompileCase{"Integers",
                      document_of({{2, I(-5)}, {3, U(7)}, {3, U(4294967295u)}, {2, I(-2147483647 - 1)},
                                   {6, A(6, 2, {I(-1), I(7)})}, {7, A(7, 3, {U(4294967295u)})}},
                                  {arr_def(6, kInt), arr_def(7, VelqType::UInt32)}),
                      "[-5,7,4294967295,-2147483648,[-1,7],[4294967295]]"},
        DecompileCase{"ExactFloatWidening", document_of({{6, A(6, 4, {F(1.5f), F(0.1f), F(-0.0f)})}, {4, F(2.0f)}},
                                                        {arr_def(6, kFloat)}),
                      "[[1.5,0.10000000149011612,-0.0],2.0]"},
        DecompileCase{"FixedWidthItems",
                      document_of({{6, A(6, 0, {N(), N()})}, {7, A(7, 1, {B(true), B(false), "\x02"})}},
                                  {arr_def(6, VelqType::Null), arr_def(7, kBool)}),
                      "[[null,null],[true,false,true]]"},
        DecompileCase{"ScalarsAndStrRefs",
                      document_of({{0, N()}, {1, B(true)}, {6, A(6, 5, {R(1), R(0), S("s")})}}, {arr_def(6, kString)},
                                  {"p", "q"}),
                      "[null,true,[\"q\",\"p\",\"s\"]]"},
        DecompileCase{"TopLevelStrRef", document_of({{5, R(0)}}, {}, {"p"}), "\"p\""},
        DecompileCase{"KeysInByteOrder", document_of({{6, O(6, {I(1), I(2)})}}, {ints_def(6, {"b", "a"})}),
                      "{\"a\":2,\"b\":1}"},
        DecompileCase{"NumberedFieldsSortAsText",
                      document_of({{6, O(6, {I(0), I(1), I(2), I(10), I(11)})}},
                                  {ints_def(6, {"f0", "f1", "f2", "f10", "f11"})}),
                      "{\"f0\":0,\"f1\":1,\"f10\":10,\"f11\":11,\"f2\":2}"},
        DecompileCase{"LaterDuplicateFieldWins", document_of({{6, O(6, {I(1), I(2)})}}, {ints_def(6, {"x", "x"})}),
                      "{\"x\":2}"},
        DecompileCase{"EmptyFieldList", document_of({{6, O(6, {})}}, {ints_def(6, {})}), "{}"},
        DecompileCase{"NestedObjects",
                      document_of({{8, A(8, 7, {O(7, {O(6, {S("v")}), A(9, 5, {R(0)})})})}},
                                  {obj_def(6, {{"k", kString}}), obj_def(7, {{"z", kObject}, {"a", kArray}}),
                                   arr_def(8, kObject), arr_def(9, kString)},
                                  {"d"}),
                      "[{\"a\":[\"d\"],\"z\":{\"k\":\"v\"}}]"},
        // More layouts than there is room for in place, each made while the
        // objects around it are open (the address sanitizer sees a layout moved).
        DecompileCase{"SixObjectDefinitionsNested",
                      document_of({{6, O(6, {O(7, {O(8, {O(9, {O(10, {O(11, {I(1)})})})})})})}},
                                  {obj_def(6, {{"a", kObject}}), obj_def(7, {{"b", kObject}}),
                                   obj_def(8, {{"c", kObject}}), obj_def(9, {{"d", kObject}}),
                                   obj_def(10, {{"e", kObject}}), obj_def(11, {{"f", kInt}})}),
                      "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":1}}}}}}"}),
    [](const auto& info) { return std::string(info.param.name); });

// Definitions of another writer, not at the position their index names:
// position 6 holds index 7 (one field), position 7 index 6 (two fields, or an array).
const std::vector<OwnedDefinition> kSwapped = {ints_def(7, {"a"}), ints_def(6, {"a", "b"})};
const std::vector<OwnedDefinition> kSwappedWithArray = {ints_def(7, {"a"}), arr_def(6, kInt)};

INSTANTIATE_TEST_SUITE_P(
    Errors, Decompile,
    testing::Values(
        DecompileCase{"Infinity", document_of({{4, F(kInf)}}), "error: Cannot represent float inf"},
        DecompileCase{"NegativeInfinityInAnArray", document_of({{6, A(6, 4, {F(1), F(-kInf)})}}, {arr_def(6, kFloat)}),
                      "error: Cannot represent float -inf"},
        DecompileCase{"NaN", document_of({{4, F(kNaN)}}), "error: Cannot represent float NaN"},
        DecompileCase{"NaNInAnArray", document_of({{6, A(6, 4, {F(kNaN)})}}, {arr_def(6, kFloat)}),
                      "error: Cannot represent float NaN"},
        DecompileCase{"StrRefAtTopLevel", document_of({{5, R(2)}}, {}, {"a", "b"}),
                      "error: StrRef index 2 out of bounds (dict len 2)"},
        DecompileCase{"StrRefBelowTopLevel", document_of({{6, A(6, 5, {R(2)})}}, {arr_def(6, kString)}, {"a", "b"}),
                      "error: StrRef index 2 out of bounds"},
        DecompileCase{"StrRefInObject", document_of({{6, O(6, {R(0)})}}, {obj_def(6, {{"a", kString}})}),
                      "error: StrRef index 0 out of bounds"},
        DecompileCase{"ObjectOnArrayDefinitionFoundByIndex", document_of({{6, O(6, {I(1)})}}, kSwappedWithArray),
                      "error: Object #6: no field definitions"},
        DecompileCase{"UnknownIndex", document_of({{6, O(9, {})}}, {ints_def(6, {}), ints_def(10, {}), ints_def(11, {}),
                                                                    ints_def(12, {})}),
                      "error: Unknown definition index: 9"},
        DecompileCase{"TooFewValues", document_of({{6, O(6, {I(1)})}}, kSwapped),
                      "error: Object #6: expected 2 fields, got 1"},
        DecompileCase{"TooManyValues", document_of({{6, O(7, {I(1), I(2)})}}, kSwapped),
                      "error: Object #7: expected 1 fields, got 2"},
        DecompileCase{"ValueOfOverwrittenFieldStillChecked",
                      document_of({{6, O(6, {F(kInf), I(2)})}}, {obj_def(6, {{"x", kFloat}, {"x", kInt}})}),
                      "error: Cannot represent float inf"},
        DecompileCase{"FirstFailingEntryWins", document_of({{2, I(1)}, {5, R(5)}, {4, F(kInf)}}),
                      "error: StrRef index 5 out of bounds (dict len 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another writer's definitions need not stand at the position their index
// names: an object's definition is the one at that position if its index
// matches, else the first with that index.
TEST(DecompileDefinitionLookup, PositionFirstThenSearchByIndex) {
  const std::vector<OwnedDefinition> definitions = {
      ints_def(0, {"p0"}),   ints_def(3, {"early"}), ints_def(2, {"p2"}), ints_def(3, {"at_position"}),
      ints_def(9, {"late"}), ints_def(9, {"later"}), ints_def(20, {}),    ints_def(21, {}),
      ints_def(22, {}),      ints_def(30, {"x"})};  // the decoder reads object 9 by position 9
  const std::string bytes = write_document(definitions, {}, {{3, O(3, {I(1)})}, {4, O(9, {I(2)})}, {2, O(2, {I(3)})}});
  EXPECT_EQ(json_text(bytes), "[{\"at_position\":1},{\"late\":2},{\"p2\":3}]");
}

// A decoding error is reported before a decompiling error met earlier in the document.
TEST(DecompileErrors, DecodingErrorsComeFirst) {
  std::string bytes = document_of({{4, F(kInf)}, {5, R(0)}}, {}, {"a"});
  EXPECT_EQ(json_text(bytes), "error: Cannot represent float inf");
  bytes.pop_back();
  EXPECT_EQ(json_text(bytes), "error: Entry 1 payload (5 bytes) exceeds buffer");
}

// A document of another writer: definitions away from their index, repeated
// and unsorted field names, several entries; then damaged copies of it, which
// must be refused or decompiled without reading outside the input.
TEST(DecompileForeignDocument, ValuesAndDamage) {
  const std::vector<OwnedDefinition> extra = {
      obj_def(7, {{"late", kString}}),                                    // 6
      obj_def(6, {{"early", kString}}),                                   // 7
      obj_def(8, {{"z", kString}, {"a", kArray}, {"z", kString}}),        // 8
      arr_def(9, kFloat),                                                 // 9
      arr_def(10, kObject),                                               // 10
      obj_def(11, {{"b", kInt}, {"a", kArray}}),                          // 11
  };
  const std::string bytes = document_of(
      {{8, O(8, {R(1), A(9, 4, {F(0.5f), F(-2)}), S("last")})},
       {10, A(10, 11, {O(11, {I(-1), A(9, 4, {})}), O(11, {I(7), A(9, 4, {F(1e30f)})})})},
       {6, O(6, {S("x")})},
       {5, R(0)}},
      extra, {"d0", "\xC3\xA9"});
  EXPECT_EQ(json_text(bytes),
            "[{\"a\":[0.5,-2.0],\"z\":\"last\"},[{\"a\":[],\"b\":-1},{\"a\":[1.0000000150474662e+30],\"b\":7}],"
            "{\"early\":\"x\"},\"d0\"]");
  std::size_t refused = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    refused += json_text(bytes.substr(0, at)).starts_with("error: ") ? 1 : 0;
    for (unsigned char replacement : {0x00, 0x09, 0x7F, 0xFF}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(replacement);
      refused += json_text(damaged).starts_with("error: ") ? 1 : 0;
    }
  }
  EXPECT_GT(refused, bytes.size());
}

// layout_object: members in ascending byte order of the names, the last of equal names.
TEST(LayoutObject, SortsByBytesAndKeepsTheLastDuplicate) {
  const std::vector<VelqField> fields = {{"b", kInt}, {"\xC3\xA9", kInt}, {"a", kInt}, {"B", kInt},
                                         {"a", kInt}, {"", kInt}};
  ObjectLayout layout;
  layout_object(fields, 3, layout);
  EXPECT_EQ(std::vector<std::uint16_t>(layout.members.begin(), layout.members.end()),
            (std::vector<std::uint16_t>{5, 3, 4, 0, 1}));
  EXPECT_EQ(layout.id, 3u);
  EXPECT_EQ(layout.fields.data(), fields.data());
  EXPECT_EQ(layout.fields.size(), fields.size());

  // Names that look ordered at a glance: bytes compare unsigned, a shared first
  // byte leaves the order to the rest, and an equal neighbour is no order.
  const struct {
    std::vector<VelqField> fields;
    std::vector<std::uint16_t> members;
  } cases[] = {
      {{{"\xC3\xA9", kInt}, {"a", kInt}}, {1, 0}},
      {{{"a", kInt}, {"\xC3\xA9", kInt}}, {0, 1}},
      {{{"ab", kInt}, {"aa", kInt}}, {1, 0}},
      {{{"a", kInt}, {"ab", kInt}, {"b", kInt}}, {0, 1, 2}},
      {{{"", kInt}, {"a", kInt}, {"a", kInt}}, {0, 2}},
  };
  for (const auto& c : cases) {
    ObjectLayout shaped;
    layout_object(c.fields, 0, shaped);
    EXPECT_EQ(std::vector<std::uint16_t>(shaped.members.begin(), shaped.members.end()), c.members)
        << c.fields.front().name;
  }
}

}  // namespace
}  // namespace velq
