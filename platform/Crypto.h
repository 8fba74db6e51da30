#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Hashes, signatures and the text forms of their bytes. The hash and the
// signature check come from the system (libcrypto on Linux, CNG on Windows);
// the text forms and the strict reading of the DER forms are portable, so
// that every system accepts exactly the same keys and signatures.
namespace varo::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256. Update any number of times, then Finish; after
// Finish the object starts a new, empty hash. One object is used by one
// thread at a time.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void Update(const void* data, std::size_t size);
  void Update(std::span<const std::uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
  Sha256Digest Finish();

  // What each system keeps of a hash in progress.
  struct State;

 private:
  std::unique_ptr<State> Hash;
};

// The SHA-256 of bytes held in memory.
Sha256Digest Sha256Of(std::span<const std::uint8_t> bytes);

// The SHA-256 of a file's content, and how many bytes it had.
struct FileDigest {
  Sha256Digest Digest{};
  std::uint64_t Size = 0;
};

// Reads a regular file in blocks and hashes it. Nothing when it cannot be
// opened or read, or is no regular file (a folder, a FIFO, a device: those
// are never read, and opening one never blocks).
std::optional<FileDigest> HashFile(const std::filesystem::path& file);

// True when signatureDer is an ECDSA signature by the P-256 key publicKeySpkiDer
// of the SHA-256 of message. The key is a DER SubjectPublicKeyInfo of a
// named-curve P-256 key with an uncompressed point (what `openssl pkey -pubout
// -outform DER` writes); the signature is the DER SEQUENCE of the two
// INTEGERs r and s (what `openssl dgst -sha256 -sign` writes). Anything else,
// and anything malformed or followed by more bytes, gives false. Throws
// nothing but std::bad_alloc.
bool VerifyEcdsaP256Sha256(std::span<const std::uint8_t> publicKeySpkiDer,
                           std::span<const std::uint8_t> message,
                           std::span<const std::uint8_t> signatureDer);

// The uncompressed point (X then Y, 32 bytes each) of a P-256 public key in
// the form VerifyEcdsaP256Sha256 takes; nothing for any other bytes.
std::optional<std::array<std::uint8_t, 64>> P256PointFromSpki(
    std::span<const std::uint8_t> publicKeySpkiDer);

// The 64 bytes r || s (each big-endian, left-padded with zeros to 32 bytes)
// of a DER ECDSA P-256 signature. Nothing unless the bytes are exactly one
// DER SEQUENCE of two INTEGERs in their shortest form, each positive and at
// most 32 bytes long once the sign byte is dropped.
std::optional<std::array<std::uint8_t, 64>> EcdsaSignatureFromDer(
    std::span<const std::uint8_t> signatureDer);

// Base64 with the standard alphabet and '=' padding, as `base64 -w0` writes
// it. Decoding is strict: nothing for a length that is no multiple of 4, any
// character outside the alphabet (blanks and line breaks included), padding
// anywhere but at the end, or unused bits that are not zero.
std::string EncodeBase64(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);

// Lower-case hexadecimal, two digits a byte.
std::string ToHex(std::span<const std::uint8_t> bytes);

// A digest written as exactly 64 hexadecimal digits, in either case; nothing
// for any other text (blanks included).
std::optional<Sha256Digest> ParseSha256Hex(std::string_view text);

}  // namespace varo::platform
