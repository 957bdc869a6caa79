// The worker pool must not change anything observable: the pooled tool and
// the one-file-at-a-time build give byte-identical results on awkward trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cctype>

#include <sys/mount.h>

#include "baseline/entries.h"
#include "bootpath/grub_tools.h"
#include "support/worker_pool.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"

namespace {

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::write_file;
using oracle::without_times;

using sandbox::fakes;

struct Outcome {
  std::string out, document, path_list, log;
  std::vector<std::vector<std::string>> runs;
};

// A tree with duplicates by boot path, a symbolic link, a dangling link (a
// missing file), untranslatable files and files that fail to open, scattered.
// The fakes answer as the GRUB tools do, per filesystem and per directory:
// a file answered unlike its neighbours sits alone in its own directory, and
// the files the probe cannot place fill a filesystem of their own.
void make_awkward_tree() {
  fs::create_directories("/boot/grub/x86_64-efi");
  for (int i = 0; i < 60; ++i) {
    std::string path = "/boot/grub/x86_64-efi/m" + std::to_string(i) + ".mod";
    write_file(path, std::string(100 + i * 37, static_cast<char>('a' + i % 26)));
    if (i % 11 == 5) {
      std::string alias = "/boot/grub/alias" + std::to_string(i) + "/m.mod";
      write_file(alias, "alias");
      fakes().answer("grub-mkrelpath", alias, "/grub/x86_64-efi/m0.mod\n");
    }
  }
  fs::create_directories("/boot/grub/unplaced");
  ASSERT_EQ(mount("tmpfs", "/boot/grub/unplaced", "tmpfs", 0, "mode=0755"), 0);
  for (int i = 0; i < 3; ++i) {
    std::string path = "/boot/grub/unplaced/u" + std::to_string(i) + ".mod";
    write_file(path, "unplaced");
    fakes().answer("grub-probe", path, "");
  }
  fs::create_symlink("/boot/grub/x86_64-efi/m1.mod", "/boot/grub/x86_64-efi/link.mod");
  fs::create_symlink("/boot/grub/x86_64-efi/gone", "/boot/grub/x86_64-efi/dangling.mod");
  fs::create_directory("/boot/grub/x86_64-efi/dir.mod");
  write_file("/boot/grub/lone/late.mod", "translates at first");
  write_file("/boot/vmlinuz-6.1.0", std::string(3 << 20, 'k'));
  write_file("/boot/initrd.img-6.1.0", std::string(5 << 20, 'i'));
  write_file("/boot/grub/grub.cfg", "menuentry\n");
}

Outcome run(const char* binary, const std::vector<std::string>& args) {
  fakes().clear_records();
  auto result = sandbox::run(binary, args, fakes().path_variable());
  Outcome outcome{without_times(result.out), without_times(read_file("/boot/.vemobase")), read_file("/boot/.vemobase.tmp"),
                  without_times(read_file("/etc/tavel_trusted/.vemo.log")), fakes().records()};
  std::sort(outcome.runs.begin(), outcome.runs.end());
  fs::remove("/etc/tavel_trusted/.vemo.log");
  return outcome;
}

// Compared as booleans so a difference does not flood the report; the first
// differing line is shown instead.
std::string first_difference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  size_t line = a.rfind('\n', at);
  line = line == std::string::npos ? 0 : line + 1;
  return "pooled: " + a.substr(line, 120) + "\none at a time: " + b.substr(line, 120);
}

// The pooled tool reuses the GRUB tools' answers per filesystem and
// directory, so it runs fewer programs, but never one the reference did not.
void expect_same(const Outcome& pooled, const Outcome& single) {
  EXPECT_TRUE(pooled.out == single.out) << first_difference(pooled.out, single.out);
  EXPECT_TRUE(pooled.document == single.document) << first_difference(pooled.document, single.document);
  EXPECT_TRUE(pooled.path_list == single.path_list) << first_difference(pooled.path_list, single.path_list);
  EXPECT_TRUE(pooled.log == single.log) << first_difference(pooled.log, single.log);
  EXPECT_TRUE(std::includes(single.runs.begin(), single.runs.end(), pooled.runs.begin(), pooled.runs.end()))
      << "the outside programs must see the same arguments";
  EXPECT_LT(pooled.runs.size(), single.runs.size() / 4) << "answers are reused";
}

TEST(MeasurementPool, InitialisationMatchesOneFileAtATime) {
  make_awkward_tree();
  Outcome single = run(ZOVEMO_SEQUENTIAL_BINARY, {"-i"});
  Outcome pooled = run(ZOVEMO_BINARY, {"-i"});
  expect_same(pooled, single);
  EXPECT_NE(single.log.find("already measured"), std::string::npos);
  EXPECT_NE(single.log.find("skip link"), std::string::npos);
  EXPECT_NE(single.log.find("init add"), std::string::npos);
}

TEST(MeasurementPool, UpdateAllMatchesOneFileAtATime) {
  make_awkward_tree();
  sandbox::run_tool({"-i"});
  fs::remove("/etc/tavel_trusted/.vemo.log");
  // Files change, vanish and stop translating after initialisation.
  write_file("/boot/grub/x86_64-efi/m3.mod", "changed");
  fs::remove("/boot/grub/x86_64-efi/m7.mod");
  fakes().answer("grub-mkrelpath", "/boot/grub/lone/late.mod", "");
  std::string document = read_file("/boot/.vemobase");
  Outcome single = run(ZOVEMO_SEQUENTIAL_BINARY, {"-u", "--all"});
  write_file("/boot/.vemobase", document);
  Outcome pooled = run(ZOVEMO_BINARY, {"-u", "--all"});
  expect_same(pooled, single);
  EXPECT_NE(single.log.find("all:upd"), std::string::npos);
}

TEST(MeasurementPool, CommitsInOrderWithBoundedLookahead) {
  fs::create_directories("/boot/grub");
  ASSERT_EQ(set_command(), 0);
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) paths.push_back("/boot/p" + std::to_string(i));
  measurement_workers = 4;
  std::vector<size_t> order;
  for_each_prepared(paths, [&](size_t i, const PreparedFile& prepared) {
    order.push_back(i);
    EXPECT_TRUE(prepared.translated);
    EXPECT_EQ(prepared.boot_path, "(hd0,gpt2)" + paths[i]);
    EXPECT_EQ(prepared.measurement.outcome, MeasureOutcome::kMissing);
  });
  measurement_workers = 0;
  ASSERT_EQ(order.size(), paths.size());
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
