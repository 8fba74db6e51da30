#include "tools/publish/Publisher.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Crypto.h"
#include "tools/publish/FileFacts.h"
#include "tools/publish/ListName.h"
#include "tools/publish/ListWriter.h"
#include "tools/publish/ReleaseScan.h"
#include "tools/publish/SigningKey.h"
#include "tools/publish/UrlPath.h"
#include "tools/publish/WholeFile.h"

namespace varo::publish {
namespace {

namespace fs = std::filesystem;

// The largest update list the updater reads.
constexpr std::size_t kMaxListBytes = 32u << 20;

constexpr std::string_view kUsage =
    "usage:\n"
    "  varo-publish keygen KEY.pem\n"
    "      writes a new P-256 private key (readable by its owner only) and prints\n"
    "      the PublicKey= line for the [UpdateServer] section of the updater's\n"
    "      configuration file\n"
    "  varo-publish pubkey KEY.pem\n"
    "      prints the PublicKey= line of a key\n"
    "  varo-publish list RELEASE_DIR --url BASE_URL [--key KEY.pem] [--sequence N]\n"
    "                   [-o Update.xml]\n"
    "      writes the update list of every file below RELEASE_DIR, to be served at\n"
    "      BASE_URL; with --key also its signature, Update.xml.sig; with\n"
    "      --sequence the list's sequence number (raise it with every release)\n"
    "exit codes: 0 done; 1 failed, nothing written; 2 wrong command line;\n"
    "            3 list written, but files were left out (see the messages)\n";

int Usage(std::ostream& err, const std::string& problem) {
  err << "varo-publish: " << problem << "\n" << kUsage;
  return kExitUsage;
}

int Fail(std::ostream& err, const std::string& problem) {
  err << "varo-publish: " << problem << "\n";
  return kExitFailed;
}

std::string Printable(const fs::path& path) {
  return publish::Printable(path.string());
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string PublicKeyLine(const SigningKey& key) {
  return "PublicKey=" + platform::EncodeBase64(key.PublicKeyDer());
}

std::optional<std::uint64_t> ParseSequence(std::string_view text) {
  if (text.empty() || text.size() > 19) {
    return std::nullopt;  // 19 digits always fit 64 bits
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// Where path lies below root ('/'-joined), both with every link resolved;
// nothing when it lies elsewhere.
std::optional<std::string> PathBelow(const fs::path& root, const fs::path& path) {
  std::error_code error;
  const fs::path base = fs::canonical(root, error);
  if (error) {
    return std::nullopt;
  }
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
  if (error) {
    return std::nullopt;
  }
  const fs::path relative = resolved.lexically_relative(base);
  if (relative.empty() || relative == "." || *relative.begin() == "..") {
    return std::nullopt;
  }
  return relative.generic_string();
}

// The one of files that is the same file on the disk as file, if any.
const ReleaseFile* FileThatIs(const std::vector<ReleaseFile>& files, const fs::path& file) {
  for (const ReleaseFile& candidate : files) {
    std::error_code error;
    if (fs::equivalent(candidate.Path, file, error)) {
      return &candidate;
    }
  }
  return nullptr;
}

struct ListOptions {
  fs::path Release;
  std::string BaseUrl;
  std::optional<fs::path> Key;
  std::optional<std::uint64_t> Sequence;
  fs::path Output = "Update.xml";
};

int RunKeygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() != 2) {
    return Usage(err, "keygen takes the name of the key file to write");
  }
  const fs::path file = arguments[1];
  const SigningKey key = SigningKey::Generate();
  std::string error;
  if (!key.SaveNew(file, error)) {
    return Fail(err, error);
  }
  out << PublicKeyLine(key) << "\n";
  err << "varo-publish: wrote the private key " << Printable(file)
      << "; keep it secret. Put the line above under [UpdateServer] in the updater's "
         "configuration file.\n";
  return kExitOk;
}

int RunPubkey(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() != 2) {
    return Usage(err, "pubkey takes the name of a key file");
  }
  std::string error;
  const auto key = SigningKey::Load(arguments[1], error);
  if (!key) {
    return Fail(err, error);
  }
  out << PublicKeyLine(*key) << "\n";
  return kExitOk;
}

int RunList(const ListOptions& options, std::ostream& out, std::ostream& err) {
  std::string error;
  std::optional<SigningKey> key;
  if (options.Key) {
    key = SigningKey::Load(*options.Key, error);
    if (!key) {
      return Fail(err, error);
    }
    if (PathBelow(options.Release, *options.Key)) {
      return Fail(err, "the key file " + Printable(*options.Key) +
                           " lies in the release folder, and would be published with it");
    }
  }
  const fs::path signatureFile = options.Output.string() + ".sig";

  // The list and its signature, old or being written, are no part of the
  // release when they are written into its folder.
  std::set<std::string> ignored;
  for (const fs::path& own :
       {options.Output, signatureFile, WholeFile::TemporaryFor(options.Output),
        WholeFile::TemporaryFor(signatureFile)}) {
    // Each of them is removed or replaced on the way: never the key.
    std::error_code notThere;
    if (options.Key && fs::equivalent(own, *options.Key, notThere)) {
      return Fail(err, "the key file " + Printable(*options.Key) + " would be overwritten by " +
                           Printable(own) + "; write the list elsewhere");
    }
    if (const auto below = PathBelow(options.Release, own)) {
      ignored.insert(*below);
    }
  }
  const auto scan = ScanRelease(options.Release, ignored, error);
  if (!scan) {
    return Fail(err, error);
  }
  if (options.Key) {
    // The key's own name may lie outside while the same file is in the
    // release under another name (a hard link, a bind mount).
    if (const ReleaseFile* copy = FileThatIs(scan->Files, *options.Key)) {
      return Fail(
          err, "the key file " + Printable(*options.Key) + " lies in the release folder as " +
                   publish::Printable(copy->RelativePath()) + ", and would be published with it");
    }
  }
  std::vector<ListEntry> entries;
  entries.reserve(scan->Files.size());
  for (const ReleaseFile& file : scan->Files) {
    auto entry = DescribeFile(file, options.BaseUrl, error);
    if (!entry) {
      return Fail(err, error);
    }
    entries.push_back(std::move(*entry));
  }
  const std::string list = WriteUpdateList(entries, options.Sequence);
  if (list.size() > kMaxListBytes) {
    return Fail(err, "the list would take " + std::to_string(list.size()) +
                         " bytes, more than the updater reads (" + std::to_string(kMaxListBytes) +
                         ")");
  }

  WholeFile listFile(options.Output);
  if (!listFile.Write(list, error)) {
    return Fail(err, error);
  }
  std::optional<WholeFile> sigFile;
  if (key) {
    const std::vector<std::uint8_t> signature = key->Sign(AsBytes(list));
    // Checked as the updater will check it.
    [[maybe_unused]] const bool verified =
        platform::VerifyEcdsaP256Sha256(key->PublicKeyDer(), AsBytes(list), signature);
    assert(verified);
    sigFile.emplace(signatureFile);
    if (!sigFile->Write(
            std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()),
            error)) {
      return Fail(err, error);
    }
  }
  if (!listFile.Commit(error)) {
    return Fail(err, error);
  }
  if (sigFile && !sigFile->Commit(error)) {
    return Fail(err, error + "; " + Printable(options.Output) +
                         " is written but does not match the signature beside it");
  }

  for (const std::string& leftOut : scan->LeftOut) {
    err << "varo-publish: left out " << leftOut << "\n";
  }
  std::error_code ignoredError;
  if (!key && fs::exists(signatureFile, ignoredError)) {
    err << "varo-publish: warning: " << Printable(signatureFile)
        << " is an older signature and does not sign this list; remove it, or sign with --key\n";
  }
  out << "wrote " << Printable(options.Output) << " with " << entries.size()
      << (entries.size() == 1 ? " file" : " files");
  if (key) {
    out << ", signed in " << Printable(signatureFile);
  }
  out << "\n";
  if (!scan->LeftOut.empty()) {
    err << "varo-publish: " << scan->LeftOut.size()
        << (scan->LeftOut.size() == 1 ? " file or folder was" : " files or folders were")
        << " left out\n";
    return kExitFilesLeftOut;
  }
  return kExitOk;
}

int ParseList(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ListOptions options;
  bool haveRelease = false;
  bool haveUrl = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool isOption =
        argument == "--url" || argument == "--key" || argument == "--sequence" || argument == "-o";
    if (isOption && i + 1 == arguments.size()) {
      return Usage(err, argument + " needs a value");
    }
    if (argument == "--url") {
      options.BaseUrl = arguments[++i];
      haveUrl = true;
    } else if (argument == "--key") {
      options.Key = arguments[++i];
    } else if (argument == "--sequence") {
      options.Sequence = ParseSequence(arguments[++i]);
      if (!options.Sequence) {
        return Usage(err, "--sequence takes a whole number from 0 to 9999999999999999999");
      }
    } else if (argument == "-o") {
      options.Output = arguments[++i];
    } else if (!argument.empty() && argument[0] == '-') {
      return Usage(err, "unknown option " + argument);
    } else if (haveRelease) {
      return Usage(err, "list takes one release folder");
    } else {
      options.Release = argument;
      haveRelease = true;
    }
  }
  if (!haveRelease) {
    return Usage(err, "list needs the release folder");
  }
  if (!haveUrl) {
    return Usage(err, "list needs --url, the address the release folder is served at");
  }
  if (!IsUsableBaseUrl(options.BaseUrl)) {
    return Usage(err,
                 "--url takes an http:// or https:// address without blanks, query or "
                 "fragment, such as https://updates.example.com/release/");
  }
  return RunList(options, out, err);
}

}  // namespace

int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.empty()) {
    return Usage(err, "no command given");
  }
  const std::string& command = arguments[0];
  if (command == "-h" || command == "--help" || command == "help") {
    out << kUsage;
    return kExitOk;
  }
  if (command == "keygen") {
    return RunKeygen(arguments, out, err);
  }
  if (command == "pubkey") {
    return RunPubkey(arguments, out, err);
  }
  if (command == "list") {
    return ParseList(arguments, out, err);
  }
  return Usage(err, "unknown command " + command);
}

}  // namespace varo::publish
