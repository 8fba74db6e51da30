#pragma once

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

#include "platform/MessageQueue.h"

namespace varo::platform {

// Hands the messages that any thread posts to a callback on the thread of a
// GLib main context, in the order they were posted. It drains the queue in
// batches that each stay within a time budget, and at a priority below
// GTK's redrawing and the window's timer, so that a flood of posts never
// starves the drawing or the timer. Its source may recurse: a nested loop
// (a modal dialog opened by the callback) keeps receiving messages.
class PostedMessagePump final : public MessagePoster {
 public:
  using Deliver = std::function<void(const Message&)>;

  // Attaches to the thread-default main context of the calling thread.
  explicit PostedMessagePump(Deliver deliver,
                             std::chrono::microseconds budget = std::chrono::milliseconds(4));
  ~PostedMessagePump() override;
  PostedMessagePump(const PostedMessagePump&) = delete;
  PostedMessagePump& operator=(const PostedMessagePump&) = delete;

  // Any thread.
  void Post(const Message& message) override;

  // Messages waiting to be delivered.
  std::size_t Pending() const { return Queue.Size(); }

  // The priority of the pump's source: after GTK's redraw (and so after
  // input, timers and painting), before default idle work.
  static constexpr int kPriority = G_PRIORITY_HIGH_IDLE + 30;

 private:
  struct PumpSource;
  static gboolean Prepare(GSource* source, gint* timeout);
  static gboolean Check(GSource* source);
  static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
  void Wake();
  void Drain();

  const Deliver DeliverMessage;
  const std::chrono::microseconds Budget;
  GMainContext* const Context;
  // Set by a post, cleared when a drain begins; a drain that leaves
  // messages behind sets it again.
  std::atomic<bool> Signalled{false};
  MessageQueue Queue;
  GSource* Source = nullptr;
};

}  // namespace varo::platform
