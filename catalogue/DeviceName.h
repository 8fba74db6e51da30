#pragma once

#include <string_view>

namespace varo {

// Names that Windows takes for devices, whatever their extension: CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (also with a superscript 1,
// 2 or 3), in any case, with blanks before the extension. The update list's
// reader drops entries that use one; the publisher leaves such files out.
bool IsDeviceName(std::string_view name);

}  // namespace varo
