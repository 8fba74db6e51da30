// What only the libxml2 backend is asked to do; the behaviour that both
// backends share is tested in XmlReader_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>

#include "platform/XmlReader.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

// A FIFO without a writer would block a plain open() for ever; /dev/zero
// would never end.
TEST(LibXmlReaderTest, WhatIsNoRegularFileFailsWithoutBlocking) {
  const test::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.xml").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero.xml");
  for (const char* name : {"fifo.xml", "zero.xml"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ReadXmlEntries(dir / name, "File", std::size_t{32} << 20).has_value());
  }
}

}  // namespace
}  // namespace varo::platform
