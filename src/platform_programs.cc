#include "platform_programs.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

std::atomic<unsigned long> started_count{0};
constexpr size_t kKeptErrorBytes = 4096;

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
  OutputReader(size_t max_lines, char terminator, ProgramOutput* output)
      : max_lines_(max_lines), terminator_(terminator), output_(output) {}

  void read_all(int out_descriptor, int error_descriptor) {
    struct pollfd fds[2] = {{out_descriptor, POLLIN, 0}, {error_descriptor, POLLIN, 0}};
    int open_count = error_descriptor >= 0 ? 2 : 1;
    if (error_descriptor < 0) fds[1].fd = -1;
    char buffer[16384];
    while (open_count > 0) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
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
  }

 private:
  void take_output(const char* data, size_t size) {
    if (!keeping_) return;
    pending_.append(data, size);
    size_t start = 0;
    for (size_t end; (end = pending_.find(terminator_, start)) != std::string::npos; start = end + 1) {
      output_->lines.push_back(pending_.substr(start, end - start));
      if (max_lines_ != 0 && output_->lines.size() >= max_lines_) {
        keeping_ = false;
        break;
      }
    }
    pending_.erase(0, keeping_ ? start : pending_.size());
  }

  size_t max_lines_;
  char terminator_;
  ProgramOutput* output_;
  std::string pending_;
  bool keeping_ = true;
};

}  // namespace

ProgramOutput run_program(const std::vector<std::string>& argv, ErrorOutput errors, size_t max_lines,
                          char terminator) {
  ProgramOutput output;
  if (argv.empty()) return output;
  fflush(stdout);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return output;
  UniqueFd read_end(pipe_ends[0]), write_end(pipe_ends[1]);
  UniqueFd error_read_end, error_write_end;
  if (errors == ErrorOutput::kCapture) {
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return output;
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

  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const auto& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  pid_t child = -1;
  if (posix_spawnp(&child, arguments[0], actions.get(), nullptr, arguments.data(), environ) != 0) {
    return output;
  }
  ++started_count;
  output.started = true;
  write_end.reset();
  error_write_end.reset();
  OutputReader(max_lines, terminator, &output).read_all(read_end.get(), error_read_end.get());
  read_end.reset();
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped == child) output.wait_status = status;
  return output;
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
  return started && read_error == 0 && wait_status >= 0 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

std::string ProgramOutput::end_description() const {
  if (!started) return "could not be started";
  if (read_error != 0) return std::string("could not be read: ") + strerror(read_error);
  if (wait_status < 0) return "could not be waited for";
  if (WIFEXITED(wait_status))
    return WEXITSTATUS(wait_status) == 0 ? "" : "exited with status " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) return "was killed by signal " + std::to_string(WTERMSIG(wait_status));
  return "ended abnormally";
}

unsigned long programs_started() { return started_count.load(); }
