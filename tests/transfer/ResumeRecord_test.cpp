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
                            "\"5f2a-1400000\"", "4a3c50f5-2d0b-4c6e-9d61-0b1f3e7a9c21", 8u << 20};
  ASSERT_TRUE(WriteResumeRecord(file, record));
  EXPECT_EQ(ReadResumeRecord(file), record);
  const ResumeRecord unknownStart{"http://a/", 10, "v", "", 0};
  ASSERT_TRUE(WriteResumeRecord(file, unknownStart));
  EXPECT_EQ(ReadResumeRecord(file), unknownStart);

  EXPECT_FALSE(WriteResumeRecord(file, {"http://a/\nvalidator x", 1, "v", "", 0}))
      << "a line break would forge a field";
  EXPECT_FALSE(WriteResumeRecord(file, {"http://a/", 1, "v", "b\ndurable 1", 0}));
  EXPECT_FALSE(ReadResumeRecord(dir / "missing.resume"));
  const std::string head = "varo-resume 2\nurl http://a/\nlength 10\n";
  const std::string broken[] = {
      "",
      head,                                                      // no validator
      head + "validator v\nboot b\n",                            // no durable count
      "varo-resume 1\nurl http://a/\nlength 10\nvalidator v\n",  // the older form
      "varo-resume 2\nurl http://a/\nlength -5\nvalidator v\nboot b\ndurable 0\n",  // no number
      "varo-resume 2\nurl http://a/\nlength 99999999999999999999\nvalidator v\nboot b\ndurable 0\n",
      head + "validator v\nboot b\ndurable 11\n",       // more on the disk than in all
      head + "validator v\nboot b\ndurable x\n",        // no number
      head + "validator v\nboot b\ndurable 0\nmore\n",  // trailing lines
      head + "validator \nboot b\ndurable 0\n",         // empty validator
      head + "validator v\nboot b\ndurable 0",          // cut short
      head + "validator v\r\nboot b\ndurable 0\n",      // no request carries it
      head + "validator v\nboot b\r\ndurable 0\n",
      head + "validator " + std::string(20000, 'v') + "\nboot b\ndurable 0\n",
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
