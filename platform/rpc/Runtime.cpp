#include "platform/rpc/Runtime.h"

#include <algorithm>

#include "common/qxLog.h"

namespace ordex::rpc::detail {

namespace {
std::size_t WorkerCount(const TRpcServerSettings& S) {
  return S.Workers ? S.Workers : std::max<std::size_t>(4, 2 * std::thread::hardware_concurrency());
}
}  // namespace

TRuntime::TRuntime(const TRpcServer::TImpl& Owner, TRpcServerSettings S)
    : Owner(Owner), Settings(std::move(S)), Pool(WorkerCount(Settings)), Sessions(Owner, Pool, Stopping) {}

void TRuntime::AddConnection(const std::shared_ptr<TConnBase>& C) {
  std::lock_guard L(FConnLock);
  FConnections.insert(C);
}

void TRuntime::RemoveConnection(const std::shared_ptr<TConnBase>& C) {
  std::lock_guard L(FConnLock);
  FConnections.erase(C);
  if (FConnections.empty()) FConnectionsGone.notify_all();
}

bool TRuntime::AtConnectionLimit() const {
  std::lock_guard L(FConnLock);
  return FConnections.size() >= Settings.MaxConnections;
}

std::vector<std::shared_ptr<TConnBase>> TRuntime::Connections() const {
  std::lock_guard L(FConnLock);
  return {FConnections.begin(), FConnections.end()};
}

bool TRuntime::WaitConnectionsGone(std::chrono::milliseconds Limit) {
  std::unique_lock L(FConnLock);
  return FConnectionsGone.wait_for(L, Limit, [&] { return FConnections.empty(); });
}

void TRuntime::AbandonConnections() {
  std::lock_guard L(FConnLock);
  for (const auto& C : FConnections) C->Abandon();
}

void TRuntime::ForgetConnections() {
  std::set<std::shared_ptr<TConnBase>> Left;
  {
    std::lock_guard L(FConnLock);
    Left.swap(FConnections);
  }
}

void TRuntime::FireConnect(const TConnectionPtr& C) const {
  if (const auto H = Owner.Copy(Owner.OnConnect)) {
    try {
      (*H)(C, *C);
    } catch (const std::exception& E) {
      LogError(std::string("Connect handler failed: ") + E.what());
    }
  }
}

void TRuntime::FireDisconnect(const TConnectionPtr& C) const {
  if (const auto H = Owner.Copy(Owner.OnDisconnect)) {
    try {
      (*H)(C);
    } catch (const std::exception& E) {
      LogError(std::string("Disconnect handler failed: ") + E.what());
    }
  }
}

}  // namespace ordex::rpc::detail
