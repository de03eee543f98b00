// Internal: the live sessions of a running server. Makes sessions with fresh
// ids, logs them in through the authentication hook, runs their calls in their
// ordered queues on the worker pool, reports creation and closing to the
// listeners, finds HTTP sessions by id and ends idle ones.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/rpc/Calls.h"
#include "platform/rpc/ServerImpl.h"
#include "platform/rpc/SessionCore.h"

namespace ordex::rpc::detail {

class TSessionManager {
 public:
  // Config and Pool outlive the manager; Stopping refuses logins once set.
  TSessionManager(const TRpcServer::TImpl& Config, TWorkerPool& Pool, const std::atomic<bool>& Stopping)
      : FConfig(Config), FPool(Pool), FStopping(Stopping) {}

  // A new session with a fresh id, not yet registered (throws EOSError without randomness).
  std::shared_ptr<TSession> NewSession(const std::string& Protocol, const std::string& Ip, std::uint16_t Port,
                                       bool Http);
  // In the session's job: runs the authentication hook and, when it accepts,
  // registers the session and reports its creation. Throws the refusal.
  void Authenticate(const std::shared_ptr<TSession>& S, const std::string& User, const std::string& Password,
                    const std::string& App);
  // Ends a session: it leaves the registry at once; its queued calls still run
  // (and see it closed), then its instances are destroyed and Closed reported,
  // all in its queue.
  void Close(const std::shared_ptr<TSession>& S);

  // A live HTTP session by id (marked as used), or nullptr.
  std::shared_ptr<TSession> FindHttp(std::string_view Id);
  // A live session by id, or nullptr.
  std::shared_ptr<TSession> Find(std::string_view Id) const;
  // Every live session.
  std::vector<std::shared_ptr<TSession>> Snapshot() const;
  // Closes the HTTP sessions unused for longer than Limit that have no call queued or running.
  void SweepIdle(std::chrono::milliseconds Limit);

  // In the session's job: runs one call. Never throws.
  TOutcome Execute(TSession& S, TCallRequest& R);
  // Queues a call in the session; Done(TOutcome) runs right after it, on the
  // same worker (or at once, with a failure, when the session is finished).
  template <class TDone>
  void RunCall(const std::shared_ptr<TSession>& S, TCallRequest R, TDone Done);

  void FireSession(TSessionEvent Event, TSession& Session) const;

 private:
  void Finish(const std::shared_ptr<TSession>& S);

  const TRpcServer::TImpl& FConfig;
  TWorkerPool& FPool;
  const std::atomic<bool>& FStopping;
  mutable std::mutex FLock;  // guards FSessions
  std::map<std::string, std::shared_ptr<TSession>, std::less<>> FSessions;
};

template <class TDone>
void TSessionManager::RunCall(const std::shared_ptr<TSession>& S, TCallRequest R, TDone Done) {
  struct TCallJob {
    TSessionManager* Manager;
    std::shared_ptr<TSession> Session;
    TCallRequest Request;
    TDone Done;
    void operator()() {
      TOutcome O = Manager->Execute(*Session, Request);
      Session->Core().LastActivity = NowTicks();
      --Session->Core().Busy;
      Done(std::move(O));
    }
    void Refused() {
      --Session->Core().Busy;
      Done(Failure(TStatus::Unauthorized, "Session is closed", "EAuthError"));
    }
  };
  auto& Core = S->Core();
  ++Core.Busy;
  Core.LastActivity = NowTicks();
  Core.Post(TCallJob{this, S, std::move(R), std::move(Done)});
}

}  // namespace ordex::rpc::detail
