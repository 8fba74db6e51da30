#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/SystemBoot.h"

namespace varo::platform {
namespace {

// The name of this start of the system is random, the same for every run
// within it (it is read from the registry by each), and kept in a volatile
// key, which the system drops when it starts again.
TEST(WinSystemBootTest, TheStartIsNamedInAVolatileKey) {
  const std::string id = CurrentBoot();
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_TRUE(IsCurrentBoot(id));
  EXPECT_FALSE(IsCurrentBoot(""));
  std::string other = id;
  other[0] = other[0] == '0' ? '1' : '0';
  EXPECT_FALSE(IsCurrentBoot(other));

  wchar_t stored[64] = {};
  DWORD size = sizeof stored;
  ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, L"Software\\VaroUpdateBoot", L"Id", RRF_RT_REG_SZ,
                           nullptr, stored, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(stored), std::wstring(id.begin(), id.end()));

  HKEY key = nullptr;
  EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VaroUpdateBoot\\Kept", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE)
      << "only a volatile key refuses a lasting one below it";
  if (key != nullptr) {
    ::RegCloseKey(key);
  }
}

}  // namespace
}  // namespace varo::platform
