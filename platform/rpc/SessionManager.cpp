#include "platform/rpc/SessionManager.h"

#include "common/qxError.h"
#include "common/qxLog.h"

namespace ordex::rpc::detail {

std::shared_ptr<TSession> TSessionManager::NewSession(const std::string& Protocol, const std::string& Ip,
                                                      std::uint16_t Port, bool Http) {
  return std::make_shared<TSession>(NewSessionId(), Protocol, Ip, Port, std::make_unique<TSessionCore>(FPool, Http));
}

void TSessionManager::FireSession(TSessionEvent Event, TSession& Session) const {
  const auto Listeners = FConfig.Copy(FConfig.Listeners);
  for (const auto& L : *Listeners) {
    try {
      L(Event, Session);
    } catch (const std::exception& E) {
      LogError(std::string("Session listener failed: ") + E.what());
    }
  }
}

void TSessionManager::Authenticate(const std::shared_ptr<TSession>& S, const std::string& User,
                                   const std::string& Password, const std::string& App) {
  TSessionScope Scope(S.get());
  if (FStopping) throw EAuthError("Server is stopping");
  if (const auto Hook = FConfig.Copy(FConfig.Authenticate)) (*Hook)(S->Protocol(), User, Password, *S);
  S->SetIdentity(User, App);
  {
    std::lock_guard L(FLock);
    if (!S->Core().Closed) FSessions[S->Id()] = S;
  }
  S->Core().Announced = true;
  FireSession(TSessionEvent::Created, *S);
}

void TSessionManager::Close(const std::shared_ptr<TSession>& S) {
  if (S->Core().Closed.exchange(true)) return;
  {
    std::lock_guard L(FLock);
    const auto It = FSessions.find(S->Id());
    if (It != FSessions.end() && It->second == S) FSessions.erase(It);
  }
  S->Core().Post([this, S] { Finish(S); });
}

void TSessionManager::Finish(const std::shared_ptr<TSession>& S) {
  TSessionScope Scope(S.get());
  auto& Core = S->Core();
  while (!Core.Instances.empty()) {
    // One at a time, so a throwing destructor cannot skip the others.
    auto Node = Core.Instances.extract(Core.Instances.begin());
    Node.mapped().second.reset();
  }
  if (Core.Announced) FireSession(TSessionEvent::Closed, *S);
  Core.Queue->Close();
}

std::shared_ptr<TSession> TSessionManager::FindHttp(std::string_view Id) {
  std::lock_guard L(FLock);
  const auto It = FSessions.find(Id);
  if (It == FSessions.end() || !It->second->Core().Http || It->second->Core().Closed) return nullptr;
  It->second->Core().LastActivity = NowTicks();
  return It->second;
}

std::shared_ptr<TSession> TSessionManager::Find(std::string_view Id) const {
  std::lock_guard L(FLock);
  const auto It = FSessions.find(Id);
  return It == FSessions.end() ? nullptr : It->second;
}

std::vector<std::shared_ptr<TSession>> TSessionManager::Snapshot() const {
  std::vector<std::shared_ptr<TSession>> Out;
  std::lock_guard L(FLock);
  Out.reserve(FSessions.size());
  for (const auto& [Id, S] : FSessions) Out.push_back(S);
  return Out;
}

void TSessionManager::SweepIdle(std::chrono::milliseconds Limit) {
  const auto Ticks = std::chrono::duration_cast<TClock::duration>(Limit).count();
  const auto Now = NowTicks();
  std::vector<std::shared_ptr<TSession>> Expired;
  {
    std::lock_guard L(FLock);
    for (const auto& [Id, S] : FSessions) {
      const auto& Core = S->Core();
      if (Core.Http && Core.Busy == 0 && Now - Core.LastActivity > Ticks) Expired.push_back(S);
    }
  }
  for (const auto& S : Expired) Close(S);
}

TOutcome TSessionManager::Execute(TSession& S, TCallRequest& R) {
  TSessionScope Scope(&S);
  auto& Core = S.Core();
  if (Core.Closed) return Failure(TStatus::Unauthorized, "Session is closed", "EAuthError");
  const auto Class = FConfig.FindClass(R.Class);
  if (!Class) return Failure(TStatus::NotFound, "Unknown class " + R.Class, "EArgumentError");
  const TRpcMethod* Method = Class->Find(R.Method);
  if (!Method) return Failure(TStatus::NotFound, "Unknown method " + R.Class + "." + R.Method, "EArgumentError");
  if (const auto Authorize = FConfig.Copy(FConfig.Authorize)) {
    bool Allowed = false;
    try {
      Allowed = (*Authorize)(S, R.Class, R.Method);
    } catch (const std::exception& E) {
      return Failure(TStatus::Forbidden, E);
    }
    if (!Allowed) return Failure(TStatus::Forbidden, "Call of " + R.Class + "." + R.Method + " is not allowed", "EAuthError");
  }
  std::vector<TRpcValue> Args;
  try {
    // The blobs move into the arguments that are their only users.
    Args = BindArguments(*Method, R.Args, std::move(R.Blobs));
  } catch (const std::exception& E) {
    return Failure(TStatus::BadRequest, E);
  }
  R.Blobs.clear();
  R.Args = nullptr;
  try {
    auto It = Core.Instances.find(Class.get());
    if (It == Core.Instances.end())
      It = Core.Instances.emplace(Class.get(), std::make_pair(Class, Class->NewInstance())).first;
    TCall Call(*Method, S, std::move(Args));
    Method->Invoke(It->second.second.get(), Call);
    TOutcome O;
    O.Values = Call.TakeValues(O.Blobs);
    return O;
  } catch (const std::exception& E) {
    return Failure(TStatus::Failed, E);
  } catch (...) {
    return Failure(TStatus::Failed, "Unknown error", "Exception");
  }
}

}  // namespace ordex::rpc::detail
