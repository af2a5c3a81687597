#include "file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace velq {
namespace {

// A fresh directory for one test, removed with what it holds.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/velq_file_test_XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string text_of(const FileContent& content) {
  return std::string(reinterpret_cast<const char*>(content.data.get()), content.size);
}

TEST(File, ReadsWhatWasWrittenInTwoParts) {
  TempDir dir;
  const std::string path = dir / "doc.velq";
  const std::string first(100000, 'a');
  const std::string second = std::string("\0b\xFF", 3);
  ASSERT_TRUE(write_file(path, first, second).ok());
  auto read = read_file(path);
  ASSERT_TRUE(read.ok()) << read.error().display();
  EXPECT_TRUE(text_of(read.value()) == first + second);

  // Writing again truncates.
  ASSERT_TRUE(write_file(path, "xy").ok());
  EXPECT_EQ(text_of(read_file(path).value()), "xy");
  ASSERT_TRUE(write_file(path, "").ok());
  auto empty = read_file(path);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().size, 0u);
}

// A file whose size fstat does not tell (a pipe) is read until its end.
TEST(File, ReadsAPipeUntilItsEnd) {
  TempDir dir;
  const std::string path = dir / "fifo";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += std::to_string(i) + ",";
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    for (std::size_t at = 0; at < expected.size(); at += 777) {
      const std::size_t n = std::min<std::size_t>(777, expected.size() - at);
      ASSERT_EQ(::write(fd, expected.data() + at, n), static_cast<ssize_t>(n));
    }
    ::close(fd);
  });
  auto read = read_file(path);
  writer.join();
  ASSERT_TRUE(read.ok()) << read.error().display();
  EXPECT_TRUE(text_of(read.value()) == expected);
}

TEST(File, Failures) {
  TempDir dir;
  auto missing = read_file(dir / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");
  auto no_directory = write_file(dir / "no/such/dir", "x");
  ASSERT_FALSE(no_directory.ok());
  EXPECT_EQ(no_directory.error().display(), "No such file or directory (os error 2)");
  auto a_directory = read_file(dir / "");
  ASSERT_FALSE(a_directory.ok());
  EXPECT_EQ(a_directory.error().display(), "Is a directory (os error 21)");

  const std::string with_nul("a\0b", 4);  // followed by a NUL, as read_file asks
  auto nul_read = read_file(std::string_view(with_nul.data(), 3));
  ASSERT_FALSE(nul_read.ok());
  EXPECT_EQ(nul_read.error().display(), "file name contained an unexpected NUL byte");
  auto nul_write = write_file(std::string_view(with_nul.data(), 3), "x");
  ASSERT_FALSE(nul_write.ok());
  EXPECT_EQ(nul_write.error().display(), "file name contained an unexpected NUL byte");
}

// open() of a FIFO with no writer blocks until a signal interrupts it (the
// handler is installed without SA_RESTART): then `retry` decides.
int retries_asked = 0;
bool give_up() {
  ++retries_asked;
  return false;
}
bool retry_once() { return ++retries_asked == 1; }

void on_alarm(int) {}

class InterruptedOpen : public testing::Test {
 protected:
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked call fails with EINTR
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous_), 0);
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    retries_asked = 0;
  }
  void TearDown() override {
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous_, nullptr);
  }
  // One SIGALRM after 50 ms.
  static void alarm_soon() {
    itimerval once{};
    once.it_value.tv_usec = 50000;
    ::setitimer(ITIMER_REAL, &once, nullptr);
  }

  TempDir dir_;
  std::string fifo_ = dir_ / "fifo";
  struct sigaction previous_ {};
};

TEST_F(InterruptedOpen, GivingUpReportsTheInterruption) {
  alarm_soon();
  const auto start = std::chrono::steady_clock::now();
  auto read = read_file(fifo_, give_up);
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(read.error().interrupted);
  EXPECT_EQ(read.error().code, 0);
  EXPECT_EQ(retries_asked, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(InterruptedOpen, RetryingWaitsForTheWriter) {
  // The writer comes after the signal; the open is retried and then succeeds.
  // The writer thread starts with SIGALRM blocked, so that the signal reaches
  // the blocked open.
  sigset_t alarm_only, before;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  ::pthread_sigmask(SIG_BLOCK, &alarm_only, &before);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int fd = ::open(fifo_.c_str(), O_WRONLY);
    ASSERT_EQ(::write(fd, "late", 4), 4);
    ::close(fd);
  });
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  alarm_soon();
  auto read = read_file(fifo_, retry_once);
  writer.join();
  ASSERT_TRUE(read.ok()) << read.error().display();
  EXPECT_EQ(text_of(read.value()), "late");
  EXPECT_EQ(retries_asked, 1);
}

}  // namespace
}  // namespace velq
