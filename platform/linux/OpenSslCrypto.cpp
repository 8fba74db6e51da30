// SHA-256 and the ECDSA P-256 check on OpenSSL's libcrypto. Keys and
// signatures pass the portable strict readers of platform/Crypto.cpp first,
// so that this system accepts exactly what the others do.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "platform/Crypto.h"

namespace varo::platform {
namespace {

// The block in which files are read.
constexpr std::size_t kFileBlock = std::size_t{256} << 10;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// A descriptor closed when it goes away.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : Value(descriptor) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (Value >= 0) {
      ::close(Value);
    }
  }
  int Get() const { return Value; }

 private:
  int Value;
};

}  // namespace

struct Sha256::State {
  DigestContext Context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : Hash(std::make_unique<State>()) {
  // The digest is built into libcrypto: only memory can run out here.
  if (!Hash->Context || EVP_DigestInit_ex(Hash->Context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
  if (size == 0) {
    return;
  }
  [[maybe_unused]] const int updated = EVP_DigestUpdate(Hash->Context.get(), data, size);
  assert(updated == 1);
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  unsigned int size = 0;
  [[maybe_unused]] const int finished =
      EVP_DigestFinal_ex(Hash->Context.get(), digest.data(), &size);
  assert(finished == 1 && size == digest.size());
  if (EVP_DigestInit_ex(Hash->Context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return digest;
}

std::optional<FileDigest> HashFile(const std::filesystem::path& file) {
  // Non-blocking, so that opening a FIFO does not wait for a writer; what is
  // no regular file is refused before any read.
  const Descriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (descriptor.Get() < 0 || ::fstat(descriptor.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  Sha256 hash;
  FileDigest result;
  std::vector<std::uint8_t> block(kFileBlock);
  for (;;) {
    const ssize_t got = ::read(descriptor.Get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    hash.Update(block.data(), static_cast<std::size_t>(got));
    result.Size += static_cast<std::uint64_t>(got);
  }
  result.Digest = hash.Finish();
  return result;
}

bool VerifyEcdsaP256Sha256(std::span<const std::uint8_t> publicKeySpkiDer,
                           std::span<const std::uint8_t> message,
                           std::span<const std::uint8_t> signatureDer) {
  if (!P256PointFromSpki(publicKeySpkiDer) || !EcdsaSignatureFromDer(signatureDer)) {
    return false;
  }
  const unsigned char* next = publicKeySpkiDer.data();
  // d2i_PUBKEY also checks that the point lies on the curve.
  const Key key(d2i_PUBKEY(nullptr, &next, static_cast<long>(publicKeySpkiDer.size())));
  if (!key || next != publicKeySpkiDer.data() + publicKeySpkiDer.size()) {
    ERR_clear_error();
    return false;
  }
  const DigestContext context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    return false;
  }
  // 1 is a good signature; 0 a wrong one, below 0 an error: both are false.
  const bool good = EVP_DigestVerify(context.get(), signatureDer.data(), signatureDer.size(),
                                     message.data(), message.size()) == 1;
  // A wrong signature leaves its reasons on this thread's error queue, where
  // the next user of libcrypto (libcurl's TLS) would take them for its own.
  ERR_clear_error();
  return good;
}

}  // namespace varo::platform
