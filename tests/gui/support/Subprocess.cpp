#include "support/Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace varo::gui_test {
namespace {

int DecodeStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv) : Subprocess(argv, Options{}) {}

Subprocess::Subprocess(const std::vector<std::string>& argv, const Options& options) {
  // posix_spawn, not fork: the test has threads (GLib's among them), and
  // only exec is safe in the child of a threaded process.
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);

  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    variables[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
  }
  for (const auto& [name, value] : options.Environment) {
    variables[name] = value;
  }
  for (const std::string& name : options.Unset) {
    variables.erase(name);
  }
  std::vector<std::string> texts;
  for (const auto& [name, value] : variables) {
    texts.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& text : texts) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.Directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.Directory.c_str());
  }
  if (!options.Output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.Output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  if (!options.Errors.empty()) {
    if (options.Errors == options.Output) {
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, options.Errors.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that Kill reaches its children too.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  if (::posix_spawnp(&Id, args[0], &actions, &attributes, args.data(), envp.data()) != 0) {
    Id = -1;
    Status = 127;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

Subprocess::~Subprocess() {
  if (Running()) {
    Kill();
    Wait(std::chrono::seconds(10));
  }
}

bool Subprocess::Running() {
  if (Id <= 0 || Status) {
    return false;
  }
  int status = 0;
  if (::waitpid(Id, &status, WNOHANG) == Id) {
    Status = DecodeStatus(status);
    return false;
  }
  return true;
}

std::optional<int> Subprocess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Status;
}

void Subprocess::Kill(int signal) {
  if (Running()) {
    ::kill(-Id, signal);
    ::kill(Id, signal);
  }
}

std::optional<std::string> RunForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
  char name[] = "/tmp/varo-gui-output-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) {
    return std::nullopt;
  }
  ::close(fd);
  std::optional<int> code;
  {
    Subprocess::Options options;
    options.Output = name;
    Subprocess process(argv, options);
    code = process.Wait(timeout);
  }
  std::string output = ReadFile(name);
  ::unlink(name);
  if (!code || *code != 0) {
    return std::nullopt;
  }
  return output;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace varo::gui_test
