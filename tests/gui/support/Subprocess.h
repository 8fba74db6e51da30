#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace varo::gui_test {

// A child process of a test: started at construction, killed at
// destruction if it still runs.
class Subprocess {
 public:
  struct Options {
    std::map<std::string, std::string> Environment;  // added to (or replacing) the test's
    std::vector<std::string> Unset;                  // removed from the environment
    std::filesystem::path Directory;                 // the test's when empty
    std::filesystem::path Output;                    // standard output; inherited when empty
    std::filesystem::path Errors;  // standard error; inherited when empty (may be Output)
  };

  explicit Subprocess(const std::vector<std::string>& argv);
  Subprocess(const std::vector<std::string>& argv, const Options& options);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t Pid() const { return Id; }
  bool Running();
  // The exit code (128 + signal number for a killed process), or nothing
  // when it still runs after timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Kill(int signal = 9);

 private:
  pid_t Id = -1;
  std::optional<int> Status;
};

// Runs a program to its end and returns what it wrote to standard output;
// nothing when it fails or runs longer than timeout.
std::optional<std::string> RunForOutput(
    const std::vector<std::string>& argv,
    std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string ReadFile(const std::filesystem::path& file);

}  // namespace varo::gui_test
