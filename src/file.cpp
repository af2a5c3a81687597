#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace velq {
namespace {

// Moves at most this many bytes per read() or write(): larger counts are not
// portable and some kernels cap them anyway.
constexpr std::size_t kMaxIoBytes = 2147483647;

std::optional<IoError> check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::fixed("file name contained an unexpected NUL byte");
  }
  return std::nullopt;
}

// Runs a system call until it does not fail with EINTR, or until `retry`
// says to stop (then -1 with errno EINTR).
template <class Call>
auto retrying(SignalCheck retry, Call call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
    if (retry != nullptr && !retry()) {
      errno = EINTR;
      return result;
    }
  }
}

IoError failure(SignalCheck retry) {
  return errno == EINTR && retry != nullptr ? IoError::interruption() : IoError::from_errno(errno);
}

// An open descriptor, closed (ignoring the result) however the scope is left.
class FileDescriptor {
 public:
  FileDescriptor(const char* path, int flags, mode_t mode, SignalCheck retry)
      : fd_(retrying(retry, [&] { return ::open(path, flags, mode); })) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool is_open() const { return fd_ >= 0; }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

Result<void, IoError> write_all(int fd, std::string_view data, SignalCheck retry) {
  const char* rest = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = retrying(retry, [&] { return ::write(fd, rest, std::min(left, kMaxIoBytes)); });
    if (written < 0) return failure(retry);
    if (written == 0) return IoError::fixed("failed to write whole buffer");
    rest += written;
    left -= static_cast<std::size_t>(written);
  }
  return {};
}

Result<FileContent, IoError> read_all(int fd, SignalCheck retry) {
  std::size_t capacity = 0;
  struct stat status;
  if (::fstat(fd, &status) == 0 && status.st_size > 0) capacity = static_cast<std::size_t>(status.st_size);

  const auto read_some = [fd, retry](void* buffer, std::size_t count) {
    return retrying(retry, [&] { return ::read(fd, buffer, std::min(count, kMaxIoBytes)); });
  };
  FileContent content;
  content.data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  for (;;) {
    if (content.size == capacity) {
      // Full: a small probe tells the end of the file from a file that grew,
      // without doubling the buffer for the common case of an exact fit.
      std::uint8_t probe[64];
      const ssize_t got = read_some(probe, sizeof probe);
      if (got < 0) return failure(retry);
      if (got == 0) break;
      capacity = std::max({capacity * 2, content.size + static_cast<std::size_t>(got), std::size_t{8192}});
      auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
      if (content.size > 0) std::memcpy(grown.get(), content.data.get(), content.size);
      std::memcpy(grown.get() + content.size, probe, static_cast<std::size_t>(got));
      content.data = std::move(grown);
      content.size += static_cast<std::size_t>(got);
      continue;
    }
    const ssize_t got = read_some(content.data.get() + content.size, capacity - content.size);
    if (got < 0) return failure(retry);
    if (got == 0) break;
    content.size += static_cast<std::size_t>(got);
  }
  return content;
}

}  // namespace

std::string IoError::display() const {
  if (code == 0) return fixed_message;
  // strerror is not thread-safe in general; glibc's is for known codes and
  // every call here runs under the interpreter lock anyway.
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

Result<FileContent, IoError> read_file(std::string_view path, SignalCheck retry) {
  if (auto error = check_path(path)) return std::move(*error);
  const FileDescriptor file(path.data(), O_RDONLY | O_CLOEXEC, 0, retry);
  if (!file.is_open()) return failure(retry);
  return read_all(file.get(), retry);
}

Result<void, IoError> write_file(std::string_view path, std::string_view first, std::string_view second,
                                 SignalCheck retry) {
  if (auto error = check_path(path)) return std::move(*error);
  const FileDescriptor file(path.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, retry);
  if (!file.is_open()) return failure(retry);
  if (auto written = write_all(file.get(), first, retry); !written) return written;
  return write_all(file.get(), second, retry);
}

}  // namespace velq
