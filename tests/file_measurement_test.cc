// File measurement: the measurement text against OpenSSL's SM3 over the same
// bytes, retVal after success, absence and failure, the log lines, links,
// special files, read errors, the identity check against a swapped path, and
// size.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "measure/file_measurement.h"
#include "measure/file_measurement_internal.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"
#include "support/tool_log.h"

namespace {

namespace fs = std::filesystem;

std::string oracle_text(const std::string& bytes) { return oracle::sm3_hex(bytes); }

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(n, '\0');
  for (auto& b : bytes) b = static_cast<char>(rng());
  return bytes;
}

// Closes a test's descriptor on every way out of the test.
struct AutoClose {
  int fd;
  ~AutoClose() {
    if (fd >= 0) close(fd);
  }
};

const std::string kEmptyText = "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b";

class FileMeasureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_log();  // the sandbox emptied the log directory
    std::string pattern = sandbox::scratch_dir() + "/measure.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    memset(retVal, 'Q', sizeof retVal);
  }
  void TearDown() override {
    file_measurement_internal::set_after_open_hook(nullptr);
    file_measurement_internal::set_read_function(nullptr);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    sandbox::write_file(path, content);
    return path;
  }

  // retVal holds `text` followed by zeros up to its end.
  static void expect_retval_text(const std::string& text) {
    EXPECT_EQ(std::string(retVal, 64), text);
    for (size_t i = 64; i < sizeof retVal; ++i) ASSERT_EQ(retVal[i], 0) << "byte " << i;
  }
  static void expect_retval_zero() {
    for (size_t i = 0; i < sizeof retVal; ++i) ASSERT_EQ(retVal[i], 0) << "byte " << i;
  }
  static void expect_retval_untouched() {
    for (size_t i = 0; i < sizeof retVal; ++i) ASSERT_EQ(retVal[i], 'Q') << "byte " << i;
  }
  static bool logged(const std::string& message) {
    for (const std::string& line : sandbox::log_lines())
      if (line.rfind("[INFO] [", 0) == 0 && line.size() >= message.size() &&
          line.compare(line.size() - message.size(), message.size(), message) == 0)
        return true;
    return false;
  }

  std::string dir_;
};

TEST_F(FileMeasureTest, ContentsOfEverySizeAroundPiecesAndChunks) {
  constexpr size_t kChunk = file_measurement_internal::kChunkSize;
  for (size_t size : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{128}, kChunk - 1, kChunk,
                      kChunk + 1, 3 * kChunk + 77, size_t{5} << 20}) {
    const std::string content = random_bytes(size, static_cast<uint32_t>(size));
    const std::string path = write("f" + std::to_string(size), content);
    memset(retVal, 'Q', sizeof retVal);
    ASSERT_EQ(SM3_256_PRO(path.c_str()), 0) << size;
    expect_retval_text(oracle_text(content));
  }
}

TEST_F(FileMeasureTest, KnownTexts) {
  EXPECT_EQ(SM3_256_PRO(write("abc", "abc").c_str()), 0);
  expect_retval_text("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  EXPECT_EQ(SM3_256_PRO(write("empty", "").c_str()), 0);
  expect_retval_text(kEmptyText);
  EXPECT_TRUE(sandbox::log_lines().empty());
}

TEST_F(FileMeasureTest, SparseFileHashesItsHolesAsZeros) {
  const std::string path = dir_ + "/sparse";
  {
    const AutoClose file{open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    ASSERT_GE(file.fd, 0);
    const std::string middle = random_bytes(1000, 11);
    ASSERT_EQ(pwrite(file.fd, middle.data(), middle.size(), 3 << 20), static_cast<ssize_t>(middle.size()));
    ASSERT_EQ(ftruncate(file.fd, (7 << 20) + 5), 0);
  }
  std::string expected((7 << 20) + 5, '\0');
  expected.replace(3 << 20, 1000, random_bytes(1000, 11));
  EXPECT_EQ(SM3_256_PRO(path.c_str()), 0);
  expect_retval_text(oracle_text(expected));
}

TEST_F(FileMeasureTest, LinkToAFileIsRefused) {
  const std::string target = write("target", "content");
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(SM3_256_PRO(link.c_str()), -1);
  expect_retval_untouched();
  EXPECT_TRUE(logged("skip link"));
  EXPECT_EQ(measure_file(link.c_str()).outcome, MeasureOutcome::kSymlink);
}

TEST_F(FileMeasureTest, MissingPathAndDanglingLinkAreRefusedWithTheirReason) {
  // Stored as a text, a missing file would pass for measured.
  const std::string link = dir_ + "/dangling";
  ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), link.c_str()), 0);
  for (const std::string& path : {dir_ + "/nowhere", link, dir_ + "/no/such/dir/file"}) {
    EXPECT_EQ(SM3_256_PRO(path.c_str()), -1) << path;
    expect_retval_untouched();
    EXPECT_TRUE(logged("SM3, " + path + " not measured: the file does not exist")) << path;
    const FileMeasurement m = measure_file(path.c_str());
    EXPECT_EQ(m.outcome, MeasureOutcome::kMissing);
    EXPECT_STREQ(m.text, "");
  }
}

// Neither a directory's size nor a device's endless bytes are contents.
TEST_F(FileMeasureTest, DirectoryAndDeviceAreRefusedAsNotRegularFiles) {
  const std::string sub = dir_ + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  write("sub/a", "x");
  for (const auto& [path, reason] : {std::pair<std::string, std::string>{sub, "a directory, not a regular file"},
                                     {"/dev/zero", "a character device, not a regular file"}}) {
    memset(retVal, 'Q', sizeof retVal);
    EXPECT_EQ(SM3_256_PRO(path.c_str()), -1) << path;
    expect_retval_untouched();
    const FileMeasurement m = measure_file(path.c_str());
    EXPECT_EQ(m.outcome, MeasureOutcome::kNotRegular) << path;
    EXPECT_EQ(describe_failure(m), reason);
  }
}

TEST_F(FileMeasureTest, FifoWithoutWriterDoesNotBlock) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(SM3_256_PRO(fifo.c_str()), -1);
  expect_retval_untouched();
  EXPECT_TRUE(logged("SM3, " + fifo + " not measured: a FIFO, not a regular file"));
}

// The second read fails as a failing disk would: zeros in place of the
// unread bytes must not become a text.
int reads_seen = 0;
ssize_t read_failing_from_the_second(int fd, void* buffer, size_t count) {
  if (++reads_seen >= 2) {
    errno = EIO;
    return -1;
  }
  return read(fd, buffer, count);
}

TEST_F(FileMeasureTest, ReadErrorIsAFailureWithItsErrno) {
  const std::string path =
      write("failing", random_bytes(3 * file_measurement_internal::kChunkSize, 5));
  reads_seen = 0;
  file_measurement_internal::set_read_function(read_failing_from_the_second);
  EXPECT_EQ(SM3_256_PRO(path.c_str()), -1);
  expect_retval_untouched();
  EXPECT_TRUE(logged("SM3, " + path + " not measured: a read failed (Input/output error)"));
  reads_seen = 0;
  const FileMeasurement m = measure_file(path.c_str());
  EXPECT_EQ(m.outcome, MeasureOutcome::kReadFailed);
  EXPECT_EQ(m.error, EIO);
}

TEST_F(FileMeasureTest, UnopenableFileFailsWithItsLogLine) {
  // A socket exists but cannot be opened, even by root.
  const std::string path = dir_ + "/socket";
  const AutoClose sock{socket(AF_UNIX, SOCK_STREAM, 0)};
  ASSERT_GE(sock.fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(SM3_256_PRO(path.c_str()), -1);
  expect_retval_untouched();
  EXPECT_TRUE(logged("SM3, fopen " + path + " failed"));
}

TEST_F(FileMeasureTest, ReadsFallingShortOfTheSizeCountAsZeros) {
  // sysfs attributes report a size of a page but deliver only their text.
  const char* const candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                                    "/sys/devices/system/cpu/online", "/sys/kernel/profiling"};
  for (const char* path : candidates) {
    struct stat info {};
    if (lstat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) continue;
    const std::string text = sandbox::read_file(path);
    if (text.empty() || text.size() >= static_cast<size_t>(info.st_size)) continue;
    std::string expected = text;
    expected.resize(static_cast<size_t>(info.st_size), '\0');
    // Leaves other bytes in the read buffer first, so that only zeros
    // written in place of the missing bytes give the right text.
    ASSERT_EQ(SM3_256_PRO(write("filler", random_bytes(size_t{1} << 20, 12)).c_str()), 0);
    EXPECT_EQ(SM3_256_PRO(path), 0);
    expect_retval_text(oracle_text(expected));
    return;
  }
  GTEST_SKIP() << "no sysfs attribute to read here";
}

TEST_F(FileMeasureTest, NothingBeyondTheReportedSizeIsRead) {
  // procfs files report size 0 whatever they hold.
  struct stat info {};
  ASSERT_EQ(lstat("/proc/self/status", &info), 0);
  ASSERT_EQ(info.st_size, 0);
  EXPECT_EQ(SM3_256_PRO("/proc/self/status"), 0);
  expect_retval_text(kEmptyText);
}

// The identity check: the path is swapped right after the open, so what the
// lstat examines is not what was opened.
std::string swap_source;
void swap_in_other_file(const char* path) { ASSERT_EQ(rename(swap_source.c_str(), path), 0); }
void swap_in_link(const char* path) {
  ASSERT_EQ(unlink(path), 0);
  ASSERT_EQ(symlink(swap_source.c_str(), path), 0);
}

TEST_F(FileMeasureTest, PathSwappedForAnotherFileIsNotMeasured) {
  const std::string path = write("watched", "examined content");
  swap_source = write("other", "other content");
  file_measurement_internal::set_after_open_hook(swap_in_other_file);
  EXPECT_EQ(SM3_256_PRO(path.c_str()), -1);
  expect_retval_untouched();
  EXPECT_TRUE(logged("SM3, " + path + " changed while measured"));
  EXPECT_EQ(sandbox::read_file(path), "other content");  // the swap did happen
}

// A file truncated while it is read: measured again once and stored as what
// it holds then; one that changes at every read is not measured at all.
std::string changing_path;
int truncations_left = 0;
ssize_t read_then_truncate(int fd, void* buffer, size_t count) {
  const ssize_t got = read(fd, buffer, count);
  if (truncations_left > 0 && got > 0) {
    --truncations_left;
    EXPECT_EQ(truncate(changing_path.c_str(), static_cast<off_t>(file_measurement_internal::kChunkSize / 2)), 0);
  }
  return got;
}

TEST_F(FileMeasureTest, FileThatChangesWhileReadIsMeasuredAgainOrRefused) {
  const std::string content = random_bytes(3 * file_measurement_internal::kChunkSize, 7);
  changing_path = write("changing", content);
  file_measurement_internal::set_read_function(read_then_truncate);
  truncations_left = 1;
  FileMeasurement m = measure_file(changing_path.c_str());
  ASSERT_EQ(m.outcome, MeasureOutcome::kMeasured);
  EXPECT_EQ(m.text, oracle_text(content.substr(0, file_measurement_internal::kChunkSize / 2)));
  sandbox::write_file(changing_path, content);
  truncations_left = 2;
  m = measure_file(changing_path.c_str());
  EXPECT_EQ(m.outcome, MeasureOutcome::kChanged);
  EXPECT_EQ(describe_failure(m), "the file kept changing while it was measured");
}

TEST_F(FileMeasureTest, PathSwappedForALinkIsRefusedAsALink) {
  const std::string path = write("watched", "examined content");
  swap_source = write("other", "other content");
  file_measurement_internal::set_after_open_hook(swap_in_link);
  EXPECT_EQ(measure_file(path.c_str()).outcome, MeasureOutcome::kSymlink);
}

TEST_F(FileMeasureTest, ConcurrentMeasurementsLeaveSharedStateAlone) {
  std::vector<std::string> paths, expected;
  for (int i = 0; i < 4; ++i) {
    const std::string content = random_bytes(300000 + i * 1001, 20 + i);
    paths.push_back(write("t" + std::to_string(i), content));
    expected.push_back(oracle_text(content));
  }
  std::vector<std::string> got(paths.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < paths.size(); ++i)
    threads.emplace_back([&, i] {
      std::string first;
      for (int round = 0; round < 5; ++round) {
        const FileMeasurement m = measure_file(paths[i].c_str());
        const std::string text = m.outcome == MeasureOutcome::kMeasured ? m.text : "not measured";
        if (round == 0) first = text;
        if (text != first) first = "differs between rounds";
      }
      got[i] = first;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(got, expected);
  expect_retval_untouched();
  EXPECT_TRUE(sandbox::log_lines().empty());
}

#if defined(__SANITIZE_THREAD__)
#define ZOVEMO_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZOVEMO_UNDER_TSAN 1
#endif
#endif

// Over 4 GiB: a size kept in 32 bits would measure only the tail. The file is
// sparse (cheap on tmpfs); the expected text is OpenSSL's SM3 over the same
// bytes, 2^32 zeros then bytes (37 i + 11) mod 256 for i = 0..99, computed
// once with `openssl dgst -sm3` because hashing 4 GiB twice per run is slow.
// About 10 to 15 s, also under AddressSanitizer; ThreadSanitizer, which checks
// every access of the compression's tables, would take close to a minute.
TEST_F(FileMeasureTest, FileOverFourGiBIsMeasuredWhole) {
#ifdef ZOVEMO_UNDER_TSAN
  GTEST_SKIP() << "hashing 4 GiB takes too long under ThreadSanitizer";
#endif
  const std::string path = dir_ + "/huge";
  {
    const AutoClose file{open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    ASSERT_GE(file.fd, 0);
    std::string tail(100, '\0');
    for (int i = 0; i < 100; ++i) tail[static_cast<size_t>(i)] = static_cast<char>((i * 37 + 11) & 255);
    ASSERT_EQ(pwrite(file.fd, tail.data(), tail.size(), off_t{1} << 32), 100);
  }
  EXPECT_EQ(SM3_256_PRO(path.c_str()), 0);
  expect_retval_text("d6c1054ddde4ffa239e9f76a86a8c104a8b4487fcaf08cd76f2338bbc3e3957b");
}

}  // namespace
