#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Shell.h"

namespace varo::platform {

// Starts programs and opens files the way the updater's shell does on
// Linux, never waiting for them: a bare name is looked up in the current
// folder first, then on PATH, and a system program only in the absolute
// folders of PATH; an executable file runs with its parameters
// split like a shell does (no expansion of any kind); any other file opens
// with the desktop's default application. Children are reaped by the main
// loop and inherit no descriptor but the standard three.
class ProgramStarter {
 public:
  // What a request comes to.
  struct Plan {
    enum class Action { Nothing, Run, Open };
    Action What = Action::Nothing;
    std::filesystem::path File;          // absolute
    std::vector<std::string> Arguments;  // after the program itself
    // Why nothing is done; empty when a bare name is simply not there,
    // which passes without a word (as "regsvr32" on a desktop without it).
    // A system program named with a folder is a problem.
    std::string Problem;
  };

  static Plan PlanStart(const StartRequest& request, const std::filesystem::path& currentDirectory);

  // Carries out the plan for the process's current folder. Failures go to
  // standard error and nowhere else.
  void Start(const StartRequest& request);
};

}  // namespace varo::platform
