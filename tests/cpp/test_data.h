// Where the C++ tests find their data. The sample documents of tests/data are
// part of the repository. The shared corpus and conformance files are not:
// they are read from $VELQ_SHARED_DIR when it is set, else from the folder the
// build was configured with (../shared beside the repository), and the tests
// that need them skip when they are absent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace velq::test_data {

inline std::filesystem::path shared_dir() {
  const char* dir = std::getenv("VELQ_SHARED_DIR");
  return dir != nullptr && *dir != '\0' ? std::filesystem::path(dir) : std::filesystem::path(VELQ_DEFAULT_SHARED_DIR);
}

// The *.json files of tests/data, in name order.
inline std::vector<std::filesystem::path> samples() {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(VELQ_TEST_DATA_DIR)) {
    if (entry.path().extension() == ".json") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace velq::test_data

// Skips the test unless the shared folder holds `part` ("corpus" or
// "conformance"); names the folder it looked in.
#define VELQ_NEEDS_SHARED(part)                                                                        \
  if (const std::filesystem::path velq_shared_part = ::velq::test_data::shared_dir() / (part);        \
      !std::filesystem::is_directory(velq_shared_part))                                               \
  GTEST_SKIP() << "needs the shared " part ": ../shared/" part " or $VELQ_SHARED_DIR/" part " (looked in " \
               << velq_shared_part.string() << ")"
