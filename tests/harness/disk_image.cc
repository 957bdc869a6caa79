#include "disk_image.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "sandbox.h"

namespace disktest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPartitionTable =
    "label: gpt\n"
    "size=1MiB, type=21686148-6449-6E6F-744E-656564454649\n"
    "size=16MiB, type=0FC63DAF-8483-4772-8E79-3D69DE477DE4\n"
    "type=0FC63DAF-8483-4772-8E79-3D69DE477DE4\n";
constexpr off_t kImageBytes = 96 << 20;

// The program's full path on the real PATH, or empty.
std::string find_program(const std::string& name) {
  if (name[0] == '/') return name;
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool program_exists(const std::string& name) { return !find_program(name).empty(); }

bool run_quietly(const std::string& program, const std::vector<std::string>& args, std::string* why_not) {
  auto result = sandbox::run(find_program(program), args, real_programs_path());
  if (result.status == 0) return true;
  *why_not = program + " failed: " + result.err;
  return false;
}

std::string read_line(const std::string& path) {
  std::string text = sandbox::read_file(path);
  return text.substr(0, text.find('\n'));
}

// "nvme0n1" takes "p" before a partition number, as the kernel names them.
std::string partition_name(const std::string& disk, int number) {
  bool ends_in_digit = !disk.empty() && isdigit(static_cast<unsigned char>(disk.back()));
  return disk + (ends_in_digit ? "p" : "") + std::to_string(number);
}

bool make_node(const std::string& path, const std::string& major_minor) {
  unsigned major_number = 0, minor_number = 0;
  if (sscanf(major_minor.c_str(), "%u:%u", &major_number, &minor_number) != 2) return false;
  unlink(path.c_str());
  return mknod(path.c_str(), S_IFBLK | 0600, makedev(major_number, minor_number)) == 0;
}

}  // namespace

std::string real_programs_path() { return "/usr/sbin:/usr/bin:/sbin:/bin"; }

std::unique_ptr<DiskImage> DiskImage::make(const std::string& name, std::string* why_not) {
  if (geteuid() != 0) {
    *why_not = "loop devices need root";
    return nullptr;
  }
  for (const char* program : {"grub-probe", "grub-mkrelpath", "sfdisk", "mkfs.ext4", "partx"}) {
    if (!program_exists(program)) {
      *why_not = std::string(program) + " is not installed (scripts/deps installs it)";
      return nullptr;
    }
  }
  std::unique_ptr<DiskImage> disk(new DiskImage);
  if (!disk->attach(why_not)) return nullptr;
  if (!disk->show_as(name)) {
    *why_not = "cannot make a private /dev: " + std::string(strerror(errno));
    return nullptr;
  }
  return disk;
}

bool DiskImage::attach(std::string* why_not) {
  image_ = sandbox::scratch_dir() + "/disk-" + std::to_string(getpid()) + ".img";
  std::string table = image_ + ".sfdisk";
  sandbox::write_file(table, kPartitionTable);
  if (truncate(image_.c_str(), 0) != 0 && errno != ENOENT) return false;
  {
    int image = open(image_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (image < 0 || ftruncate(image, kImageBytes) != 0) {
      *why_not = "cannot make the disk image: " + std::string(strerror(errno));
      if (image >= 0) close(image);
      return false;
    }
    close(image);
  }
  if (!run_quietly("/bin/sh", {"-c", "sfdisk -q \"$1\" < \"$2\"", "sh", image_, table}, why_not)) return false;

  // Tests attach disks in parallel: a free loop device can be taken between
  // asking for it and attaching it (EBUSY), and then the next one is asked.
  std::string sys, node;
  for (int attempt = 0;; ++attempt) {
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
      *why_not = "no /dev/loop-control: " + std::string(strerror(errno));
      return false;
    }
    loop_number_ = ioctl(control, LOOP_CTL_GET_FREE);
    close(control);
    if (loop_number_ < 0) {
      *why_not = "no free loop device: " + std::string(strerror(errno));
      return false;
    }
    // Our own node for the loop device: /dev may already be a private one.
    sys = "/sys/block/loop" + std::to_string(loop_number_);
    node = sandbox::scratch_dir() + "/loop" + std::to_string(loop_number_);
    if (!make_node(node, read_line(sys + "/dev"))) {
      *why_not = "cannot make a node for loop" + std::to_string(loop_number_);
      return false;
    }
    loop_fd_ = open(node.c_str(), O_RDWR | O_CLOEXEC);
    int image = open(image_.c_str(), O_RDWR | O_CLOEXEC);
    struct loop_config config {};
    config.fd = static_cast<uint32_t>(image);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_PARTSCAN;
    bool attached = loop_fd_ >= 0 && image >= 0 && ioctl(loop_fd_, LOOP_CONFIGURE, &config) == 0;
    int error = errno;
    if (image >= 0) close(image);
    if (attached) break;
    if (loop_fd_ >= 0) close(loop_fd_);
    loop_fd_ = -1;
    unlink(node.c_str());
    if (error != EBUSY || attempt == 20) {
      *why_not = "cannot attach a loop device: " + std::string(strerror(error));
      return false;
    }
  }
  disk_device_ = read_line(sys + "/dev");

  // The kernel may leave the partitions to user space; partx adds them then.
  std::string p3 = sys + "/loop" + std::to_string(loop_number_) + "p3/dev";
  std::string partx_said;
  for (int attempt = 0; attempt < 40 && !fs::exists(p3); ++attempt) {
    if (attempt == 10 && !run_quietly("partx", {"-a", node}, &partx_said)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!fs::exists(p3)) {
    *why_not = "the loop device's partitions did not appear. " + partx_said;
    return false;
  }
  for (int number = 1; number <= 3; ++number)
    partition_devices_.push_back(read_line(sys + "/loop" + std::to_string(loop_number_) + "p" + std::to_string(number) + "/dev"));
  for (int number : {2, 3}) {
    std::string partition_node = node + "p" + std::to_string(number);
    if (!make_node(partition_node, partition_devices_[number - 1]) ||
        !run_quietly("mkfs.ext4", {"-q", "-F", partition_node}, why_not))
      return false;
  }
  return true;
}

// A tmpfs over /dev with the usual character devices and this disk under `name`.
bool DiskImage::show_as(const std::string& name) {
  std::string staging = sandbox::scratch_dir() + "/dev-" + name;
  fs::create_directories(staging);
  if (mount("tmpfs", staging.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
  for (const char* device : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string target = staging + "/" + device;
    sandbox::write_file(target, "");
    if (mount((std::string("/dev/") + device).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  }
  fs::create_directories(staging + "/shm");
  if (!make_node(staging + "/" + name, disk_device_)) return false;
  for (int number = 1; number <= 3; ++number)
    if (!make_node(staging + "/" + partition_name(name, number), partition_devices_[number - 1])) return false;
  if (dev_mounted_) umount2("/dev", MNT_DETACH);
  if (mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) return false;
  dev_mounted_ = true;
  name_ = name;
  disk_node_ = "/dev/" + name;
  return true;
}

bool DiskImage::rename(const std::string& name) { return show_as(name); }

std::string DiskImage::partition(int number) const { return "/dev/" + partition_name(name_, number); }

bool DiskImage::mount_partition(int number, const std::string& where) {
  fs::create_directories(where);
  if (mount(partition(number).c_str(), where.c_str(), "ext4", 0, nullptr) != 0) return false;
  mounts_.push_back(where);
  return true;
}

bool DiskImage::bind(const std::string& from, const std::string& where) {
  if (mount(from.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  mounts_.push_back(where);
  return true;
}

void DiskImage::unmount_all() {
  for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at) umount2(at->c_str(), MNT_DETACH);
  mounts_.clear();
}

DiskImage::~DiskImage() {
  unmount_all();
  if (dev_mounted_) umount2("/dev", MNT_DETACH);
  // Autoclear detaches the loop device once this last descriptor goes.
  if (loop_fd_ >= 0) close(loop_fd_);
  if (!image_.empty()) unlink(image_.c_str());
}

}  // namespace disktest
