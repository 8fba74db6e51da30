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
  servers.AddServer("更新服务器1", platform::ReadProfileString(file, "UpdateServer", "server1",
                                                               kDefaultServerUrl, kValueCapacity));
  servers.AddServer("更新服务器2", platform::ReadProfileString(file, "UpdateServer", "server2",
                                                               kDefaultServerUrl, kValueCapacity));
}

bool StartsNextAtOnce(const std::filesystem::path& programDirectory) {
  return platform::ReadProfileString(ConfigurationFile(programDirectory), "Update",
                                     "StartNextAtOnce", "0", kValueCapacity) == "1";
}

}  // namespace varo
