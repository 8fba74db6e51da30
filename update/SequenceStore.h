#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace varo {

// The highest sequence number of a signed update list that this
// installation has accepted, kept in a small text file (ADImage/update.state:
// one line "sequence N"). A file that is missing, no regular file, or holds
// anything else counts as no number seen. The file is only ever replaced
// whole: written afresh beside its name, then renamed into place, so no link
// at the name is followed and a reader never sees half a file. One thread
// at a time (the window's).
class SequenceStore {
 public:
  explicit SequenceStore(std::filesystem::path file);

  // The store of the installation in programDirectory.
  static std::filesystem::path FileFor(const std::filesystem::path& programDirectory);

  // The stored number; nothing when none can be read.
  std::optional<std::uint64_t> Read() const;

  // Stores sequence unless the stored number is as high already: the stored
  // number never goes down. True when the file holds at least sequence when
  // it returns; false when it had to be written and could not be.
  bool Raise(std::uint64_t sequence) const;

  const std::filesystem::path& File() const { return Path; }

 private:
  const std::filesystem::path Path;
};

}  // namespace varo
