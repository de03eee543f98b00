// Internal: the server's configuration and hooks (TRpcServer::TImpl). The
// running server reads them under ConfigLock, so they may change at any time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/RpcServer.h"

namespace ordex::rpc {

namespace detail {
struct TRuntime;
}

struct TRpcServer::TImpl {
  mutable std::mutex ConfigLock;  // guards everything down to Listeners
  TRpcServerSettings Settings;
  std::uint16_t TcpPort = 4321;
  bool HttpAttached = false;
  std::uint16_t HttpPort = 0;
  std::string HttpsCertFile, HttpsKeyFile;  // both set: the HTTP transport speaks TLS
  std::map<std::string, std::shared_ptr<const TRpcClass>, std::less<>> Classes;
  // Hooks are shared, so that reading one per call copies a pointer, not a function.
  std::shared_ptr<const TAuthenticateHook> Authenticate;
  std::shared_ptr<const TAuthorizeHook> Authorize;
  std::shared_ptr<const TConnectHandler> OnConnect;
  std::shared_ptr<const TDisconnectHandler> OnDisconnect;
  std::shared_ptr<const std::vector<TSessionListener>> Listeners = std::make_shared<std::vector<TSessionListener>>();

  std::mutex StartStopLock;        // serializes Start and Stop
  mutable std::mutex RuntimeLock;  // guards Runtime (the pointer, held briefly)
  std::shared_ptr<detail::TRuntime> Runtime;

  std::shared_ptr<detail::TRuntime> CurrentRuntime() const {
    std::lock_guard Lock(RuntimeLock);
    return Runtime;
  }
  template <class T>
  T Copy(const T& Field) const {
    std::lock_guard Lock(ConfigLock);
    return Field;
  }
  std::shared_ptr<const TRpcClass> FindClass(std::string_view Name) const {
    std::lock_guard Lock(ConfigLock);
    const auto It = Classes.find(Name);
    return It == Classes.end() ? nullptr : It->second;
  }
};

}  // namespace ordex::rpc
