#include "update/ListLoader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageQueue.h"
#include "support/TempDir.h"

namespace varo {
namespace {

std::vector<std::string> Names(const CUpdateFiles& files) {
  std::vector<std::string> names;
  files.ForEach([&](const CUpdateFile& record) { names.push_back(record.FileName); });
  return names;
}

TEST(ListLoaderTest, LoadsAndComparesOnItsOwnThreadThenPosts) {
  test::TempDir dir;
  test::WriteFile(dir / "current.dat", "x");
  test::WriteFile(dir / "list.xml",
                  "<UpdateList><File><FileName>missing.dat</FileName></File>"
                  "<File><FileName>current.dat</FileName></File>"
                  "<File><FileName>stale.dat</FileName><FileDateHigh>2000000000</FileDateHigh>"
                  "</File><File><FileName>..\\out.dat</FileName></File></UpdateList>");
  test::WriteFile(dir / "stale.dat", "x");
  platform::MessageQueue window;
  ListLoader loader(window, dir / "list.xml", dir.Path(), std::nullopt, std::nullopt);
  const std::thread::id here = std::this_thread::get_id();
  ASSERT_TRUE(loader.Start());
  const std::optional<platform::Message> done = window.WaitTake(std::chrono::seconds(10));
  ASSERT_TRUE(done);
  EXPECT_EQ(*done,
            (platform::Message{WM_LIST_LOADED, 1, reinterpret_cast<std::intptr_t>(&loader)}));
  EXPECT_TRUE(loader.Loaded);
  EXPECT_EQ(Names(loader.Files), (std::vector<std::string>{"missing.dat", "stale.dat"}));
  EXPECT_EQ(window.Size(), 0u) << "one message per run";
  EXPECT_EQ(std::this_thread::get_id(), here);

  // The window takes the records over, in their order.
  CUpdateFiles taken(dir.Path());
  taken.TakeAll(loader.Files);
  EXPECT_EQ(Names(taken), (std::vector<std::string>{"missing.dat", "stale.dat"}));
  EXPECT_EQ(loader.Files.GetCount(), 0u);
}

TEST(ListLoaderTest, AListThatDoesNotLoadSaysSo) {
  test::TempDir dir;
  test::WriteFile(dir / "list.xml", "<html><body>502");
  platform::MessageQueue window;
  {
    ListLoader loader(window, dir / "list.xml", dir.Path(), std::nullopt, std::nullopt);
    ASSERT_TRUE(loader.Start());
    const std::optional<platform::Message> done = window.WaitTake(std::chrono::seconds(10));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->WParam, 0u);
    EXPECT_FALSE(loader.Loaded);
    EXPECT_EQ(loader.Files.GetCount(), 0u);
  }
  // Loading in place gives the same, without a message.
  ListLoader here(window, dir / "missing.xml", dir.Path(), std::nullopt, std::nullopt);
  here.LoadHere();
  EXPECT_FALSE(here.Loaded);
  EXPECT_EQ(window.Size(), 0u);
}

// An entry whose side file or resume record would carry the name of a
// listed file downloads into a side file of the hashed form. Names are
// compared as Windows compares them, without regard to case, beyond ASCII
// as well.
TEST(ListLoaderTest, EntriesWhoseSideNameIsListedTakeTheHashedForm) {
  test::TempDir dir;
  test::WriteFile(dir / "list.xml",
                  "<UpdateList>"
                  "<File><FileName>a.pak</FileName></File>"
                  "<File><FileName>A.PAK.UPDATE</FileName></File>"
                  "<File><FileName>b.pak</FileName></File>"
                  "<File><FileName>b.pak.Resume</FileName></File>"
                  "<File><FileName>\xC3\x84rger.pak</FileName></File>"         // Ärger.pak
                  "<File><FileName>\xC3\xA4rger.pak.update</FileName></File>"  // ärger.pak.update
                  "<File><FileName>c.pak</FileName></File>"
                  "<File><FileName>c.pak.old</FileName></File>"
                  "<File><FileName>d.update</FileName></File>"
                  "</UpdateList>");
  platform::MessageQueue window;
  ListLoader loader(window, dir / "list.xml", dir.Path(), std::nullopt, std::nullopt);
  loader.LoadHere();
  ASSERT_TRUE(loader.Loaded);
  std::vector<std::string> hashed;
  loader.Files.ForEach([&](const CUpdateFile& entry) {
    if (entry.HashedSideName) {
      hashed.push_back(entry.FileName);
    }
  });
  EXPECT_EQ(hashed, (std::vector<std::string>{"a.pak", "b.pak", "\xC3\x84rger.pak"}));
}

}  // namespace
}  // namespace varo
