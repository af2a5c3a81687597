// Stage micro-benchmarks of the core on corpus files: the JSON parser beside
// simdjson's DOM parse and a plain copy of the input (the floor), then the
// compile, encode, decode and decompile stages of the tree roads, and the two
// roads the module runs below Python (dumps core, loads core).
//
//   velq_stages [Google Benchmark flags] FILE.json...
//
// Every figure's bytes_per_second counts the bytes of the JSON text, whatever
// the stage reads, so the stages of one file can be compared and added up.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "compile.h"
#include "counting_builder.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "json.h"

namespace {

struct Input {
  std::string name;
  std::string text;
  simdjson::padded_string padded;
  std::string copy_target;
  std::optional<velq::JsonDocument> tree;
  std::optional<velq::VelqDocument> compiled;
  std::string encoded;
  std::optional<velq::VelqDocument> decoded;
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
    auto tree = velq::parse_json(input->text);
    if (!tree.ok()) {
      fail(state, tree.error());
      break;
    }
    benchmark::DoNotOptimize(tree.value().root);
  }
  count_bytes(state, *input);
}

#ifdef VELQ_HAVE_COMPILE_INLINE
void bm_compile(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    velq::CompileBuilder builder;
    auto data = velq::compile_inline(builder, input->tree->root);
    if (!data.ok()) {
      fail(state, data.error());
      break;
    }
    benchmark::DoNotOptimize(data.value());
  }
  count_bytes(state, *input);
}
#endif

void bm_parse_compile(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    auto document = velq::compile_json_str(input->text);
    if (!document.ok()) {
      fail(state, document.error());
      break;
    }
    benchmark::DoNotOptimize(document.value());
  }
  count_bytes(state, *input);
}

void bm_encode(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    auto bytes = velq::encode_document(*input->compiled);
    if (!bytes.ok()) {
      fail(state, bytes.error());
      break;
    }
    benchmark::DoNotOptimize(bytes.value().data());
  }
  count_bytes(state, *input);
}

void bm_decode(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    auto document = velq::decode_document(bytes_of(input->encoded));
    if (!document.ok()) {
      fail(state, document.error());
      break;
    }
    benchmark::DoNotOptimize(document.value());
  }
  count_bytes(state, *input);
}

void bm_decompile(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    auto tree = velq::decompile_document(*input->decoded);
    if (!tree.ok()) {
      fail(state, tree.error());
      break;
    }
    benchmark::DoNotOptimize(tree.value().root);
  }
  count_bytes(state, *input);
}

// JSON text to bytes, and bytes to values: the roads that dumps and loads
// run below the Python layer (compiled straight to bytes; the decoder feeding
// the decompiler, which hands values to a builder that only counts them).
void bm_dumps_core(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    auto bytes = velq::compile_json_to_velq(input->text);
    if (!bytes.ok()) {
      fail(state, bytes.error());
      break;
    }
    benchmark::DoNotOptimize(bytes.value().payload.data());
  }
  count_bytes(state, *input);
}

void bm_loads_core(benchmark::State& state, Input* input) {
  for (auto _ : state) {
    CountingBuilder builder;
    velq::Decompiler<CountingBuilder> decompiler(builder);
    const velq::Status read = velq::decode_document_to(bytes_of(input->encoded), decompiler);
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
  auto tree = velq::parse_json(input.text);
  if (!tree.ok()) return "parse: " + tree.error().display();
  input.tree.emplace(std::move(tree.value()));
  auto compiled = velq::compile_json_str(input.text);
  if (!compiled.ok()) return "compile: " + compiled.error().display();
  input.compiled.emplace(std::move(compiled.value()));
  auto encoded = velq::encode_document(*input.compiled);
  if (!encoded.ok()) return "encode: " + encoded.error().display();
  input.encoded = std::move(encoded.value());
  auto decoded = velq::decode_document(bytes_of(input.encoded));
  if (!decoded.ok()) return "decode: " + decoded.error().display();
  input.decoded.emplace(std::move(decoded.value()));
  auto decompiled = velq::decompile_document(*input.decoded);
  if (!decompiled.ok()) return "decompile: " + decompiled.error().display();
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
#ifdef VELQ_HAVE_COMPILE_INLINE
  benchmark::RegisterBenchmark(("compile/" + name).c_str(), bm_compile, input);
#endif
  benchmark::RegisterBenchmark(("parse_compile/" + name).c_str(), bm_parse_compile, input);
  benchmark::RegisterBenchmark(("encode/" + name).c_str(), bm_encode, input);
  benchmark::RegisterBenchmark(("decode/" + name).c_str(), bm_decode, input);
  benchmark::RegisterBenchmark(("decompile/" + name).c_str(), bm_decompile, input);
  benchmark::RegisterBenchmark(("dumps_core/" + name).c_str(), bm_dumps_core, input);
  benchmark::RegisterBenchmark(("loads_core/" + name).c_str(), bm_loads_core, input);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("compile_stage",
#ifdef VELQ_HAVE_COMPILE_INLINE
                              "compile_inline on a parsed tree"
#else
                              "not measured alone: parse_compile minus parse"
#endif
  );
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
