// A real disk for the tests of the real GRUB tools: a GPT image with three
// partitions (1 MiB BIOS boot, 16 MiB ext4, the rest ext4) attached to a
// loop device, and shown to every program of the test process under a
// chosen name ("sda", "nvme0n1", "vda") in a private /dev, so that GRUB's
// probe sees what it would see on such a machine.
//
// Everything is the test process's own: the /dev and the mounts live in its
// private mount namespace, and the loop device is attached with autoclear,
// so the kernel detaches it when the last mount or descriptor goes: at the
// end of the object, and also when the test process dies.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace disktest {

class DiskImage {
 public:
  // A new disk shown as /dev/`name`; nullptr with `why_not` when this
  // machine cannot give one (no loop devices, no GRUB tools, not root).
  static std::unique_ptr<DiskImage> make(const std::string& name, std::string* why_not);
  ~DiskImage();
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  // Shows the same disk under another name (a disk renamed between boots).
  bool rename(const std::string& name);
  // "/dev/sda3", "/dev/nvme0n1p3".
  std::string partition(int number) const;
  const std::string& disk() const { return disk_node_; }

  // Mounts partition `number` at `where`; undone by the destructor.
  bool mount_partition(int number, const std::string& where);
  // Bind-mounts `from` at `where`; undone by the destructor.
  bool bind(const std::string& from, const std::string& where);
  // Undoes every mount, innermost first, as at a shutdown.
  void unmount_all();

 private:
  DiskImage() = default;
  bool attach(std::string* why_not);
  bool show_as(const std::string& name);

  int loop_fd_ = -1;
  int loop_number_ = -1;
  std::string image_, disk_node_, name_;
  std::vector<std::string> partition_devices_;  // "major:minor" of p1..p3
  std::string disk_device_;
  std::vector<std::string> mounts_;  // innermost last
  bool dev_mounted_ = false;
};

// PATH holding the machine's real programs only, not the fakes.
std::string real_programs_path();

}  // namespace disktest
