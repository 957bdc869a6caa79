#include "platform_programs.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

extern char** environ;

namespace {

std::atomic<unsigned long> started_count{0};

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

// Splits the stream into lines; keeps at most `max_lines` (0: all), drains the rest
// so the program never blocks on a full pipe.
void read_lines(int descriptor, size_t max_lines, char terminator, std::vector<std::string>* lines) {
  std::string pending;
  char buffer[16384];
  bool keeping = true;
  for (;;) {
    ssize_t got = read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (!keeping) continue;
    pending.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t end; (end = pending.find(terminator, start)) != std::string::npos; start = end + 1) {
      lines->push_back(pending.substr(start, end - start));
      if (max_lines != 0 && lines->size() >= max_lines) {
        keeping = false;
        break;
      }
    }
    pending.erase(0, keeping ? start : pending.size());
  }
  if (keeping && !pending.empty()) lines->push_back(pending);
}

}  // namespace

ProgramOutput run_program(const std::vector<std::string>& argv, ErrorOutput errors, size_t max_lines,
                          char terminator) {
  ProgramOutput output;
  if (argv.empty()) return output;
  fflush(stdout);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return output;
  UniqueFd read_end(pipe_ends[0]), write_end(pipe_ends[1]);

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
  if (errors == ErrorOutput::kDiscard) {
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
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
  read_lines(read_end.get(), max_lines, terminator, &output.lines);
  read_end.reset();
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return output;
}

ProgramOutput run_shell_command(const char* command, size_t max_lines, char terminator) {
  return run_program({"/bin/sh", "-c", command}, ErrorOutput::kInherit, max_lines, terminator);
}

unsigned long programs_started() { return started_count.load(); }
