#pragma once

#include <cassert>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

namespace varo {

// An ordered list that owns its entries and guards them with a recursive lock.
// Every operation holds the lock for its whole duration, so a caller that
// already holds it (through Lock()) may call further operations.
// The server list, the update list and the job list are all built on it.
template <class T>
class LockedPtrList {
 public:
  LockedPtrList() = default;
  LockedPtrList(const LockedPtrList&) = delete;
  LockedPtrList& operator=(const LockedPtrList&) = delete;
  virtual ~LockedPtrList() { RemoveAll(); }

  // Appends an entry at the tail and takes ownership of it. A null entry is
  // refused and the list stays unchanged.
  bool AddTail(std::unique_ptr<T> entry) {
    if (!entry) {
      return false;
    }
    std::lock_guard guard(Mutex);
    Entries.push_back(std::move(entry));
    return true;
  }

  // The head entry, still owned by the list; null when the list is empty.
  T* GetHead() const {
    std::lock_guard guard(Mutex);
    return Entries.empty() ? nullptr : Entries.front().get();
  }

  // Unlinks the head entry and hands it to the caller; null when empty.
  std::unique_ptr<T> RemoveHead() {
    std::lock_guard guard(Mutex);
    if (Entries.empty()) {
      return nullptr;
    }
    std::unique_ptr<T> head = std::move(Entries.front());
    Entries.pop_front();
    return head;
  }

  // Unlinks the given entry and destroys it, still holding the lock. The
  // entry must be in the list: the list is its only owner.
  void Remove(T* entry) {
    std::lock_guard guard(Mutex);
    for (auto it = Entries.begin(); it != Entries.end(); ++it) {
      if (it->get() == entry) {
        std::unique_ptr<T> owned = std::move(*it);
        Entries.erase(it);
        owned.reset();
        return;
      }
    }
    assert(entry == nullptr && "Remove of an entry that the list does not own");
  }

  // Unlinks and destroys the entries one by one, head first.
  void RemoveAll() {
    std::lock_guard guard(Mutex);
    while (!Entries.empty()) {
      std::unique_ptr<T> head = std::move(Entries.front());
      Entries.pop_front();
      head.reset();
    }
  }

  // Destroys every entry for which keep(entry) is false; the others stay in
  // their order. Returns how many stayed.
  template <class Keep>
  std::size_t RemoveUnless(Keep keep) {
    std::lock_guard guard(Mutex);
    std::size_t kept = 0;
    for (auto it = Entries.begin(); it != Entries.end();) {
      if (keep(**it)) {
        ++kept;
        ++it;
      } else {
        std::unique_ptr<T> owned = std::move(*it);
        it = Entries.erase(it);
        owned.reset();
      }
    }
    return kept;
  }

  // Calls visit(entry) for every entry, head first, under the lock.
  template <class Visit>
  void ForEach(Visit visit) const {
    std::lock_guard guard(Mutex);
    for (const auto& entry : Entries) {
      visit(static_cast<const T&>(*entry));
    }
  }
  template <class Visit>
  void ForEach(Visit visit) {
    std::lock_guard guard(Mutex);
    for (const auto& entry : Entries) {
      visit(*entry);
    }
  }

  std::size_t GetCount() const {
    std::lock_guard guard(Mutex);
    return Entries.size();
  }

  // Moves every entry of other, in its order, to the tail of this list;
  // other is left empty. Takes both locks, this list's first.
  void TakeAll(LockedPtrList& other) {
    assert(&other != this && "a list cannot take its own entries");
    std::scoped_lock guard(Mutex, other.Mutex);
    Entries.splice(Entries.end(), other.Entries);
  }

  // The list's lock, for a caller that needs several operations as one.
  std::recursive_mutex& Lock() const { return Mutex; }

 private:
  mutable std::recursive_mutex Mutex;
  std::list<std::unique_ptr<T>> Entries;  // guarded by Mutex
};

}  // namespace varo
