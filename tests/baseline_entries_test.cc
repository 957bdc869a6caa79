// Baseline entries, entry lookup and PCR emulation on a document in memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "baseline/document.h"
#include "baseline/entries.h"
#include "baseline/entry_lookup.h"
#include "bootpath/grub_tools.h"
#include "tpm/pcr_emulation.h"
#include "harness/oracle.h"
#include "support/user_diagnostics.h"
#include "support/platform_programs.h"
#include "harness/sandbox.h"
#include "support/tool_log.h"

namespace {

using sandbox::fakes;

using oracle::sm3;

std::string hex(const uint8_t* bytes) { return oracle::hex(std::string(reinterpret_cast<const char*>(bytes), 32)); }

std::string member(int index, const char* name) {
  json_object* entry = json_object_array_get_idx(file_list, index);
  return json_object_get_string(json_object_object_get(entry, name));
}

void add_raw_entry(const char* pcr, const std::string& text) {
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "measure_base_value", json_object_new_string(text.c_str()));
  if (pcr) json_object_object_add(entry, "pcr", json_object_new_string(pcr));
  json_object_array_add(file_list, entry);
}

std::string take_digest(uint8_t* block) {
  std::string text = block ? std::string(reinterpret_cast<char*>(block), 32) : "<none>";
  free(block);
  return text;
}

class Entries : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::make_dirs("/boot/grub");
    ASSERT_EQ(set_command(), 0);
    init_json();
  }
  void TearDown() override { release_json(); }
};

TEST(Classification, FileTypeAndPcrFlagFromTheBaseName) {
  struct Case {
    const char* path;
    const char* type;
    int flag;
  } cases[] = {
      {"/boot/vmlinuz-5.10.0-8-generic", "内核文件", 9},
      {"/boot/initrd.img-5.10.0", "初始盘文件", 11},
      {"/boot/initramfs-5.10.0.img", "初始盘文件", 11},
      {"/boot/grub/grub.cfg", "配置文件", 8},
      {"/boot/grub/i386-pc/normal.mod", "模块文件", 12},
      {"/etc/fstab", "配置文件", 12},
      {"/boot/Image-5.10.0", "配置文件", 12},
      {"/boot/vmlinuz.cfg", "配置文件", 9},
      {"/boot/initrd.cfg", "配置文件", 11},
      {"/boot/grub/grub.cfg.bak", "配置文件", 12},
      {"/boot/GRUB.CFG", "配置文件", 12},
      {"/boot/.cfg", "配置文件", 8},
      {"/boot/", "配置文件", 12},
      {"cfg", "配置文件", 12},
      {"/boot/my-initrd.mod", "初始盘文件", 12},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(get_file_type(c.path), c.type) << c.path;
    EXPECT_EQ(get_pcrFlag(c.path), c.flag) << c.path;
    // An entry stores its PCR as the flag's own number.
    EXPECT_EQ(pcr_flag_to_str[c.flag - 8], std::to_string(c.flag)) << c.path;
  }
}

TEST(PcrEmulation, WorkedExampleAndExtension) {
  init_json();
  add_raw_entry("8", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  uint8_t* aggregate = emulate_pcr(8);
  ASSERT_NE(aggregate, nullptr);
  EXPECT_EQ(hex(aggregate), "138d8cd5365c005addf485a3a61714ee7f5350ab42d505bac164c51f833cfb8e");
  uint8_t* reference = pcr_extend(aggregate);
  EXPECT_EQ(hex(reference), "a9be015403e00995e3ee167f02df2c8f93a21f9a28d57ec4d07f110794de0c21");
  testing::internal::CaptureStdout();
  printf_data_32(aggregate);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "printf_data_32:138d8cd5365c005addf485a3a61714ee7f5350ab42d505bac164c51f833cfb8e\n");
  free(aggregate);
  free(reference);
  for (int pcr : {9, 10, 11, 12}) EXPECT_EQ(emulate_pcr(pcr), nullptr);
  release_json();
}

TEST(PcrEmulation, AggregateMatchesAnIndependentComputation) {
  init_json();
  std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
  add_raw_entry("11", a);
  add_raw_entry("9", c);
  add_raw_entry("11", b);
  add_raw_entry("011", c);   // three digits: no PCR
  add_raw_entry("1a", c);    // not decimal: no PCR
  add_raw_entry(nullptr, c); // missing: no PCR
  json_object_array_add(file_list, json_object_new_string("not an object"));
  add_raw_entry("11", "");   // a file that went missing: 64 zero bytes
  add_raw_entry("11", "abc");  // shorter text: its characters, then zeros
  std::string expected = sm3(sm3(a + b + std::string(64, '\0') + "abc" + std::string(61, '\0')));
  EXPECT_EQ(take_digest(emulate_pcr(11)), expected);
  EXPECT_EQ(take_digest(emulate_pcr(9)), sm3(sm3(c)));

  // Order within a PCR matters; entries of other PCRs do not.
  json_object* first = json_object_get(json_object_array_get_idx(file_list, 0));
  json_object_array_del_idx(file_list, 0, 1);
  json_object_array_add(file_list, first);
  EXPECT_NE(take_digest(emulate_pcr(11)), expected);
  std::string pcr9 = take_digest(emulate_pcr(9));
  EXPECT_EQ(pcr9, sm3(sm3(c)));

  // "pcr" of the wrong type is treated as missing.
  json_object* odd = json_object_new_object();
  json_object_object_add(odd, "pcr", json_object_new_int(12));
  json_object_object_add(odd, "measure_base_value", json_object_new_int(5));
  json_object_array_add(file_list, odd);
  EXPECT_EQ(take_digest(emulate_pcr(12)), "<none>");
  release_json();
}

TEST_F(Entries, AddAppendsAFullEntryAndRefusesDuplicates) {
  sandbox::write_file("/boot/grub/grub.cfg", "abc");
  fakes().default_answer("grub-probe", "hd0,gpt2\n");
  fakes().default_answer("grub-mkrelpath", "/grub/grub.cfg\n");
  testing::internal::CaptureStdout();
  ASSERT_EQ(measurefile_add("/boot/grub/grub.cfg"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "measure /boot/grub/grub.cfg\n");
  json_object* entry = json_object_array_get_idx(file_list, 0);
  std::vector<std::string> names;
  json_object_object_foreach(entry, key, value) {
    (void)value;
    names.push_back(key);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"grub_path", "sys_path", "measure_base_value", "file_type",
                                             "measure_stage", "pcr", "time"}));
  EXPECT_EQ(member(0, "grub_path"), "(hd0,gpt2)/grub/grub.cfg");
  EXPECT_EQ(member(0, "measure_base_value"), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  EXPECT_EQ(member(0, "file_type"), "配置文件");
  EXPECT_EQ(member(0, "measure_stage"), "操作系统");
  EXPECT_EQ(member(0, "pcr"), "8");
  EXPECT_EQ(member(0, "time").size(), 19u);

  // Another path that the tools place at the same boot path is the same file.
  sandbox::write_file("/boot/other.cfg", "x");
  fakes().clear_records();
  EXPECT_EQ(measurefile_add("/boot/other.cfg"), -1);
  EXPECT_EQ(fakes().records().size(), 2u) << "the add's own translation serves the duplicate lookup";
  auto log = sandbox::log_lines();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("main:zotrust_add() \"/boot/other.cfg\" already measured"), std::string::npos);
  EXPECT_EQ(json_object_array_length(file_list), 1u);
}

// A file replaced by rename after a worker measured it (as package tools
// replace files) is stored with what the path holds when the entry is made.
TEST_F(Entries, CommitStoresWhatThePathHoldsNotWhatWasMeasuredBefore) {
  sandbox::write_file("/boot/a.mod", "old module");
  PreparedFile prepared = prepare_file("/boot/a.mod");
  sandbox::write_file("/boot/a.mod.new", "new module");
  ASSERT_EQ(rename("/boot/a.mod.new", "/boot/a.mod"), 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(commit_add("/boot/a.mod", prepared), 0);
  EXPECT_EQ(take_back_changed_files(), 0u);
  prepared = prepare_file("/boot/a.mod");
  sandbox::write_file("/boot/a.mod", "rewritten in place");
  ASSERT_EQ(commit_upd("/boot/a.mod", prepared), 0);
  EXPECT_EQ(member(0, "measure_base_value"), oracle::sm3_hex("rewritten in place"));
  EXPECT_EQ(take_back_changed_files(), 0u);

  // Changed after the entry was made, before the save: the update is taken
  // back to the former digest, the add out of the list.
  ASSERT_EQ(commit_upd("/boot/a.mod", prepare_file("/boot/a.mod")), 0);
  sandbox::write_file("/boot/b.mod", "b");
  ASSERT_EQ(commit_add("/boot/b.mod", prepare_file("/boot/b.mod")), 0);
  testing::internal::GetCapturedStdout();
  sandbox::write_file("/boot/a.mod", "changed before the save");
  sandbox::write_file("/boot/b.mod", "so was this");
  testing::internal::CaptureStderr();
  EXPECT_EQ(take_back_changed_files(), 2u);
  flush_user_diagnostics();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("the file changed after it was measured (2 files"),
            std::string::npos);
  EXPECT_EQ(member(0, "measure_base_value"), oracle::sm3_hex("rewritten in place"));
  EXPECT_EQ(json_object_array_length(file_list), 1u);
}

TEST_F(Entries, AddFailsForLinksAndUntranslatablePaths) {
  sandbox::write_file("/boot/target", "t");
  ASSERT_EQ(symlink("/boot/target", "/boot/link"), 0);
  EXPECT_EQ(measurefile_add("/boot/link"), -1);
  fakes().default_answer("grub-probe", "");
  EXPECT_EQ(measurefile_add("/boot/target"), -1);
  EXPECT_EQ(json_object_array_length(file_list), 0u);
}

TEST_F(Entries, LookupTranslatesAndComparesCleanedBootPaths) {
  EXPECT_EQ(get_json_idx("/boot/a"), -1);
  ASSERT_EQ(sandbox::log_lines().size(), 1u);
  EXPECT_NE(sandbox::log_lines()[0].find("main:get_json_idx() json_list no data"), std::string::npos);
  EXPECT_TRUE(fakes().records().empty()) << "an empty list runs no program";

  for (const char* stored : {"(hd0,gpt2)/other", "(hd0,gpt2)/a\\\"", "(hd0,gpt2)/a"}) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "grub_path", json_object_new_string(stored));
    json_object_object_add(entry, "sys_path", json_object_new_string("/elsewhere"));
    json_object_object_add(entry, "measure_base_value", json_object_new_string("00ff"));
    json_object_array_add(file_list, entry);
  }
  fakes().default_answer("grub-mkrelpath", "/a\n");
  EXPECT_EQ(get_json_idx("/boot/a"), 1) << "the first match wins, backslash and quote left out";
  EXPECT_EQ(contrast_jsonStr("(hd0)/A", "(hd0)/a"), -1);
  EXPECT_EQ(contrast_jsonStr("(hd0)/a\\", "(hd0)/a"), 0);
  EXPECT_STREQ(get_base_value("/boot/a"), "\"00ff\"");
  fakes().default_answer("grub-probe", "");
  EXPECT_EQ(get_json_idx("/boot/a"), -1);
  auto log = sandbox::log_lines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_NE(log[log.size() - 2].find("[ERROR]"), std::string::npos);
  EXPECT_NE(log[log.size() - 2].find("main:get_json_idx() concatenate_json_string failed"), std::string::npos);
  EXPECT_NE(log.back().find("[ERROR]"), std::string::npos) << "followed by the reason";
  EXPECT_NE(log.back().find("main:get_json_idx() /boot/a: no boot path:"), std::string::npos) << log.back();
}

TEST_F(Entries, UpdateRefreshesMeasurementAndTimeAndKeepsTheRest) {
  for (const char* name : {"a.mod", "b.mod", "c.mod"}) sandbox::write_file(std::string("/boot/") + name, name);
  testing::internal::CaptureStdout();
  for (const char* name : {"/boot/a.mod", "/boot/b.mod", "/boot/c.mod"}) ASSERT_EQ(measurefile_add(name), 0);
  testing::internal::GetCapturedStdout();
  json_object_object_add(json_object_array_get_idx(file_list, 1), "time",
                         json_object_new_string("2020-01-01 00:00:00"));
  std::string previous = member(1, "measure_base_value");

  sandbox::write_file("/boot/b.mod", "changed");
  testing::internal::CaptureStdout();
  ASSERT_EQ(measurefile_upd("/boot/b.mod"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_STREQ(get_old_time_for_upd(), "2020-01-01 00:00:00");
  EXPECT_EQ(get_old_value_for_upd(), previous);
  EXPECT_NE(member(1, "measure_base_value"), previous);
  EXPECT_EQ(out, "update /boot/b.mod\nmeasure_base_value: " + member(1, "measure_base_value") + "\nupdate time " +
                     member(1, "time") + "\n");

  // A file that went missing is not measured: its entry keeps its value.
  const std::string kept = member(1, "measure_base_value");
  unlink("/boot/b.mod");
  testing::internal::CaptureStdout();
  ASSERT_EQ(measurefile_upd("/boot/b.mod"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(sandbox::log_has("the file does not exist")) << "the reason is in the tool log";
  EXPECT_EQ(member(1, "measure_base_value"), kept);
  EXPECT_EQ(member(1, "pcr"), "12");

  testing::internal::CaptureStdout();
  ASSERT_EQ(measurefile_del("/boot/a.mod"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "delete /boot/a.mod\n");
  ASSERT_EQ(json_object_array_length(file_list), 2u);
  EXPECT_EQ(member(0, "sys_path"), "/boot/b.mod");
  EXPECT_EQ(member(1, "sys_path"), "/boot/c.mod");
  EXPECT_EQ(measurefile_del("/boot/a.mod"), -1);
}

}  // namespace
