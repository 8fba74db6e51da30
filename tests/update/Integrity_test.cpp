// Whole runs with the list's integrity checks: a file whose SHA-256 is not
// the listed one is never installed; a configured key makes the list count
// only with a good signature from the same server and a sequence not below
// one accepted before; --verify repairs files whose content changed behind
// an unchanged time.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Crypto.h"
#include "support/TempDir.h"
#include "support/WholeRun.h"

namespace varo {
namespace {

namespace fs = std::filesystem;
using platform::StartRequest;
const StartRequest kClient{"Tandrel.exe", "", "open"};
constexpr const char* kBadSignature = "更新列表签名无效";

std::string HexSha256(const std::string& bytes) {
  return platform::ToHex(
      platform::Sha256Of({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
}

bool Shell(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str()) == 0;  // NOLINT(cert-env33-c)
}

class IntegrityTest : public ::testing::Test, protected test::WholeRun {
 protected:
  // A list of one file, a.dat, stamped far in the future.
  std::string List(const std::string& sha256, const std::string& sequence = "") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList" +
           (sequence.empty() ? std::string() : " Sequence=\"" + sequence + "\"") +
           "><File><FileName>a.dat</FileName><FileDateHigh>2000000000</FileDateHigh><URL>" +
           Server.Url("/a") + "</URL><Length>3</Length>" +
           (sha256.empty() ? std::string() : "<Sha256>" + sha256 + "</Sha256>") +
           "</File></UpdateList>\n";
  }
  // Makes a P-256 key with openssl; its PublicKey= value.
  std::string MakeKey(const std::string& name) {
    const std::string key = (Keys / name).string();
    EXPECT_TRUE(
        Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key));
    EXPECT_TRUE(Shell("openssl pkey -in " + key + " -pubout -outform DER -out " + key + ".der"));
    const std::string der = test::ReadFile(key + ".der");
    return platform::EncodeBase64({reinterpret_cast<const std::uint8_t*>(der.data()), der.size()});
  }
  std::string Sign(const std::string& name, const std::string& bytes) {
    const fs::path message = Keys / "message";
    test::WriteFile(message, bytes);
    EXPECT_TRUE(Shell("openssl dgst -sha256 -sign " + (Keys / name).string() + " -out " +
                      (Keys / "message.sig").string() + " " + message.string()));
    return test::ReadFile(Keys / "message.sig");
  }
  void Configure(const std::string& extra) {
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + Server.Url(kListPath) + "\n" + extra);
  }

  test::TempDir Keys;
};

TEST_F(IntegrityTest, AFileWhoseHashDiffersIsNeverInstalled) {
  Server.Serve("/a", "new");
  test::WriteFile(Install / "a.dat", "old");
  WholeRun::Run(List(HexSha256("not what is served")));
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "old");
  EXPECT_FALSE(fs::exists(Install / "a.dat.update")) << "the wrong bytes are not kept";
  EXPECT_EQ(Boxes,
            std::vector<std::string>{"可能由于网络原因，下载文件失败 [a.dat], 错误代码 [10] "});
  EXPECT_TRUE(Desktop->Starts().empty());

  // The right hash, in capitals: installed.
  std::string upper = HexSha256("new");
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  WholeRun::Run(List(upper));
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "new");
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
}

TEST_F(IntegrityTest, ASignedListCountsOnlyWithAGoodSignatureAndSequence) {
  const std::string key = MakeKey("key.pem");
  MakeKey("other.pem");
  Configure("PublicKey=" + key + "\n");
  Server.Serve("/a", "new");
  const std::string list = List(HexSha256("new"), "7");
  const std::string signature = Sign("key.pem", list);
  std::string flipped = list;
  flipped[flipped.find("a.dat")] = 'b';
  struct Case {
    std::string Name;
    std::string Body;
    std::string Signature;  // empty: none served (404)
    bool Accepted;
  };
  const std::vector<Case> cases{
      {"a flipped byte", flipped, signature, false},
      {"another key", list, Sign("other.pem", list), false},
      {"no signature", list, "", false},
      {"a truncated signature", list, signature.substr(0, signature.size() - 5), false},
      {"good", list, signature, true},
      {"an older sequence", List(HexSha256("new"), "6"),
       Sign("key.pem", List(HexSha256("new"), "6")), false},
      {"no sequence once one was seen", List(HexSha256("new")),
       Sign("key.pem", List(HexSha256("new"))), false},
      {"the same sequence again", list, signature, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::WriteFile(Install / "a.dat", "old");
    if (c.Signature.empty()) {
      Server.Serve(std::string(kListPath) + ".sig", "not found", 404);
    } else {
      Server.Serve(std::string(kListPath) + ".sig", c.Signature);
    }
    const std::size_t fetched = Server.RequestCount("/a");
    WholeRun::Run(c.Body);
    EXPECT_TRUE(Ended);
    EXPECT_TRUE(ListFileRemoved);
    EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
    if (c.Accepted) {
      EXPECT_TRUE(Boxes.empty());
      EXPECT_EQ(test::ReadFile(Install / "a.dat"), "new");
      EXPECT_EQ(test::ReadFile(Install / "ADImage" / "update.state"), "sequence 7\n");
    } else {
      EXPECT_EQ(Boxes, std::vector<std::string>{kBadSignature});
      EXPECT_EQ(Server.RequestCount("/a"), fetched) << "nothing downloaded";
      EXPECT_EQ(test::ReadFile(Install / "a.dat"), "old");
    }
  }
}

TEST_F(IntegrityTest, ASequenceThatCannotBeStoredIsLoggedAndTheRunGoesOn) {
  const std::string key = MakeKey("key.pem");
  Configure("PublicKey=" + key + "\n");
  Server.Serve("/a", "new");
  const std::string list = List(HexSha256("new"), "7");
  Server.Serve(std::string(kListPath) + ".sig", Sign("key.pem", list));
  fs::create_directories(Install / "ADImage" / "update.state");  // no file can take its place
  test::WriteFile(Install / "a.dat", "old");
  WholeRun::Run(list);
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "new");
  const std::string log = test::ReadFile(Install / "ADImage" / "update.log");
  EXPECT_NE(log.find("sequence 7 could not be stored"), std::string::npos) << log;
}

TEST_F(IntegrityTest, WithoutAKeyNoSignatureIsAskedFor) {
  Server.Serve("/a", "new");
  test::WriteFile(Install / "a.dat", "old");
  WholeRun::Run(List(""));
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "new");
  EXPECT_EQ(Server.RequestCount(std::string(kListPath) + ".sig"), 0u);
}

TEST_F(IntegrityTest, VerifyRepairsWhatTheTimeCannotTell) {
  Server.Serve("/a", "new");
  // Listed with a time older than the file's: only its hash can tell.
  const std::string list = "<UpdateList><File><FileName>a.dat</FileName><URL>" + Server.Url("/a") +
                           "</URL><Length>3</Length><Sha256>" + HexSha256("new") +
                           "</Sha256></File></UpdateList>";
  test::WriteFile(Install / "a.dat", "bad");
  WholeRun::Run(list);
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "bad") << "nothing is hashed without --verify";
  EXPECT_EQ(Server.RequestCount("/a"), 0u);
  Verify = true;
  WholeRun::Run(list);
  EXPECT_EQ(test::ReadFile(Install / "a.dat"), "new");
  EXPECT_EQ(Server.RequestCount("/a"), 1u);
  EXPECT_NE(
      test::ReadFile(Install / "ADImage" / "update.log").find("a.dat: to download, hash differs"),
      std::string::npos);
  WholeRun::Run(list);
  EXPECT_EQ(Server.RequestCount("/a"), 1u) << "a file that matches is left alone";
}

}  // namespace
}  // namespace varo
