#include "support/platform_programs.h"
#include "support/unique_fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

std::atomic<unsigned long> started_count{0};
std::atomic<int> default_seconds{kDefaultProgramSeconds};
constexpr size_t kKeptErrorBytes = 4096;
using Clock = std::chrono::steady_clock;

// Process groups of the programs running now. A program is spawned and
// entered here under the one lock, so kill_running_programs() either sees
// its group or stops it from being started.
std::mutex running_mutex;
// Never destroyed: the signal thread may still look at it while the process exits.
std::set<pid_t>& running_groups = *new std::set<pid_t>;
bool starting_stopped = false;
// The signal mask the process began with, which every program gets back.
sigset_t original_mask;
bool mask_changed = false;

class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    // Its own group (numbered by its pid), so a kill reaches what it started too.
    short flags = POSIX_SPAWN_SETPGROUP;
    if (mask_changed) {
      // Not the signals this process keeps blocked for its signal thread.
      flags |= POSIX_SPAWN_SETSIGMASK;
      posix_spawnattr_setsigmask(&attributes_, &original_mask);
    }
    posix_spawnattr_setflags(&attributes_, flags);
    posix_spawnattr_setpgroup(&attributes_, 0);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

int milliseconds_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Splits standard output into lines, keeping at most `max_lines` (0: all),
// and keeps the start of the error output. Both pipes are drained to their
// end, so the program never blocks on a full pipe.
class OutputReader {
 public:
  OutputReader(size_t max_lines, size_t max_bytes, char terminator, ProgramOutput* output)
      : max_lines_(max_lines), max_bytes_(max_bytes), terminator_(terminator), output_(output) {}

  // False when the deadline passed before both pipes ended.
  bool read_all(int out_descriptor, int error_descriptor, Clock::time_point deadline) {
    struct pollfd fds[2] = {{out_descriptor, POLLIN, 0}, {error_descriptor, POLLIN, 0}};
    int open_count = error_descriptor >= 0 ? 2 : 1;
    if (error_descriptor < 0) fds[1].fd = -1;
    char buffer[16384];
    while (open_count > 0) {
      int ready = poll(fds, 2, milliseconds_until(deadline));
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (ready == 0) {
        if (Clock::now() >= deadline) return false;
        continue;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && i == 0) output_->read_error = errno;
        if (got <= 0) {
          fds[i].fd = -1;
          --open_count;
        } else if (i == 0) {
          take_output(buffer, static_cast<size_t>(got));
        } else if (output_->errors.size() < kKeptErrorBytes) {
          output_->errors.append(buffer, std::min(static_cast<size_t>(got), kKeptErrorBytes - output_->errors.size()));
        }
      }
    }
    if (keeping_ && !pending_.empty()) output_->lines.push_back(pending_);
    return true;
  }

 private:
  void take_output(const char* data, size_t size) {
    if (!keeping_) return;
    pending_.append(data, size);
    size_t start = 0;
    for (size_t end; (end = pending_.find(terminator_, start)) != std::string::npos; start = end + 1) {
      kept_bytes_ += end - start + 1;
      if (over_limit(0)) return;
      output_->lines.push_back(pending_.substr(start, end - start));
      if (max_lines_ != 0 && output_->lines.size() >= max_lines_) {
        keeping_ = false;
        break;
      }
    }
    pending_.erase(0, keeping_ ? start : pending_.size());
    if (keeping_) over_limit(pending_.size());
  }

  // Past the limit everything kept goes: a cut answer would pass for a whole one.
  bool over_limit(size_t more) {
    if (max_bytes_ == 0 || kept_bytes_ + more <= max_bytes_) return false;
    output_->too_long = true;
    output_->lines.clear();
    pending_.clear();
    keeping_ = false;
    return true;
  }

  size_t max_lines_;
  size_t max_bytes_;
  size_t kept_bytes_ = 0;
  char terminator_;
  ProgramOutput* output_;
  std::string pending_;
  bool keeping_ = true;
};

// Waits for `child` until the deadline; false when it passed first. A child
// that cannot be waited for leaves *status at -1.
bool reap_by(pid_t child, Clock::time_point deadline, int* status) {
  // A process descriptor becomes readable when the child ends; without one
  // (an old kernel) the child is asked for at growing intervals.
  UniqueFd ended(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  while (ended.get() >= 0) {
    struct pollfd wait_for = {ended.get(), POLLIN, 0};
    int ready = poll(&wait_for, 1, milliseconds_until(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && Clock::now() >= deadline) return false;
    if (ready != 0) break;
  }
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    pid_t reaped = waitpid(child, status, WNOHANG);
    if (reaped == child) return true;
    if (reaped < 0 && errno != EINTR) {
      *status = -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// The caller's environment with PATH replaced by the search path.
std::vector<std::string> program_environment() {
  std::vector<std::string> variables{std::string("PATH=") + kProgramSearchPath};
  for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
    if (strncmp(*variable, "PATH=", 5) != 0) variables.emplace_back(*variable);
  }
  return variables;
}

void forget_group(pid_t group) {
  std::lock_guard<std::mutex> guard(running_mutex);
  running_groups.erase(group);
}

}  // namespace

ProgramOutput run_program(const std::vector<std::string>& argv, ErrorOutput errors, size_t max_lines,
                          char terminator, RunBounds bounds) {
  ProgramOutput output;
  output.bound_seconds = bounds.seconds > 0 ? bounds.seconds : default_seconds.load();
  output.byte_limit = bounds.max_bytes;
  if (argv.empty()) return output;
  fflush(stdout);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    output.start_error = errno;
    return output;
  }
  UniqueFd read_end(pipe_ends[0]), write_end(pipe_ends[1]);
  UniqueFd error_read_end, error_write_end;
  if (errors == ErrorOutput::kCapture) {
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
      output.start_error = errno;
      return output;
    }
    error_read_end.reset(pipe_ends[0]);
    error_write_end.reset(pipe_ends[1]);
  }

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
  if (errors == ErrorOutput::kDiscard) {
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  } else if (errors == ErrorOutput::kCapture) {
    posix_spawn_file_actions_adddup2(actions.get(), error_write_end.get(), STDERR_FILENO);
  }
  SpawnAttributes attributes;

  std::string program = find_program(argv[0]);
  if (program.empty()) {
    output.start_error = ENOENT;
    return output;
  }
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const auto& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  std::vector<std::string> variables = program_environment();
  std::vector<char*> environment;
  environment.reserve(variables.size() + 1);
  for (auto& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);

  pid_t child = -1;
  {
    std::lock_guard<std::mutex> guard(running_mutex);
    if (starting_stopped) return output;
    if (int error = posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), arguments.data(),
                                environment.data());
        error != 0) {
      output.start_error = error;
      return output;
    }
    running_groups.insert(child);
  }
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(output.bound_seconds);
  ++started_count;
  output.started = true;
  write_end.reset();
  error_write_end.reset();
  bool ended = OutputReader(max_lines, bounds.max_bytes, terminator, &output)
                   .read_all(read_end.get(), error_read_end.get(), deadline);
  read_end.reset();
  int status = 0;
  if (!ended || !reap_by(child, deadline, &status)) {
    output.timed_out = true;
    output.lines.clear();
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  } else {
    output.wait_status = status;
  }
  forget_group(child);
  return output;
}

std::string find_program(const std::string& name) {
  auto runnable = [](const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return runnable(name) ? name : "";
  std::string_view directories = kProgramSearchPath;
  while (!directories.empty()) {
    size_t end = std::min(directories.find(':'), directories.size());
    std::string candidate = std::string(directories.substr(0, end)) + "/" + name;
    if (runnable(candidate)) return candidate;
    directories.remove_prefix(std::min(end + 1, directories.size()));
  }
  return "";
}

ProgramOutput run_shell_command(const char* command, size_t max_lines, ErrorOutput errors, char terminator) {
  return run_program({"/bin/sh", "-c", command}, errors, max_lines, terminator);
}

std::string one_line(const std::string& errors) {
  std::string line;
  for (char c : errors) {
    if (c == '\n') line += "; ";
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) line += ' ';
    else line += c;
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == ';')) line.pop_back();
  return line;
}

bool ProgramOutput::succeeded() const {
  return started && !timed_out && !too_long && read_error == 0 && wait_status >= 0 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

std::string ProgramOutput::end_description() const {
  if (!started) return start_error != 0 ? std::string("could not be started: ") + strerror(start_error)
                                         : "could not be started";
  if (timed_out) return "did not finish within " + std::to_string(bound_seconds) + " seconds";
  if (too_long) return "printed more than " + std::to_string(byte_limit) + " bytes";
  if (read_error != 0) return std::string("could not be read: ") + strerror(read_error);
  if (wait_status < 0) return "could not be waited for";
  if (WIFEXITED(wait_status))
    return WEXITSTATUS(wait_status) == 0 ? "" : "exited with status " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) return "was killed by signal " + std::to_string(WTERMSIG(wait_status));
  return "ended abnormally";
}

unsigned long programs_started() { return started_count.load(); }

void kill_running_programs() {
  std::lock_guard<std::mutex> guard(running_mutex);
  starting_stopped = true;
  for (pid_t group : running_groups) kill(-group, SIGKILL);
}

void end_programs_with_the_process() {
  sigset_t ending;
  sigemptyset(&ending);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction current {};
    // One ignored from the start (nohup) stays ignored.
    if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) sigaddset(&ending, number);
  }
  if (pthread_sigmask(SIG_BLOCK, &ending, &original_mask) != 0) return;
  auto wait_for_signal = [ending] {
    int number = 0;
    while (sigwait(&ending, &number) != 0) {
    }
    kill_running_programs();
    // Now die of the signal itself, so whoever sent it sees it as the cause.
    signal(number, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, number);
    pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(number);
    _exit(128 + number);
  };
  try {
    std::thread(wait_for_signal).detach();
    mask_changed = true;
  } catch (const std::system_error&) {
    // No thread to spare (a tight address space): the signals end the
    // process at once, as they did before.
    pthread_sigmask(SIG_SETMASK, &original_mask, nullptr);
  }
}

void set_default_program_seconds_for_testing(int seconds) {
  default_seconds = seconds > 0 ? seconds : kDefaultProgramSeconds;
}
