#include "update/ListSignature.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/CUpdateFiles.h"
#include "support/SourcePath.h"
#include "support/TempDir.h"

namespace varo {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::filesystem::path CryptoFixture(const char* name) {
  return test::SourcePath("tests/fixtures/crypto") / name;
}

Bytes Read(const char* name) {
  const std::string bytes = test::ReadFile(CryptoFixture(name));
  return {bytes.begin(), bytes.end()};
}

// message.xml is a list with Sequence="7"; message.sig and message-short.sig
// are p256's signatures of it, other.sig another key's.
class ListSignatureTest : public ::testing::Test {
 protected:
  const Bytes Key = Read("p256.spki.der");
  const Bytes List = Read("message.xml");
  const Bytes Signature = Read("message.sig");
};

TEST_F(ListSignatureTest, OnlyTheKeysSignatureOfTheExactBytesIsAccepted) {
  Bytes changed = List;
  changed[changed.size() / 2] ^= 0x01;
  Bytes longer = List;
  longer.push_back('\n');
  Bytes trailing = Signature;
  trailing.push_back(0);
  const struct {
    const char* Name;
    Bytes Key;
    Bytes List;
    Bytes Signature;
    ListTrust Expected;
  } cases[]{
      {"signed", Key, List, Signature, ListTrust::Accepted},
      {"short scalar", Key, List, Read("message-short.sig"), ListTrust::Accepted},
      {"other key's signature", Key, List, Read("other.sig"), ListTrust::BadSignature},
      {"other key", Read("other.spki.der"), List, Read("other.sig"), ListTrust::Accepted},
      {"one bit changed", Key, changed, Signature, ListTrust::BadSignature},
      {"a line more", Key, longer, Signature, ListTrust::BadSignature},
      {"empty list", Key, {}, Signature, ListTrust::BadSignature},
      {"no signature", Key, List, {}, ListTrust::BadSignature},
      {"byte after signature", Key, List, trailing, ListTrust::BadSignature},
      {"empty key", {}, List, Signature, ListTrust::BadSignature},
      {"P-384 key", Read("p384.spki.der"), List, Signature, ListTrust::BadSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(CheckListSignature(c.Key, c.List, c.Signature), c.Expected);
  }
}

TEST_F(ListSignatureTest, ListsOlderThanTheStoredSequenceAreRollbacks) {
  constexpr auto kNone = std::nullopt;
  const struct {
    std::optional<std::uint64_t> List;
    std::optional<std::uint64_t> Stored;
    ListTrust Expected;
  } cases[]{
      {kNone, kNone, ListTrust::Accepted},
      {0, kNone, ListTrust::Accepted},
      {7, 7, ListTrust::Accepted},
      {8, 7, ListTrust::Accepted},
      {0, 0, ListTrust::Accepted},
      {UINT64_MAX, UINT64_MAX, ListTrust::Accepted},
      {6, 7, ListTrust::Rollback},
      {0, 1, ListTrust::Rollback},
      {UINT64_MAX - 1, UINT64_MAX, ListTrust::Rollback},
      // Once a sequence was taken, a list without one may be one from
      // before sequences were given.
      {kNone, 0, ListTrust::Rollback},
      {kNone, 7, ListTrust::Rollback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.List) + " after " + ::testing::PrintToString(c.Stored));
    EXPECT_EQ(CheckListSequence(c.List, c.Stored), c.Expected);
  }
}

// The signature is checked first: a list that fails both is badly signed.
TEST_F(ListSignatureTest, CheckListNamesTheSignatureBeforeTheSequence) {
  EXPECT_EQ(CheckList(Key, List, Signature, 7, 7), ListTrust::Accepted);
  EXPECT_EQ(CheckList(Key, List, Signature, 7, 8), ListTrust::Rollback);
  EXPECT_EQ(CheckList(Key, List, Read("other.sig"), 7, 8), ListTrust::BadSignature);
  EXPECT_EQ(CheckList(Key, List, Read("other.sig"), 7, std::nullopt), ListTrust::BadSignature);
}

// The downloaded files as the update run has them: the list loaded with the
// catalogue gives the sequence that is checked.
TEST_F(ListSignatureTest, CheckListFilesReadsBothFiles) {
  test::TempDir dir;
  const std::filesystem::path list = dir / "Update.xml";
  const std::filesystem::path signature = dir / "Update.xml.sig";
  std::filesystem::copy_file(CryptoFixture("message.xml"), list);
  std::filesystem::copy_file(CryptoFixture("message.sig"), signature);
  CUpdateFiles files(dir / "app");
  ASSERT_TRUE(files.Load(list));
  ASSERT_EQ(files.Sequence, 7u);

  EXPECT_EQ(CheckListFiles(Key, list, signature, files.Sequence, 6), ListTrust::Accepted);
  EXPECT_EQ(CheckListFiles(Key, list, signature, files.Sequence, 8), ListTrust::Rollback);
  EXPECT_EQ(CheckListFiles(Key, list, dir / "missing.sig", files.Sequence, std::nullopt),
            ListTrust::BadSignature);
  EXPECT_EQ(CheckListFiles(Key, dir / "missing.xml", signature, files.Sequence, std::nullopt),
            ListTrust::BadSignature);
  std::filesystem::create_directory(dir / "folder.sig");
  EXPECT_EQ(CheckListFiles(Key, list, dir / "folder.sig", files.Sequence, std::nullopt),
            ListTrust::BadSignature);
  // A signature file far larger than any signature is not read.
  test::WriteFile(dir / "large.sig",
                  test::ReadFile(signature) + std::string(kMaxListSignatureBytes, '\0'));
  EXPECT_EQ(CheckListFiles(Key, list, dir / "large.sig", files.Sequence, std::nullopt),
            ListTrust::BadSignature);

  EXPECT_EQ(ListSignatureUrl("http://a.test/Download/Update.xml"),
            "http://a.test/Download/Update.xml.sig");
}

}  // namespace
}  // namespace varo
