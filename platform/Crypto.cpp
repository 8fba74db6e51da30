// The portable half of platform/Crypto.h: text forms of bytes, and the strict
// reading of the DER forms of a P-256 key and an ECDSA signature that every
// system's implementation checks before it hands them to the system.
#include "platform/Crypto.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varo::platform {
namespace {

// The DER SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE {
// SEQUENCE { OID id-ecPublicKey, OID prime256v1 }, BIT STRING { 0 unused bits,
// 0x04 (uncompressed) ... } }. DER has one encoding for each value, so every
// such key starts with exactly these bytes and has 64 more.
constexpr std::array<std::uint8_t, 27> kP256SpkiPrefix = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

constexpr std::size_t kScalarBytes = 32;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  const auto at = kBase64Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Reads one DER INTEGER of an ECDSA signature at the front of der into out
// (big-endian, left-padded) and drops it from der. False unless it is in its
// shortest form, positive, and fits kScalarBytes.
bool ReadScalar(std::span<const std::uint8_t>& der, std::span<std::uint8_t, kScalarBytes> out) {
  // Tag, then a one-byte length: a scalar with its sign byte is 33 bytes at
  // most, and DER writes lengths below 128 in one byte.
  if (der.size() < 2 || der[0] != 0x02 || der[1] > 0x7F) {
    return false;
  }
  const std::size_t length = der[1];
  if (length == 0 || length > der.size() - 2) {
    return false;
  }
  std::span<const std::uint8_t> value = der.subspan(2, length);
  if ((value[0] & 0x80) != 0) {
    return false;  // negative
  }
  if (value[0] == 0x00) {
    // A leading zero is there only to keep the next byte's top bit from
    // reading as a sign; anywhere else the form is not the shortest.
    if (value.size() == 1 || (value[1] & 0x80) == 0) {
      return false;
    }
    value = value.subspan(1);
  }
  if (value.size() > kScalarBytes) {
    return false;
  }
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy(value.begin(), value.end(), out.end() - static_cast<std::ptrdiff_t>(value.size()));
  der = der.subspan(2 + length);
  return true;
}

}  // namespace

Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Finish();
}

std::optional<std::array<std::uint8_t, 64>> P256PointFromSpki(
    std::span<const std::uint8_t> publicKeySpkiDer) {
  if (publicKeySpkiDer.size() != kP256SpkiPrefix.size() + 64 ||
      !std::equal(kP256SpkiPrefix.begin(), kP256SpkiPrefix.end(), publicKeySpkiDer.begin())) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 64> point{};
  std::copy(publicKeySpkiDer.begin() + kP256SpkiPrefix.size(), publicKeySpkiDer.end(),
            point.begin());
  return point;
}

std::optional<std::array<std::uint8_t, 64>> EcdsaSignatureFromDer(
    std::span<const std::uint8_t> signatureDer) {
  // SEQUENCE with a one-byte length (two scalars take 70 bytes at most) that
  // covers exactly the rest of the bytes.
  if (signatureDer.size() < 2 || signatureDer[0] != 0x30 || signatureDer[1] > 0x7F ||
      signatureDer[1] != signatureDer.size() - 2) {
    return std::nullopt;
  }
  std::span<const std::uint8_t> rest = signatureDer.subspan(2);
  std::array<std::uint8_t, 64> raw{};
  const std::span<std::uint8_t, 64> both(raw);
  if (!ReadScalar(rest, both.first<kScalarBytes>()) ||
      !ReadScalar(rest, both.last<kScalarBytes>()) || !rest.empty()) {
    return std::nullopt;
  }
  // r and s lie in [1, n - 1]: a zero is never a signature.
  const auto isZero = [](std::span<const std::uint8_t> scalar) {
    return std::all_of(scalar.begin(), scalar.end(), [](std::uint8_t b) { return b == 0; });
  };
  if (isZero(both.first<kScalarBytes>()) || isZero(both.last<kScalarBytes>())) {
    return std::nullopt;
  }
  return raw;
}

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t at = 0;
  for (; at + 3 <= bytes.size(); at += 3) {
    const std::uint32_t group =
        (std::uint32_t{bytes[at]} << 16) | (std::uint32_t{bytes[at + 1]} << 8) | bytes[at + 2];
    for (int shift = 18; shift >= 0; shift -= 6) {
      text += kBase64Alphabet[(group >> shift) & 0x3F];
    }
  }
  const std::size_t left = bytes.size() - at;
  if (left > 0) {
    std::uint32_t group = std::uint32_t{bytes[at]} << 16;
    if (left == 2) {
      group |= std::uint32_t{bytes[at + 1]} << 8;
    }
    text += kBase64Alphabet[(group >> 18) & 0x3F];
    text += kBase64Alphabet[(group >> 12) & 0x3F];
    text += left == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text[text.size() - 2] == '=' ? 2 : 1;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      int value = 0;
      if (i < digits) {
        value = Base64Value(text[at + i]);
        if (value < 0) {
          return std::nullopt;  // outside the alphabet, or '=' before the end
        }
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    // Bits that the padding leaves unused must be zero: each byte string has
    // one text.
    if ((padding == 1 && last && (group & 0xFF) != 0) ||
        (padding == 2 && last && (group & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    const std::size_t count = last ? 3 - padding : 3;
    for (std::size_t i = 0; i < count; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * i)));
    }
  }
  return bytes;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::optional<Sha256Digest> ParseSha256Hex(std::string_view text) {
  Sha256Digest digest{};
  if (text.size() != digest.size() * 2) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    digest[i] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return digest;
}

}  // namespace varo::platform
