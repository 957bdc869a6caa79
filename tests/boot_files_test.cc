// The table of boot-file classes walked once, through the functions that
// read it: discovery, the file type, the PCR rule and the reference slot.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "baseline/boot_files.h"
#include "baseline/discovery.h"
#include "baseline/entries.h"
#include "baseline/pcr_rule.h"
#include "harness/sandbox.h"

namespace {

// Each class's file is discovered as it, typed and placed on its PCR by the
// name rules, and that PCR has its slot in the reference index. A kernel
// named "Image-*" is discovered as a kernel but typed and placed as a
// configuration file, as the boot does; a kernel version's RAM disks, by
// every name they take, are discovered as RAM disks, the crash kernel's not.
TEST(BootFiles, EachClassIsDiscoveredTypedAndOnItsPcrInItsSlot) {
  struct Case {
    std::string path;
    const char* discovered_as;
    const char* type;
    int pcr;
    int slot;
  };
  std::vector<Case> cases = {
      {"/boot/grub/i386-pc/normal.mod", "module", "模块文件", 12, 3},
      {"/boot/vmlinuz-6.1.0", "kernel", "内核文件", 9, 1},
      {"/boot/grub/grub.cfg", "config", "配置文件", 8, 0},
      {"/boot/Image-6.1.0", "kernel", "配置文件", 12, 3},
  };
  std::vector<std::string> ram_disks = ram_disk_names_of_kernel("6.1.0");
  EXPECT_EQ(ram_disks.size(), 3u);
  for (const auto& name : ram_disks) cases.push_back({"/boot/" + name, "initrd", "初始盘文件", 11, 2});
  for (const auto& c : cases) sandbox::write_file(c.path, c.path);
  sandbox::write_file("/boot/initramfs-6.1.0kdump.img", "the crash kernel's");
  EXPECT_EQ(ram_disk_names_of_kernel("6.1.0kdump"),
            std::vector<std::string>({"initrd.img-6.1.0kdump", "initramfs.img-6.1.0kdump"}));

  BootFileDiscovery found = discover_boot_files();
  ASSERT_TRUE(found.complete) << found.failure;
  std::map<std::string, std::string> discovered;
  for (const auto& file : found.files) discovered[file.path] = boot_file_class_name(file.file_class);
  EXPECT_EQ(discovered.size(), cases.size());
  std::set<std::string> walked;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(discovered[c.path], c.discovered_as);
    EXPECT_STREQ(get_file_type(c.path.c_str()), c.type);
    EXPECT_EQ(get_pcrFlag(c.path.c_str()), c.pcr);
    EXPECT_EQ(reference_slot_of(c.pcr), c.slot);
    walked.insert(c.discovered_as);
  }
  // A class added to the table is walked here too.
  for (const auto& kind : boot_file_kinds()) EXPECT_EQ(walked.count(kind.name), 1u) << kind.name;
  EXPECT_EQ(reference_slot_of(10), -1);
}

}  // namespace
