#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/CServer.h"
#include "common/LockedPtrList.h"

namespace varo {

// The update servers of one run, in the order they were added.
class CServers : public LockedPtrList<CServer> {
 public:
  // Appends a server and takes ownership; false (list unchanged) for null.
  bool Add(std::unique_ptr<CServer> server) { return AddTail(std::move(server)); }

  // Appends a new server holding copies of name and url.
  bool AddServer(const std::string& name, const std::string& url);
};

// The configuration file below the program's directory.
std::filesystem::path ConfigurationFile(const std::filesystem::path& programDirectory);

// The update-list URL that a key names when the configuration file lacks it.
extern const char* const kDefaultServerUrl;

// Adds the two servers of the configuration file to servers: "server1" then
// "server2" of section "UpdateServer", each falling back to the default URL
// when absent.
void FillServers(CServers& servers, const std::filesystem::path& programDirectory);

// Whether "StartNextAtOnce" of section "Update" in the configuration file is
// 1: each download then starts as soon as the previous one's completion has
// been handled. Any other value, or none, leaves it to the next tick.
bool StartsNextAtOnce(const std::filesystem::path& programDirectory);

// The key that signs the update list: "PublicKey" of section "UpdateServer",
// base64 of the DER SubjectPublicKeyInfo of a P-256 key, decoded. Nothing
// when the configuration gives no key (no such line, or an empty value):
// lists are then taken unsigned. A key that is given but is no such base64
// or no such key gives an empty key, which no signature matches, so that a
// broken configuration refuses every list instead of turning the check off.
std::optional<std::vector<std::uint8_t>> ReadListPublicKey(
    const std::filesystem::path& programDirectory);

}  // namespace varo
