#include "update/ListSignature.h"

#include <string_view>

#include "catalogue/CUpdateFiles.h"
#include "platform/Crypto.h"
#include "platform/RegularFile.h"

namespace varo {
namespace {

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string ListSignatureUrl(const std::string& listUrl) {
  return listUrl + ".sig";
}

ListTrust CheckListSignature(std::span<const std::uint8_t> publicKey,
                             std::span<const std::uint8_t> list,
                             std::span<const std::uint8_t> signature) {
  return platform::VerifyEcdsaP256Sha256(publicKey, list, signature) ? ListTrust::Accepted
                                                                     : ListTrust::BadSignature;
}

ListTrust CheckListSequence(std::optional<std::uint64_t> listSequence,
                            std::optional<std::uint64_t> stored) {
  if (!stored) {
    return ListTrust::Accepted;
  }
  return listSequence && *listSequence >= *stored ? ListTrust::Accepted : ListTrust::Rollback;
}

ListTrust CheckList(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> list,
                    std::span<const std::uint8_t> signature,
                    std::optional<std::uint64_t> listSequence,
                    std::optional<std::uint64_t> stored) {
  const ListTrust bySignature = CheckListSignature(publicKey, list, signature);
  if (bySignature != ListTrust::Accepted) {
    return bySignature;
  }
  return CheckListSequence(listSequence, stored);
}

ListTrust CheckListFiles(std::span<const std::uint8_t> publicKey,
                         const std::filesystem::path& listFile,
                         const std::filesystem::path& signatureFile,
                         std::optional<std::uint64_t> listSequence,
                         std::optional<std::uint64_t> stored) {
  const std::optional<std::string> list =
      platform::ReadRegularFile(listFile, CUpdateFiles::MaxListBytes);
  const std::optional<std::string> signature =
      platform::ReadRegularFile(signatureFile, kMaxListSignatureBytes);
  if (!list || !signature) {
    return ListTrust::BadSignature;
  }
  return CheckList(publicKey, BytesOf(*list), BytesOf(*signature), listSequence, stored);
}

}  // namespace varo
