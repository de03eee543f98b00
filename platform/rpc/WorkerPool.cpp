#include "platform/rpc/WorkerPool.h"

#include <exception>
#include <string>

#include "common/qxLog.h"

namespace ordex::rpc::detail {

namespace {
// Jobs one worker runs from a queue before letting other queues have a turn.
constexpr int BatchSize = 16;
}  // namespace

TWorkerPool::TWorkerPool(std::size_t Threads) {
  const std::size_t Count = Threads ? Threads : 1;
  FThreads.reserve(Count);
  for (std::size_t I = 0; I < Count; ++I) FThreads.emplace_back([this] { Work(); });
}

TWorkerPool::~TWorkerPool() { Join(); }

std::shared_ptr<TJobQueue> TWorkerPool::NewQueue() { return std::make_shared<TJobQueue>(*this); }

void TWorkerPool::Join() {
  {
    std::unique_lock L(FLock);
    if (FThreads.empty()) return;
    FJoining = true;
    FIdle.wait(L, [this] { return FReady.empty() && FBusy == 0; });
    FStopped = true;
  }
  FWake.notify_all();
  for (auto& T : FThreads) T.join();
  std::lock_guard L(FLock);
  FThreads.clear();
}

bool TWorkerPool::Schedule(std::shared_ptr<TJobQueue> Queue) {
  std::unique_lock L(FLock);
  if (FStopped) return false;
  FReady.push_back(std::move(Queue));
  // Wake a worker only when one sleeps: a busy worker picks the queue up itself.
  const bool Wake = FWaiting > 0;
  L.unlock();
  if (Wake) FWake.notify_one();
  return true;
}

void TWorkerPool::Work() {
  for (;;) {
    std::shared_ptr<TJobQueue> Queue;
    {
      std::unique_lock L(FLock);
      ++FWaiting;
      FWake.wait(L, [this] { return !FReady.empty() || FStopped; });
      --FWaiting;
      if (FReady.empty()) return;  // stopped
      Queue = std::move(FReady.front());
      FReady.pop_front();
      ++FBusy;
    }
    const bool More = Queue->RunSome();
    std::lock_guard L(FLock);
    --FBusy;
    if (More) FReady.push_back(std::move(Queue));
    if (FJoining && FReady.empty() && FBusy == 0) FIdle.notify_all();
  }
}

bool TJobQueue::Post(TJob Job) {
  {
    std::unique_lock L(FLock);
    if (FClosed) {
      L.unlock();
      Job.Refused();
      return false;
    }
    FJobs.push_back(std::move(Job));
    if (FScheduled) return true;
    FScheduled = true;
  }
  if (FPool.Schedule(shared_from_this())) return true;
  // The pool has stopped: nothing will run this queue any more.
  std::deque<TJob> Dropped;
  {
    std::lock_guard L(FLock);
    Dropped.swap(FJobs);
    FScheduled = false;
    FClosed = true;
  }
  for (auto& J : Dropped) J.Refused();
  return false;
}

void TJobQueue::Close() {
  std::lock_guard L(FLock);
  FClosed = true;
}

bool TJobQueue::RunSome() {
  for (int N = 0; N < BatchSize; ++N) {
    TJob Job;
    {
      std::lock_guard L(FLock);
      if (FJobs.empty()) {
        FScheduled = false;
        return false;
      }
      Job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    try {
      Job();
    } catch (const std::exception& E) {
      LogError(std::string("Worker job failed: ") + E.what());
    } catch (...) {
      LogError("Worker job failed");
    }
    // The job (and whatever it owns) goes here, outside the lock.
  }
  std::lock_guard L(FLock);
  if (FJobs.empty()) {
    FScheduled = false;
    return false;
  }
  return true;
}

}  // namespace ordex::rpc::detail
