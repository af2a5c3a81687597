// Stage micro-benchmarks of the core on corpus files: the JSON parser beside
// simdjson's DOM parse and a plain copy of the input (the floor), then the
// stages that the module runs below Python: compiling JSON text (parse
// included) into definitions, dictionary and payload, putting the document
// together around the payload, reading it, and the whole of dumps (text to
// bytes) and of loads (bytes to values, handed to a builder that counts them).
// Compiling a parsed tree and decompiling a decoded one are not stages of
// their own: the compiler parses as it goes, and the decompiler runs as the
// reader hands it values (loads_core minus decode).
//
//   velq_stages [Google Benchmark flags] FILE.json...
//
// Every figure's bytes_per_second counts the bytes of the JSON text, whatever
// the stage reads, so the stages of one file can be compared and added up.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "compile.h"
#include "counting_builder.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "json.h"
#include "scan.h"

namespace {

struct Input {
  std::string name;
  std::string text;
  simdjson::padded_string padded;
  std::string copy_target;
  std::optional<velq::CompiledDocument> compiled;
  std::string payload;  // the compiled payload, as it was before encode_document took it
  std::string encoded;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

velq::ByteSpan bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void count_bytes(benchmark::State& state, const Input& input) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.text.size()));
}

void fail(benchmark::State& state, const velq::VelqError& error) {
  state.SkipWithError(error.display().c_str());
}

void bm_copy(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    std::memcpy(input->copy_target.data(), input->text.data(), input->text.size());
    benchmark::DoNotOptimize(input->copy_target.data());
    benchmark::ClobberMemory();
  }
  count_bytes(state, *input);
}

void bm_simdjson_dom(benchmark::State& state, Input* input) {
  simdjson::dom::parser parser;  // reused across iterations, as simdjson is meant to be used
  for (auto _ : state) {
    simdjson::dom::element root;
    auto error = parser.parse(input->padded).get(root);
    if (error) {
      state.SkipWithError(simdjson::error_message(error));
      break;
    }
    benchmark::DoNotOptimize(root);
  }
  count_bytes(state, *input);
}

void bm_parse(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    velq::JsonArena arena;
    auto tree = velq::parse_json(input->text, arena);
    if (!tree.ok()) {
      fail(state, tree.error());
      break;
    }
    benchmark::DoNotOptimize(tree.value());
  }
  count_bytes(state, *input);
}

// JSON text to the definitions, the dictionary and the payload.
void bm_parse_compile(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    velq::CompiledDocument compiled;
    if (velq::Status status = velq::compile_json_to_velq(input->text, compiled); !status.ok()) {
      fail(state, status.error());
      break;
    }
    benchmark::DoNotOptimize(compiled.payload.bytes().data());
  }
  count_bytes(state, *input);
}

// A fresh copy of the compiled payload, with the room the compiler reserves.
velq::PayloadWriter payload_copy(const Input& input) {
  velq::PayloadWriter payload;
  payload.reserve(input.text.size() + 64);
  payload.bytes().put_bytes(input.payload.data(), input.payload.size());
  return payload;
}

// The compiled document put together: the front written, then joined with
// the payload. encode_document may write the front into the payload's own
// memory, so each call gets a fresh copy of the payload, made in batches
// outside the timing.
void bm_encode(benchmark::State& state, Input* input) {
  const std::size_t batch = std::clamp<std::size_t>((std::size_t{32} << 20) / (input->payload.size() + 1), 1, 64);
  std::vector<velq::PayloadWriter> payloads;
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == payloads.size()) {
      state.PauseTiming();
      payloads.clear();
      for (std::size_t i = 0; i < batch; ++i) payloads.push_back(payload_copy(*input));
      next = 0;
      state.ResumeTiming();
    }
    velq::ByteBuffer fresh;
    auto bytes = velq::encode_document(input->compiled->front(), payloads[next++], fresh);
    if (!bytes.ok()) {
      fail(state, bytes.error());
      break;
    }
    benchmark::DoNotOptimize(bytes.value()->data());
  }
  count_bytes(state, *input);
}

// A decode sink that counts the values the reader hands over.
struct CountingSink {
  std::uint64_t values = 0;

  void begin_entries(const velq::VelqDocument&, std::size_t) {}
  void end_entries() {}
  void null() { ++values; }
  void boolean(bool) { ++values; }
  void int32(std::int32_t) { ++values; }
  void uint32(std::uint32_t) { ++values; }
  void float32(float) { ++values; }
  void string(std::string_view, bool) { ++values; }
  void str_ref(std::uint32_t) { ++values; }
  void begin_array(std::size_t) { ++values; }
  void end_array() {}
  void fixed_array(velq::VelqType, const std::uint8_t*, std::size_t count) { values += count + 1; }
  void begin_object(std::uint16_t, std::size_t) { ++values; }
  void end_object() {}
};

// The reader alone: every block and value read and checked.
void bm_decode(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    CountingSink sink;
    const velq::Status read = velq::decode_document(bytes_of(input->encoded), sink);
    if (!read.ok()) {
      fail(state, read.error());
      break;
    }
    benchmark::DoNotOptimize(sink.values);
  }
  count_bytes(state, *input);
}

// JSON text to bytes, and bytes to values: the roads that dumps and loads
// run below the Python layer (compiled, then put together; the reader
// feeding the decompiler, which hands values to a builder that only counts
// them).
void bm_dumps_core(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    velq::CompiledDocument compiled;
    if (velq::Status status = velq::compile_json_to_velq(input->text, compiled); !status.ok()) {
      fail(state, status.error());
      break;
    }
    velq::ByteBuffer fresh;
    auto bytes = velq::encode_document(compiled.front(), compiled.payload, fresh);
    if (!bytes.ok()) {
      fail(state, bytes.error());
      break;
    }
    benchmark::DoNotOptimize(bytes.value()->data());
  }
  count_bytes(state, *input);
}

void bm_loads_core(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    CountingBuilder builder;
    velq::Decompiler<CountingBuilder> decompiler(builder);
    const velq::Status read = velq::decode_document(bytes_of(input->encoded), decompiler);
    if (!read.ok()) {
      fail(state, read.error());
      break;
    }
    if (decompiler.failed()) {
      fail(state, decompiler.take_error());
      break;
    }
    benchmark::DoNotOptimize(builder.values);
  }
  count_bytes(state, *input);
}

// Runs every stage once, so that a file the library refuses is reported
// instead of measured. Returns the reason, or an empty string.
std::string prepare(Input& input) {
  velq::JsonArena arena;
  auto tree = velq::parse_json(input.text, arena);
  if (!tree.ok()) return "parse: " + tree.error().display();
  velq::Status compiled = velq::compile_json_to_velq(input.text, input.compiled.emplace());
  if (!compiled.ok()) return "compile: " + compiled.error().display();
  input.payload = std::string(input.compiled->payload.bytes().view());
  velq::PayloadWriter payload = payload_copy(input);
  velq::ByteBuffer fresh;
  auto encoded = velq::encode_document(input.compiled->front(), payload, fresh);
  if (!encoded.ok()) return "encode: " + encoded.error().display();
  input.encoded = std::string(encoded.value()->view());
  CountingBuilder builder;
  velq::Decompiler<CountingBuilder> decompiler(builder);
  const velq::Status read = velq::decode_document(bytes_of(input.encoded), decompiler);
  if (!read.ok()) return "decode: " + read.error().display();
  if (decompiler.failed()) return "decompile: " + decompiler.take_error().display();
  return {};
}

void register_file(Input* input) {
  const std::string& name = input->name;
  benchmark::RegisterBenchmark(("copy/" + name).c_str(), bm_copy, input);
  benchmark::RegisterBenchmark(("simdjson_dom/" + name).c_str(), bm_simdjson_dom, input);
  std::string skipped = prepare(*input);
  if (!skipped.empty()) {
    benchmark::AddCustomContext("skipped/" + name, skipped);
    return;
  }
  benchmark::AddCustomContext("velq_bytes/" + name, std::to_string(input->encoded.size()));
  benchmark::RegisterBenchmark(("parse/" + name).c_str(), bm_parse, input);
  benchmark::RegisterBenchmark(("parse_compile/" + name).c_str(), bm_parse_compile, input);
  benchmark::RegisterBenchmark(("encode/" + name).c_str(), bm_encode, input);
  benchmark::RegisterBenchmark(("decode/" + name).c_str(), bm_decode, input);
  benchmark::RegisterBenchmark(("dumps_core/" + name).c_str(), bm_dumps_core, input);
  benchmark::RegisterBenchmark(("loads_core/" + name).c_str(), bm_loads_core, input);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // VELQ_SCAN names the road that the parser scans text on (as for the module); the best one by default.
  if (const char* wanted = std::getenv("VELQ_SCAN"); wanted != nullptr && *wanted != '\0') {
    velq::ScanRoad road;
    if (!velq::scan_road_named(wanted, road) || !velq::set_scan_road(road)) {
      std::fprintf(stderr, "velq_stages: VELQ_SCAN=%s: no such road on this CPU\n", wanted);
      return 1;
    }
  }
  benchmark::AddCustomContext("scan_road", std::string(velq::scan_road_name(velq::scan_road())));
  // simdjson picks its own kernel for the CPU (AVX-512 where there is one): the yardstick moves with it.
  benchmark::AddCustomContext("simdjson_kernel", simdjson::get_active_implementation()->name());
  benchmark::AddCustomContext("compile_stage", "not measured alone: parse_compile minus parse");
  benchmark::AddCustomContext("encode_stage", "encode_document of the compiled front and payload");
  benchmark::AddCustomContext("decode_stage", "decode_document into a sink that counts values");
  benchmark::AddCustomContext("decompile_stage", "not measured alone: loads_core minus decode");
  std::deque<Input> inputs;  // registered benchmarks keep pointers into it
  for (int i = 1; i < argc; ++i) {
    std::string path = argv[i];
    Input& input = inputs.emplace_back();
    input.name = std::filesystem::path(path).filename().string();
    input.text = read_file(path);
    if (input.text.empty()) {
      std::fprintf(stderr, "velq_stages: cannot read %s\n", path.c_str());
      return 1;
    }
    input.padded = simdjson::padded_string(input.text);
    input.copy_target.assign(input.text.size(), '\0');
    register_file(&input);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
