#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.h"
#include "scan.h"
#include "test_data.h"

namespace velq {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Compact text of a tree that shows each number's form: u (unsigned),
// i (negative integer), d (double). Strings are shown raw, unescaped.
std::string render(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return value.boolean ? "true" : "false";
    case JsonKind::UInt: return "u" + std::to_string(value.uint);
    case JsonKind::Int: return "i" + std::to_string(value.sint);
    case JsonKind::Double: {
      char text[40];
      std::snprintf(text, sizeof text, "d%.17g", value.dbl);
      return text;
    }
    case JsonKind::String: return "\"" + std::string(value.string()) + "\"";
    case JsonKind::Array: {
      std::string out = "[";
      for (const JsonValue& item : value.array()) out += (out.size() > 1 ? "," : "") + render(item);
      return out + "]";
    }
    case JsonKind::Object: {
      std::string out = "{";
      for (const JsonMember& member : value.object()) {
        out += (out.size() > 1 ? ",\"" : "\"") + std::string(member.key) + "\":" + render(member.value);
      }
      return out + "}";
    }
  }
  return "?";
}

// "ok: {tree}" or the error message.
std::string outcome(std::string_view text) {
  JsonArena arena;
  Result<JsonValue> parsed = parse_json(text, arena);
  return parsed ? "ok: " + render(parsed.value()) : parsed.error().message;
}

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += inner;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

struct Case {
  std::string text;
  std::string expected;
};

// Every road this CPU offers, the scalar one first; the best one is in use again afterwards.
template <class Test>
void on_every_road(Test test) {
  for (ScanRoad road : {ScanRoad::Scalar, ScanRoad::Sse2, ScanRoad::Avx2, ScanRoad::Neon, ScanRoad::Blocks}) {
    if (!set_scan_road(road)) continue;
    SCOPED_TRACE(std::string("road ") + std::string(scan_road_name(road)));
    test();
  }
  ASSERT_TRUE(set_scan_road(best_scan_road()));
}

void expect_outcomes(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
}

TEST(JsonParser, ConformanceSuiteMatchesExpectedResults) {
  VELQ_NEEDS_SHARED("conformance");
  on_every_road([] {
  const std::filesystem::path root = test_data::shared_dir() / "conformance";
  std::ifstream expectations(root / "json-expected.tsv");
  ASSERT_TRUE(expectations) << "missing " << (root / "json-expected.tsv");
  std::size_t checked = 0;
  for (std::string line; std::getline(expectations, line);) {
    std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::string name = line.substr(0, tab);
    std::string expected = line.substr(tab + 1);
    if (expected == "not-utf8") continue;  // cannot come from a Python str
    std::string text = read_file(root / "json" / name);
    JsonArena arena;
  Result<JsonValue> parsed = parse_json(text, arena);
    std::string actual = parsed ? "ok" : parsed.error().message;
    EXPECT_EQ(actual, expected) << name;
    ++checked;
  }
  EXPECT_EQ(checked, 293u);
  });
}

// Every road gives the tree the scalar road gives.
void expect_alike_on_every_road(const std::filesystem::path& path) {
  std::string text = read_file(path);
  ASSERT_TRUE(set_scan_road(ScanRoad::Scalar));
  const std::string scalar = outcome(text);
  EXPECT_EQ(scalar.substr(0, 4), "ok: ") << path.filename() << ": " << scalar;
  on_every_road([&] { EXPECT_TRUE(outcome(text) == scalar) << path.filename(); });
}

TEST(JsonParser, ParsesEverySampleAlikeOnEveryRoad) {
  const std::vector<std::filesystem::path> samples = test_data::samples();
  for (const auto& path : samples) expect_alike_on_every_road(path);
  EXPECT_GE(samples.size(), 3u);
}

TEST(JsonParser, ParsesEveryCorpusFileAlikeOnEveryRoad) {
  VELQ_NEEDS_SHARED("corpus");
  std::size_t parsed_files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test_data::shared_dir() / "corpus")) {
    if (entry.path().extension() != ".json") continue;
    expect_alike_on_every_road(entry.path());
    ++parsed_files;
  }
  EXPECT_GE(parsed_files, 16u);
}

TEST(JsonParser, BuildsTree) {
  expect_outcomes({
      {" [1, \"a\", [true, false, null], {\"k\": [{}]}, -2, 3.5, []]\r\n\t",
       "ok: [u1,\"a\",[true,false,null],{\"k\":[{}]},i-2,d3.5,[]]"},
      {"null", "ok: null"},
      {"\"\"", "ok: \"\""},
      {"{}", "ok: {}"},
      {"{\"\":0}", "ok: {\"\":u0}"},
  });
}

TEST(JsonParser, ErrorDescriptionsAndPositions) {
  expect_outcomes({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"ab\\", "EOF while parsing a string at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"trux", "expected ident at line 1 column 4"},
      {"[nul1]", "expected ident at line 1 column 5"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{}}", "trailing characters at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-a", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400 ]", "number out of range at line 1 column 7"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"\0\"", 3), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
      {nested(128, "[", "", "]"), "recursion limit exceeded at line 1 column 128"},
  });
}

// A line feed ends its line: stopping on one reports the next line, column 0.
TEST(JsonParser, PositionsAcrossLines) {
  expect_outcomes({
      {"\n\n", "EOF while parsing a value at line 3 column 0"},
      {"[\n1,\n]", "trailing comma at line 3 column 1"},
      {"[1,\n  2\n  x]", "expected `,` or `]` at line 3 column 3"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"1.\n", "invalid number at line 2 column 0"},
      {"\"\\\n\"", "invalid escape at line 2 column 0"},
      {"[\"\\u1\n23\"]", "invalid escape at line 2 column 2"},
      {"[\r\n\rx]", "expected value at line 2 column 2"},
      {"{\n\"a\":1}\n\n  }", "trailing characters at line 4 column 3"},
      {"[1,\n2,\n", "EOF while parsing a value at line 3 column 0"},
      {"[\"\xC3\xA9\xC3\xA9\" x]", "expected `,` or `]` at line 1 column 9"},  // columns count bytes
  });
}

TEST(JsonParser, NumberForms) {
  expect_outcomes({
      {"0", "ok: u0"},
      {"18446744073709551615", "ok: u18446744073709551615"},
      {"18446744073709551616", "ok: d1.8446744073709552e+19"},
      {"99999999999999999999999", "ok: d9.9999999999999992e+22"},
      {"-1", "ok: i-1"},
      {"-9223372036854775808", "ok: i-9223372036854775808"},
      {"-9223372036854775809", "ok: d-9.2233720368547758e+18"},
      {"-18446744073709551616", "ok: d-1.8446744073709552e+19"},
      {"-0", "ok: d-0"},
      {"-0.0", "ok: d-0"},
      {"0.0", "ok: d0"},
      {"1E+2", "ok: d100"},
      {"1e-2", "ok: d0.01"},
      {"0.1", "ok: d0.10000000000000001"},
      {"5e-324", "ok: d4.9406564584124654e-324"},
      {"1e-400", "ok: d0"},
      {"-1e-400", "ok: d-0"},
      {"1000e-327", "ok: d0"},
      {"0.001e311", "ok: d1e+308"},
      {"0.01e311", "number out of range at line 1 column 8"},
      {"1e-99999999999", "ok: d0"},
      {"-0e99999999999", "ok: d-0"},
      {"0.000e99999999999", "ok: d0"},
      {"1e99999999999", "number out of range at line 1 column 12"},
      {"1.7976931348623158e308", "ok: d1.7976931348623157e+308"},
      {"1.7976931348623157" + std::string(400, '0') + "1e308", "ok: d1.7976931348623157e+308"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"1.8e308", "number out of range at line 1 column 7"},
      {"-1.8e308", "number out of range at line 1 column 8"},
      {"1" + std::string(309, '0'), "number out of range at line 1 column 310"},
  });
  // The largest double written out in full, and the halfway point above it.
  const std::string largest =
      "179769313486231570814527423731704356798070567525844996598917476803157260780028538760589558632766878171540"
      "458953514382464234321326889464182768467546703537516986049910576551282076245490090389328944075868508455133"
      "942304583236903222948165808559332123348274797826204144723168738177180919299881250404026184124858368";
  const std::string halfway =
      "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330"
      "286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069"
      "855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792";
  JsonArena arena;
  Result<JsonValue> parsed = parse_json(largest, arena);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().dbl, std::numeric_limits<double>::max());
  EXPECT_EQ(outcome(halfway), "number out of range at line 1 column 309");
  EXPECT_TRUE(std::signbit(parse_json("-0", arena).value().dbl));
}

// Decimals of every length of digits and power of ten, on both sides of the exact short-decimal
// road, the 64-bit digits road and the text road: the parsed double is the one std::from_chars
// reads from the same text, bit for bit.
TEST(JsonParser, DecimalsRoundLikeFromChars) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 20000; ++round) {
    std::string text = random() % 4 == 0 ? "-" : "";
    const int integer_digits = 1 + static_cast<int>(random() % 22);
    text += std::to_string(random() % 10 == 0 ? 0 : 1 + random() % 9);
    if (text.back() != '0') {
      for (int i = 1; i < integer_digits; ++i) text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 4 != 0) {
      text += '.';
      const int fraction_digits = 1 + static_cast<int>(random() % 20);
      for (int i = 0; i < fraction_digits; ++i) text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 3 == 0) {
      const int reach = random() % 4 == 0 ? 280 : 30;
      text += "e" + std::to_string(static_cast<int>(random() % (2 * reach + 1)) - reach);
    }
    if (text.find_first_of(".e") == std::string::npos) text += ".5";
    JsonArena arena;
  Result<JsonValue> parsed = parse_json(text, arena);
    ASSERT_TRUE(parsed.ok()) << text;
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed.value().dbl), std::bit_cast<std::uint64_t>(expected)) << text;
  }
}

TEST(JsonParser, StringEscapes) {
  expect_outcomes({
      {R"("\"\\\/\b\f\n\r\t")", "ok: \"\"\\/\b\f\n\r\t\""},
      {R"("\u0041\u00e9\u20AC\uD83D\uDE00")", "ok: \"A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {R"("\uDBFF\uDFFF")", "ok: \"\xF4\x8F\xBF\xBF\""},
      {R"("\u0000")", std::string("ok: \"\0\"", 7)},
      {R"({"k\u0065y":"plain", "key2":"a\nb"})", "ok: {\"key\":\"plain\",\"key2\":\"a\nb\"}"},
      {"\"caf\xC3\xA9 \x7F\"", "ok: \"caf\xC3\xA9 \x7F\""},
  });
}

// Every length and position around the block boundaries of each road's
// scan (words of 8, blocks of 16, then of 32 after the first 16).
TEST(JsonParser, StringScanFindsEveryStopByte) {
  on_every_road([] {
  for (std::size_t length = 1; length <= 90; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string filler(length, 'a');
      for (std::size_t i = 0; i < length; i += 3) filler[i] = '\xE9';  // high bytes are plain content
      std::string text = "\"" + filler + "\"";

      std::string control = text;
      control[1 + at] = '\x1F';
      EXPECT_EQ(outcome(control),
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                    std::to_string(at + 2));

      std::string escaped = text;
      escaped.replace(1 + at, 1, "\\n");
      std::string expected = filler;
      expected[at] = '\n';
      EXPECT_EQ(outcome(escaped), "ok: \"" + expected + "\"") << length << " " << at;

      std::string quoted = text;
      quoted[1 + at] = '"';
      EXPECT_EQ(outcome("[" + quoted + "]"), "expected `,` or `]` at line 1 column " + std::to_string(at + 4));
    }
  }
  });
}

// Every byte value in each kind of block: only the control bytes, '"' and
// '\\' stop a string's scan.
TEST(JsonParser, StringScanTellsEveryByteValue) {
  on_every_road([] {
    for (int value = 0; value < 256; ++value) {
      const char byte = static_cast<char>(value);
      if (byte == '"' || byte == '\\') continue;
      for (std::size_t at : {0, 17, 40, 70}) {
        std::string content(80, 'a');
        content[at] = byte;
        // A line break counts as one, whose next line starts at column 0.
        const std::string position = byte == '\n' ? "line 2 column 0" : "line 1 column " + std::to_string(at + 2);
        const std::string expected = value < 0x20
                                         ? "control character (\\u0000-\\u001F) found while parsing a string at " + position
                                         : "ok: \"" + content + "\"";
        EXPECT_EQ(outcome("\"" + content + "\""), expected) << value << " at " << at;
      }
    }
  });
}

// Runs in arrays and on both sides of a colon, where one space or none is
// skipped on a road of its own.
TEST(JsonParser, WhitespaceRunsOfEveryLength) {
  // The failure on the last byte of `stray`, with its line and column.
  auto at_last_byte = [](const std::string& stray) {
    const auto lines = 1 + std::count(stray.begin(), stray.end(), '\n');
    const std::size_t last_break = stray.rfind('\n');
    const std::size_t column = last_break == std::string::npos ? stray.size() : stray.size() - 1 - last_break;
    return " at line " + std::to_string(lines) + " column " + std::to_string(column);
  };
  on_every_road([&] {
    for (std::size_t length = 0; length <= 90; ++length) {
      for (std::string_view spaces : {" \t\r\n", "\n  ", "  \t"}) {
        std::string run;
        for (std::size_t i = 0; i < length; ++i) run += spaces[i % spaces.size()];
        EXPECT_EQ(outcome("[" + run + "1" + run + "]"), "ok: [u1]") << length;
        EXPECT_EQ(outcome("{\"a\"" + run + ":" + run + "1}"), "ok: {\"a\":u1}") << length;
        const std::pair<std::string, std::string> strays[] = {{"[" + run + "x", "expected value"},
                                                               {"{\"a\"" + run + "x", "expected `:`"},
                                                               {"{\"a\":" + run + "x", "expected value"}};
        for (const auto& [stray, failure] : strays) {
          EXPECT_EQ(outcome(stray + "]"), failure + at_last_byte(stray)) << length;
        }
      }
      // A control byte that ends a run of spaces is no whitespace, with text enough after it for the vector scan.
      const std::string control = "[" + std::string(length, ' ') + "\x01";
      EXPECT_EQ(outcome(control + std::string(32, ' ') + "]"), "expected value" + at_last_byte(control)) << length;
    }
  });
}

// Every prefix of a text ends somewhere: in a string, an escape, a run of
// whitespace or a number, each within the last block that a road reads; every
// road must stop at the end as the scalar one does, with the same failure.
TEST(JsonParser, EveryPrefixFailsAlikeOnEveryRoad) {
  const std::string text =
      "{\n  \"name\": \"a string longer than sixty-four bytes, so that it runs on past a block\",\n"
      "  \"list\": [\n    1.5,\t\"\\u00e9t\\u00e9\", true,\r\n    null   ],\n"
      "  \"nested\": {\"deep\": [[], {}], \"text\": \"\\\"quoted\\\" and \\\\\"}" +
      std::string(70, ' ') + "\n}\n";
  std::vector<std::string> scalar;
  ASSERT_TRUE(set_scan_road(ScanRoad::Scalar));
  for (std::size_t size = 0; size <= text.size(); ++size) scalar.push_back(outcome(text.substr(0, size)));
  EXPECT_EQ(scalar.back().substr(0, 4), "ok: ") << scalar.back();
  on_every_road([&] {
    for (std::size_t size = 0; size <= text.size(); ++size) {
      EXPECT_EQ(outcome(text.substr(0, size)), scalar[size]) << size;
    }
  });
}

TEST(JsonParser, PlainStringsStayInTheText) {
  std::string text = R"(["plain","esc\naped"])";
  JsonArena arena;
  Result<JsonValue> parsed = parse_json(text, arena);
  ASSERT_TRUE(parsed.ok());
  auto items = parsed.value().array();
  EXPECT_EQ(items[0].str, text.data() + 2);
  auto address = [](const char* p) { return reinterpret_cast<std::uintptr_t>(p); };
  EXPECT_TRUE(address(items[1].str) < address(text.data()) ||
              address(items[1].str) >= address(text.data() + text.size()));
}

TEST(JsonParser, ObjectKeysInByteOrderLastDuplicateWins) {
  expect_outcomes({
      {R"({"b":1,"a":2})", "ok: {\"a\":u2,\"b\":u1}"},
      {R"({"a":1,"a":2})", "ok: {\"a\":u2}"},
      {R"({"a":1,"b":2,"a":3})", "ok: {\"a\":u3,\"b\":u2}"},
      {R"({"ab":1,"a":2,"":3})", "ok: {\"\":u3,\"a\":u2,\"ab\":u1}"},
      {"{\"\xC3\xA9\":1,\"z\":2,\"Z\":3}", "ok: {\"Z\":u3,\"z\":u2,\"\xC3\xA9\":u1}"},
      {R"({"a":1,"a":2,"a":3,"b":{"d":0,"c":1}})", "ok: {\"a\":u3,\"b\":{\"c\":u1,\"d\":u0}}"},
  });
  // Large objects: reverse order with repeated keys, against an ordered map.
  for (std::size_t count : {5, 24, 25, 300}) {
    std::map<std::string, std::size_t> reference;
    std::string text = "{";
    for (std::size_t i = 0; i < count; ++i) {
      std::string key = "k" + std::to_string((count - i) % (count / 2 + 1));
      reference[key] = i;
      text += (i ? ",\"" : "\"") + key + "\":" + std::to_string(i);
    }
    std::string expected = "ok: {";
    for (const auto& [key, value] : reference) {
      expected += (expected.size() > 5 ? ",\"" : "\"") + key + "\":u" + std::to_string(value);
    }
    EXPECT_EQ(outcome(text + "}"), expected + "}") << count;
  }
  // Many objects out of order, of more kinds than the table of remembered
  // orders has slots, each met a few times: the first are sorted on their
  // own, the later ones by remembered orders, which kinds share.
  std::string text = "[";
  std::string expected = "ok: [";
  for (std::size_t i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    const std::string kind = std::to_string(i % 97);
    const std::string k = "\"k" + kind;
    const std::string extra_key = i % 3 == 0 ? k + "\":1," : "";  // before the others in byte order
    text += (i ? "," : "") + ("{" + k + "b\":" + n + "," + extra_key + k + "a\":" + kind + "}");
    const std::string extra_value = i % 3 == 0 ? k + "\":u1," : "";
    expected += (i ? "," : "") + ("{" + extra_value + k + "a\":u" + kind + "," + k + "b\":u" + n + "}");
  }
  EXPECT_EQ(outcome(text + "]"), expected + "]");
}

// Keys built from a few bytes, NUL and a high byte included, so that many
// share their first eight bytes, end inside them or repeat.
TEST(JsonParser, SortMembersMatchesAnOrderedMap) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245 + 12345;
    return (seed >> 8) % bound;
  };
  const char alphabet[] = {'\0', 'a', 'b', '\xC3'};
  for (int round = 0; round < 300; ++round) {
    const std::size_t count = 1 + next(round % 3 == 0 ? 80 : 12);
    std::vector<std::string> keys(count);
    std::vector<JsonMember> members(count);
    std::map<std::string, std::uint64_t> reference;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t length = next(19);
      std::size_t shared = next(12);  // bytes of a common head, to defeat the prefix shortcut
      for (std::size_t j = 0; j < length; ++j) keys[i] += j < shared ? 'p' : alphabet[next(4)];
      members[i] = {keys[i], JsonValue::from_uint(i)};
      reference[keys[i]] = i;
    }
    std::size_t kept = sort_members(members.data(), count);
    ASSERT_EQ(kept, reference.size()) << "round " << round;
    std::size_t i = 0;
    for (const auto& [key, value] : reference) {
      EXPECT_EQ(members[i].key, key) << "round " << round << " position " << i;
      EXPECT_EQ(members[i].value.uint, value) << "round " << round << " position " << i;
      ++i;
    }
  }
}

TEST(JsonParser, NestingLimit) {
  EXPECT_EQ(outcome(nested(127, "[", "", "]")), "ok: " + nested(127, "[", "", "]"));
  EXPECT_EQ(outcome(nested(127, "{\"a\":", "1", "}")), "ok: " + nested(127, "{\"a\":", "u1", "}"));
  EXPECT_EQ(outcome(nested(128, "{\"a\":", "1", "}")), "recursion limit exceeded at line 1 column 636");
  // Closed containers give their level back: siblings may each go the full depth.
  std::string deep = nested(126, "[", "", "]");
  JsonArena arena;
  EXPECT_TRUE(parse_json("[" + deep + "," + deep + "," + deep + "]", arena).ok());
  // Far deeper input fails at the limit instead of exhausting the stack.
  EXPECT_EQ(outcome(std::string(1000000, '[')), "recursion limit exceeded at line 1 column 128");
}

// Small and large requests, across many blocks, all keep their content and
// the alignment of the nodes.
TEST(JsonArena, KeepsEveryAllocationUntilReleased) {
  JsonArena arena;
  std::vector<std::pair<JsonValue*, std::size_t>> arrays;
  std::vector<std::pair<std::string_view, std::string>> strings;
  for (std::size_t round = 0; round < 400; ++round) {
    const std::size_t count = round % 7 == 0 ? 5000 + round : round % 13;
    std::vector<JsonValue> items(count);
    for (std::size_t k = 0; k < count; ++k) items[k] = JsonValue::from_uint(round * 100000 + k);
    JsonValue* copy = arena.copy_values(items);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(copy) % alignof(JsonValue), 0u);
    arrays.emplace_back(copy, count);
    std::string text(round % 11 == 0 ? 70000 : round % 5 + 1, static_cast<char>('a' + round % 26));
    strings.emplace_back(arena.copy_string(text), text);
  }
  for (std::size_t round = 0; round < arrays.size(); ++round) {
    const auto& [values, count] = arrays[round];
    for (std::size_t k = 0; k < count; ++k) ASSERT_EQ(values[k].uint, round * 100000 + k);
    EXPECT_EQ(strings[round].first, strings[round].second);
  }
  // A node is two words, whatever its kind; sizes use 56 bits.
  static_assert(sizeof(JsonValue) == 16);
  JsonValue big = JsonValue::from_string(std::string_view("x", 1));
  big.size = (std::size_t{1} << 56) - 1;
  EXPECT_EQ(big.size, (std::size_t{1} << 56) - 1);
  EXPECT_EQ(big.kind, JsonKind::String);
}

}  // namespace
}  // namespace velq
