#include "platform/SystemBoot.h"

namespace varo::platform {

const std::string& CurrentBoot() {
  static const std::string name = ReadBootName();
  return name;
}

bool IsCurrentBoot(std::string_view recorded) {
  const std::string& current = CurrentBoot();
  return !current.empty() && recorded == current;
}

}  // namespace varo::platform
