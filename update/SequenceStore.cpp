#include "update/SequenceStore.h"

#include <string>
#include <string_view>
#include <utility>

#include "common/DecimalText.h"
#include "platform/FileSystem.h"
#include "platform/OutputFile.h"
#include "platform/RegularFile.h"

namespace varo {
namespace {

constexpr std::string_view kPrefix = "sequence ";
// Far more than the longest valid content: "sequence " + 20 digits + "\r\n".
constexpr std::size_t kMaxStateBytes = 64;

// "sequence N" with N decimal digits of at most 64 bits, then a line end
// ("\n" or "\r\n") or nothing.
std::optional<std::uint64_t> Parse(std::string_view text) {
  if (!text.starts_with(kPrefix)) {
    return std::nullopt;
  }
  text.remove_prefix(kPrefix.size());
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  return ParseUnsignedDecimal(text);
}

}  // namespace

SequenceStore::SequenceStore(std::filesystem::path file) : Path(std::move(file)) {}

std::filesystem::path SequenceStore::FileFor(const std::filesystem::path& programDirectory) {
  return programDirectory / "ADImage" / "update.state";
}

std::optional<std::uint64_t> SequenceStore::Read() const {
  const std::optional<std::string> content = platform::ReadRegularFile(Path, kMaxStateBytes);
  if (!content) {
    return std::nullopt;
  }
  return Parse(*content);
}

bool SequenceStore::Raise(std::uint64_t sequence) const {
  if (const std::optional<std::uint64_t> stored = Read(); stored && *stored >= sequence) {
    return true;
  }
  platform::MakeDirectory(Path.parent_path());
  std::filesystem::path fresh = Path;
  fresh += ".new";
  const std::string content = std::string(kPrefix) + std::to_string(sequence) + "\n";
  platform::OutputFile out;
  if (out.Create(fresh) != platform::kOk) {
    return false;
  }
  // On the disk before it takes the name: after a power cut the store holds
  // the old number or the new one, never an empty file.
  bool written = out.Write(content.data(), content.size());
  written = out.Close(true) && written;  // closed in any case before it is removed
  if (!written || platform::ReplaceFile(fresh, Path, false) != platform::kOk) {
    platform::RemoveFile(fresh);
    return false;
  }
  return true;
}

}  // namespace varo
