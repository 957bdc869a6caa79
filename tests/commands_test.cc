// The measurement commands end to end: the real executable in the sandbox
// with the fake GRUB tools, checked against independently computed values.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "baseline/document.h"
#include "harness/document.h"
#include "baseline/discovery.h"
#include "harness/crash_points.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"
#include "support/visible_text.h"

namespace {

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::run_tool;
using sandbox::write_file;

using sandbox::fakes;

using oracle::lines_of;
using oracle::sm3_hex;

std::vector<std::string> path_list() { return lines_of(read_file("/boot/.vemobase.tmp")); }

using stored::entries;

std::string policy(const char* name) { return stored::top_member(name); }

std::vector<std::string> stray_files() {
  std::vector<std::string> stray;
  for (const auto& entry : fs::directory_iterator("/boot")) {
    std::string name = entry.path().filename();
    if (name.find(".new-") != std::string::npos || name == ".vemobase.swp") stray.push_back(name);
  }
  return stray;
}

using sandbox::log_has;

// Every entry matches its file on disk and the path list names the same files in the same order.
void expect_in_step() {
  auto list = path_list();
  auto document = entries();
  ASSERT_EQ(list.size(), document.size());
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(document[i].sys_path, list[i]);
    EXPECT_EQ(document[i].grub_path, "(hd0,gpt2)" + list[i]);
    std::string content = read_file(list[i]);
    EXPECT_EQ(document[i].value, fs::exists(list[i]) ? sm3_hex(content) : "") << list[i];
  }
}

// What a run changes in the document, without time stamps: "none" when it
// is missing, "unparsable" when it is damaged.
std::string baseline_summary() {
  if (!fs::exists("/boot/.vemobase")) return "none";
  json_object* document = json_object_from_file("/boot/.vemobase");
  if (document == nullptr) return "unparsable";
  std::string summary = json_object_to_json_string(json_object_object_get(document, "trust_startup"));
  json_object_put(document);
  for (const auto& e : entries()) summary += "\n" + e.grub_path + " " + e.sys_path + " " + e.value + " " + e.pcr;
  return summary;
}

// The path list names exactly the entries, in their order, one per line.
bool path_list_is_entries() {
  std::string expected;
  for (const auto& e : entries()) expected += e.sys_path + "\n";
  return fs::is_regular_file(fs::symlink_status("/boot/.vemobase.tmp")) && read_file("/boot/.vemobase.tmp") == expected;
}

void make_boot_tree() {
  sandbox::make_small_boot_tree();
  write_file("/boot/initramfs-6.1.0-13-amd64kdump.img", "crash kernel ram disk");
  write_file("/boot/vmlinuz-6.1.0-12-amd64", std::string(5000, 'o'));
}

TEST(InitCommand, DiscoversMeasuresAndReservesInOrder) {
  make_boot_tree();
  auto result = run_tool({"-i"});
  ASSERT_EQ(result.status, 0);
  auto list = path_list();
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(std::set<std::string>(list.begin(), list.begin() + 2),
            (std::set<std::string>{"/boot/grub/x86_64-efi/linux.mod", "/boot/grub/x86_64-efi/normal.mod"}));
  EXPECT_EQ(std::vector<std::string>(list.begin() + 2, list.end()),
            (std::vector<std::string>{"/boot/vmlinuz-6.1.0-12-amd64", "/boot/vmlinuz-6.1.0-13-amd64",
                                      "/boot/initrd.img-6.1.0-13-amd64", "/boot/grub/grub.cfg"}))
      << "kernels, RAM disks without the crash kernel's, then configuration";
  expect_in_step();
  auto document = entries();
  EXPECT_EQ(document[2].type, "内核文件");
  EXPECT_EQ(document[2].pcr, "9");
  EXPECT_EQ(document[4].type, "初始盘文件");
  EXPECT_EQ(document[5].pcr, "8");
  EXPECT_EQ(document[0].stage, "操作系统");

  std::string expected_out = "---start measure init---\n";
  for (const auto& path : list) expected_out += "measure " + path + "\n";
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(read_file("/boot/.vemolog"), std::string(384 * (6 + 8), '#'));
  EXPECT_EQ(policy("trust_startup"), "on");
  EXPECT_TRUE(stray_files().empty());
}

TEST(InitCommand, FailedFilesAreLeftOutAndLoggedAndAnEmptyDiscoveryMakesNoBaseline) {
  // A baseline that names no file would pass every boot unchecked.
  sandbox::make_dirs("/boot/grub");
  auto empty = run_tool({"-i"});
  EXPECT_EQ(empty.out, "---start measure init---\nmeasure init failed\n");
  EXPECT_NE(empty.err.find("discovery found no boot file under /boot"), std::string::npos) << empty.err;
  for (const char* file : {"/boot/.vemobase", "/boot/.vemobase.tmp", "/boot/.vemolog"}) EXPECT_FALSE(sandbox::exists(file));

  make_boot_tree();
  // Alone in its directory, so no neighbour's answer stands in for it.
  const std::string unplaced = "/boot/grub/odd/unplaced.mod";
  write_file(unplaced, "module");
  fakes().answer("grub-mkrelpath", unplaced, "");
  fs::remove("/boot/grub/grub.cfg");
  fs::create_symlink("/boot/vmlinuz-6.1.0-13-amd64", "/boot/grub/grub.cfg");
  auto result = run_tool({"-i"});
  EXPECT_EQ(result.out.find("measure init failed"), std::string::npos);
  EXPECT_TRUE(log_has("main:create_measurefile() init add \"" + unplaced + "\" failed"));
  EXPECT_TRUE(log_has("main:create_measurefile() init add \"/boot/grub/grub.cfg\" failed"));
  EXPECT_TRUE(log_has("skip link"));
  EXPECT_NE(result.err.find("2 of 7 boot files found are left out of the baseline"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("no boot path: grub-mkrelpath gave no path on the device: " + unplaced), std::string::npos)
      << result.err;
  EXPECT_EQ(path_list().size(), 5u);
  expect_in_step();
  EXPECT_EQ(read_file("/boot/.vemolog").size(), 384u * (5 + 8));
}

// What the document cannot hold is left out and told; what a terminal would
// obey is stored, and shown escaped.
TEST(InitCommand, NamesTheDocumentCannotHoldAreLeftOutAndNoneReachesTheTerminalRaw) {
  make_boot_tree();
  write_file("/boot/grub/x86_64-efi/evil\nname.mod", "m");
  write_file("/boot/grub/x86_64-efi/stray\xff.mod", "m");
  write_file("/boot/grub/x86_64-efi/\xe2\x80\xaeok.mod", "m");
  write_file("/boot/vmlinuz-evil\r\nx", "k");
  std::string odd = "/boot/vmlinuz-6.1 \"q\"\\z\xc3\xbc";  // quotes, backslash, space, UTF-8
  write_file(odd, "odd kernel");
  auto result = run_tool({"-i"});
  EXPECT_NE(result.out.find("measure " + odd + "\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("measure /boot/grub/x86_64-efi/\\u202eok.mod\n"), std::string::npos) << result.out;
  for (const auto& entry : entries()) EXPECT_EQ(entry.sys_path.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(entries().size(), 8u);
  EXPECT_TRUE(is_valid_utf8(read_file("/boot/.vemobase")));
  expect_in_step();
  auto told = lines_of(result.err);
  ASSERT_EQ(told.size(), 2u) << result.err;
  EXPECT_NE(result.err.find("line end cannot be listed, left out (2 files: /boot/grub/x86_64-efi/evil\\nname.mod"),
            std::string::npos) << "shown escaped, on one line";
  EXPECT_NE(result.err.find("not UTF-8 cannot be stored in the baseline document, left out: "
                            "/boot/grub/x86_64-efi/stray\\xff.mod"), std::string::npos);
}

TEST(InitCommand, DuplicateBootPathsKeepTheFirstFile) {
  make_boot_tree();
  // An alias in a directory of its own: GRUB names it like its twin.
  write_file("/boot/grub/alias/linux.mod", "alias");
  fakes().answer("grub-mkrelpath", "/boot/grub/alias/linux.mod", "/boot/grub/x86_64-efi/linux.mod\n");
  run_tool({"-i"});
  auto list = path_list();
  ASSERT_EQ(list.size(), 6u);
  EXPECT_TRUE(log_has("already measured"));
}

TEST(InitCommand, ReinitialisationResetsPoliciesAndDropsAddedFiles) {
  make_boot_tree();
  run_tool({"-i"});
  write_file("/etc/zovemo-added.conf", "added");
  EXPECT_EQ(run_tool({"-a", "/etc/zovemo-added.conf"}).out, "measure /etc/zovemo-added.conf\n");
  run_tool({"-b", "-v", "0"});
  EXPECT_EQ(policy("trust_startup"), "off");
  run_tool({"-i"});
  EXPECT_EQ(policy("trust_startup"), "on");
  EXPECT_EQ(policy("arrest_mode"), "log");
  EXPECT_EQ(path_list().size(), 6u);
  fs::remove("/etc/zovemo-added.conf");
}

TEST(InitCommand, FullBootFailsCleanlyAndKeepsThePreviousBaseline) {
  sandbox::remount_boot(600 * 1024);
  make_boot_tree();
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  std::string document = read_file("/boot/.vemobase");
  std::string listed = read_file("/boot/.vemobase.tmp");
  // Fill the disk so the next baseline cannot be written.
  {
    FILE* filler = fopen("/boot/filler", "w");
    std::string chunk(4096, 'f');
    while (fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size() && fflush(filler) == 0) {
    }
    fclose(filler);
  }
  auto result = run_tool({"-i"});
  EXPECT_NE(result.out.find("measure init failed"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
  EXPECT_EQ(read_file("/boot/.vemobase"), document);
  EXPECT_EQ(read_file("/boot/.vemobase.tmp"), listed) << "the old baseline keeps its own path list";
  EXPECT_TRUE(stray_files().empty());
  EXPECT_EQ(run_tool({"-a", "/boot/grub/grub.cfg"}).out, "measure add failed\n");
  sandbox::remount_boot(0);
}

// A discovery that did not run whole must not shrink the baseline.
TEST(InitCommand, FailedDiscoveryKeepsTheBaselineAndSaysWhy) {
  struct Case {
    const char* name;
    const char* script;  // stands in for find
    const char* told;
  } cases[] = {
      {"find fails without a word", "exit 1", "find /boot -name \"*.mod\" exited with status 1; nothing was changed"},
      {"find is killed", "kill -9 $$", "find /boot -name \"*.mod\" was killed by signal 9"},
      {"find answers nothing", "exit 0", "discovery found no boot file under /boot; nothing was changed"},
  };
  make_boot_tree();
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  std::string baseline = read_file("/boot/.vemobase") + read_file("/boot/.vemobase.tmp") + read_file("/boot/.vemolog");
  auto& fakes = sandbox::FakeTools::instance();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(fakes.dir() + "/find", std::string("#!/bin/sh\n") + c.script + "\n");
    chmod((fakes.dir() + "/find").c_str(), 0755);
    if (std::string(c.script) == "exit 0") {  // and ls names no kernel or RAM disk either
      write_file(fakes.dir() + "/ls", "#!/bin/sh\n[ \"$1\" = --quoting-style=c ] || exec /bin/ls \"$@\"\n");
      chmod((fakes.dir() + "/ls").c_str(), 0755);
    }
    auto result = run_tool({"-i"});
    EXPECT_EQ(result.out, "---start measure init---\nmeasure init failed\n");
    EXPECT_NE(result.err.find(c.told), std::string::npos) << result.err;
    EXPECT_EQ(read_file("/boot/.vemobase") + read_file("/boot/.vemobase.tmp") + read_file("/boot/.vemolog"), baseline);
  }
}

void change_boot_files() {
  write_file("/boot/grub/grub.cfg", "set timeout=1\n");
  write_file("/boot/grub/x86_64-efi/linux.mod", "new module");
}

// Killed at each call that creates, writes, flushes, renames or removes a
// file, then followed by one more command: the document is the old one or
// the new one, and after the next command the path list names exactly the
// entries and no temporary file is left. A repeated add or delete finishes
// what the killed one began.
TEST(CrashSafety, EveryKillPointLeavesAStateTheNextCommandCompletes) {
  std::string reason;
  if (!crash::can_inject(&reason)) GTEST_SKIP() << reason;
  struct Case {
    const char* name;
    std::vector<std::string> setup;  // after -i, before the command
    void (*change)();
    std::vector<std::string> command;
    std::vector<std::string> next;
    bool next_finishes;  // the next command prints what the whole one printed
  } cases[] = {
      {"init", {"-a", "/boot/extra.conf"}, nullptr, {"-i"}, {"-u", "--all"}, false},
      {"add", {}, nullptr, {"-a", "/boot/extra.conf"}, {"-a", "/boot/extra.conf"}, true},
      {"delete", {}, nullptr, {"-d", "/boot/vmlinuz-6.1.0-13-amd64"}, {"-d", "/boot/vmlinuz-6.1.0-13-amd64"}, true},
      {"update all", {}, change_boot_files, {"-u", "--all"}, {"-u", "--all"}, false},
  };
  for (const auto& c : cases) {
    sandbox::reset();
    make_boot_tree();
    write_file("/boot/extra.conf", "extra");
    ASSERT_EQ(run_tool({"-i"}).status, 0);
    if (!c.setup.empty()) {
      ASSERT_EQ(run_tool(c.setup).status, 0);
    }
    if (c.change) c.change();
    auto before = crash::BootFiles::take();
    std::string old_summary = baseline_summary();
    sandbox::RunResult whole;
    auto points = crash::kill_points(c.command, crash::kFileCalls, &whole);
    std::string new_summary = baseline_summary();
    ASSERT_NE(new_summary, old_summary) << c.name;
    ASSERT_GT(points.size(), 5u) << c.name;
    bool repeats = c.next == c.command;
    for (const auto& point : points) {
      SCOPED_TRACE(std::string(c.name) + " killed at " + point.call + " #" + std::to_string(point.number));
      before.restore();
      crash::run_killed(point, c.command);
      std::string after_kill = baseline_summary();
      ASSERT_TRUE(after_kill == old_summary || after_kill == new_summary) << after_kill;
      bool was_finished = after_kill == new_summary && path_list_is_entries();
      auto next = run_tool(c.next);
      EXPECT_EQ(next.status, 0);
      EXPECT_TRUE(path_list_is_entries()) << read_file("/boot/.vemobase.tmp");
      EXPECT_EQ(stray_files(), std::vector<std::string>{});
      EXPECT_EQ(baseline_summary(), repeats ? new_summary : after_kill);
      if (c.next_finishes && !was_finished) {
        EXPECT_EQ(next.out, whole.out) << next.err;
      }
      if (HasFailure()) return;
    }
  }
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    make_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/etc", ignored))
      if (entry.path().filename().string().rfind("zovemo-", 0) == 0) fs::remove_all(entry.path(), ignored);
  }
};

TEST_F(Lifecycle, AddChecksItsArgumentBeforeAnythingChanges) {
  std::string before = read_file("/boot/.vemobase");
  EXPECT_EQ(run_tool({"-a", "boot/x"}).out, "input absolute path\nmeasure add failed\n");
  EXPECT_EQ(run_tool({"-a", "/usr/bin/ls"}).out, "measure add failed\n");
  EXPECT_TRUE(log_has("only measure /boot/* and /etc/*, present path /usr/bin/ls"));
  write_file("/boot/two\nlines", "x");
  EXPECT_EQ(run_tool({"-a", "/boot/two\nlines"}).out, "measure add failed\n");
  EXPECT_TRUE(log_has("line end"));
  EXPECT_EQ(run_tool({"-a", "/boot/grub/grub.cfg"}).out, "measure add failed\n");
  EXPECT_TRUE(log_has("main:zotrust_add() \"/boot/grub/grub.cfg\" already measured"));
  EXPECT_EQ(read_file("/boot/.vemobase"), before);
  EXPECT_EQ(path_list().size(), 6u);
}

// Every log entry is one line of the tool's own shape, whatever a path holds.
void expect_log_lines_are_entries() {
  for (const auto& line : sandbox::log_lines()) {
    bool shaped = (line.rfind("[INFO] [", 0) == 0 || line.rfind("[ERROR] [", 0) == 0) && line.size() > 30 &&
                  line[line.find('[', 1) + 20] == ']';
    EXPECT_TRUE(shaped) << line;
    EXPECT_NE(line.rfind("[ERROR] [2026-01-01", 0), 0u) << "a forged entry: " << line;
  }
}

TEST_F(Lifecycle, AddRefusesWhatIsNotARegularFileReallyUnderBootOrEtc) {
  std::string outside = sandbox::scratch_dir() + "/secret";
  write_file(outside, "not for the baseline");
  fs::create_directory_symlink("/", "/boot/rootlink");
  fs::create_directory_symlink(sandbox::scratch_dir(), "/boot/escape");
  ASSERT_EQ(mkfifo("/boot/fifo", 0600), 0);
  ASSERT_EQ(mknod("/boot/null", S_IFCHR | 0600, makedev(1, 3)), 0);
  struct {
    std::string path;
    const char* reason;
  } refused[] = {
      {"/etc/.." + outside, "outside /boot/ and /etc/"},
      {"/boot/rootlink" + outside, "outside /boot/ and /etc/"},
      {"/boot/escape/secret", "outside /boot/ and /etc/"},
      {"/boot/fifo", "not a regular file"},
      {"/boot/null", "not a regular file"},
      {"/boot/grub", "not a regular file"},
      {"/boot/nowhere/../.." + outside, "cannot be resolved"},
      {"/boot/x\n[ERROR] [2026-01-01 00:00:00] forged", "line end"},
  };
  std::string document = read_file("/boot/.vemobase");
  std::string listed = read_file("/boot/.vemobase.tmp");
  for (const auto& r : refused) {
    auto result = run_tool({"-a", r.path});
    EXPECT_EQ(result.out, "measure add failed\n") << r.path;
    ASSERT_EQ(lines_of(result.err).size(), 1u) << r.path << ": " << result.err;
    EXPECT_NE(result.err.find(r.reason), std::string::npos) << result.err;
    EXPECT_TRUE(log_has(r.reason)) << r.path;
  }
  EXPECT_EQ(read_file("/boot/.vemobase"), document);
  EXPECT_EQ(read_file("/boot/.vemobase.tmp"), listed);
  expect_log_lines_are_entries();

  // A link that stays inside /boot is followed, and the path kept as given.
  fs::create_directory_symlink("/boot/grub", "/boot/bootlink");
  write_file("/boot/grub/extra.conf", "extra");
  EXPECT_EQ(run_tool({"-a", "/boot/bootlink/extra.conf"}).out, "measure /boot/bootlink/extra.conf\n");
  EXPECT_EQ(entries().back().sys_path, "/boot/bootlink/extra.conf");
  expect_in_step();
}

TEST_F(Lifecycle, PlantedLinksAreNeverWrittenThroughAndLeftoversGo) {
  std::string victim = sandbox::scratch_dir() + "/victim";
  write_file(victim, "victim");
  write_file("/boot/extra.conf", "extra");
  fs::create_symlink(victim, "/boot/.vemobase.swp");
  EXPECT_EQ(run_tool({"-d", "/boot/grub/grub.cfg"}).out, "delete /boot/grub/grub.cfg\n");
  fs::remove("/boot/.vemobase.tmp");
  fs::create_symlink(victim, "/boot/.vemobase.tmp");
  auto add = run_tool({"-a", "/boot/extra.conf"});
  EXPECT_EQ(add.out, "measure /boot/extra.conf\n");
  EXPECT_NE(add.err.find("path list"), std::string::npos) << add.err;
  fs::remove("/etc/tavel_trusted/.vemo.log");
  fs::create_symlink(victim, "/etc/tavel_trusted/.vemo.log");
  auto refused = run_tool({"-a", "/usr/bin/ls"});
  EXPECT_EQ(refused.out, "measure add failed\n");
  EXPECT_NE(refused.err.find("tool log"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(victim), "victim");
  EXPECT_TRUE(fs::is_symlink("/etc/tavel_trusted/.vemo.log"));
  fs::remove("/etc/tavel_trusted/.vemo.log");
  expect_in_step();

  // What a killed run leaves is removed by the next command, under the lock.
  for (const char* name : {"/boot/.vemobase.new-AbC123", "/boot/.vemolog.new-xYz789", "/boot/.vemobase.swp"})
    write_file(name, "left over");
  EXPECT_EQ(run_tool({"-u", "--all"}).status, 0);
  EXPECT_EQ(stray_files(), std::vector<std::string>{});
  EXPECT_TRUE(log_has("left by an interrupted run"));
}

TEST_F(Lifecycle, DamagedPathListIsRepairedFromTheEntriesAndTold) {
  write_file("/boot/extra.conf", "extra");
  auto files = crash::BootFiles::take();
  std::string listed = read_file("/boot/.vemobase.tmp");
  std::string crlf;
  for (char c : listed) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  struct {
    const char* name;
    std::string content;  // of the path list; "-" removes it
    std::vector<std::string> command;
  } cases[] = {
      {"no final line end", listed.substr(0, listed.size() - 1), {"-a", "/boot/extra.conf"}},
      {"CR LF line ends", crlf, {"-u", "--all"}},
      {"missing", "-", {"-a", "/boot/extra.conf"}},
      {"a line lost, a stale one kept", listed.substr(listed.find('\n') + 1) + "/boot/gone\n",
       {"-u", "/boot/grub/grub.cfg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files.restore();
    if (c.content == "-") fs::remove("/boot/.vemobase.tmp");
    else write_file("/boot/.vemobase.tmp", c.content);
    auto result = run_tool(c.command);
    EXPECT_EQ(result.out.find("failed"), std::string::npos) << result.out;
    if (c.command[0] == "-u" && c.command[1] == "--all") {
      EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 3 * 6) << "every listed file updated";
    }
    expect_in_step();
    ASSERT_EQ(lines_of(result.err).size(), 1u) << result.err;
    EXPECT_NE(result.err.find("path list"), std::string::npos);
    EXPECT_TRUE(log_has("main:reconcile_path_list()"));
  }
}

TEST_F(Lifecycle, AddUpdateUpdateAllDelete) {
  write_file("/etc/zovemo-test.conf", "v1");
  EXPECT_EQ(run_tool({"-a", "/etc/zovemo-test.conf"}).out, "measure /etc/zovemo-test.conf\n");
  EXPECT_EQ(path_list().back(), "/etc/zovemo-test.conf");
  expect_in_step();
  EXPECT_EQ(entries().back().pcr, "12");

  write_file("/etc/zovemo-test.conf", "v2");
  auto update = run_tool({"-u", "/etc/zovemo-test.conf"});
  auto last = entries().back();
  EXPECT_EQ(update.out, "update /etc/zovemo-test.conf\nmeasure_base_value: " + sm3_hex("v2") + "\nupdate time " +
                            last.time + "\n");
  expect_in_step();

  // Update all: a file that is gone keeps its value and is said, one that can
  // no longer be translated is logged, and the rest go on.
  write_file("/boot/grub/grub.cfg", "changed");
  fs::remove("/boot/grub/x86_64-efi/normal.mod");
  fakes().answer("grub-mkrelpath", "/etc/zovemo-test.conf", "");
  auto all = run_tool({"-u", "--all"});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out.find("failed"), std::string::npos);
  EXPECT_TRUE(log_has("all:upd \"/etc/zovemo-test.conf\" failed"));
  EXPECT_NE(all.err.find("not measured: the file does not exist"), std::string::npos) << all.err;
  fakes().answer("grub-mkrelpath", "/etc/zovemo-test.conf", "/etc/zovemo-test.conf\n");
  auto document = entries();
  EXPECT_EQ(document[5].value, sm3_hex("changed"));
  for (const auto& entry : document)
    if (entry.sys_path == "/boot/grub/x86_64-efi/normal.mod") {
      EXPECT_EQ(entry.value.size(), 64u) << "the value measured before it went";
    }
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3 * 5);

  EXPECT_EQ(run_tool({"-d", "/etc/zovemo-test.conf"}).out, "delete /etc/zovemo-test.conf\n");
  EXPECT_EQ(path_list().size(), 6u);
  EXPECT_EQ(entries().size(), 6u);
  EXPECT_EQ(run_tool({"-d", "/etc/zovemo-test.conf"}).out, "measure del failed\n");
}

TEST_F(Lifecycle, DeleteRemovesOnlyTheExactPathListLine) {
  write_file("/boot/a", "a");
  write_file("/boot/a.bak", "b");
  run_tool({"-a", "/boot/a.bak"});
  run_tool({"-a", "/boot/a"});
  EXPECT_EQ(run_tool({"-d", "/boot/a"}).out, "delete /boot/a\n");
  auto list = path_list();
  EXPECT_EQ(std::count(list.begin(), list.end(), "/boot/a.bak"), 1);
  EXPECT_EQ(std::count(list.begin(), list.end(), "/boot/a"), 0);
  expect_in_step();
}

// A boot file that is gone cannot be placed by the GRUB tools; its entry is
// still deleted by its path, and an update of it fails with its reason.
TEST_F(Lifecycle, DeleteOfAVanishedFileRemovesItsEntry) {
  const std::string gone = "/boot/vmlinuz-6.1.0-13-amd64";
  fs::remove(gone);
  fakes().answer("grub-probe", gone, "");  // as the real probe: no drive for a missing file
  auto update = run_tool({"-u", gone});
  EXPECT_EQ(update.out, "measure upd failed\n");
  EXPECT_NE(update.err.find("the file does not exist: " + gone), std::string::npos) << update.err;
  EXPECT_EQ(run_tool({"-d", gone}).out, "delete " + gone + "\n");
  EXPECT_EQ(entries().size(), 5u);
  EXPECT_TRUE(path_list_is_entries());
  auto again = run_tool({"-d", gone});
  EXPECT_EQ(again.out, "measure del failed\n");
  EXPECT_EQ(again.err, "zovemo_config: not in the baseline, and the file no longer exists: " + gone + "\n");
}

// Every failure tells its reason on standard error, whether or not the log
// can be written; standard output keeps its lines exactly.
TEST_F(Lifecycle, EveryFailureTellsItsReasonOnStandardError) {
  struct {
    const char* name;
    void (*setup)();
    std::vector<std::string> command;
    const char* out;  // exactly; nullptr: only that no failure notice is printed
    const char* told;
  } cases[] = {
      {"arrest mode with trusted start-up off", [] { run_tool({"-b", "-v", "0"}); }, {"-p", "-v", "1"},
       "start trust_startup first\nset arrest mode failed\n", "trusted start-up is off"},
      {"relative path", nullptr, {"-a", "boot/x"}, "input absolute path\nmeasure add failed\n", "not an absolute path"},
      {"outside /boot and /etc", nullptr, {"-a", "/usr/bin/ls"}, "measure add failed\n", "only files under /boot/"},
      {"under /tmp", nullptr, {"-a", "/tmp/x"}, "measure add failed\n", "only files under /boot/"},
      {"read-only /boot", [] { sandbox::set_boot_read_only(true); }, {"-b", "-v", "0"}, "set trust startup failed\n",
       "Read-only file system"},
      {"update all with a file that cannot be measured",
       [] {
         fs::remove("/boot/grub/grub.cfg");
         fs::create_symlink("/boot/vmlinuz-6.1.0-13-amd64", "/boot/grub/grub.cfg");
       },
       {"-u", "--all"}, nullptr, "not measured: a symbolic link: /boot/grub/grub.cfg"},
      {"a name that is not UTF-8", [] { write_file("/boot/stray\xff.cfg", "s"); }, {"-a", "/boot/stray\xff.cfg"},
       "measure add failed\n", "\"/boot/stray\\xff.cfg\": a file name that is not UTF-8 cannot be stored"},
      {"a stored path holding NUL",
       [] {
         std::string text = read_file("/boot/.vemobase");
         write_file("/boot/.vemobase", text.replace(text.find("grub.cfg\""), 9, "grub.cfg\\u0000x\""));
       },
       {"-u", "/boot/grub/grub.cfg"}, "measure upd failed\n", "grub_path holds a NUL character"},
      {"add of a file already measured", nullptr, {"-a", "/boot/vmlinuz-6.1.0-12-amd64"}, "measure add failed\n",
       "\"/boot/vmlinuz-6.1.0-12-amd64\": already measured"},
      {"add of the last file, changed, without the path list",
       [] {
         fs::remove("/boot/.vemobase.tmp");
         write_file("/boot/grub/grub.cfg", "changed since");
       },
       {"-a", "/boot/grub/grub.cfg"}, "measure add failed\n", "already measured, and the file has changed"},
      {"add that would take the baseline past its size limit",
       [] {
         std::string text = read_file("/boot/.vemobase");
         std::string padding = "\"padding\":\"\",";
         padding.insert(11, kBaselineDocumentLimit - text.size() - padding.size() - 100, 'p');
         write_file("/boot/.vemobase", text.insert(text.find('"'), padding));
         write_file("/boot/extra.cfg", "x");
       },
       {"-a", "/boot/extra.cfg"}, "measure /boot/extra.cfg\nmeasure add failed\n", "more than the limit of 67108864"},
      {"update all with an unreadable path list",
       [] {
         fs::remove("/boot/.vemobase.tmp");
         fs::create_directory("/boot/.vemobase.tmp");
       },
       {"-u", "--all"}, "measure upd failed\n", "cannot be read"},
      {"update all where every file fails",
       [] {
         for (const auto& path : path_list()) fs::remove(path);
       },
       {"-u", "--all"}, "measure upd failed\n", "the file does not exist (6 files"},
  };
  auto files = crash::BootFiles::take();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files.restore();
    if (c.setup) c.setup();
    auto result = run_tool(c.command);
    sandbox::set_boot_read_only(false);
    if (c.out) EXPECT_EQ(result.out, c.out);
    else EXPECT_EQ(result.out.find("failed"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.told), std::string::npos) << result.err;
  }
}

// 384 bytes for every entry and 8 x 384 more, whatever changed the entries;
// a reservation a killed command left out of step is healed.
TEST_F(Lifecycle, BootLogReservationFollowsTheEntries) {
  auto reserved = [] { return read_file("/boot/.vemolog"); };
  write_file("/boot/extra.conf", "extra");
  run_tool({"-a", "/boot/extra.conf"});
  EXPECT_EQ(reserved(), std::string(384 * (7 + 8), '#'));
  run_tool({"-d", "/boot/grub/grub.cfg"});
  EXPECT_EQ(reserved(), std::string(384 * (6 + 8), '#'));
  write_file("/boot/.vemolog", std::string(384 * 8, '#'));
  auto healed = run_tool({"-u", "/boot/extra.conf"});
  EXPECT_NE(healed.err.find("boot log reservation"), std::string::npos) << healed.err;
  EXPECT_EQ(reserved(), std::string(384 * (6 + 8), '#'));
}

// A command either fails with nothing committed or reports what it did.
TEST_F(Lifecycle, CommandsReportWhatTheyCommitted) {
  std::string document = read_file("/boot/.vemobase");
  std::string reservation = read_file("/boot/.vemolog");
  fs::rename("/boot/.vemolog", "/boot/.vemolog.kept");
  write_file("/boot/.vemolog/blocked", "a directory stands where the reservation goes");
  write_file("/boot/grub/more.cfg", "more");
  EXPECT_NE(run_tool({"-i"}).out.find("measure init failed"), std::string::npos);
  EXPECT_EQ(read_file("/boot/.vemobase"), document) << "no baseline saved without room in the boot log";
  fs::remove_all("/boot/.vemolog");
  fs::rename("/boot/.vemolog.kept", "/boot/.vemolog");

  write_file("/boot/.vemobase.swp/blocked", "a directory stands where the path list is written");
  auto deleted = run_tool({"-d", "/boot/grub/grub.cfg"});
  EXPECT_EQ(deleted.out, "delete /boot/grub/grub.cfg\n");
  EXPECT_NE(deleted.err.find("the next command repairs the list"), std::string::npos) << deleted.err;
  fs::remove_all("/boot/.vemobase.swp");
  run_tool({"-u", "--all"});
  expect_in_step();
}

TEST_F(Lifecycle, LongPathsStayWholeInThePathList) {
  // Longer than the 512-byte lines the baseline's companion files were once read in.
  std::string path = "/boot/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f');
  write_file(path, "long");
  EXPECT_EQ(run_tool({"-a", path}).out, "measure " + path + "\n");
  EXPECT_EQ(path_list().back(), path);
  write_file(path, "longer");
  run_tool({"-u", "--all"});
  EXPECT_EQ(entries().back().value, sm3_hex("longer"));
  EXPECT_EQ(run_tool({"-d", path}).out, "delete " + path + "\n");
  EXPECT_EQ(path_list().size(), 6u);
}

TEST_F(Lifecycle, UnreadablePathListFailsTheCommand) {
  fs::remove("/boot/.vemobase.tmp");
  fs::create_directory("/boot/.vemobase.tmp");
  std::string before = read_file("/boot/.vemobase");
  EXPECT_EQ(run_tool({"-u", "--all"}).out, "measure upd failed\n");
  EXPECT_EQ(run_tool({"-d", "/boot/grub/grub.cfg"}).out, "measure del failed\n");
  write_file("/etc/zovemo-x.conf", "x");
  EXPECT_EQ(run_tool({"-a", "/etc/zovemo-x.conf"}).out, "measure /etc/zovemo-x.conf\nmeasure add failed\n");
  EXPECT_EQ(read_file("/boot/.vemobase"), before) << "the add is taken back when its line cannot be written";
}

TEST_F(Lifecycle, ParallelAddsAllLand) {
  std::vector<std::thread> runs;
  for (int i = 0; i < 20; ++i) {
    write_file("/etc/zovemo-parallel-" + std::to_string(i), std::to_string(i));
  }
  for (int i = 0; i < 20; ++i) {
    runs.emplace_back([i] { run_tool({"-a", "/etc/zovemo-parallel-" + std::to_string(i)}); });
  }
  for (auto& run : runs) run.join();
  EXPECT_EQ(entries().size(), 26u);
  EXPECT_EQ(path_list().size(), 26u);
  std::set<std::string> listed;
  for (const auto& path : path_list()) listed.insert(path);
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(listed.count("/etc/zovemo-parallel-" + std::to_string(i))) << i;
  expect_in_step();
}

}  // namespace

// What -i measures, in the order it meets it: modules, kernels, RAM disks
// (not the crash kernel's), configuration files; a name the baseline cannot
// hold is named apart.
TEST(Discovery, FindsTheBootFilesInTheirCommandsOrder) {
  write_file("/boot/grub/grub.cfg", "c");
  write_file("/boot/grub/i386-pc/normal.mod", "m");
  write_file("/boot/vmlinuz-6.1", "k");
  write_file("/boot/initrd.img-6.1", "i");
  write_file("/boot/initrd.img-6.1kdump.img", "crash");
  write_file("/boot/grub/odd\nname.cfg", "o");
  BootFileDiscovery found = discover_boot_files();
  ASSERT_TRUE(found.complete) << found.failure;
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& file : found.files) files.emplace_back(file.path, boot_file_class_name(file.file_class));
  EXPECT_EQ(files, (std::vector<std::pair<std::string, std::string>>{{"/boot/grub/i386-pc/normal.mod", "module"},
                                                                    {"/boot/vmlinuz-6.1", "kernel"},
                                                                    {"/boot/initrd.img-6.1", "initrd"},
                                                                    {"/boot/grub/grub.cfg", "config"}}));
  ASSERT_EQ(found.unlistable.size(), 1u);
  EXPECT_EQ(found.unlistable[0].path, "/boot/grub/odd\nname.cfg");
}
