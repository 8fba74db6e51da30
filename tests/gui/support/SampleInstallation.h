#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace varo::gui_test {

// A game centre installed in a temporary folder: the program with its
// ADImage tree, a configuration file naming the server, a stand-in client
// that records its start, and the files as they were before the update.
class Installation {
 public:
  Installation(const std::string& listUrl, const std::filesystem::path& program);
#ifdef VARO_UPDATE_PROGRAM
  explicit Installation(const std::string& listUrl) : Installation(listUrl, VARO_UPDATE_PROGRAM) {}
#endif

  // Runs the program in the installation's folder, as the game centre's
  // launcher does, its output going to the log file named; environment is
  // added to the test's.
  std::unique_ptr<Subprocess> Run(const std::string& log = "varo-update.log",
                                  const std::map<std::string, std::string>& environment = {});

  bool ClientStarted() const;
  std::string Log(const std::string& log = "varo-update.log") const;
  // Every entry of the installation but the logs, with its files' content.
  std::map<std::filesystem::path, std::string> Contents() const;
  const std::filesystem::path& Path() const {
    return Dir.Path();
  }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return Dir / relative;
  }

 private:
  test::TempDir Dir;
};

// A listed file, stamped far in the future: any local copy is older.
std::string Entry(const std::string& name, const std::string& localPath, std::size_t length,
                  const std::string& url);

// count bytes of a pattern that starts from seed.
std::string Bytes(std::size_t count, char seed);

}  // namespace varo::gui_test
