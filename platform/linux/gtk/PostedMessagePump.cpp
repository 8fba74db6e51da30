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
}

void PostedMessagePump::PostPaced(const Message& message, const std::atomic<bool>& stop) {
  Queue.PostPaced(message, stop);
}

void PostedMessagePump::Wake() {
  // Called for a post that found the queue empty: one wake-up per batch,
  // not per post.
  WakeCount.fetch_add(1, std::memory_order_relaxed);
  if (!Signalled.exchange(true)) {
    g_main_context_wakeup(Context);
  }
}

gboolean PostedMessagePump::Prepare(GSource* source, gint* timeout) {
  *timeout = -1;
  return reinterpret_cast<PumpSource*>(source)->Owner->Signalled.load();
}

gboolean PostedMessagePump::Check(GSource* source) {
  return reinterpret_cast<PumpSource*>(source)->Owner->Signalled.load();
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
  for (;;) {
    if (Batch.empty() && Queue.TakeAll(Batch) == 0) {
      return;
    }
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

}  // namespace varo::platform
