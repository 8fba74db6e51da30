// platform/Crypto.h: SHA-256, the ECDSA P-256 check, and the strict readers
// of base64, hex and the DER forms. Built for Linux (libcrypto) and for
// Windows (CNG, under Wine), both against the keys and signatures checked in
// under tests/fixtures/crypto.
#include "platform/Crypto.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/Utf8Path.h"
#include "support/SourcePath.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes Fixture(std::string_view name) {
  return ToBytes(test::ReadFile(test::SourcePath("tests/fixtures/crypto") / PathFromUtf8(name)));
}

// "1f 0a" and the like, blanks ignored.
Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  std::string digits;
  for (const char c : hex) {
    if (c != ' ') {
      digits += c;
    }
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(Sha256Test, KnownDigests) {
  const struct {
    std::string Input;
    const char* Digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(Sha256Of(AsBytes(c.Input))), c.Digest) << "[" << c.Input << "]";
  }
}

TEST(Sha256Test, AMebibyteFedInOddBlocksGivesTheDigestOfTheWhole) {
  const std::string whole(1u << 20, 'a');
  const char* expected = "9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360";
  EXPECT_EQ(ToHex(Sha256Of(AsBytes(whole))), expected);
  for (const std::size_t block : {std::size_t{1}, std::size_t{63}, std::size_t{65},
                                  std::size_t{4097}, std::size_t{1} << 19}) {
    Sha256 hash;
    for (std::size_t at = 0; at < whole.size(); at += block) {
      hash.Update(whole.data() + at, std::min(block, whole.size() - at));
    }
    hash.Update(nullptr, 0);
    EXPECT_EQ(ToHex(hash.Finish()), expected) << "blocks of " << block;
  }
}

TEST(Sha256Test, FinishStartsAFreshHash) {
  Sha256 hash;
  hash.Update(AsBytes("some earlier text"));
  hash.Finish();
  hash.Update(AsBytes("abc"));
  EXPECT_EQ(ToHex(hash.Finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ToHex(hash.Finish()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

class HashFileTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
};

TEST_F(HashFileTest, AFileIsHashedWholeAcrossBlocks) {
  // Larger than the block the file is read in, and not a multiple of it.
  std::string content;
  for (std::size_t i = 0; i < 700'001; ++i) {
    content += static_cast<char>('a' + i % 23);
  }
  for (const std::string& text : {std::string(), std::string("abc"), content}) {
    test::WriteFile(Dir / "file.bin", text);
    const auto digest = HashFile(Dir / "file.bin");
    ASSERT_TRUE(digest) << text.size() << " bytes";
    EXPECT_EQ(digest->Digest, Sha256Of(AsBytes(text))) << text.size() << " bytes";
    EXPECT_EQ(digest->Size, text.size());
  }
}

TEST_F(HashFileTest, WhatIsNoReadableFileGivesNothing) {
  fs::create_directory(Dir / "folder");
  EXPECT_FALSE(HashFile(Dir / "missing"));
  EXPECT_FALSE(HashFile(Dir / "folder"));
#ifndef _WIN32
  // A FIFO without a writer would block a reader for ever.
  ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(HashFile(Dir / "fifo"));
#endif
}

TEST(HexTest, DigestsAreWrittenInLowerCaseAndReadInEither) {
  Sha256Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(i * 8 + 7);
  }
  const std::string lower = ToHex(digest);
  EXPECT_EQ(lower, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
  std::string upper = lower;
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::string mixed = lower;
  mixed[60] = 'F';
  EXPECT_EQ(ParseSha256Hex(lower), digest);
  EXPECT_EQ(ParseSha256Hex(upper), digest);
  EXPECT_EQ(ParseSha256Hex(mixed), digest);
}

TEST(HexTest, AnythingButSixtyFourHexDigitsIsRefused) {
  const std::string good(64, '0');
  const std::string cases[] = {
      "",
      good.substr(1),
      good + "0",
      " " + good.substr(1),
      good.substr(1) + "\n",
      good.substr(1) + "g",
      good.substr(1) + "x",
      good.substr(2) + "0x",
      good.substr(1) + "-",
      std::string(63, '0') + '\0',
  };
  for (const std::string& text : cases) {
    EXPECT_FALSE(ParseSha256Hex(text)) << "[" << text << "]";
  }
}

TEST(Base64Test, EncodesAndDecodesTheStandardVectors) {
  const struct {
    const char* Bytes;
    const char* Text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBase64(AsBytes(c.Bytes)), c.Text);
    EXPECT_EQ(DecodeBase64(c.Text), ToBytes(c.Bytes)) << c.Text;
  }
  // Every byte value, both alphabets' last letters among them.
  Bytes all;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<std::uint8_t>(i));
  }
  const std::string text = EncodeBase64(all);
  EXPECT_NE(text.find('+'), std::string::npos);
  EXPECT_NE(text.find('/'), std::string::npos);
  EXPECT_EQ(DecodeBase64(text), all);
}

TEST(Base64Test, MalformedTextIsRefused) {
  const char* cases[] = {
      "Zg",            // no padding
      "Zg=",           // short padding
      "Zm9",           // length no multiple of 4
      "Zh==",          // unused bits set
      "Zm9=",          // unused bits set
      "Zm9v\n",        // line break
      " Zm9v",         // blank
      "Zm 9v",         // blank inside
      "Zm9-",          // URL-safe alphabet
      "Zm9_",          // URL-safe alphabet
      "Z===",          // three padding characters
      "====",          // padding only
      "Zg==Zm9v",      // padding in the middle
      "Zm=v",          // padding inside a group
      "Zm9v\xC3\xA4",  // not ASCII
  };
  for (const char* text : cases) {
    EXPECT_FALSE(DecodeBase64(text)) << "[" << text << "]";
  }
  EXPECT_FALSE(DecodeBase64(std::string("Zm9v\0AAA", 8)));
}

TEST(EcdsaSignatureFromDerTest, ScalarsArePaddedToThirtyTwoBytesEach) {
  const auto raw = EcdsaSignatureFromDer(FromHex("30 06 02 01 01 02 01 7f"));
  ASSERT_TRUE(raw);
  Bytes expected(64, 0);
  expected[31] = 0x01;
  expected[63] = 0x7F;
  EXPECT_EQ(Bytes(raw->begin(), raw->end()), expected);

  // The sign byte of a scalar with its top bit set is dropped.
  const std::string big = "80" + std::string(62, '1');
  const auto wide = EcdsaSignatureFromDer(FromHex("30 46 02 21 00" + big + " 02 21 00" + big));
  ASSERT_TRUE(wide);
  EXPECT_EQ(Bytes(wide->begin(), wide->begin() + 32), FromHex(big));
  EXPECT_EQ(Bytes(wide->begin() + 32, wide->end()), FromHex(big));
}

TEST(EcdsaSignatureFromDerTest, AnythingButTheShortestFormOfTwoPositiveScalarsIsRefused) {
  const std::string full = std::string(64, '1');  // a 32-byte scalar, top bit clear
  const struct {
    const char* What;
    std::string Hex;
  } cases[] = {
      {"nothing", ""},
      {"tag only", "30"},
      {"empty sequence", "30 00"},
      {"one scalar", "30 03 02 01 01"},
      {"three scalars", "30 09 02 01 01 02 01 01 02 01 01"},
      {"a byte after the sequence", "30 06 02 01 01 02 01 01 00"},
      {"sequence longer than the bytes", "30 07 02 01 01 02 01 01"},
      {"sequence shorter than the bytes", "30 05 02 01 01 02 01 01"},
      {"a byte inside after the scalars", "30 07 02 01 01 02 01 01 00"},
      {"long form length", "30 81 06 02 01 01 02 01 01"},
      {"indefinite length", "30 80 02 01 01 02 01 01 00 00"},
      {"set, not sequence", "31 06 02 01 01 02 01 01"},
      {"bit string, not integer", "30 06 03 01 01 02 01 01"},
      {"empty integer", "30 05 02 00 02 01 01"},
      {"integer longer than the sequence", "30 06 02 01 01 02 02 01"},
      {"long form integer length", "30 07 02 81 01 01 02 01 01"},
      {"needless leading zero", "30 07 02 02 00 01 02 01 01"},
      {"zero only", "30 06 02 01 00 02 01 01"},
      {"zero s", "30 06 02 01 01 02 01 00"},
      {"negative r", "30 06 02 01 80 02 01 01"},
      {"negative s", "30 06 02 01 01 02 01 ff"},
      {"33 bytes without a sign byte", "30 26 02 21 01" + full + " 02 01 01"},
      {"34 bytes with a sign byte", "30 27 02 22 00 80" + full + " 02 01 01"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(EcdsaSignatureFromDer(FromHex(c.Hex))) << c.What;
  }
  // The 32-byte scalar itself is fine.
  EXPECT_TRUE(EcdsaSignatureFromDer(FromHex("30 25 02 20" + full + " 02 01 01")));
}

class VerifyTest : public ::testing::Test {
 protected:
  const Bytes Key = Fixture("p256.spki.der");
  const Bytes OtherKey = Fixture("other.spki.der");
  const Bytes Message = Fixture("message.xml");
  const Bytes Signature = Fixture("message.sig");
};

TEST_F(VerifyTest, TheKeysOwnSignaturesOfTheMessageVerify) {
  EXPECT_TRUE(VerifyEcdsaP256Sha256(Key, Message, Signature));
  // One of its scalars is shorter than 32 bytes.
  EXPECT_TRUE(VerifyEcdsaP256Sha256(Key, Message, Fixture("message-short.sig")));
  // One of its scalars carries a sign byte.
  EXPECT_TRUE(VerifyEcdsaP256Sha256(OtherKey, Message, Fixture("other.sig")));
}

TEST_F(VerifyTest, TheKeyInTheConfigurationsTextFormVerifies) {
  const auto key = DecodeBase64(EncodeBase64(Key));
  ASSERT_TRUE(key);
  EXPECT_TRUE(VerifyEcdsaP256Sha256(*key, Message, Signature));
}

TEST_F(VerifyTest, AChangedMessageOrSignatureOrAnotherKeyFails) {
  for (std::size_t at : {std::size_t{0}, Message.size() / 2, Message.size() - 1}) {
    Bytes changed = Message;
    changed[at] ^= 0x01;
    EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, changed, Signature)) << "message byte " << at;
  }
  Bytes longer = Message;
  longer.push_back('\n');
  EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, longer, Signature));
  EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, std::span(Message).first(Message.size() - 1), Signature));

  // The last byte of each scalar.
  for (std::size_t at : {std::size_t{4} + 31, Signature.size() - 1}) {
    Bytes changed = Signature;
    changed[at] ^= 0x01;
    EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, Message, changed)) << "signature byte " << at;
  }
  EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, Message, Fixture("other.sig")));
  EXPECT_FALSE(VerifyEcdsaP256Sha256(OtherKey, Message, Signature));
}

TEST_F(VerifyTest, MalformedSignaturesFail) {
  Bytes truncated = Signature;
  truncated.pop_back();
  Bytes trailing = Signature;
  trailing.push_back(0);
  // r again, with a needless zero byte in front: the same number, not DER.
  ASSERT_EQ(Signature[2], 0x02);
  ASSERT_EQ(Signature[3], 0x20);
  Bytes padded = {0x30, static_cast<std::uint8_t>(Signature[1] + 1), 0x02, 0x21, 0x00};
  padded.insert(padded.end(), Signature.begin() + 4, Signature.end());
  const auto raw = EcdsaSignatureFromDer(Signature);
  ASSERT_TRUE(raw);

  const struct {
    const char* What;
    Bytes Value;
  } cases[] = {
      {"empty", {}},
      {"truncated", truncated},
      {"half", Bytes(Signature.begin(), Signature.begin() + 35)},
      {"a byte after it", trailing},
      {"not the shortest form", padded},
      {"raw r || s", Bytes(raw->begin(), raw->end())},
      {"base64 text", ToBytes(EncodeBase64(Signature))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, Message, c.Value)) << c.What;
  }
}

TEST_F(VerifyTest, KeysOtherThanANamedP256PointFail) {
  Bytes offCurve = Key;
  offCurve.back() ^= 0x01;  // y no longer matches x
  Bytes trailing = Key;
  trailing.push_back(0);
  Bytes truncated = Key;
  truncated.pop_back();

  const struct {
    const char* What;
    Bytes Value;
  } cases[] = {
      {"empty", {}},
      {"garbage", ToBytes("not a key at all, just some text of no use")},
      {"point off the curve", offCurve},
      {"a byte after it", trailing},
      {"truncated", truncated},
      {"compressed point", Fixture("p256-compressed.spki.der")},
      {"P-384 key", Fixture("p384.spki.der")},
      {"the private key's PEM", Fixture("p256.pem")},
      {"base64 text", ToBytes(EncodeBase64(Key))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(VerifyEcdsaP256Sha256(c.Value, Message, Signature)) << c.What;
  }
}

TEST_F(VerifyTest, EmptyInputsFail) {
  EXPECT_FALSE(VerifyEcdsaP256Sha256({}, {}, {}));
  EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, {}, Signature));
  EXPECT_FALSE(VerifyEcdsaP256Sha256(Key, Message, {}));
}

#ifndef _WIN32
// Keys and signatures made now by the openssl command, as a publisher makes
// them: many signatures, so that scalars of every length come by.
TEST(OpenSslCommandTest, FreshKeysAndSignaturesVerify) {
  test::TempDir dir;
  // The tests of this program run one at a time.
  const auto run = [](std::string command) {
    command += " 2>/dev/null";
    return std::system(command.c_str()) == 0;  // NOLINT(concurrency-mt-unsafe)
  };
  const std::string key = (dir / "key.pem").string();
  const std::string message = (dir / "Update.xml").string();
  test::WriteFile(dir / "Update.xml", "<UpdateList/>\n");
  ASSERT_TRUE(run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key));
  ASSERT_TRUE(run("openssl pkey -in " + key + " -pubout -outform DER -out " + key + ".der"));
  const Bytes publicKey = ToBytes(test::ReadFile(dir / "key.pem.der"));
  const Bytes bytes = ToBytes(test::ReadFile(dir / "Update.xml"));
  const std::string sign =
      "openssl dgst -sha256 -sign " + key + " -out " + message + ".sig " + message;
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(run(sign));
    const Bytes signature = ToBytes(test::ReadFile(dir / "Update.xml.sig"));
    EXPECT_TRUE(VerifyEcdsaP256Sha256(publicKey, bytes, signature)) << EncodeBase64(signature);
  }
}
#endif

}  // namespace
}  // namespace varo::platform
