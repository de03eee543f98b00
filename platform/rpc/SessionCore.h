// Internal to the server: its bookkeeping of one session (the ordered job
// queue, the per-class instances, activity) and the calling thread's current
// session. Not for handlers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "platform/rpc/MethodTable.h"
#include "platform/rpc/Session.h"
#include "platform/rpc/WorkerPool.h"

namespace ordex::rpc::detail {

using TClock = std::chrono::steady_clock;
inline std::int64_t NowTicks() noexcept { return TClock::now().time_since_epoch().count(); }

struct TSessionCore {
  TSessionCore(TWorkerPool& Pool, bool Http) : Queue(Pool.NewQueue()), Http(Http) {}

  // The session's jobs, one at a time, in order; closed once the session is
  // finished, after which nothing more can be queued.
  const std::shared_ptr<TJobQueue> Queue;
  const bool Http;
  // Instances per class; touched only by the session's jobs.
  std::map<const TRpcClass*, std::pair<std::shared_ptr<const TRpcClass>, std::shared_ptr<void>>> Instances;
  std::atomic<bool> Closed{false};
  std::atomic<bool> Announced{false};  // Created was reported: Closed will be too
  std::atomic<int> Busy{0};            // calls queued or running
  std::atomic<std::int64_t> LastActivity{NowTicks()};

  // Queues a job; false once the session is finished.
  bool Post(TJob Job) { return Queue->Post(std::move(Job)); }
};

// Makes Session the calling thread's CurrentSession() for the scope's length.
class TSessionScope {
 public:
  explicit TSessionScope(TSession* Session) noexcept;
  ~TSessionScope();
  TSessionScope(const TSessionScope&) = delete;
  TSessionScope& operator=(const TSessionScope&) = delete;

 private:
  TSession* FPrevious;
};

}  // namespace ordex::rpc::detail
