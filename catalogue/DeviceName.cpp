#include "catalogue/DeviceName.h"

#include "common/AsciiText.h"

namespace varo {

bool IsDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') {
    stem.remove_suffix(1);
  }
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoringAsciiCase(stem, device)) {
      return true;
    }
  }
  if (stem.size() < 4 || !(EqualsIgnoringAsciiCase(stem.substr(0, 3), "COM") ||
                           EqualsIgnoringAsciiCase(stem.substr(0, 3), "LPT"))) {
    return false;
  }
  const std::string_view number = stem.substr(3);
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\u00B9" ||
         number == "\u00B2" || number == "\u00B3";
}

}  // namespace varo
