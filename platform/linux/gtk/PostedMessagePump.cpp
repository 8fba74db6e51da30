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

PostedMessagePump::PostedMessagePump(Deliver deliver, std::chrono::microseconds budget)
    : DeliverMessage(std::move(deliver)),
      Budget(budget),
      Context(g_main_context_ref_thread_default()),
      Queue([this] { Wake(); }) {
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

void PostedMessagePump::Wake() {
  // One wake-up per batch, not per post: a flood costs one atomic exchange
  // per message.
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
  Signalled.store(false);
  const gint64 deadline = g_get_monotonic_time() + Budget.count();
  while (auto message = Queue.Take()) {
    DeliverMessage(*message);
    if (g_get_monotonic_time() >= deadline) {
      if (Queue.Size() > 0) {
        Signalled.store(true);  // the rest in the next round of the loop
      }
      return;
    }
  }
}

}  // namespace varo::platform
