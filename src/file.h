// Whole-file reading and writing for load and dump, with POSIX calls: a
// file is opened, read or written in full, and closed however the call ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error.h"

namespace velq {

// An operating-system I/O failure: an errno value, or a fixed message when
// the failure has no error number, or a call interrupted by a signal that the
// SignalCheck said not to retry.
struct IoError {
  int code = 0;  // errno; 0 for a fixed message or an interruption
  std::string fixed_message;
  bool interrupted = false;

  static IoError from_errno(int code) { return {code, {}, false}; }
  static IoError fixed(std::string message) { return {0, std::move(message), false}; }
  static IoError interruption() { return {0, {}, true}; }

  // "{strerror} (os error {code})", or the fixed message alone.
  std::string display() const;
};

// The whole content of a file. The buffer starts at the size fstat reports
// and grows only if the file turns out longer.
struct FileContent {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

// A system call that fails with EINTR is retried when `check` says to go on
// (always, without one), and ends the call with IoError::interruption()
// otherwise. `path` must be followed by a NUL byte in memory (as a C string).
Result<FileContent, IoError> read_file(std::string_view path, SignalCheck check = nullptr);

// Creates or truncates the file (permission bits 0666 before the umask) and
// writes the parts one after the other.
Result<void, IoError> write_file(std::string_view path, std::string_view first, std::string_view second = {},
                                 SignalCheck check = nullptr);

}  // namespace velq
