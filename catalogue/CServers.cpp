#include "catalogue/CServers.h"

#include "platform/Profile.h"

namespace varo {

const char* const kDefaultServerUrl = "http://download.example.com/Download/Update.xml";

namespace {
constexpr std::size_t kValueCapacity = 512;
}

bool CServers::AddServer(const std::string& name, const std::string& url) {
  return Add(std::make_unique<CServer>(name, url));
}

std::filesystem::path ConfigurationFile(const std::filesystem::path& programDirectory) {
  return programDirectory / "ADImage" / "xxxxx_system.ini";
}

void FillServers(CServers& servers, const std::filesystem::path& programDirectory) {
  const std::filesystem::path file = ConfigurationFile(programDirectory);
  const char* const names[] = {"更新服务器1", "更新服务器2"};
  const char* const keys[] = {"server1", "server2"};
  for (int i = 0; i < 2; ++i) {
    // Read without a fallback first, to tell a configured server from one
    // that falls back to the default.
    const std::string url =
        platform::ReadProfileString(file, "UpdateServer", keys[i], "", kValueCapacity);
    auto server = std::make_unique<CServer>(
        names[i], url.empty() ? platform::ReadProfileString(file, "UpdateServer", keys[i],
                                                            kDefaultServerUrl, kValueCapacity)
                              : url);
    server->Configured = !url.empty();
    servers.Add(std::move(server));
  }
}

bool StartsNextAtOnce(const std::filesystem::path& programDirectory) {
  return platform::ReadProfileString(ConfigurationFile(programDirectory), "Update",
                                     "StartNextAtOnce", "0", kValueCapacity) == "1";
}

}  // namespace varo
