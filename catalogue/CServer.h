#pragma once

#include <string>

namespace varo {

// One update server: its display name and the full URL of its update list.
class CServer {
 public:
  CServer() = default;
  CServer(std::string name, std::string url) : Name(std::move(name)), URL(std::move(url)) {}
  virtual ~CServer() = default;

  std::string Name;
  std::string URL;
  // False for a server that the configuration file does not name (its URL
  // is then the default); only configured servers are tried after another
  // one failed.
  bool Configured = true;
};

}  // namespace varo
