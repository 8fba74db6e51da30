#include "catalogue/CServers.h"

#include "platform/Crypto.h"
#include "platform/Profile.h"

namespace varo {

const char* const kDefaultServerUrl = "http://download.example.com/Download/Update.xml";

namespace {
constexpr std::size_t kValueCapacity = 512;
// A P-256 key's base64 has 124 characters; a longer value is cut at the
// capacity, and so spoils the key rather than passing for another.
constexpr std::size_t kKeyCapacity = 1024;
}  // namespace

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

std::optional<std::vector<std::uint8_t>> ReadListPublicKey(
    const std::filesystem::path& programDirectory) {
  const std::string text = platform::ReadProfileString(
      ConfigurationFile(programDirectory), "UpdateServer", "PublicKey", "", kKeyCapacity);
  if (text.empty()) {
    return std::nullopt;
  }
  std::optional<std::vector<std::uint8_t>> key = platform::DecodeBase64(text);
  if (!key || !platform::P256PointFromSpki(*key)) {
    return std::vector<std::uint8_t>{};
  }
  return key;
}

}  // namespace varo
