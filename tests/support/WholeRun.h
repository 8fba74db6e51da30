#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo::test {

// A whole update run on the headless desktop against a real local server:
// an installation at Outer/"game" (with a neighbour folder beside it, to
// see that nothing is written outside), a configuration that names the
// server's list, and a run driven tick by tick to its end.
class WholeRun {
 public:
  static constexpr const char* kListPath = "/Download/Update.xml";

  // installation: where the installation goes; Outer/"game" when empty.
  explicit WholeRun(std::filesystem::path installation = {});

  // Serves body as the update list and runs the update until the window
  // asks to close (or 200 ticks pass). Boxes holds the texts of the error
  // boxes it showed; Desktop what else it did.
  void Run(const std::string& body);

  // Every file below Outer, relative to it, sorted.
  std::vector<std::string> OuterTree() const;
  // The tree of a fresh installation: the neighbour folder and the
  // configuration, and nothing else.
  std::vector<std::string> FreshTree() const;

  TempDir Outer;
  const std::filesystem::path Install;
  TestHttpServer Server;
  std::unique_ptr<platform::HeadlessDesktop> Desktop;
  std::vector<std::string> Boxes;
  // Whether the run ended (the window asked to close) and the list's
  // temporary file was gone afterwards.
  bool Ended = false;
  bool ListFileRemoved = false;
  // Runs as "--verify" asks: files with a listed hash are hashed.
  bool Verify = false;
};

}  // namespace varo::test
