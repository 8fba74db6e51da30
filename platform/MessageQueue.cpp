#include "platform/MessageQueue.h"

#include <iterator>
#include <utility>

namespace varo::platform {

MessageQueue::MessageQueue(std::function<void()> wake, std::size_t limit)
    : Wake(std::move(wake)), Limit(limit) {}

bool MessageQueue::PushLocked(const Message& message) {
  const bool wasEmpty = Messages.empty();
  Messages.push_back(message);
  return wasEmpty;
}

void MessageQueue::ShrunkLocked() {
  if (Waiting > 0 && Messages.size() < Limit) {
    Room.notify_all();
  }
}

void MessageQueue::Post(const Message& message) {
  bool wasEmpty = false;
  {
    std::lock_guard guard(Mutex);
    wasEmpty = PushLocked(message);
  }
  if (wasEmpty) {
    Arrived.notify_all();
    if (Wake) {
      Wake();
    }
  }
}

void MessageQueue::PostPaced(const Message& message, const std::atomic<bool>& stop) {
  bool wasEmpty = false;
  {
    std::unique_lock lock(Mutex);
    if (Limit > 0 && Messages.size() >= Limit) {
      ++Waiting;
      while (Messages.size() >= Limit && !stop.load()) {
        Room.wait_for(lock, kStopPoll);
      }
      --Waiting;
    }
    wasEmpty = PushLocked(message);
  }
  if (wasEmpty) {
    Arrived.notify_all();
    if (Wake) {
      Wake();
    }
  }
}

std::optional<Message> MessageQueue::Take() {
  std::lock_guard guard(Mutex);
  if (Messages.empty()) {
    return std::nullopt;
  }
  Message message = Messages.front();
  Messages.pop_front();
  ShrunkLocked();
  return message;
}

std::size_t MessageQueue::TakeAll(std::deque<Message>& into) {
  std::lock_guard guard(Mutex);
  const std::size_t count = Messages.size();
  into.insert(into.end(), std::make_move_iterator(Messages.begin()),
              std::make_move_iterator(Messages.end()));
  Messages.clear();
  ShrunkLocked();
  return count;
}

std::optional<Message> MessageQueue::WaitTake(std::chrono::milliseconds timeout) {
  std::unique_lock lock(Mutex);
  if (!Arrived.wait_for(lock, timeout, [this] { return !Messages.empty(); })) {
    return std::nullopt;
  }
  Message message = Messages.front();
  Messages.pop_front();
  ShrunkLocked();
  return message;
}

std::size_t MessageQueue::Size() const {
  std::lock_guard guard(Mutex);
  return Messages.size();
}

std::size_t MessageQueue::WaitingPosters() const {
  std::lock_guard guard(Mutex);
  return Waiting;
}

}  // namespace varo::platform
