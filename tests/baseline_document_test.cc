// The baseline document: exact bytes, atomic and checked saves, the lock,
// and damaged documents that must never crash a command.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "baseline/document.h"
#include "harness/sandbox.h"
#include "baseline/policy.h"
#include "support/tool_log.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> boot_entries() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/boot")) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BaselineDocument, NewDocumentHasThreeMembersInOrder) {
  init_json();
  EXPECT_STREQ(json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN),
               R"({"trust_startup":"on","arrest_mode":"log","list":[]})");
  EXPECT_EQ(json_object_array_length(file_list), 0u);
  release_json();
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(file_list, nullptr);
}

TEST(BaselineDocument, SaveWritesExactlyWhatJsonCsFileWriterWrites) {
  init_json();
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "grub_path", json_object_new_string("(hd0,gpt2)/grub/grub.cfg"));
  json_object_object_add(entry, "file_type", json_object_new_string("配置文件"));
  json_object_object_add(entry, "odd", json_object_new_string("tab\t\"quote\" back\\slash"));
  json_object_array_add(file_list, entry);
  ASSERT_EQ(save_json(), 0);
  json_object_to_file_ext("/boot/reference", root, JSON_C_TO_STRING_PRETTY);
  std::string saved = sandbox::read_file(kBaselinePath);
  EXPECT_EQ(saved, sandbox::read_file("/boot/reference"));
  EXPECT_NE(saved.find(R"(\/grub\/grub.cfg)"), std::string::npos) << "slashes stay escaped";
  release_json();
}

TEST(BaselineDocument, LoadRefusesDamagedDocumentsWithoutCrashing) {
  struct Case {
    const char* name;
    std::string content;
    const char* log;
    const char* reason;  // on standard error
  } cases[] = {
      {"empty file", "", "root is NULL", "cannot parse"},
      {"not JSON", "\x01\x02garbage{{", "root is NULL", "cannot parse"},
      {"array at top", "[1,2,3]", "file_list is NULL", "top level is not an object"},
      {"no list", R"({"trust_startup":"on"})", "file_list is NULL", "has no \"list\""},
      {"list not an array", R"({"list":{"a":1}})", "file_list is not an array", "\"list\" is not an array"},
      {"list a string", R"({"list":"x"})", "file_list is not an array", "\"list\" is not an array"},
      {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), "root is NULL", "cannot parse"},
      {"list twice", R"({"list":[{"sys_path":"\/boot\/a"}], "li\u0073t":[]})", "root is NULL",
       "member \"list\" appears twice"},
      {"entry member twice", R"({"list":[{}, {"pcr":"8","pcr":"9"}]})", "root is NULL",
       "entry 2's \"pcr\" appears twice"},
      {"trailing data", "{\"list\":[]}\n{\"list\":[]}\n", "root is NULL", "data follows the document"},
  };
  for (const auto& c : cases) {
    sandbox::write_file(kBaselinePath, c.content);
    fs::remove("/etc/tavel_trusted/.vemo.log");
    reset_tool_log();
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_json(), -1) << c.name;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.reason), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(root, nullptr) << c.name;
    auto log = sandbox::log_lines();
    ASSERT_FALSE(log.empty()) << c.name;
    EXPECT_NE(log.back().find(c.log), std::string::npos) << c.name << ": " << log.back();
    EXPECT_EQ(sandbox::read_file(kBaselinePath), c.content) << c.name;
    release_json();
  }
}

// A FIFO would block the command under the lock for ever, a link to a device
// would be read without end: both are refused at once, as the writes refuse
// them, and so is a document beyond the size bound.
TEST(BaselineDocument, LoadRefusesWhatIsNotARegularFileOrTooLarge) {
  struct Case {
    const char* name;
    void (*plant)();
    const char* reason;
  } cases[] = {
      {"fifo", [] { ASSERT_EQ(mkfifo(kBaselinePath, 0600), 0); }, "not a regular file"},
      {"link to /dev/zero", [] { fs::create_symlink("/dev/zero", kBaselinePath); }, "refuse symbolic link"},
      {"too large",
       [] {
         sandbox::write_file(kBaselinePath, "{\"list\":[]}");
         fs::resize_file(kBaselinePath, kBaselineDocumentLimit + 1);
       },
       "larger than"},
  };
  for (const auto& c : cases) {
    fs::remove(kBaselinePath);
    c.plant();
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_json(), -1) << c.name;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(root, nullptr) << c.name;
    EXPECT_NE(err.find(c.reason), std::string::npos) << c.name << ": " << err;
    std::string why_not;
    EXPECT_EQ(read_baseline_document(&why_not), nullptr) << c.name;
    EXPECT_NE(why_not.find(kBaselinePath), std::string::npos) << c.name << ": " << why_not;
    release_json();
  }
  fs::remove(kBaselinePath);
}

TEST(BaselineDocument, DamagedValuesAreHandledByTheCommands) {
  // "trust_startup" as a number counts as not on; entries that are not objects stay as they are.
  sandbox::write_file(kBaselinePath, R"({"trust_startup":5,"arrest_mode":"log","list":[1,"x",null]})");
  EXPECT_EQ(sandbox::run_tool({"-p", "-v", "1"}).out, "start trust_startup first\nset arrest mode failed\n");
  EXPECT_EQ(sandbox::run_tool({"-b", "-v", "1"}).out, "");
  json_object* document = json_object_from_file(kBaselinePath);
  ASSERT_NE(document, nullptr);
  EXPECT_STREQ(json_object_get_string(json_object_object_get(document, "trust_startup")), "on");
  EXPECT_EQ(json_object_array_length(json_object_object_get(document, "list")), 3u);
  json_object_put(document);
}

TEST(BaselineDocument, LargeDocumentRoundTrips) {
  init_json();
  for (int i = 0; i < 150000; ++i) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "grub_path",
                           json_object_new_string(("(hd0,gpt2)/grub/x86_64-efi/module" + std::to_string(i)).c_str()));
    json_object_object_add(entry, "measure_base_value", json_object_new_string(std::string(64, 'a').c_str()));
    json_object_object_add(entry, "time", json_object_new_string("2026-12-08 04:00:00"));
    json_object_array_add(file_list, entry);
  }
  ASSERT_EQ(save_json(), 0);
  release_json();
  ASSERT_GT(fs::file_size(kBaselinePath), 30u * 1000 * 1000);
  EXPECT_EQ(sandbox::run_tool({"-b", "-v", "0"}).out, "");
  ASSERT_EQ(get_json(), 0);
  EXPECT_EQ(json_object_array_length(file_list), 150000u);
  release_json();
}

TEST(BaselineDocument, FailedSaveIsReportedAndKeepsThePreviousDocument) {
  init_json();
  ASSERT_EQ(save_json(), 0);
  release_json();
  std::string before = sandbox::read_file(kBaselinePath);

  sandbox::set_boot_read_only(true);
  auto result = sandbox::run_tool({"-b", "-v", "0"});
  sandbox::set_boot_read_only(false);
  EXPECT_EQ(result.out, "set trust startup failed\n");
  EXPECT_EQ(sandbox::read_file(kBaselinePath), before);
  auto log = sandbox::log_lines();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("[ERROR]"), std::string::npos);
  EXPECT_NE(log.back().find("save failed"), std::string::npos);
  EXPECT_EQ(boot_entries(), std::vector<std::string>{".vemobase"});
}

TEST(BaselineDocument, FullDiskLeavesNoPartialFileAndNoTemporary) {
  sandbox::remount_boot(64 * 1024);
  init_json();
  ASSERT_EQ(save_json(), 0);
  std::string before = sandbox::read_file(kBaselinePath);
  for (int i = 0; i < 2000; ++i) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "grub_path", json_object_new_string(std::string(100, 'p').c_str()));
    json_object_array_add(file_list, entry);
  }
  EXPECT_EQ(save_json(), -1);
  release_json();
  EXPECT_EQ(sandbox::read_file(kBaselinePath), before);
  EXPECT_EQ(boot_entries(), std::vector<std::string>{".vemobase"});
  sandbox::remount_boot(0);
}

TEST(BaselineDocument, ParallelPolicyChangesAreSerialisedByTheLock) {
  init_json();
  // A large list makes each load-change-save slow enough to overlap.
  for (int i = 0; i < 20000; ++i) json_object_array_add(file_list, json_object_new_string("entry"));
  ASSERT_EQ(save_json(), 0);
  release_json();
  // Half the runs turn the arrest mode to "dialog", half re-save trusted
  // start-up "on"; a -b run that loaded before a -p run saved would, without
  // the lock, write "log" back over "dialog".
  for (int round = 0; round < 3; ++round) {
    sandbox::run_tool({"-b", "-v", "0"});  // resets the arrest mode to "log"
    sandbox::run_tool({"-b", "-v", "1"});
    std::vector<std::thread> runs;
    for (int i = 0; i < 12; ++i) {
      runs.emplace_back([i] { sandbox::run_tool({i % 2 ? "-p" : "-b", "-v", "1"}); });
    }
    for (auto& run : runs) run.join();
    ASSERT_EQ(get_json(), 0);
    EXPECT_STREQ(json_object_get_string(json_object_object_get(root, "trust_startup")), "on");
    EXPECT_STREQ(json_object_get_string(json_object_object_get(root, "arrest_mode")), "dialog") << round;
    EXPECT_EQ(json_object_array_length(file_list), 20000u);
    release_json();
  }
  EXPECT_EQ(boot_entries(), std::vector<std::string>{".vemobase"});
}

// A command that holds the baseline too long (hung, stopped) makes the next
// fail after a fixed wait, naming the holder, instead of waiting for ever.
TEST(BaselineDocument, LockHeldTooLongFailsNamingItsHolder) {
  std::string why_not;
  int held = open_private_lock(kBaselineLockPath, &why_not);
  ASSERT_EQ(flock(held, LOCK_EX), 0) << why_not;
  set_baseline_lock_seconds_for_testing(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lock_baseline(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  set_baseline_lock_seconds_for_testing(0);
  EXPECT_TRUE(sandbox::log_has("the baseline is busy: its lock /run/zovemo/baseline.lock is held by process " +
                               std::to_string(getpid()) + " (zovemo_tests) for more than 1 seconds"));
  close(held);
  EXPECT_EQ(lock_baseline(), 0);
  unlock_baseline();
  struct stat info {};
  ASSERT_EQ(lstat(kLockDirectory, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat(kBaselineLockPath, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // A lock open to others is refused, never used.
  chmod(kBaselineLockPath, 0644);
  EXPECT_EQ(lock_baseline(), -1);
  EXPECT_TRUE(sandbox::log_has("/run/zovemo/baseline.lock is open to other users (mode 0644)"));
  fs::remove_all(kLockDirectory);
  fs::create_directory_symlink("/tmp", kLockDirectory);
  EXPECT_EQ(lock_baseline(), -1);
  fs::remove(kLockDirectory);
}

TEST(BaselineDocument, CheckRepeatComparesPrefixes) {
  EXPECT_EQ(checkRepeat("/boot/a"), -1);
  sandbox::write_file(kPathListPath, "/boot/grub/grub.cfg\n/boot/a.bak\n");
  EXPECT_EQ(checkRepeat("/boot/a"), 1);
  EXPECT_EQ(checkRepeat("/boot/grub/grub.cfg"), 1);
  EXPECT_EQ(checkRepeat("/boot/b"), 0);
}

TEST(StartupPolicy, GettersReturnTheirFormsAndDropTheDocument) {
  sandbox::write_file(kBaselinePath, R"({"trust_startup":"on","arrest_mode":"log","list":[]})");
  EXPECT_STREQ(get_trust_startup(), "on");
  EXPECT_EQ(root, nullptr);
  EXPECT_STREQ(get_arrest_mode(), "\"log\"");
  EXPECT_EQ(root, nullptr);
  sandbox::write_file(kBaselinePath, R"({"arrest_mode":")" + std::string(2000, 'd') + R"(","list":[]})");
  EXPECT_EQ(get_trust_startup(), nullptr);
  EXPECT_EQ(get_arrest_mode(), nullptr) << "a value that does not fit retVal is refused, not cut";
  fs::remove(kBaselinePath);
  EXPECT_EQ(get_trust_startup(), nullptr);
}

TEST(StartupPolicy, SettersRefuseUnknownModesWithoutLoading) {
  EXPECT_EQ(set_trust_startup("maybe"), -1);
  EXPECT_EQ(set_arrest_mode("loud"), -1);
  auto log = sandbox::log_lines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("[INFO]"), std::string::npos);
  EXPECT_NE(log[0].find("main:set_trust_startup() Not find input Mode: maybe"), std::string::npos);
  EXPECT_NE(log[1].find("main:set_arrest_mode() Not find input Mode: loud"), std::string::npos);
}

}  // namespace
