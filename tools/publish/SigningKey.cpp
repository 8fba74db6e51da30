#include "tools/publish/SigningKey.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/RegularFile.h"
#include "tools/publish/ListName.h"

namespace varo::publish {
namespace {

// The largest key file read: a PEM key is a few hundred bytes.
constexpr std::size_t kMaxKeyFileBytes = std::size_t{64} << 10;

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// What libcrypto could not do, for a message.
std::string LibcryptoError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) {
    return "unknown error";
  }
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Keys are never read with a passphrase: an encrypted key fails to load.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return -1;
}

std::string Printable(const std::filesystem::path& file) {
  return publish::Printable(file.string());
}

// Writes all of bytes to descriptor; false with errno set on failure.
bool WriteAll(int descriptor, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

struct SigningKey::Key {
  EVP_PKEY* Value = nullptr;
  explicit Key(EVP_PKEY* value) : Value(value) {
    // The public key is always given with its point uncompressed: that is the
    // one form the updater takes.
    EVP_PKEY_set_utf8_string_param(Value, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                   OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { EVP_PKEY_free(Value); }
};

SigningKey::SigningKey(std::unique_ptr<Key> key) : Pkey(std::move(key)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey& SigningKey::operator=(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::Generate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) {
    throw std::runtime_error("cannot make a key: " + LibcryptoError());
  }
  return SigningKey(std::make_unique<Key>(key));
}

std::optional<SigningKey> SigningKey::Load(const std::filesystem::path& file, std::string& error) {
  const auto text = platform::ReadRegularFile(file, kMaxKeyFileBytes);
  if (!text) {
    error = "cannot read the key file " + Printable(file);
    return std::nullopt;
  }
  const Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  EVP_PKEY* read =
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr;
  if (read == nullptr) {
    ERR_clear_error();
    error = Printable(file) + " holds no private key in PEM form without a passphrase";
    return std::nullopt;
  }
  auto key = std::make_unique<Key>(read);
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_is_a(read, "EC") != 1 ||
      EVP_PKEY_get_group_name(read, group, sizeof group, &length) != 1 ||
      std::strcmp(group, "prime256v1") != 0) {
    ERR_clear_error();
    error = Printable(file) + " holds no P-256 (prime256v1) key";
    return std::nullopt;
  }
  return SigningKey(std::move(key));
}

bool SigningKey::SaveNew(const std::filesystem::path& file, std::string& error) const {
  const Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), Pkey->Value, nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1) {
    error = "cannot write the key: " + LibcryptoError();
    return false;
  }
  char* pem = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &pem);

  // A temporary file of the owner's alone beside the key's name, linked to
  // that name once it is whole: link never replaces a file.
  const std::filesystem::path folder =
      file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  std::string temporary = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
  const int descriptor = ::mkstemp(temporary.data());
  if (descriptor < 0) {
    error = "cannot write in " + Printable(folder) + ": " + std::generic_category().message(errno);
    return false;
  }
  const bool written = WriteAll(descriptor, pem, static_cast<std::size_t>(size)) &&
                       ::fchmod(descriptor, 0600) == 0 && ::fsync(descriptor) == 0;
  const int writeError = errno;
  ::close(descriptor);
  bool linked = false;
  if (!written) {
    error = "cannot write " + Printable(file) + ": " + std::generic_category().message(writeError);
  } else if (::link(temporary.c_str(), file.c_str()) != 0) {
    error = errno == EEXIST
                ? Printable(file) + " already exists; it is left as it is"
                : "cannot write " + Printable(file) + ": " + std::generic_category().message(errno);
  } else {
    linked = true;
  }
  ::unlink(temporary.c_str());
  return linked;
}

std::vector<std::uint8_t> SigningKey::PublicKeyDer() const {
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(Pkey->Value, &der);
  if (size <= 0) {
    throw std::runtime_error("cannot encode the public key: " + LibcryptoError());
  }
  std::vector<std::uint8_t> bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

std::vector<std::uint8_t> SigningKey::Sign(std::span<const std::uint8_t> message) const {
  const std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, Pkey->Value) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, message.data(), message.size()) != 1) {
    throw std::runtime_error("cannot sign: " + LibcryptoError());
  }
  std::vector<std::uint8_t> signature(size);
  if (EVP_DigestSign(context.get(), signature.data(), &size, message.data(), message.size()) != 1) {
    throw std::runtime_error("cannot sign: " + LibcryptoError());
  }
  signature.resize(size);
  return signature;
}

}  // namespace varo::publish
