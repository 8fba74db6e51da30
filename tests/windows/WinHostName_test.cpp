#include "platform/windows/WinHostName.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace varo::platform {
namespace {

TEST(WinHostNameTest, NamesBeyondAsciiTakeTheirPunycodeForm) {
  const struct {
    std::wstring Given;
    std::optional<std::wstring> Expected;
  } cases[] = {
      {L"example.com", L"example.com"},
      {L"127.0.0.1", L"127.0.0.1"},
      {L"B\u00fccher.example", L"xn--bcher-kva.example"},
      // Mapped before it is encoded: case and width.
      {L"B\u00dcCHER.example", L"xn--bcher-kva.example"},
      {L"b\u00fccher\uff0eexample", L"xn--bcher-kva.example"},
      {L"\u4f8b\u3048.\u30c6\u30b9\u30c8", L"xn--r8jz45g.xn--zckzah"},
      // IDNA 2003 maps the sharp s to "ss" (libidn2's IDNA 2008 keeps it:
      // xn--fa-hia.de).
      {L"fa\u00df.de", L"fass.de"},
      // An unassigned code point, a direction override, a label longer than
      // 63 once encoded: no host name.
      {L"a\u0378b.test", std::nullopt},
      {L"a\u202eb.test", std::nullopt},
      {std::wstring(70, L'\u00fc') + L".test", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Given.size()) + " characters, first " +
                 testing::PrintToString(static_cast<int>(c.Given.front())));
    EXPECT_EQ(AsciiHostName(c.Given), c.Expected);
  }
}

}  // namespace
}  // namespace varo::platform
