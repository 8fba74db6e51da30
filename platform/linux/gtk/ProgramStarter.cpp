#include "platform/linux/gtk/ProgramStarter.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/linux/gtk/SkinTheme.h"

namespace varo::platform {
namespace {

struct GFreeDeleter {
  void operator()(void* pointer) const { g_free(pointer); }
};
using OwnedText = std::unique_ptr<gchar, GFreeDeleter>;

bool IsRegularFile(const std::filesystem::path& file) {
  std::error_code error;
  return std::filesystem::is_regular_file(file, error);
}

// A system program: the first executable file of that name in the
// absolute folders of the search path (the system's default path when
// PATH is unset). Empty and relative entries mean the current folder and
// are passed over.
std::optional<std::filesystem::path> FindSystemProgram(const std::string& name) {
  std::string search;
  if (const gchar* path = g_getenv("PATH"); path != nullptr) {
    search = path;
  } else if (const std::size_t size = ::confstr(_CS_PATH, nullptr, 0); size > 0) {
    search.resize(size);
    ::confstr(_CS_PATH, search.data(), size);
    search.resize(size - 1);  // without the terminating null
  }
  std::size_t start = 0;
  while (start <= search.size()) {
    const std::size_t end = std::min(search.find(':', start), search.size());
    const std::filesystem::path folder(search.substr(start, end - start));
    start = end + 1;
    if (!folder.is_absolute()) {
      continue;
    }
    const std::filesystem::path candidate = folder / name;
    if (IsRegularFile(candidate) && g_file_test(candidate.c_str(), G_FILE_TEST_IS_EXECUTABLE)) {
      return candidate;
    }
  }
  return std::nullopt;
}

void Reap(GPid pid, gint, gpointer) {
  g_spawn_close_pid(pid);
}

// Starts file with arguments (argv, null-terminated, argv[0] the file) and
// environment, in the current folder, without waiting for it. The child
// reads from /dev/null, keeps only the standard output and error of ours
// and blocks no signal. posix_spawn
// shares the caller's memory until the exec instead of copying its page
// tables as fork does, which costs a large process like this one
// milliseconds; a failed exec is still reported here. The child's id, or
// the error.
pid_t Spawn(const std::filesystem::path& file, char* const* argv, char* const* environment,
            int& error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  error = ::posix_spawn_file_actions_init(&actions);
  if (error != 0) {
    return -1;
  }
  error = ::posix_spawnattr_init(&attributes);
  if (error != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  pid_t pid = -1;
  error = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (error == 0) {
    error = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  }
  if (error == 0) {
    error = ::posix_spawnattr_setsigmask(&attributes, &none);
  }
  if (error == 0) {
    error = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  }
  if (error == 0) {
    error = ::posix_spawn(&pid, file.c_str(), &actions, &attributes, argv, environment);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace

ProgramStarter::Plan ProgramStarter::PlanStart(const StartRequest& request,
                                               const std::filesystem::path& currentDirectory) {
  Plan plan;
  if (request.File.empty()) {
    plan.Problem = "no program named";
    return plan;
  }
  const std::filesystem::path named(request.File);
  if (request.SystemProgram) {
    if (request.File.find('/') != std::string::npos) {
      plan.Problem = "a system program must be named without a folder";
      return plan;
    }
    if (auto found = FindSystemProgram(request.File)) {
      plan.File = std::move(*found);
    } else {
      return plan;  // not there: nothing to say
    }
  } else if (request.File.find('/') == std::string::npos) {
    if (IsRegularFile(currentDirectory / named)) {
      plan.File = currentDirectory / named;
    } else if (OwnedText found{g_find_program_in_path(request.File.c_str())}) {
      plan.File = found.get();
    } else {
      return plan;  // not there: nothing to say
    }
  } else {
    plan.File = named.is_absolute() ? named : currentDirectory / named;
    if (!IsRegularFile(plan.File)) {
      plan.Problem = plan.File.string() + " is not a file";
      return plan;
    }
  }
  plan.File = plan.File.lexically_normal();

  if (!g_file_test(plan.File.c_str(), G_FILE_TEST_IS_EXECUTABLE)) {
    plan.What = Plan::Action::Open;  // a document: its parameters mean nothing
    return plan;
  }
  // Split like a shell, expanding nothing; empty parameters are no
  // arguments at all.
  if (request.Parameters.find_first_not_of(" \t\r\n") != std::string::npos) {
    gint count = 0;
    gchar** arguments = nullptr;
    GError* error = nullptr;
    if (!g_shell_parse_argv(request.Parameters.c_str(), &count, &arguments, &error)) {
      plan.Problem =
          "cannot split the parameters \"" + request.Parameters + "\": " + error->message;
      g_error_free(error);
      return plan;
    }
    plan.Arguments.assign(arguments, arguments + count);
    g_strfreev(arguments);
  }
  plan.What = Plan::Action::Run;
  return plan;
}

void ProgramStarter::Start(const StartRequest& request) {
  std::error_code cwdError;
  const Plan plan = PlanStart(request, std::filesystem::current_path(cwdError));
  GError* error = nullptr;
  switch (plan.What) {
    case Plan::Action::Nothing:
      if (!plan.Problem.empty()) {
        std::cerr << "varo-update: cannot start " << request.File << ": " << plan.Problem << '\n';
      }
      return;
    case Plan::Action::Run: {
      std::vector<gchar*> argv;
      argv.push_back(const_cast<gchar*>(plan.File.c_str()));
      for (const std::string& argument : plan.Arguments) {
        argv.push_back(const_cast<gchar*>(argument.c_str()));
      }
      argv.push_back(nullptr);
      gchar** environment = g_get_environ();
      if (SkinThemeInUse()) {
        environment = g_environ_unsetenv(environment, "GTK_THEME");
      }
      int spawnError = 0;
      const pid_t pid = Spawn(plan.File, argv.data(), environment, spawnError);
      g_strfreev(environment);
      if (pid > 0) {
        // The child watch reaps it when it ends.
        g_child_watch_add(pid, &Reap, nullptr);
        return;
      }
      std::cerr << "varo-update: cannot start " << plan.File.string() << ": "
                << std::system_category().message(spawnError) << '\n';
      return;
    }
    case Plan::Action::Open: {
      OwnedText uri{g_filename_to_uri(plan.File.c_str(), nullptr, &error)};
      if (!uri) {
        break;
      }
      GAppLaunchContext* context = nullptr;
      if (GdkDisplay* display = gdk_display_get_default(); display != nullptr) {
        context = G_APP_LAUNCH_CONTEXT(gdk_display_get_app_launch_context(display));
        if (SkinThemeInUse()) {
          g_app_launch_context_unsetenv(context, "GTK_THEME");
        }
      }
      const bool opened = g_app_info_launch_default_for_uri(uri.get(), context, &error);
      if (context != nullptr) {
        g_object_unref(context);
      }
      if (opened) {
        return;
      }
      break;
    }
  }
  std::cerr << "varo-update: cannot start " << plan.File.string() << ": "
            << (error != nullptr ? error->message : "unknown error") << '\n';
  if (error != nullptr) {
    g_error_free(error);
  }
}

}  // namespace varo::platform
