#pragma once

#include <memory>
#include <utility>

#include "common/LockedPtrList.h"
#include "transfer/CInetFile.h"

namespace varo {

// The window's download jobs, oldest first. The list owns its jobs; removing
// one (Remove, RemoveAll, the destructor) deletes it, which cancels its run
// and waits for it, still holding the list's lock. Jobs never take that
// lock, so the wait cannot deadlock. GetHead, GetCount, Remove and RemoveAll
// (head first) come from the list itself.
class CInetFiles : public LockedPtrList<CInetFile> {
 public:
  // Appends a job at the tail and takes ownership; false (list unchanged)
  // for null.
  bool Add(std::unique_ptr<CInetFile> job) { return AddTail(std::move(job)); }
};

}  // namespace varo
