#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace varo::publish {

// A P-256 private key that signs update lists (ECDSA with SHA-256), on
// OpenSSL's libcrypto.
class SigningKey {
 public:
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;
  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;
  ~SigningKey();

  // A new random key.
  static SigningKey Generate();

  // The key of an unencrypted PEM file (PKCS #8 or the traditional EC form,
  // as `openssl genpkey` or `openssl ecparam -genkey` write them). Nothing,
  // and error set, when it cannot be read or is no P-256 private key.
  static std::optional<SigningKey> Load(const std::filesystem::path& file, std::string& error);

  // Writes the key as PKCS #8 PEM to a new file that only its owner may read
  // (mode 0600). The file appears whole or not at all, and an existing file
  // is never replaced: false, and error set, when the name is taken or the
  // file cannot be written.
  bool SaveNew(const std::filesystem::path& file, std::string& error) const;

  // The public key as a DER SubjectPublicKeyInfo with the point uncompressed,
  // the form the updater's configuration holds (in base64).
  std::vector<std::uint8_t> PublicKeyDer() const;

  // The DER ECDSA signature of the SHA-256 of message.
  std::vector<std::uint8_t> Sign(std::span<const std::uint8_t> message) const;

  struct Key;

 private:
  explicit SigningKey(std::unique_ptr<Key> key);
  std::unique_ptr<Key> Pkey;
};

}  // namespace varo::publish
