// SHA-256 and the ECDSA P-256 check on Windows' CNG (bcrypt). Keys and
// signatures pass the portable strict readers of platform/Crypto.cpp first,
// so that this system accepts exactly what the others do; those readers also
// give the key's point and the signature's r || s in the raw forms that CNG
// takes.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "platform/Crypto.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

// The block in which files are read.
constexpr DWORD kFileBlock = DWORD{256} << 10;

bool Ok(NTSTATUS status) {
  return status >= 0;
}

// An algorithm provider opened once for the life of the process (CNG's
// providers may be shared by any number of threads).
BCRYPT_ALG_HANDLE OpenProvider(const wchar_t* algorithm) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (!Ok(BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0))) {
    return nullptr;
  }
  return provider;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
  static const BCRYPT_ALG_HANDLE provider = OpenProvider(BCRYPT_SHA256_ALGORITHM);
  return provider;
}

BCRYPT_ALG_HANDLE EcdsaP256Provider() {
  static const BCRYPT_ALG_HANDLE provider = OpenProvider(BCRYPT_ECDSA_P256_ALGORITHM);
  return provider;
}

// The size of the memory a hash object of the SHA-256 provider needs;
// Windows 7 wants the caller to supply it.
DWORD HashObjectSize() {
  static const DWORD size = [] {
    DWORD value = 0;
    ULONG written = 0;
    if (Sha256Provider() == nullptr ||
        !Ok(BCryptGetProperty(Sha256Provider(), BCRYPT_OBJECT_LENGTH,
                              reinterpret_cast<PUCHAR>(&value), sizeof value, &written, 0))) {
      return DWORD{0};
    }
    return value;
  }();
  return size;
}

// A handle closed when it goes away.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : Value(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (Value != INVALID_HANDLE_VALUE) {
      CloseHandle(Value);
    }
  }
  HANDLE Get() const { return Value; }

 private:
  HANDLE Value;
};

class KeyHandle {
 public:
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (Value != nullptr) {
      BCryptDestroyKey(Value);
    }
  }
  BCRYPT_KEY_HANDLE* Out() { return &Value; }
  BCRYPT_KEY_HANDLE Get() const { return Value; }

 private:
  BCRYPT_KEY_HANDLE Value = nullptr;
};

}  // namespace

struct Sha256::State {
  std::vector<UCHAR> Object;
  BCRYPT_HASH_HANDLE Handle = nullptr;

  // SHA-256 is part of every Windows: only memory can run out here.
  void Begin() {
    Object.assign(HashObjectSize(), 0);
    if (Object.empty() || !Ok(BCryptCreateHash(Sha256Provider(), &Handle, Object.data(),
                                               static_cast<ULONG>(Object.size()), nullptr, 0, 0))) {
      Handle = nullptr;
      throw std::bad_alloc();
    }
  }
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (Handle != nullptr) {
      BCryptDestroyHash(Handle);
    }
  }
};

Sha256::Sha256() : Hash(std::make_unique<State>()) {
  Hash->Begin();
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG part = static_cast<ULONG>(
        size < std::numeric_limits<ULONG>::max() ? size : std::numeric_limits<ULONG>::max());
    // BCryptHashData takes a pointer to non-const but only reads it.
    [[maybe_unused]] const NTSTATUS status =
        BCryptHashData(Hash->Handle, const_cast<PUCHAR>(bytes), part, 0);
    assert(Ok(status));
    bytes += part;
    size -= part;
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  [[maybe_unused]] const NTSTATUS status =
      BCryptFinishHash(Hash->Handle, digest.data(), static_cast<ULONG>(digest.size()), 0);
  assert(Ok(status));
  // A finished hash object cannot be used again: start a new one.
  BCryptDestroyHash(Hash->Handle);
  Hash->Handle = nullptr;
  Hash->Begin();
  return digest;
}

std::optional<FileDigest> HashFile(const std::filesystem::path& file) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open; what opens
  // but is no file on a disk (a pipe, a console) is refused before any read.
  // The \\?\ form reaches a file whatever the length of its path.
  const FileHandle handle(CreateFileW(LongPath(file).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (handle.Get() == INVALID_HANDLE_VALUE || GetFileType(handle.Get()) != FILE_TYPE_DISK) {
    return std::nullopt;
  }
  Sha256 hash;
  FileDigest result;
  std::vector<std::uint8_t> block(kFileBlock);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle.Get(), block.data(), kFileBlock, &got, nullptr)) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    hash.Update(block.data(), got);
    result.Size += got;
  }
  result.Digest = hash.Finish();
  return result;
}

bool VerifyEcdsaP256Sha256(std::span<const std::uint8_t> publicKeySpkiDer,
                           std::span<const std::uint8_t> message,
                           std::span<const std::uint8_t> signatureDer) {
  const auto point = P256PointFromSpki(publicKeySpkiDer);
  auto signature = EcdsaSignatureFromDer(signatureDer);
  if (!point || !signature || EcdsaP256Provider() == nullptr) {
    return false;
  }
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  std::array<UCHAR, sizeof(BCRYPT_ECCKEY_BLOB) + 64> blob{};
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point->data(), point->size());
  KeyHandle key;
  if (!Ok(BCryptImportKeyPair(EcdsaP256Provider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Out(),
                              blob.data(), static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  Sha256Digest digest = Sha256Of(message);
  return Ok(BCryptVerifySignature(key.Get(), nullptr, digest.data(),
                                  static_cast<ULONG>(digest.size()), signature->data(),
                                  static_cast<ULONG>(signature->size()), 0));
}

}  // namespace varo::platform
