#include "support/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace varo::gui_test {

VirtualDisplay::VirtualDisplay(int width, int height) : Width(width), Height(height) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    return;
  }
  // Xvfb writes the display number it took to -displayfd; that end of the
  // pipe must survive exec.
  const std::string writeEnd = std::to_string(pipe[1]);
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  std::vector<std::string> argv = {"Xvfb", "-displayfd", writeEnd, "-screen", "0",
                                   screen, "-nolisten",  "tcp",    "-noreset"};
  std::vector<char*> args;
  for (std::string& arg : argv) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 onto itself clears close-on-exec.
  posix_spawn_file_actions_adddup2(&actions, pipe[1], pipe[1]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const bool spawned =
      ::posix_spawnp(&Server, "Xvfb", &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (!spawned) {
    ::close(pipe[0]);
    Server = -1;
    return;
  }
  std::string number;
  pollfd wait{pipe[0], POLLIN, 0};
  while (::poll(&wait, 1, 20'000) == 1) {
    char c = 0;
    if (::read(pipe[0], &c, 1) != 1 || c == '\n') {
      break;
    }
    number += c;
  }
  ::close(pipe[0]);
  if (number.empty()) {
    return;
  }
  Name = ":" + number;
  ::setenv("DISPLAY", Name.c_str(), 1);
  ::setenv("GDK_BACKEND", "x11", 1);
  ::unsetenv("WAYLAND_DISPLAY");
}

VirtualDisplay::~VirtualDisplay() {
  if (Server > 0) {
    ::kill(Server, SIGTERM);
    int status = 0;
    ::waitpid(Server, &status, 0);
  }
}

}  // namespace varo::gui_test
