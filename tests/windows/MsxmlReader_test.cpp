// What only the MSXML backend is asked to do; the behaviour that both
// backends share is tested in tests/platform/XmlReader_test.cpp.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <cstddef>
#include <optional>
#include <thread>

#include "platform/XmlReader.h"
#include "support/SourcePath.h"
#include "support/XmlEntries.h"

namespace varo::platform {
namespace {

using test::Flatten;

// The reader runs COM on threads that do not, and leaves the threading model
// of those that do alone: afterwards each thread is as it was.
TEST(MsxmlReaderComTest, CallingThreadsComIsLeftAsItWas) {
  const auto fixtures = test::SourcePath("tests/fixtures/xml");
  constexpr std::size_t kAnySize = 32u << 20;
  const auto expected = Flatten(ReadXmlEntries(fixtures / "update-utf8.xml", "File", kAnySize));
  ASSERT_TRUE(expected.has_value());
  struct Case {
    const char* Name;
    std::optional<DWORD> Model;  // the thread's own COM, if any
  };
  const Case cases[] = {
      {"no COM", std::nullopt},
      {"single-threaded apartment", COINIT_APARTMENTTHREADED},
      {"multi-threaded apartment", COINIT_MULTITHREADED},
  };
  for (const Case& c : cases) {
    std::thread([&] {
      SCOPED_TRACE(c.Name);  // traces are kept per thread
      if (c.Model) {
        ASSERT_EQ(::CoInitializeEx(nullptr, *c.Model), S_OK);
      }
      EXPECT_EQ(Flatten(ReadXmlEntries(fixtures / "update-gbk.xml", "File", kAnySize)), expected);
      // Initialising again tells what the thread has: S_OK when nothing,
      // S_FALSE in the same model.
      const DWORD probe = c.Model.value_or(COINIT_MULTITHREADED);
      EXPECT_EQ(::CoInitializeEx(nullptr, probe), c.Model ? S_FALSE : S_OK);
      ::CoUninitialize();
      if (c.Model) {
        ::CoUninitialize();
      }
    }).join();
  }
}

}  // namespace
}  // namespace varo::platform
