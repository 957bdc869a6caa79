// The tool log's format, file mode and limits, and the small text utilities.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <cctype>

#include "baseline/files.h"
#include "baseline/policy.h"
#include "harness/sandbox.h"
#include "support/tool_log.h"

namespace {

const char* const kLog = "/etc/tavel_trusted/.vemo.log";

TEST(ToolLog, EntryIsLabelTimeStampAndMessageInOneLine) {
  writeLog(1, "x\n");
  writeLog(0, "main:%s() %d\n", "f", 7);
  auto lines = sandbox::log_lines();
  ASSERT_EQ(lines.size(), 2u);
  // "[ERROR] [YYYY-MM-DD hh:mm:ss] x"
  const std::string shape = "[ERROR] [dddd-dd-dd dd:dd:dd] x";
  ASSERT_EQ(lines[0].size(), shape.size()) << lines[0];
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd') EXPECT_TRUE(isdigit(static_cast<unsigned char>(lines[0][i]))) << lines[0];
    else EXPECT_EQ(lines[0][i], shape[i]) << lines[0];
  }
  EXPECT_EQ(lines[1].substr(0, 7), "[INFO] ");
  EXPECT_EQ(lines[1].substr(lines[1].size() - 12), "] main:f() 7");
}

TEST(ToolLog, CreatedWithMode0664LessUmaskAndAppendedAcrossRuns) {
  mode_t old_mask = umask(022);
  writeLog(0, "first\n");
  umask(old_mask);
  struct stat info {};
  ASSERT_EQ(stat(kLog, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  reset_tool_log();  // as a new process would
  writeLog(0, "second\n");
  auto lines = sandbox::log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("second"), std::string::npos);
}

TEST(ToolLog, OverlongEntryIsDroppedWholeAndCreatesNothing) {
  std::string message(4095, 'm');
  writeLog(0, "%s", message.c_str());
  EXPECT_FALSE(sandbox::exists(kLog));
  // A message that fits only without the prefix is dropped too: no entry is ever cut.
  std::string almost(4095 - 20, 'm');
  writeLog(0, "%s\n", almost.c_str());
  EXPECT_FALSE(sandbox::exists(kLog));
  writeLog(0, "fits\n");
  EXPECT_EQ(sandbox::log_lines().size(), 1u);
}

TEST(ToolLog, MissingDirectoryIsSilent) {
  // The directory is private to this test process (see the sandbox).
  umount2("/etc/tavel_trusted", MNT_DETACH);
  ASSERT_EQ(rmdir("/etc/tavel_trusted"), 0);
  writeLog(1, "lost\n");
  EXPECT_FALSE(sandbox::exists(kLog));
}

TEST(ToolLog, TimeStampIsLocalTimeZeroPadded) {
  const char* old_zone = getenv("TZ");
  std::string saved = old_zone ? old_zone : "";
  setenv("TZ", "UTC-9", 1);  // nine hours east of UTC, whatever the machine uses
  tzset();
  time_t now = time(nullptr);
  std::string stamp = getSysTime();
  struct tm local {};
  localtime_r(&now, &local);
  char expected[96];
  snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  struct tm utc {};
  gmtime_r(&now, &utc);
  EXPECT_EQ(local.tm_hour, (utc.tm_hour + 9) % 24);
  // The stamp may fall on the next second; compare down to the minute.
  EXPECT_EQ(stamp.substr(0, 16), std::string(expected).substr(0, 16));
  EXPECT_EQ(stamp.size(), 19u);
  EXPECT_STREQ(get_buffer_time(), stamp.c_str());
  if (old_zone) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// A clock far off gives a stamp of the usual form, never a negative year.
TEST(ToolLog, TimeStampOfAClockFarOffStaysInItsForm) {
  EXPECT_EQ(local_time_stamp(static_cast<time_t>(1) << 50), "9999-12-31 23:59:59");
  EXPECT_EQ(local_time_stamp(static_cast<time_t>(1) << 62), "9999-12-31 23:59:59");
  EXPECT_EQ(local_time_stamp(-(static_cast<time_t>(1) << 62)), "0000-01-01 00:00:00");
  EXPECT_EQ(local_time_stamp(86400 * 365).size(), 19u);
}

// The C library reads the zone file TZ names; a FIFO would hang the stamp.
TEST(ToolLog, TimeZoneThatNamesAFifoOrDeviceIsIgnored) {
  std::string fifo = sandbox::scratch_dir() + "/zone";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  sandbox::write_file(sandbox::scratch_dir() + "/regular", "");
  struct Case {
    std::string zone;
    bool kept;
  } cases[] = {{":" + fifo, false}, {fifo, false}, {":/dev/zero", false}, {"UTC-9", true},
               {":" + sandbox::scratch_dir() + "/regular", true}};
  for (const auto& c : cases) {
    setenv("TZ", c.zone.c_str(), 1);
    std::string said = ignore_time_zone_not_in_a_file();
    EXPECT_EQ(getenv("TZ") != nullptr, c.kept) << c.zone;
    EXPECT_EQ(said.empty(), c.kept) << said;
    EXPECT_EQ(getSysTime()[4], '-') << "a stamp, at once";
  }
  unsetenv("TZ");
  tzset();
}

TEST(ToolUtilities, BaseNamesIntegersAndPaths) {
  struct Case {
    const char* path;
    const char* base;
  } cases[] = {{"/boot/grub/grub.cfg", "grub.cfg"}, {"vmlinuz", "vmlinuz"}, {"/boot/", ""}, {"", ""}};
  for (const auto& c : cases) {
    char* base = getFilename(c.path);
    EXPECT_STREQ(base, c.base);
    free(base);
  }
  std::string long_name(5000, 'n');
  char* base = getFilename(("/boot/" + long_name).c_str());
  EXPECT_EQ(base, long_name);
  free(base);

  EXPECT_STREQ(int_to_string(0), "0");
  EXPECT_STREQ(int_to_string(-5), "0");
  EXPECT_STREQ(int_to_string(2147483647), "2147483647");
  EXPECT_STREQ(int_to_string(40), "40");

  EXPECT_EQ(verifyPath("/boot/missing"), -1);
  sandbox::write_file("/boot/file", "x");
  EXPECT_EQ(verifyPath("/boot/file"), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(verifyPath("/boot"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "/boot is a dir\n");
  // The shared buffer is handed out as the last getter left it, not cleared.
  sandbox::write_file(kBaselinePath, R"({"trust_startup":"on","arrest_mode":"log","list":[]})");
  const char* value = get_trust_startup();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(get_retVal(), value);
  EXPECT_STREQ(get_retVal(), "on");
}

}  // namespace
