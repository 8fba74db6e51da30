#include "update/DownloadCheck.h"

#include <optional>

#include "platform/Crypto.h"

namespace varo {

bool MatchesSha256(const std::filesystem::path& file,
                   const std::array<std::uint8_t, 32>& expected) {
  const std::optional<platform::FileDigest> content = platform::HashFile(file);
  return content && content->Digest == expected;
}

}  // namespace varo
