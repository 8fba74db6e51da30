#pragma once

#include <cstdint>

namespace varo::platform {

// COM-style result code: 0 for success, negative for failure.
using HResult = std::int32_t;

inline constexpr HResult kOk = 0;
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);  // E_FAIL

// The failure code of a platform error number (errno on POSIX, the last
// error on Windows); 0 gives kFail, as there is no error to report.
constexpr HResult HResultFromError(std::uint32_t error) {
  return error == 0 ? kFail : static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}

constexpr bool Succeeded(HResult result) {
  return result >= 0;
}

}  // namespace varo::platform
