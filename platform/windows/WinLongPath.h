#pragma once

#include <filesystem>
#include <string>

namespace varo::platform {

// The form of path that the system's wide file calls take whatever its
// length: a full path with the \\?\ prefix (\\?\UNC\ for a share), which
// lifts the MAX_PATH limit. As the system takes such a path as it is
// written, the path is made full first the way the system makes any other
// path full: from the current folder, with forward slashes turned into
// backslashes, "." and ".." resolved, and trailing dots and blanks of the
// last name dropped. A device name (NUL, CON, \\.\...) and a path that
// already carries the prefix stay as they are; an empty path stays empty.
std::wstring LongPath(const std::filesystem::path& path);

// The other way: a path as the rest of the program takes it, without the
// \\?\ or \\?\UNC\ prefix that the system may give (a program started by
// its prefixed path, the final path of an open file). Any other path stays
// as it is.
std::filesystem::path WithoutLongPrefix(std::wstring path);

}  // namespace varo::platform
