#include "platform/linux/gtk/PostedMessagePump.h"

#include <utility>

namespace varo::platform {

struct PostedMessagePump::PumpSource {
  GSource Base;
  PostedMessagePump* Owner;
};

namespace {
GSourceFuncs* PumpFuncs(GSourceFuncs funcs) {
  static GSourceFuncs kept = funcs;  // GLib keeps the pointer for the source's life
  return &kept;
}
}  // namespace

PostedMessagePump::PostedMessagePump(Deliver deliver, std::chrono::microseconds budget,
                                     std::size_t limit)
    : DeliverMessage(std::move(deliver)),
      Budget(budget),
      Context(g_main_context_ref_thread_default()),
      Queue([this] { Wake(); }, limit) {
  GSourceFuncs funcs{};
  funcs.prepare = &PostedMessagePump::Prepare;
  funcs.check = &PostedMessagePump::Check;
  funcs.dispatch = &PostedMessagePump::Dispatch;
  Source = g_source_new(PumpFuncs(funcs), sizeof(PumpSource));
  reinterpret_cast<PumpSource*>(Source)->Owner = this;
  g_source_set_priority(Source, kPriority);
  g_source_set_can_recurse(Source, TRUE);
  g_source_set_name(Source, "varo posted messages");
  g_source_attach(Source, Context);
}

PostedMessagePump::~PostedMessagePump() {
  g_source_destroy(Source);
  g_source_unref(Source);
  g_main_context_unref(Context);
}

void PostedMessagePump::Post(const Message& message) {
  Queue.Post(message);
  // A single message (a completion, the list's result) is not part of a
  // stream that a look will soon find: it wakes the context also while the
  // pump listens. When the listening has just ended, the pump itself saw
  // the message waiting (Listen).
  if (ListeningNow.load() && !Signalled.exchange(true)) {
    WakeCount.fetch_add(1, std::memory_order_relaxed);
    g_main_context_wakeup(Context);
  }
}

void PostedMessagePump::PostPaced(const Message& message, const std::atomic<bool>& stop) {
  Queue.PostPaced(message, stop);
}

void PostedMessagePump::Wake() {
  // Called for a post that found the queue empty: one wake-up per batch,
  // not per post, and none for a paced post while the context looks by
  // itself.
  if (ListeningNow.load()) {
    return;
  }
  if (!Signalled.exchange(true)) {
    WakeCount.fetch_add(1, std::memory_order_relaxed);
    g_main_context_wakeup(Context);
  }
}

bool PostedMessagePump::LookDue() const {
  return ListeningNow.load() && g_get_monotonic_time() >= NextLook;
}

gboolean PostedMessagePump::Prepare(GSource* source, gint* timeout) {
  const PostedMessagePump& pump = *reinterpret_cast<PumpSource*>(source)->Owner;
  *timeout = -1;
  if (pump.Signalled.load()) {
    return TRUE;
  }
  if (pump.ListeningNow.load()) {
    const gint64 remaining = pump.NextLook - g_get_monotonic_time();
    if (remaining <= 0) {
      return TRUE;
    }
    *timeout = static_cast<gint>((remaining + 999) / 1000);
  }
  return FALSE;
}

gboolean PostedMessagePump::Check(GSource* source) {
  const PostedMessagePump& pump = *reinterpret_cast<PumpSource*>(source)->Owner;
  return pump.Signalled.load() || pump.LookDue();
}

gboolean PostedMessagePump::Dispatch(GSource* source, GSourceFunc, gpointer) {
  reinterpret_cast<PumpSource*>(source)->Owner->Drain();
  return G_SOURCE_CONTINUE;
}

void PostedMessagePump::Drain() {
  // Cleared before the queue is emptied: a post after that finds it empty
  // and wakes the context again.
  Signalled.store(false);
  const gint64 deadline = g_get_monotonic_time() + Budget.count();
  // The clock is read once per few messages; one message takes far less
  // than the budget.
  constexpr unsigned kClockEvery = 32;
  unsigned sinceClock = 0;
  bool delivered = false;
  for (;;) {
    if (Batch.empty() && Queue.TakeAll(Batch) == 0) {
      Listen(delivered);
      return;
    }
    delivered = true;
    const Message message = Batch.front();
    Batch.pop_front();
    DeliverMessage(message);
    if (++sinceClock == kClockEvery) {
      sinceClock = 0;
      if (g_get_monotonic_time() >= deadline) {
        if (!Batch.empty() || Queue.Size() > 0) {
          Signalled.store(true);  // the rest in the next round of the loop
        }
        return;
      }
    }
  }
}

void PostedMessagePump::Listen(bool delivered) {
  if (delivered) {
    IdleLooks = 0;
  } else if (++IdleLooks >= kIdleLooks) {
    // Back to being woken. A post that saw the pump still listening has
    // left its message for a look: one more look finds it.
    IdleLooks = 0;
    ListeningNow.store(false);
    if (Queue.Size() > 0) {
      Signalled.store(true);
    }
    return;
  }
  NextLook = g_get_monotonic_time() + std::chrono::microseconds(kLookInterval).count();
  ListeningNow.store(true);
}

}  // namespace varo::platform
