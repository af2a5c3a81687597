// A fixed workload for instruction counts: ITERATIONS times, every FILE goes
// through the roads that the module's dumps (parse, then compile straight to
// bytes) and loads (the decoder feeding the decompiler, no tree in between)
// run below Python. Run under callgrind by bench/callgrind.sh; the counts of
// two builds compare repeatably where timings do not.
//
//   velq_workload ITERATIONS FILE.json...
//
// VELQ_SCAN names the road of the text scan, as for velq_stages.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "compile.h"
#include "counting_builder.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "scan.h"

namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Bytes written and values read back, so that no stage can be skipped.
bool round_trip(const std::string& text, std::uint64_t& checksum) {
  velq::CompiledDocument compiled;
  if (!velq::compile_json_to_velq(text, compiled).ok()) return false;
  velq::ByteBuffer fresh;
  auto written = velq::encode_document(compiled.front(), compiled.payload, fresh);
  if (!written.ok()) return false;
  const velq::ByteBuffer& encoded = *written.value();
  CountingBuilder builder;
  velq::Decompiler<CountingBuilder> decompiler(builder);
  const velq::Status read =
      velq::decode_document({reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()}, decompiler);
  if (!read.ok() || decompiler.failed()) return false;
  checksum += encoded.size() + builder.values;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velq_workload ITERATIONS FILE.json...\n");
    return 2;
  }
  if (const char* wanted = std::getenv("VELQ_SCAN"); wanted != nullptr && *wanted != '\0') {
    velq::ScanRoad road;
    if (!velq::scan_road_named(wanted, road) || !velq::set_scan_road(road)) {
      std::fprintf(stderr, "velq_workload: VELQ_SCAN=%s: no such road on this CPU\n", wanted);
      return 1;
    }
  }
  const int iterations = std::atoi(argv[1]);
  std::vector<std::string> texts;
  for (int i = 2; i < argc; ++i) {
    texts.push_back(read_file(argv[i]));
    if (texts.back().empty()) {
      std::fprintf(stderr, "velq_workload: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  std::uint64_t checksum = 0;
  for (int round = 0; round < iterations; ++round) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!round_trip(texts[i], checksum)) {
        std::fprintf(stderr, "velq_workload: %s failed\n", argv[i + 2]);
        return 1;
      }
    }
  }
  std::printf("checksum %llu\n", static_cast<unsigned long long>(checksum));
  return 0;
}
