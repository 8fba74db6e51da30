#pragma once

#include <string>
#include <string_view>

namespace varo::platform {

// Names the current start of the system, so that a later run can tell
// whether the system has been started again since a file was written:
// bytes written but not yet on the disk survive a process that ends in any
// way, but not a power cut or a crash of the system. Empty when the system
// cannot name it.
const std::string& CurrentBoot();

// True when recorded, as CurrentBoot gave it, names the current start;
// false when it names another, is empty, or cannot be told.
bool IsCurrentBoot(std::string_view recorded);

// What each system supplies: the name of the current start, read afresh;
// empty when there is none. CurrentBoot reads it once.
std::string ReadBootName();

}  // namespace varo::platform
