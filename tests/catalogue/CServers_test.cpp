#include "catalogue/CServers.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Crypto.h"
#include "support/SourcePath.h"
#include "support/TempDir.h"

namespace varo {
namespace {

struct Listed {
  std::string Name;
  std::string URL;
  friend bool operator==(const Listed&, const Listed&) = default;
};

std::vector<Listed> Contents(const CServers& servers) {
  std::vector<Listed> result;
  servers.ForEach([&](const CServer& s) { result.push_back({s.Name, s.URL}); });
  return result;
}

class ServerConfigTest : public ::testing::Test {
 protected:
  void WriteConfig(const std::string& text) {
    test::WriteFile(ConfigurationFile(Dir.Path()), text);
  }
  test::TempDir Dir;
  CServers Servers;
};

TEST_F(ServerConfigTest, NoConfigurationFileGivesTwoDefaultServers) {
  FillServers(Servers, Dir.Path());
  const std::vector<Listed> expected{{"更新服务器1", kDefaultServerUrl},
                                     {"更新服务器2", kDefaultServerUrl}};
  EXPECT_EQ(Contents(Servers), expected);
  EXPECT_TRUE(std::string(kDefaultServerUrl).ends_with("/Download/Update.xml"));
  EXPECT_NE(std::string(kDefaultServerUrl).find(".example."), std::string::npos);
}

#ifndef _WIN32
// A FIFO in the configuration file's place would block a plain open() for
// ever: it counts as no configuration.
TEST_F(ServerConfigTest, ConfigurationFileThatIsAFifoGivesTheDefaultServers) {
  const std::filesystem::path file = ConfigurationFile(Dir.Path());
  std::filesystem::create_directories(file.parent_path());
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  FillServers(Servers, Dir.Path());
  const std::vector<Listed> expected{{"更新服务器1", kDefaultServerUrl},
                                     {"更新服务器2", kDefaultServerUrl}};
  EXPECT_EQ(Contents(Servers), expected);
}
#endif

// A folder in the configuration file's place counts as no configuration.
TEST_F(ServerConfigTest, ConfigurationFileThatIsAFolderGivesTheDefaultServers) {
  const std::filesystem::path file = ConfigurationFile(Dir.Path());
  std::filesystem::create_directories(file);
  FillServers(Servers, Dir.Path());
  const std::vector<Listed> expected{{"更新服务器1", kDefaultServerUrl},
                                     {"更新服务器2", kDefaultServerUrl}};
  EXPECT_EQ(Contents(Servers), expected);
}

TEST_F(ServerConfigTest, EmptyValueIsKeptAndMissingKeyFallsBack) {
  WriteConfig("[UpdateServer]\nserver1=\n");
  FillServers(Servers, Dir.Path());
  const std::vector<Listed> expected{{"更新服务器1", ""}, {"更新服务器2", kDefaultServerUrl}};
  EXPECT_EQ(Contents(Servers), expected);
}

TEST_F(ServerConfigTest, OnlyServersWithAValueCountAsConfigured) {
  const std::pair<std::string, std::vector<bool>> cases[] = {
      {"", {false, false}},
      {"[UpdateServer]\nserver1=http://one/\n", {true, false}},
      {"[UpdateServer]\nserver1=http://one/\nserver2=http://two/\n", {true, true}},
      {"[UpdateServer]\nserver1=\nserver2=  \n", {false, false}},
      {"[Other]\nserver2=http://two/\n", {false, false}},
  };
  for (const auto& [config, expected] : cases) {
    SCOPED_TRACE(config);
    WriteConfig(config);
    CServers servers;
    FillServers(servers, Dir.Path());
    std::vector<bool> configured;
    servers.ForEach([&](const CServer& s) { configured.push_back(s.Configured); });
    EXPECT_EQ(configured, expected);
  }
}

TEST_F(ServerConfigTest, ProfileRulesForNamesBlanksAndSections) {
  WriteConfig(
      "\xEF\xBB\xBF; comment\r\n"
      "[Other]\r\nserver1=http://wrong/\r\n"
      "  [ updateserver ]  \r\n"
      "  SERVER1  =   http://one.test/Update.xml   \r\n"
      "Server2=\"http://two.test/x.xml\"\r\n"
      "[UpdateServer]\r\nserver2=http://later-duplicate/\r\n");
  FillServers(Servers, Dir.Path());
  const std::vector<Listed> expected{{"更新服务器1", "http://one.test/Update.xml"},
                                     {"更新服务器2", "http://two.test/x.xml"}};
  EXPECT_EQ(Contents(Servers), expected);
}

TEST_F(ServerConfigTest, StartNextAtOnceOnlyForOneUnderUpdate) {
  const struct {
    const char* Name;
    const char* Config;
    bool On;
  } cases[] = {
      {"no file", nullptr, false},
      {"1", "[UpdateServer]\nserver1=http://a/\n[Update]\nStartNextAtOnce=1\n", true},
      {"names in other case, blanks", "[ update ]\r\n  startnextatonce =  1  \r\n", true},
      {"0", "[Update]\nStartNextAtOnce=0\n", false},
      {"empty", "[Update]\nStartNextAtOnce=\n", false},
      {"yes", "[Update]\nStartNextAtOnce=yes\n", false},
      {"2", "[Update]\nStartNextAtOnce=2\n", false},
      {"in another section", "[UpdateServer]\nStartNextAtOnce=1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(ConfigurationFile(Dir.Path()));
    if (c.Config != nullptr) {
      WriteConfig(c.Config);
    }
    EXPECT_EQ(StartsNextAtOnce(Dir.Path()), c.On);
  }
}

TEST_F(ServerConfigTest, LongValueIsCutTo511Characters) {
  const std::string ascii(600, 'a');
  std::string wide;
  for (int i = 0; i < 600; ++i) {
    wide += "服";
  }
  WriteConfig("[UpdateServer]\nserver1=" + ascii + "\nserver2=" + wide + "\n");
  FillServers(Servers, Dir.Path());
  const auto listed = Contents(Servers);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].URL, ascii.substr(0, 511));
  EXPECT_EQ(listed[1].URL, wide.substr(0, 511 * std::string("服").size()));
}

TEST(CServersTest, ListOperations) {
  CServers servers;
  EXPECT_EQ(servers.GetHead(), nullptr);
  EXPECT_FALSE(servers.Add(nullptr));
  EXPECT_EQ(servers.GetCount(), 0u);
  servers.RemoveAll();
  EXPECT_TRUE(servers.AddServer("a", "http://a/"));
  EXPECT_TRUE(servers.AddServer("b", "http://b/"));
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(servers.GetHead(), nullptr);
    EXPECT_EQ(servers.GetHead()->Name, "a");
  }
  servers.RemoveAll();
  EXPECT_EQ(servers.GetCount(), 0u);
  EXPECT_EQ(servers.GetHead(), nullptr);
}

std::vector<std::uint8_t> CryptoFixture(const char* name) {
  const std::string bytes = test::ReadFile(test::SourcePath("tests/fixtures/crypto") / name);
  return {bytes.begin(), bytes.end()};
}

// No key, no check; a good key decoded; a key that is given but unusable
// never turns the check off: it is an empty key, which no signature matches.
TEST_F(ServerConfigTest, PublicKeyIsReadDecodedOrSpoiled) {
  const std::vector<std::uint8_t> p256 = CryptoFixture("p256.spki.der");
  const std::string base64 = platform::EncodeBase64(p256);
  const std::vector<std::uint8_t> spoiled;
  const struct {
    std::string Config;
    std::optional<std::vector<std::uint8_t>> Key;
  } cases[]{
      {"", std::nullopt},
      {"[UpdateServer]\nserver1=http://a.test/u.xml\n", std::nullopt},
      {"[UpdateServer]\nPublicKey=\n", std::nullopt},
      {"[UpdateServer]\nPublicKey=   \n", std::nullopt},
      {"[Other]\nPublicKey=" + base64 + "\n", std::nullopt},
      {"[UpdateServer]\nPublicKey=" + base64 + "\n", p256},
      {"[updateserver]\r\n publickey = " + base64 + " \r\n", p256},
      {"[UpdateServer]\nPublicKey=" + base64.substr(1) + "\n", spoiled},
      {"[UpdateServer]\nPublicKey=" + base64.substr(0, 60) + " " + base64.substr(60) + "\n",
       spoiled},
      {"[UpdateServer]\nPublicKey=" + base64 + base64 + "\n", spoiled},
      {"[UpdateServer]\nPublicKey=" + platform::EncodeBase64(CryptoFixture("p384.spki.der")) + "\n",
       spoiled},
      {"[UpdateServer]\nPublicKey=" +
           platform::EncodeBase64(CryptoFixture("p256-compressed.spki.der")) + "\n",
       spoiled},
      {"[UpdateServer]\nPublicKey=" + std::string(2000, 'A') + "\n", spoiled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Config);
    WriteConfig(c.Config);
    EXPECT_EQ(ReadListPublicKey(Dir.Path()), c.Key);
  }
}

}  // namespace
}  // namespace varo
