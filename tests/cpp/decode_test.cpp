#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "decode.h"
#include "test_support.h"

namespace velq {
namespace {

using namespace velq::test_support;

struct ErrorCase {
  const char* name;
  std::string bytes;
  const char* message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(raw_text(c.bytes), std::string("error: ") + c.message);
  }
}

const std::string kEmptyDict = "00000000";
const std::string kNoEntries = "00000000";

constexpr VelqType kNull = VelqType::Null, kBool = VelqType::Bool, kInt = VelqType::Int32,
                   kUInt = VelqType::UInt32, kFloat = VelqType::Float32, kString = VelqType::String,
                   kArray = VelqType::Array, kObject = VelqType::Object;

std::string float_token(float v) {
  char token[12];
  std::snprintf(token, sizeof token, "x%08X", static_cast<unsigned>(std::bit_cast<std::uint32_t>(v)));
  return token;
}

TEST(DecodeDocument, HeaderErrors) {
  expect_errors({
      {"12 bytes", std::string(12, '\x01'), "Header requires 13 bytes, got 12"},
      {"empty input", "", "Header requires 13 bytes, got 0"},
      {"version before offsets", from_hex("02 00000000 00000000 00000000"), "Unsupported VELQ version: 2"},
      {"def block inside the header", from_hex("01 0C000000 0C000000 0C000000"),
       "Def block offset 12 before header"},
      {"dict block before defs", from_hex("01 0E000000 0D000000 0E000000 00"),
       "Dict block offset 13 before defs"},
      {"data block before dict", from_hex("01 0D000000 0F000000 0E000000 00 00"),
       "Data block offset 14 before dict"},
      {"data block past the end", from_hex("01 0D000000 0F000000 1E000000 0000"),
       "Data block offset 30 exceeds buffer length 15"},
      {"offsets near 2^32", from_hex("01 0D000000 FFFFFFFF FFFFFFFF 0000"),
       "Data block offset 4294967295 exceeds buffer length 15"},
  });
}

TEST(DecodeDocument, DefinitionBlockErrors) {
  std::vector<ErrorCase> cases = {
      {"one byte", assemble("00", kEmptyDict, kNoEntries), "Definition block too short: 1 bytes"},
      {"count limit before block length", assemble("0108", kEmptyDict, kNoEntries),
       "Definition count 2049 exceeds max 2048"},
      {"count limit with a long enough block",
       assemble("0108" + std::string(6 * 2049, '0'), kEmptyDict, kNoEntries),
       "Definition count 2049 exceeds max 2048"},
      {"block shorter than 3 bytes per definition", assemble("0200 000000", kEmptyDict, kNoEntries),
       "Definition block has 5 bytes but 2 defs require 8"},
      {"entries run out", assemble("0200 11 0000 0100 016102", kEmptyDict, kNoEntries),
       "Truncated definition block at entry 1"},
      {"kind 06", assemble("0100 060000", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x06"},
      {"kind 1F", assemble("0100 1F0000", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x1F"},
      {"index cut off", assemble("0200 10000005 0000", kEmptyDict, kNoEntries), "Truncated definition index"},
      {"elem_type cut off", assemble("0100 100000", kEmptyDict, kNoEntries), "Truncated array elem_type"},
      {"elem_type 12", assemble("0100 10000012", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x12"},
      {"field count cut off", assemble("0100 11000001", kEmptyDict, kNoEntries),
       "Truncated object field count"},
      {"257 fields, before reading any", assemble("0100 1109000101", kEmptyDict, kNoEntries),
       "Object #9 has 257 fields (max 256)"},
      {"field name length cut off", assemble("0100 1100000100", kEmptyDict, kNoEntries),
       "Truncated field 0 name length"},
      {"name ends at the block end", assemble("0100 1100000200 016102 0162", kEmptyDict, kNoEntries),
       "Truncated field 1 name data"},
      {"name longer than the block", assemble("0100 1100000100 FF6162", kEmptyDict, kNoEntries),
       "Truncated field 0 name data"},
      {"invalid name", assemble("0100 1100000100 01FF02", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 0"},
      {"field type FF", assemble("0100 1100000100 02C3A9 FF", kEmptyDict, kNoEntries),
       "Unknown VELQ type tag: 0xFF"},
      {"name checked before its type byte", assemble("0100 1100000100 01FF FF", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 0"},
      {"incomplete name", assemble("0100 1100000100 0261E2 02", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: incomplete utf-8 byte sequence from index 1"},
  };
  expect_errors(cases);
}

TEST(DecodeDocument, DictBlockErrors) {
  expect_errors({
      {"three bytes", assemble("0000", "000000", kNoEntries), "Dict block too short for entry count"},
      {"dict read before data block", assemble("0000", "0000", ""), "Dict block too short for entry count"},
      {"count beyond the strings", assemble("0000", "02000000 0161", kNoEntries), "Truncated dict string"},
      {"damaged count is not reserved", assemble("0000", "FFFFFFFF 00", kNoEntries), "Truncated dict string"},
      {"lead byte C5", assemble("0000", "01000000 C561", kNoEntries),
       "Invalid dict string encoding byte: 0xC5"},
      {"reference in the dict", assemble("0000", "01000000 FF00000000", kNoEntries),
       "Invalid dict string encoding byte: 0xFF"},
      {"long form cut off", assemble("0000", "01000000 FE0100", kNoEntries), "Truncated long dict string"},
      {"medium form cut off", assemble("0000", "01000000 80", kNoEntries), "Truncated medium dict string"},
      {"short text cut off", assemble("0000", "01000000 036162", kNoEntries), "Truncated dict string data"},
      {"medium text cut off", assemble("0000", "01000000 8005 6162", kNoEntries),
       "Truncated dict string data"},
      {"long text cut off", assemble("0000", "01000000 FE050000 6162", kNoEntries),
       "Truncated dict string data"},
      {"invalid text", assemble("0000", "02000000 0161 02C328", kNoEntries),
       "Invalid UTF-8 in dict: invalid utf-8 sequence of 1 bytes from index 0"},
  });
}

TEST(DecodeDocument, DataBlockErrors) {
  const std::string int32_def = "0100 020000";
  expect_errors({
      {"no data block, after defs and dict", assemble("0000", kEmptyDict, ""),
       "Data block too short: 0 bytes"},
      {"three bytes", assemble("0000", kEmptyDict, "000000"), "Data block too short: 3 bytes"},
      {"entry count 1048577", assemble("0000", kEmptyDict, "01001000"),
       "Data entry count 1048577 exceeds max 1048576"},
      {"entry header cut off", assemble(int32_def, kEmptyDict, "01000000 0000 000000"),
       "Truncated entry 0 header"},
      {"second entry header missing", assemble(int32_def, kEmptyDict, "02000000 0000 04000000 01000000 0000"),
       "Truncated entry 1 header"},
      {"payload past the end", assemble(int32_def, kEmptyDict, "01000000 0000 05000000 01000000"),
       "Entry 0 payload (5 bytes) exceeds buffer"},
      {"payload length near 2^32", assemble(int32_def, kEmptyDict, "01000000 0000 FFFFFFFF 00"),
       "Entry 0 payload (4294967295 bytes) exceeds buffer"},
      {"payload checked before definition index", assemble(int32_def, kEmptyDict, "01000000 0900 05000000"),
       "Entry 0 payload (5 bytes) exceeds buffer"},
      {"unknown definition", assemble(int32_def, kEmptyDict, "01000000 0100 00000000"),
       "Unknown definition index: 1"},
      {"payload longer than its value", assemble(int32_def, kEmptyDict, "01000000 0000 05000000 0100000000"),
       "Mismatch entry 0: consumed 4 of 5"},
      {"value limited to its payload",
       assemble("0100 050000", kEmptyDict, "01000000 0000 02000000 0361 6263"),
       "Truncated short string: need 4 bytes, got 2"},
      {"value error of a later entry",
       assemble("0200 050100 100000 05", kEmptyDict,
                "02000000 0000 01000000 00 0100 06000000 0100 0000 0100"),
       "Expected string/StrRef byte"},
      {"nested array with an unknown definition",
       assemble("0100 10000010", kEmptyDict, "01000000 0000 0C000000 0000 0000 0100 0700 0000 0000"),
       "Unknown definition index: 7"},
  });
}

// Definitions for single values; the index fields of the first five differ
// from their positions, so messages show which one they print.
const std::vector<OwnedDefinition> kValueDefinitions = {
    arr_def(100, kInt),                                 // 0
    obj_def(101, {{"a", kInt}}),                        // 1
    prim_def(102, kInt),                                // 2
    arr_def(103, kString),                              // 3
    obj_def(104, {{"s", kString}, {"b", kBool}}),       // 4
    prim_def(5, kBool),                                 // 5
    prim_def(6, kUInt),                                 // 6
    prim_def(7, kFloat),                                // 7
    prim_def(8, kString),                               // 8
    arr_def(109, kFloat),                               // 9
};

// The position of the definition an entry of each kind uses.
enum Reader : std::uint16_t { Array = 0, Object = 1, Int32 = 2, Bool = 5, UInt32 = 6, Float32 = 7, String = 8 };

// One entry whose payload is exactly the given bytes: a reader that takes
// more or fewer than the value's bytes shows as an error.
std::string read_value(Reader reader, const std::string& payload) {
  return raw_text(write_document(kValueDefinitions, {}, {{reader, payload}}));
}

TEST(DecodeValue, Errors) {
  struct ValueErrorCase {
    Reader reader;
    const char* hex;
    const char* message;
  };
  const ValueErrorCase cases[] = {
      {Array, "", "Truncated array self_def_index"},
      {Array, "00", "Truncated array self_def_index"},
      {Array, "0A00", "Unknown definition index: 10"},
      {Array, "0100 0000 0000", "Array #1 has no elem_type"},
      {Array, "0000 00", "Truncated array elem_def_index"},
      {Array, "0000 0000 00", "Truncated array count"},
      {Array, "0000 0000 0200 01000000 020000", "Expected int32 (4 bytes)"},
      {Array, "0300 0000 0200 0161 03", "Truncated short string: need 4 bytes, got 1"},
      {Object, "", "Truncated object self_def_index"},
      {Object, "0A00", "Unknown definition index: 10"},
      {Object, "0000 0000 0000", "Object #0 has no fields"},
      {Object, "0100 010000", "Expected int32 (4 bytes)"},
      {Object, "0400 0161", "Expected bool byte"},
      {Bool, "", "Expected bool byte"},
      {Int32, "010203", "Expected int32 (4 bytes)"},
      {UInt32, "010203", "Expected uint32 (4 bytes)"},
      {Float32, "", "Expected float32 (4 bytes)"},
      {String, "", "Expected string/StrRef byte"},
      {String, "03 6162", "Truncated short string: need 4 bytes, got 3"},
      {String, "81", "Truncated medium string length"},
      {String, "8101 00", "Truncated medium string: need 259 bytes, got 3"},
      {String, "C1", "Truncated medium string length"},
      {String, "FE0100", "Truncated long string length"},
      {String, "FE050000 61", "Truncated long string: need 9 bytes, got 5"},
      {String, "FF000000", "Truncated StrRef dict index"},
      {String, "03 6162FF", "Invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 2"},
  };
  for (const ValueErrorCase& c : cases) {
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(read_value(c.reader, from_hex(c.hex)), std::string("error: ") + c.message);
  }
}

TEST(DecodeValue, AcceptedForms) {
  struct ValueCase {
    Reader reader;
    std::string hex;
    std::string expected;
  };
  const std::string c5_medium = "C500" + std::string(2 * 0x500, '6');  // bit 6 of a medium lead is ignored
  const ValueCase cases[] = {
      {Bool, "02", "t"},
      {Bool, "00", "f"},
      {Int32, "FEFFFFFF", "i-2"},
      {UInt32, "FFFFFFFF", "u4294967295"},
      {Float32, "0000C03F", "x3FC00000"},
      {String, "00", "\"\""},
      {String, "8003 616263", "\"abc\""},
      {String, "FE030000 616263", "\"abc\""},
      {String, c5_medium, "\"" + std::string(0x500, 'f') + "\""},
      {String, "FF 07000000", "@7"},
      {String, "06 68C3A9E282AC", "\"h\xC3\xA9\xE2\x82\xAC\""},
      {Array, "0000 0900 0200 01000000 FFFFFFFF", "[ i1 i-1 ]"},
      {Array, "0300 0000 0200 FF01000000 0178", "[ @1 \"x\" ]"},
      {Object, "0400 0178 07", "{4 \"x\" t }"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.hex.substr(0, 40));
    EXPECT_EQ(read_value(c.reader, from_hex(c.hex)), c.expected);
  }
}

TEST(DecodeValue, FloatBitsSurvive) {
  for (std::uint32_t bits : {0x7FA00001u, 0xFFC00000u, 0x80000000u, 0x00000001u}) {
    EXPECT_EQ(read_value(Float32, U(bits)), float_token(std::bit_cast<float>(bits)));
    EXPECT_EQ(read_value(Array, A(9, 0, {U(bits)})), "[ " + float_token(std::bit_cast<float>(bits)) + " ]");
  }
}

TEST(DecodeValue, StringFormBoundariesReadBack) {
  for (std::size_t length : {0u, 127u, 128u, 16383u, 16384u, 16777215u}) {
    SCOPED_TRACE(length);
    std::string text(length, 'q');
    if (length >= 2) text.replace(length - 2, 2, "\xC3\xA9");
    EXPECT_TRUE(read_value(String, S(text)) == "\"" + text + "\"");
  }
}

TEST(DecodeDocument, ReadsWhatTheFormatAllows) {
  struct DocumentCase {
    const char* name;
    std::string bytes;
    std::vector<OwnedDefinition> definitions;
    std::vector<std::string> dict;
    std::string values;
  };
  const DocumentCase cases[] = {
      {"empty document (23 bytes)", from_hex("01 0D000000 0F000000 13000000 0000 00000000 00000000"), {}, {}, ""},
      {"object example (43 bytes)",
       from_hex("01 0D000000 17000000 1B000000 0100 11 0000 0100 016102 00000000 01000000 "
                "0000 06000000 0000 01000000"),
       {obj_def(0, {{"a", kInt}})}, {}, "{0 i1 }"},
      {"array example (50 bytes)",
       from_hex("01 0D000000 13000000 1A000000 0100 10000005 01000000 026869 01000000 0000 0E000000 "
                "000000000200 FF00000000 02796F"),
       {arr_def(0, kString)}, {"hi"}, "[ @0 \"yo\" ]"},
      {"dict block of zero bytes", assemble("0000", "", kNoEntries), {}, {}, ""},
      {"trailing bytes in every block",
       assemble("0100 030400 EEEE", "01000000 0178 EEEE", "01000000 0000 04000000 05000000 EE"),
       {prim_def(4, kUInt)}, {"x"}, "u5"},
      {"longer forms for short dict strings", assemble("0000", "02000000 8003616263 FE01000064", kNoEntries), {},
       {"abc", "d"}, ""},
      {"dict count zero with trailing bytes", assemble("0000", "00000000 FF", kNoEntries), {}, {}, ""},
      {"null entry, no payload", assemble("0100 000000", kEmptyDict, "01000000 0000 00000000"),
       {prim_def(0, kNull)}, {}, "n"},
      {"nested value uses its own definition, not the entry's",
       assemble("0200 10000011 1101000100 016102", kEmptyDict, "01000000 0000 0C000000 0000 0100 0100 0100 07000000"),
       {arr_def(0, kObject), obj_def(1, {{"a", kInt}})}, {}, "[ {1 i7 } ]"},
      {"two definitions, then the bytes of the six primitive ones as trailing bytes",
       assemble("0200 000000 010100 020200 030300 040400 050500", kEmptyDict, kNoEntries),
       {prim_def(0, kNull), prim_def(1, kBool)}, {}, ""},
      {"array elem_def_index is not consulted",
       assemble("0200 10000010 10010002", kEmptyDict, "01000000 0000 10000000 0000 9903 0100 0100 7777 0100 05000000"),
       {arr_def(0, kArray), arr_def(1, kInt)}, {}, "[ [ i5 ] ]"},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    RawText sink;
    Status status = decode_into(c.bytes, sink);
    ASSERT_TRUE(status.ok()) << status.error().message;
    EXPECT_TRUE(sink.definitions == c.definitions);
    EXPECT_EQ(sink.dict, c.dict);
    EXPECT_EQ(sink.text(), c.values);
    EXPECT_TRUE(sink.ended);
  }
}

TEST(DecodeDocument, LimitsOfCounts) {
  // 2048 primitive definitions and an object definition of 256 fields are the most accepted.
  std::string defs = "0008";
  for (int i = 0; i < 2048; ++i) defs += "000000";
  RawText most_definitions;
  ASSERT_TRUE(decode_into(assemble(defs, kEmptyDict, kNoEntries), most_definitions).ok());
  EXPECT_EQ(most_definitions.definitions.size(), 2048u);

  std::string fields = "0100 1100000001";
  for (int i = 0; i < 256; ++i) fields += "0000";
  RawText most_fields;
  ASSERT_TRUE(decode_into(assemble(fields, kEmptyDict, kNoEntries), most_fields).ok());
  EXPECT_EQ(most_fields.definitions[0].fields->size(), 256u);
}

// Arrays nested `levels` deep (the entry's own array is level 1); the innermost one is empty.
std::string nested_arrays(std::size_t levels) {
  std::string value = A(0, 0, {});
  for (std::size_t i = 1; i < levels; ++i) value = A(0, 0, {value});
  return write_document({arr_def(0, kArray)}, {}, {{0, value}});
}

// `objects` objects nested in one another; with `array_inside` the innermost one holds an array.
std::string nested_objects(std::size_t objects, bool array_inside) {
  std::string value = array_inside ? O(2, {A(3, 0, {})}) : O(1, {});
  for (std::size_t i = 1; i < objects; ++i) value = O(0, {value});
  return write_document({obj_def(0, {{"o", kObject}}), obj_def(1, {}), obj_def(2, {{"a", kArray}}), arr_def(3, kNull)},
                        {}, {{0, value}});
}

TEST(DecodeDocument, NestingDepth) {
  EXPECT_EQ(raw_text(nested_arrays(128)).size(), 128 * 4 - 1);
  EXPECT_EQ(raw_text(nested_arrays(129)), "error: Max recursion depth");
  EXPECT_EQ(raw_text(nested_objects(128, false)).substr(0, 6), "{0 {0 ");
  EXPECT_EQ(raw_text(nested_objects(129, false)), "error: Max recursion depth 128 exceeded at Object");
  EXPECT_EQ(raw_text(nested_objects(127, true)).find("error"), std::string::npos);
  EXPECT_EQ(raw_text(nested_objects(128, true)), "error: Max recursion depth");
}

// A document of every value kind, strings of every form and definitions that
// nest, in several entries; with `long_string` one entry is a 16384-byte string.
std::vector<OwnedDefinition> varied_definitions() {
  return with_builtins({arr_def(6, kString),
                        obj_def(7, {{"name", kString},
                                    {"tags", kArray},
                                    {"n\xC3\xBCll", kNull},
                                    {"ok", kBool},
                                    {"", kFloat},
                                    {"u", kUInt}}),
                        arr_def(8, kObject), obj_def(9, {}), arr_def(10, kInt)});
}
const std::vector<std::string> kVariedDict = {"x", "", std::string(200, 'd'), "\xF0\x9F\x98\x80"};

std::string varied_document(bool long_string) {
  const std::string first = O(7, {S("x"), A(6, 5, {R(0), S("y"), R(3)}), N(), B(true), F(-0.25f), U(4000000000u)});
  const std::string second = O(7, {R(2), A(6, 5, {}), N(), B(false), F(1e30f), U(0)});
  return write_document(varied_definitions(), kVariedDict,
                        {{8, A(8, 7, {first, second})},
                         {9, O(9, {})},
                         {0, N()},
                         {5, S(long_string ? std::string(16384, 'L') : "short")},
                         {5, R(99)},  // positions are not checked against the dictionary here
                         {2, I(std::numeric_limits<std::int32_t>::min())},
                         {10, A(10, 2, {I(-1), I(7)})}});
}

TEST(DecodeDocument, ReadsEveryKindOfValue) {
  RawText sink;
  Status status = decode_into(varied_document(true), sink);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_TRUE(sink.definitions == varied_definitions());
  EXPECT_EQ(sink.dict, kVariedDict);
  EXPECT_EQ(sink.entries, 7u);
  EXPECT_EQ(sink.text(), "[ {7 \"x\" [ @0 \"y\" @3 ] n t " + float_token(-0.25f) + " u4000000000 } {7 @2 [ ] n f " +
                             float_token(1e30f) + " u0 } ] {9 } n \"" + std::string(16384, 'L') +
                             "\" @99 i-2147483648 [ i-1 i7 ]");
}

TEST(DecodeDocument, ReadsLargeValuesWithinTheLimits) {
  struct LargeCase {
    const char* name;
    std::string bytes;
    std::string expected;
  };
  std::vector<std::string> ints, expected_ints, strings;
  for (std::int32_t i = 0; i < 65535; ++i) {
    ints.push_back(I(i * 7919));
    expected_ints.push_back("i" + std::to_string(i * 7919));
  }
  std::vector<OwnedField> fields;
  std::vector<std::string> values;
  std::string expected_fields = "{0";
  for (int i = 0; i < 256; ++i) {
    fields.push_back({"f" + std::to_string(i), i % 2 ? kBool : kString});
    values.push_back(i % 2 ? B(i % 3 == 0) : S(std::string(i, 'v')));
    expected_fields += i % 2 ? (i % 3 == 0 ? " t" : " f") : " \"" + std::string(i, 'v') + "\"";
  }
  std::string boundary_items = "[", boundary_dict;
  std::vector<std::string> dict;
  for (std::size_t n : {127u, 128u, 16383u, 16384u}) {
    dict.push_back(std::string(n, 'a'));
    strings.push_back(S(std::string(n, 'b')));
    boundary_items += " \"" + std::string(n, 'b') + "\"";
  }
  auto joined = [](const std::vector<std::string>& tokens) {
    std::string out;
    for (const std::string& t : tokens) out += " " + t;
    return out;
  };
  const LargeCase cases[] = {
      {"65535 items", write_document({arr_def(0, kInt)}, {}, {{0, A(0, 0, ints)}}), "[" + joined(expected_ints) + " ]"},
      {"256 fields", write_document({obj_def(0, fields)}, {}, {{0, O(0, values)}}), expected_fields + " }"},
      {"string boundaries in the data", write_document({arr_def(0, kString)}, dict, {{0, A(0, 0, strings)}}),
       boundary_items + " ]"},
      {"an array of Null items takes no bytes",
       write_document({arr_def(0, kNull)}, {}, {{0, A(0, 0, std::vector<std::string>(65535))}}),
       "[" + joined(std::vector<std::string>(65535, "n")) + " ]"},
      {"fixed-width items",
       write_document({arr_def(0, kBool), arr_def(1, kUInt), arr_def(2, kFloat)}, {},
                      {{0, A(0, 0, {B(true), B(false), "\x02"})},
                       {1, A(1, 1, {U(0), U(0xFFFFFFFF)})},
                       {2, A(2, 2, {F(0.5f), F(-1e-30f), F(3e38f)})}}),
       "[ t f t ] [ u0 u4294967295 ] [ " + float_token(0.5f) + " " + float_token(-1e-30f) + " " +
           float_token(3e38f) + " ]"},
  };
  for (const LargeCase& c : cases) {
    SCOPED_TRACE(c.name);
    RawText sink;
    Status status = decode_into(c.bytes, sink);
    ASSERT_TRUE(status.ok()) << status.error().message;
    EXPECT_TRUE(sink.text() == c.expected);
  }
  RawText sink;
  ASSERT_TRUE(decode_into(write_document({arr_def(0, kString)}, dict, {{0, A(0, 0, {})}}), sink).ok());
  EXPECT_EQ(sink.dict, dict);
}

// Every single-byte change and every truncation of a valid file must be decoded or refused without
// reading outside the input (checked by the address sanitizer).
TEST(DecodeDocument, DamagedInputsStayInBounds) {
  const std::string bytes = varied_document(false);
  std::size_t refused = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (unsigned char replacement : {0x00, 0x01, 0x06, 0x7F, 0x80, 0xC5, 0xFE, 0xFF}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(replacement);
      refused += raw_text(damaged).starts_with("error: ") ? 1 : 0;
    }
    refused += raw_text(std::string_view(bytes).substr(0, at)).starts_with("error: ") ? 1 : 0;
  }
  EXPECT_GT(refused, bytes.size());
}

// The decoder checks strings by faster means than the exact scan (which still
// describes the faults): the two must agree on every text, and the sink must
// hear whether the text is ASCII. Probes are set into ASCII text at offsets
// around the steps of the fast checks (8, 16 and 32 bytes), in texts shorter
// and longer than the point where a vector check takes over.
TEST(DecodeValue, StringChecksAgreeWithTheExactScan) {
  const std::string front = with_header(write_definitions(owned_builtins()), write_dict({}), "");
  std::size_t checked = 0;
  auto agree = [&](const std::string& text) {
    ++checked;
    const std::string payload = "\xFE" + le(text.size(), 3) + text;
    const std::string bytes = front + write_entries({{5, payload}});
    Utf8Fault fault;
    const bool valid = scan_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), fault);
    const std::string expected =
        valid ? "\"" + text + "\"" : "error: Invalid UTF-8 string: " + describe_utf8_fault(fault);
    if (raw_text(bytes) != expected) {
      ADD_FAILURE() << "disagree on " << to_hex(text);
      return false;
    }
    return true;
  };
  auto placed = [](const std::string& probe, std::size_t length, std::size_t offset) {
    std::string text(length, 'a');
    text.replace(offset, probe.size(), probe);
    return text;
  };

  std::vector<std::string> probes;
  for (int lead = 0x80; lead < 0x100; ++lead) {
    for (int next = 0; next < 0x100; ++next) probes.push_back({static_cast<char>(lead), static_cast<char>(next)});
  }
  const unsigned char seconds[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xE0};
  const unsigned char laters[] = {0x41, 0x80, 0xBF, 0xC2};
  for (int lead = 0xC0; lead < 0x100; ++lead) {
    for (unsigned char second : seconds) {
      for (unsigned char third : laters) {
        probes.push_back({static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third)});
        for (unsigned char fourth : laters) {
          probes.push_back({static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third),
                            static_cast<char>(fourth)});
        }
      }
    }
  }
  for (const std::string& probe : probes) {
    for (std::size_t offset : {std::size_t{0}, std::size_t{7}, std::size_t{15}, 20 - probe.size()}) {
      if (!agree(placed(probe, 20, offset))) return;
    }
    for (std::size_t offset : {std::size_t{0}, std::size_t{31}, std::size_t{62}, 100 - probe.size()}) {
      if (!agree(placed(probe, 100, offset))) return;
    }
  }

  // Valid text of every width around block boundaries, and the same text with one byte changed.
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  const char* pieces[] = {"a",           "\xC3\xA9",     "\xE2\x82\xAC", "\xF0\x9F\x98\x80",    "\xEF\xBF\xBF",
                          "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80", "0123456789abcdef"};
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const std::size_t target = next() % 200;
    while (text.size() < target) text += pieces[next() % std::size(pieces)];
    if (!agree(text)) return;
    if (!text.empty()) {
      text[next() % text.size()] = static_cast<char>(next() & 0xFF);
      if (!agree(text)) return;
      text.resize(next() % text.size());
      if (!agree(text)) return;
    }
  }
  EXPECT_GT(checked, 100000u);
}

}  // namespace
}  // namespace velq
