// A fixed workload for instruction counts: ITERATIONS times, every FILE goes
// through the core roads of dumps (parse, compile, encode) and loads (decode,
// decompile). Run under callgrind by bench/callgrind.sh; the counts of two
// builds compare repeatably where timings do not.
//
//   velq_workload ITERATIONS FILE.json...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compile.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"

namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Bytes written and tree size read back, so that no stage can be skipped.
bool round_trip(const std::string& text, std::uint64_t& checksum) {
  auto document = velq::compile_json_str(text);
  if (!document.ok()) return false;
  auto bytes = velq::encode_document(document.value());
  if (!bytes.ok()) return false;
  const std::string& encoded = bytes.value();
  auto decoded =
      velq::decode_document({reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()});
  if (!decoded.ok()) return false;
  auto tree = velq::decompile_document(decoded.value());
  if (!tree.ok()) return false;
  checksum += encoded.size() + tree.value().root.size;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velq_workload ITERATIONS FILE.json...\n");
    return 2;
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
