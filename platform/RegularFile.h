#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace varo::platform {

// The whole content of a regular file of at most maxBytes bytes. Nothing
// when the path is no regular file (a folder, a FIFO, a device; links are
// followed to what they name), cannot be read, or is larger than maxBytes.
// Never blocks on a special file and never reads more than maxBytes + 1
// bytes, whatever the file claims its size to be.
std::optional<std::string> ReadRegularFile(const std::filesystem::path& file, std::size_t maxBytes);

}  // namespace varo::platform
