#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "transfer/ManualResetEvent.h"

namespace varo {

// Runs Run on a worker thread of its own, one run at a time, and lets the
// owner wait for a run to end before the object goes away.
//
// A subclass starts a run with StartThread and, in its own destructor (before
// this base's destructor runs), ends the object's use of threads with
// StopThread. Both protocols are called on the owner's thread only.
//
// States: idle and never started (IdleEvent set, no handle); running
// (IdleEvent reset, the handle of the running thread); finished (IdleEvent
// set, the handle of an ended thread not yet reaped); reaped (IdleEvent set,
// no handle). IdleEvent is never reset without a thread that will set it.
class COrlanThread {
 public:
  COrlanThread() = default;
  COrlanThread(const COrlanThread&) = delete;
  COrlanThread& operator=(const COrlanThread&) = delete;
  // Neither waits for nor reaps a thread: the subclass must have called
  // StopThread.
  virtual ~COrlanThread();

 protected:
  // The body of one run, on the worker thread.
  virtual void Run() = 0;

  // The start protocol: waits until any previous run has returned from Run,
  // reaps its thread, calls resetPoint (where the subclass resets its per-run
  // state), then starts a new thread that runs Run. True when a thread now
  // runs Run; false when none could be created (no run happens then).
  bool StartThread(const std::function<void()>& resetPoint = {});

  // The stop protocol: waits until no run is in progress, then reaps the
  // thread. Afterwards no thread touches the object.
  void StopThread();

  // Identifier of the most recently created worker thread. Owner: the
  // owner's thread (written by StartThread).
  std::thread::id ThreadId;

  // The worker thread that has not been reaped yet; null when there is none.
  // Stored by StartThread; taken over only by an atomic exchange against
  // null, so exactly one of the two protocols joins and frees a thread.
  std::atomic<std::thread*> ThreadHandle{nullptr};

  // Set while no run is in progress; reset from before a new run can begin
  // until its Run has returned. Reset by StartThread on the owner's thread,
  // set by the worker after Run (or by StartThread when no thread could be
  // made). It carries the happens-before from the end of Run to the waiter.
  ManualResetEvent IdleEvent{true};

 private:
  // The thread entry: Run, then IdleEvent set, and nothing more with the
  // object, which may be destroyed as soon as IdleEvent is set.
  static void ThreadProc(COrlanThread* object);

  // Takes over ThreadHandle and, when there was a thread, joins and frees it.
  void ReapThread();
};

}  // namespace varo
