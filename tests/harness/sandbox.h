// Test sandbox: every test process runs in a private mount namespace with
// tmpfs over /boot, /run (where the tool's locks are) and /etc/tavel_trusted
// (over an /etc overlay whose upper layer is tmpfs), and in a private network namespace with only loopback, so
// the machine's /boot, /etc and TPM are never touched.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace sandbox {

// Enters the namespaces; on failure returns false with the reason.
bool enter(std::string* reason);

// True once enter() has succeeded.
bool entered();

// A private tmpfs directory of this test process for scratch files.
std::string scratch_dir();

// Empties /boot, /run/zovemo and /etc/tavel_trusted (keeps the mounts).
void reset();

// Replaces the tmpfs on /boot by one of `bytes` bytes (for full-disk tests).
void remount_boot(size_t bytes);

// Mounts /boot read-only (true) or writable again (false).
void set_boot_read_only(bool read_only);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);
void make_dirs(const std::string& path);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

// Runs `program` with `args` (argv[1..]) and PATH=`path`, no shell.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& path);

// Runs build/zovemo_config with `args` and the fakes first on PATH.
RunResult run_tool(const std::vector<std::string>& args);

// Starts argv (argv[0] a path, or a name looked up on PATH) without waiting
// for it; the standard streams in `to_null` are /dev/null. In a process
// group of its own when `own_group`, so that a test can end all it started.
// The process id, or -1 with the reason in *error.
pid_t start_program(const std::vector<std::string>& argv, std::initializer_list<int> to_null,
                    bool own_group = false, std::string* error = nullptr);

// The fake platform programs: a directory of copies of one compiled fake,
// bound over /usr/local/sbin, the first directory of the tool's search path.
class FakeTools {
 public:
  static FakeTools& instance();
  const std::string& dir() const { return dir_; }
  std::string path_variable() const { return dir_ + ":/usr/sbin:/usr/bin:/sbin:/bin"; }

  // What `program` prints when its last argument is `argument`.
  void answer(const std::string& program, const std::string& argument, const std::string& text);
  // The same for a run with "--target `target`" only; it comes first.
  void answer_for_target(const std::string& program, const std::string& target, const std::string& argument,
                         const std::string& text);
  // What `program` prints for any other argument; "@ARG@" stands for it.
  void default_answer(const std::string& program, const std::string& text);
  void remove_program(const std::string& program);
  // The next run of `program` sends `signal` to process `pid`.
  void signal_on_run(const std::string& program, int pid, int signal);
  // Every run so far, each as {program, args...}, in order.
  std::vector<std::vector<std::string>> records() const;
  void clear_records();
  // Resets to: all six programs present with the fake's own answers (probe
  // "hd0,gpt2", relpath "@ARG@", df two lines, dmidecode a maker without a
  // quirk); nothing recorded.
  void reset();

 private:
  FakeTools();
  std::string dir_;
};

// A mount undone by its destructor, once: never copied.
struct ScopedMount {
  ScopedMount() = default;
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
};

// While alive, the fakes are off the search path: the machine's own
// programs answer (the tests of the real GRUB tools).
struct FakesHidden : ScopedMount {
  FakesHidden();
  ~FakesHidden();
};

// While alive, the machine's own `program` is not found in the search path
// (a non-executable node is bound over each copy); the fakes are untouched.
struct SystemProgramHidden : ScopedMount {
  explicit SystemProgramHidden(const std::string& program);
  ~SystemProgramHidden();

 private:
  std::vector<std::string> covered_;
};

// The fakes, as every test calls them.
inline FakeTools& fakes() { return FakeTools::instance(); }

// A minimal boot tree: /boot/grub with grub.cfg, two modules, one kernel, one initrd.
void make_small_boot_tree();

// The fake `program` that was told to sleep (answers/<program>/sleep) and
// its helper have ended, within a second (else they are killed).
bool hanging_run_is_gone(const std::string& program);

// Lines of the tool log, or empty.
std::vector<std::string> log_lines();
// How many lines of the tool log hold `text`.
size_t log_count(const std::string& text);
inline bool log_has(const std::string& text) { return log_count(text) > 0; }

}  // namespace sandbox
