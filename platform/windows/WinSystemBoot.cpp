// platform::ReadBootName on Windows: a random name kept in a volatile
// registry key of the user's, which the system never writes to the disk, so
// it is gone after the system starts again (or the user's profile is
// unloaded, at a log-off: then a record only counts as older than it is).
// The first run of a start makes it; every later run reads it.

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>
#include <cstdio>
#include <string>

#include "platform/SystemBoot.h"

namespace varo::platform {
namespace {

constexpr const wchar_t* kKey = L"Software\\VaroUpdateBoot";
constexpr const wchar_t* kValue = L"Id";
constexpr std::size_t kIdBytes = 16;

class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (Handle != nullptr) {
      ::RegCloseKey(Handle);
    }
  }
  HKEY Handle = nullptr;
};

std::string Read(HKEY key) {
  std::array<wchar_t, 2 * kIdBytes + 1> text{};
  DWORD type = 0;
  DWORD size = sizeof text;
  if (::RegQueryValueExW(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS ||
      type != REG_SZ || size != sizeof text) {
    return {};
  }
  std::string id;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const wchar_t c = text[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
      return {};
    }
    id.push_back(static_cast<char>(c));
  }
  return text.back() == L'\0' ? id : std::string();
}

}  // namespace

std::string ReadBootName() {
  Key key;
  DWORD disposition = 0;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key.Handle,
                        &disposition) != ERROR_SUCCESS) {
    return {};
  }
  if (disposition == REG_OPENED_EXISTING_KEY) {
    // A run that made the key a moment ago may not have named it yet.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (std::string id = Read(key.Handle); !id.empty()) {
        return id;
      }
      ::Sleep(5);
    }
    return {};
  }
  std::array<unsigned char, kIdBytes> random{};
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return {};
  }
  std::array<wchar_t, 2 * kIdBytes + 1> text{};
  for (std::size_t i = 0; i < random.size(); ++i) {
    std::swprintf(&text[2 * i], 3, L"%02x", random[i]);
  }
  if (::RegSetValueExW(key.Handle, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                       sizeof text) != ERROR_SUCCESS) {
    return {};
  }
  return Read(key.Handle);
}

}  // namespace varo::platform
