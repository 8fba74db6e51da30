#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace varo {

// What a signed update list is worth.
enum class ListTrust {
  Accepted,      // signed by the configured key, and not older than the last one taken
  BadSignature,  // no valid signature by the configured key (or no usable key)
  Rollback,      // signed, but older than a list this installation accepted
};

// Shown when a list is refused for either reason; the run then goes on as
// for a list that could not be downloaded.
inline constexpr const char* kBadListSignatureText = "更新列表签名无效";

// The largest signature file that is read; a DER ECDSA P-256 signature has
// at most 72 bytes.
inline constexpr std::size_t kMaxListSignatureBytes = 1024;
// The kind of the download job that fetches a list's signature.
inline constexpr std::int32_t kInetFileSignature = 3;

// Where a list's signature lies: the list's URL with ".sig" added.
std::string ListSignatureUrl(const std::string& listUrl);

// Accepted when signature is a DER ECDSA-SHA256 signature of the exact bytes
// of list by publicKey (a DER SubjectPublicKeyInfo of a P-256 key, as
// ReadListPublicKey gives it); BadSignature otherwise, an empty or unusable
// key included.
ListTrust CheckListSignature(std::span<const std::uint8_t> publicKey,
                             std::span<const std::uint8_t> list,
                             std::span<const std::uint8_t> signature);

// Accepted unless the list is older than the highest sequence accepted so
// far (stored): Rollback when the list's sequence is lower, and also when it
// has none while one is stored, as a list of before sequences were given
// could otherwise be served again for ever. Without a stored sequence any
// list is accepted.
ListTrust CheckListSequence(std::optional<std::uint64_t> listSequence,
                            std::optional<std::uint64_t> stored);

// The signature first, then the sequence (the list's root Sequence, as
// CUpdateFiles::Sequence gives it once the same bytes are loaded).
ListTrust CheckList(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> list,
                    std::span<const std::uint8_t> signature,
                    std::optional<std::uint64_t> listSequence, std::optional<std::uint64_t> stored);

// CheckList on the downloaded files: the list of at most
// CUpdateFiles::MaxListBytes and the signature of at most
// kMaxListSignatureBytes. A file that is missing, too large or no regular
// file gives BadSignature.
ListTrust CheckListFiles(std::span<const std::uint8_t> publicKey,
                         const std::filesystem::path& listFile,
                         const std::filesystem::path& signatureFile,
                         std::optional<std::uint64_t> listSequence,
                         std::optional<std::uint64_t> stored);

}  // namespace varo
