#pragma once

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>

#include "platform/MessageQueue.h"

namespace varo::platform {

// Hands the messages that any thread posts to a callback on the thread of a
// GLib main context, in the order they were posted. A post wakes the
// context only when it finds the queue empty; the pump then takes everything
// waiting in one go and delivers it in batches that each stay within a time
// budget. After a batch, the pump listens for a while: it looks at the queue
// itself every kLookInterval, and paced posts (a stream of progress) wake
// no one, so that a steady stream costs a few looks per tick instead of one
// wake-up per post; a plain post wakes the context at once. Deliveries are
// made at a priority below GTK's redrawing and the window's timer, so that
// a flood of posts never starves the drawing or the timer. Paced posts wait
// while limit messages are waiting, which bounds the backlog when the
// context falls behind. Its source may recurse: a nested loop (a modal
// dialog opened by the callback) keeps receiving messages.
class PostedMessagePump final : public MessagePoster {
 public:
  using Deliver = std::function<void(const Message&)>;

  // Attaches to the thread-default main context of the calling thread.
  explicit PostedMessagePump(Deliver deliver,
                             std::chrono::microseconds budget = std::chrono::milliseconds(4),
                             std::size_t limit = kDefaultLimit);
  ~PostedMessagePump() override;
  PostedMessagePump(const PostedMessagePump&) = delete;
  PostedMessagePump& operator=(const PostedMessagePump&) = delete;

  // Any thread. Post delivers as soon as the context runs; PostPaced may
  // wait for the pump's next look.
  void Post(const Message& message) override;
  void PostPaced(const Message& message, const std::atomic<bool>& stop) override;

  // Messages waiting to be delivered. The context's thread only.
  std::size_t Pending() const { return Queue.Size() + Batch.size(); }
  // Posters waiting for the backlog to shrink. Any thread.
  std::size_t WaitingPosters() const { return Queue.WaitingPosters(); }
  // How often a post woke the context. Any thread.
  std::size_t Wakeups() const { return WakeCount.load(); }
  // Whether the pump looks at the queue by itself, unwoken. Any thread.
  bool Listening() const { return ListeningNow.load(); }

  // The priority of the pump's source: after GTK's redraw (and so after
  // input, timers and painting), before default idle work.
  static constexpr int kPriority = G_PRIORITY_HIGH_IDLE + 30;
  // A backlog of this many messages is some milliseconds of work for the
  // callback and a few hundred KiB of memory.
  static constexpr std::size_t kDefaultLimit = 8192;
  // While listening, the pump looks at the queue this often; it stops after
  // kIdleLooks looks that found nothing.
  static constexpr std::chrono::milliseconds kLookInterval{4};
  static constexpr int kIdleLooks = 3;

 private:
  struct PumpSource;
  static gboolean Prepare(GSource* source, gint* timeout);
  static gboolean Check(GSource* source);
  static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
  void Wake();
  void Drain();
  // Whether a look at the queue is due; the context's thread only.
  bool LookDue() const;
  // After a drain that found the queue empty: listens on, or stops.
  void Listen(bool delivered);

  const Deliver DeliverMessage;
  const std::chrono::microseconds Budget;
  GMainContext* const Context;
  // Set by a post that found the queue empty, cleared when a drain begins;
  // a drain that leaves messages behind sets it again.
  std::atomic<bool> Signalled{false};
  std::atomic<std::size_t> WakeCount{0};
  // Set by the context's thread while it listens; read by posters.
  std::atomic<bool> ListeningNow{false};
  // The context's thread only: when the next look is due (monotonic
  // microseconds) and how many looks in a row found nothing.
  gint64 NextLook = 0;
  int IdleLooks = 0;
  MessageQueue Queue;
  // Messages taken from Queue and not yet delivered, oldest first. The
  // context's thread only; a nested drain goes on with the same batch.
  std::deque<Message> Batch;
  GSource* Source = nullptr;
};

}  // namespace varo::platform
