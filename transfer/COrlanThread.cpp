#include "transfer/COrlanThread.h"

#include <cassert>
#include <memory>
#include <system_error>

namespace varo {

COrlanThread::~COrlanThread() {
  assert(ThreadHandle.load() == nullptr && "a subclass destructor must call StopThread");
  assert(IdleEvent.IsSet() && "destroyed during a run");
}

void COrlanThread::ThreadProc(COrlanThread* object) {
  object->Run();
  object->IdleEvent.Set();
}

void COrlanThread::ReapThread() {
  std::unique_ptr<std::thread> thread(ThreadHandle.exchange(nullptr));
  if (thread) {
    thread->join();
  }
}

bool COrlanThread::StartThread(const std::function<void()>& resetPoint) {
  IdleEvent.Wait();
  ReapThread();
  if (resetPoint) {
    resetPoint();
  }
  // The handle's storage comes first, so that only the thread's creation can
  // fail once the event is reset.
  auto thread = std::make_unique<std::thread>();
  IdleEvent.Reset();
  try {
    *thread = std::thread(&COrlanThread::ThreadProc, this);
  } catch (const std::system_error&) {
    // No thread could be made: no run will set the event, so set it here.
    IdleEvent.Set();
    return false;
  } catch (...) {
    IdleEvent.Set();
    throw;
  }
  ThreadId = thread->get_id();
  ThreadHandle.store(thread.release());
  return ThreadHandle.load() != nullptr;
}

void COrlanThread::StopThread() {
  IdleEvent.Wait();
  ReapThread();
}

}  // namespace varo
