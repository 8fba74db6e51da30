// platform::ReadBootName on Linux: the kernel's random identity of the
// current boot, which a resume from hibernation keeps (memory, written data
// included, is restored with it).

#include <algorithm>
#include <optional>
#include <string>

#include "platform/RegularFile.h"
#include "platform/SystemBoot.h"

namespace varo::platform {

std::string ReadBootName() {
  const std::optional<std::string> text = ReadRegularFile("/proc/sys/kernel/random/boot_id", 64);
  if (!text) {
    return {};
  }
  std::string id = *text;
  if (!id.empty() && id.back() == '\n') {
    id.pop_back();
  }
  // A UUID in its text form; anything else is not the kernel's.
  const bool wellFormed = id.size() == 36 && std::all_of(id.begin(), id.end(), [](char c) {
                            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
                          });
  return wellFormed ? id : std::string();
}

}  // namespace varo::platform
