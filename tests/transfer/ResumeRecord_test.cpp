#include "transfer/ResumeRecord.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

TEST(ResumeRecordTest, WrittenRecordsReadBackAndOthersDoNot) {
  test::TempDir dir;
  const fs::path file = ResumeFileOf(dir / "data" / "world.dat.update");
  EXPECT_EQ(file, dir / "data" / "world.dat.resume");
  fs::create_directories(dir / "data");

  const ResumeRecord record{"http://127.0.0.1:80/files/world.dat?x=1", 20u << 20,
                            "\"5f2a-1400000\""};
  ASSERT_TRUE(WriteResumeRecord(file, record));
  EXPECT_EQ(ReadResumeRecord(file), record);

  EXPECT_FALSE(WriteResumeRecord(file, {"http://a/\nvalidator x", 1, "v"}))
      << "a line break would forge a field";
  EXPECT_FALSE(ReadResumeRecord(dir / "missing.resume"));
  const std::string broken[] = {
      "",
      "varo-resume 1\nurl http://a/\nlength 10\n",               // no validator
      "varo-resume 2\nurl http://a/\nlength 10\nvalidator v\n",  // another format
      "varo-resume 1\nurl http://a/\nlength -5\nvalidator v\n",  // no number
      "varo-resume 1\nurl http://a/\nlength 99999999999999999999\nvalidator v\n",
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator v\nmore\n",  // trailing lines
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator \n",         // empty validator
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator v",          // cut short
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator v\r\n",      // no request carries it
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator " + std::string(20000, 'v') + "\n",
  };
  for (const std::string& text : broken) {
    test::WriteFile(file, text);
    EXPECT_FALSE(ReadResumeRecord(file)) << text.substr(0, 80);
  }
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(ReadResumeRecord(file)) << "a folder is no record";
}

TEST(ResumeRecordTest, ContentRanges) {
  EXPECT_EQ(ParseContentRange("bytes 100-199/200"), (ContentRange{100, 199, 200}));
  EXPECT_EQ(ParseContentRange("bytes 0-0/1"), (ContentRange{0, 0, 1}));
  EXPECT_EQ(ParseContentRange("bytes 5000000000-5368709119/5368709120"),
            (ContentRange{5000000000u, 5368709119u, 5368709120u}));
  for (const char* bad : {"", "bytes", "bytes 100-199/*", "bytes */200", "items 1-2/3",
                          "bytes 200-100/300", "bytes 100-200/200", "bytes -1-5/10",
                          "bytes 1-5/10 ", "bytes 1 - 5/10", "bytes 99999999999999999999-1/2"}) {
    EXPECT_FALSE(ParseContentRange(bad)) << bad;
  }
}

}  // namespace
}  // namespace varo
