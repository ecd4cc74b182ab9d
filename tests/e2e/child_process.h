#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellisant::e2e {

// A program the test started, with its standard output and error appended to a log file.
// Killed (SIGKILL) and reaped when the object goes away while it still runs.
class Child {
 public:
  Child() = default;
  // With `input`, the child's standard input is a pipe fed by send(); otherwise /dev/null.
  // Throws std::runtime_error when the program cannot be started.
  static Child start(const std::vector<std::string>& argv, const std::filesystem::path& log,
                     bool input = false);
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  bool running();
  void send(std::string_view text);
  void closeInput();
  void signal(int number);
  // The exit status (128 + signal for a killed child), or nothing when `limit` passes first.
  std::optional<int> wait(std::chrono::milliseconds limit);

 private:
  void release();
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
};

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end with its output in files below `logs`; a program still running
// after `limit` is killed and reported with status -1.
Output run(const std::vector<std::string>& argv, const std::filesystem::path& logs,
           std::chrono::seconds limit = std::chrono::seconds(60));

}  // namespace trellisant::e2e
