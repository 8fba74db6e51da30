#include "transfer/ResumeRecord.h"

#include "common/DecimalText.h"
#include "platform/OutputFile.h"
#include "platform/RegularFile.h"

namespace varo {
namespace {

// A URL and a validator are short; anything longer is no record of ours.
constexpr std::size_t kMaxRecordBytes = std::size_t{16} * 1024;

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::filesystem::path ResumeFileOf(const std::filesystem::path& sideFile) {
  std::filesystem::path record = sideFile;
  record.replace_extension(".resume");
  return record;
}

bool WriteResumeRecord(const std::filesystem::path& file, const ResumeRecord& record) {
  if (HasLineBreak(record.Url) || HasLineBreak(record.Validator) || HasLineBreak(record.Boot)) {
    return false;
  }
  const std::string text = "varo-resume 2\nurl " + record.Url + "\nlength " +
                           std::to_string(record.Length) + "\nvalidator " + record.Validator +
                           "\nboot " + record.Boot + "\ndurable " + std::to_string(record.Durable) +
                           "\n";
  platform::OutputFile out;
  return out.Create(file) == platform::kOk && out.Write(text.data(), text.size()) &&
         out.Close(true);
}

std::optional<ResumeRecord> ReadResumeRecord(const std::filesystem::path& file) {
  const std::optional<std::string> text = platform::ReadRegularFile(file, kMaxRecordBytes);
  if (!text) {
    return std::nullopt;
  }
  std::string_view rest = *text;
  const auto line = [&rest](std::string_view key) -> std::optional<std::string_view> {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos || !rest.starts_with(key)) {
      return std::nullopt;
    }
    const std::string_view value = rest.substr(key.size(), end - key.size());
    rest.remove_prefix(end + 1);
    return value;
  };
  // Records of the first form, which did not say how much had reached the
  // disk, count as none: their downloads start over.
  if (!line("varo-resume 2")) {
    return std::nullopt;
  }
  const auto url = line("url ");
  const auto length = line("length ");
  const auto validator = line("validator ");
  const auto boot = line("boot ");
  const auto durable = line("durable ");
  if (!url || !length || !validator || !boot || !durable || !rest.empty() || url->empty() ||
      validator->empty()) {
    return std::nullopt;
  }
  // A carriage return is no part of what WriteResumeRecord writes, and no
  // request could carry the validator back.
  if (HasLineBreak(*url) || HasLineBreak(*validator) || HasLineBreak(*boot)) {
    return std::nullopt;
  }
  const auto total = ParseUnsignedDecimal(*length);
  const auto onDisk = ParseUnsignedDecimal(*durable);
  if (!total || !onDisk || *onDisk > *total) {
    return std::nullopt;
  }
  return ResumeRecord{std::string(*url), *total, std::string(*validator), std::string(*boot),
                      *onDisk};
}

std::optional<ContentRange> ParseContentRange(std::string_view text) {
  constexpr std::string_view kUnit = "bytes ";
  if (!text.starts_with(kUnit)) {
    return std::nullopt;
  }
  text.remove_prefix(kUnit.size());
  const std::size_t dash = text.find('-');
  const std::size_t slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const auto first = ParseUnsignedDecimal(text.substr(0, dash));
  const auto last = ParseUnsignedDecimal(text.substr(dash + 1, slash - dash - 1));
  const auto total = ParseUnsignedDecimal(text.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) {
    return std::nullopt;
  }
  return ContentRange{*first, *last, *total};
}

}  // namespace varo
