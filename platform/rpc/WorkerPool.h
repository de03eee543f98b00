// Worker threads for ordered job queues: the jobs of one queue (one session)
// run one at a time, in the order they were posted, on whichever worker is
// free; different queues run in parallel. A queue that has work is scheduled
// once, so a session's jobs never wake more than one worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace ordex::rpc::detail {

// A move-only job (lambdas that own sessions, requests and answers). A job
// object with a Refused() member has it called instead when a queue drops the
// job unrun.
class TJob {
 public:
  TJob() = default;
  template <class F>
    requires(!std::is_same_v<std::decay_t<F>, TJob>)
  TJob(F&& Fn) : FBody(std::make_unique<TBody<std::decay_t<F>>>(std::forward<F>(Fn))) {}
  void operator()() { FBody->Run(); }
  void Refused() { FBody->Refused(); }
  explicit operator bool() const noexcept { return FBody != nullptr; }

 private:
  struct TBase {
    virtual ~TBase() = default;
    virtual void Run() = 0;
    virtual void Refused() = 0;
  };
  template <class F>
  struct TBody final : TBase {
    explicit TBody(F&& Fn) : Fn(std::move(Fn)) {}
    explicit TBody(const F& Fn) : Fn(Fn) {}
    void Run() override { Fn(); }
    void Refused() override {
      if constexpr (requires { Fn.Refused(); }) Fn.Refused();
    }
    F Fn;
  };
  std::unique_ptr<TBase> FBody;
};

class TJobQueue;

class TWorkerPool {
 public:
  // Starts Threads workers (at least one).
  explicit TWorkerPool(std::size_t Threads);
  // Joins.
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // A new ordered queue on this pool.
  std::shared_ptr<TJobQueue> NewQueue();
  // Waits until every queued job has run (jobs posted meanwhile too), then
  // ends the workers; later posts are refused.
  void Join();

 private:
  friend class TJobQueue;
  // Puts a queue that just got work on the ready list; false once joined.
  bool Schedule(std::shared_ptr<TJobQueue> Queue);
  void Work();

  std::mutex FLock;  // guards everything below
  std::condition_variable FWake;  // workers wait here for ready queues
  std::condition_variable FIdle;  // Join waits here for the last job
  std::deque<std::shared_ptr<TJobQueue>> FReady;
  std::size_t FWaiting = 0;  // workers asleep on FWake
  std::size_t FBusy = 0;     // workers running a queue
  bool FJoining = false;
  bool FStopped = false;
  std::vector<std::thread> FThreads;
};

// One ordered queue. Thread-safe; shared by the pool while it has work.
class TJobQueue : public std::enable_shared_from_this<TJobQueue> {
 public:
  explicit TJobQueue(TWorkerPool& Pool) : FPool(Pool) {}

  // Queues Job; false once the queue is closed or the pool joined: the job is
  // then dropped unrun (its Refused() is called).
  bool Post(TJob Job);
  // Refuses later jobs; jobs already queued still run.
  void Close();

 private:
  friend class TWorkerPool;
  // Runs a batch of jobs; true when more are waiting (the queue stays scheduled).
  bool RunSome();

  TWorkerPool& FPool;
  std::mutex FLock;  // guards everything below
  std::deque<TJob> FJobs;
  bool FScheduled = false;  // on the ready list or being run; true whenever FJobs is not empty
  bool FClosed = false;
};

}  // namespace ordex::rpc::detail
