// The server container: the remote-call server with its TCP transport (built-in
// port 222) and HTTP transport (detached until a port is configured), the
// server-class component with a replaceable get-class handler, the login and
// authorize handlers, and the registry of logged-in sessions.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/qxroot.h"
#include "platform/rpc/RpcServer.h"

namespace ordex {

class TdmQxServers {
 public:
  // Answers the class the container serves, or nullptr for none.
  using TGetClassHandler = std::function<std::shared_ptr<const rpc::TRpcClass>()>;
  // Shows a newly registered session on the console (the frame hands it to its UI thread).
  using TAddSessionInfoHandler = std::function<void(const std::string& SessionID, const TQxSessionInfo& SessInfo)>;

  explicit TdmQxServers(rpc::TRpcServerSettings Settings = {});
  // Stops the server and frees the registry.
  virtual ~TdmQxServers();
  TdmQxServers(const TdmQxServers&) = delete;
  TdmQxServers& operator=(const TdmQxServers&) = delete;

  // The remote-call server; not started until the console starts it.
  rpc::TRpcServer QxDSServer;
  // The built-in TCP port, replaced by the configured one at the first start.
  static constexpr std::uint16_t BuiltInTcpPort = 222;

  // --- Server-class component
  // The container's own get-class handler: supplies no class.
  std::shared_ptr<const rpc::TRpcClass> QxSrvClassGetClass() const { return nullptr; }
  // Replaces the get-class handler (the owner decides which class is served).
  void SetGetClassHandler(TGetClassHandler Handler);
  // Registers the class the handler answers (if any) and starts the server.
  void Start();
  // Stops the server; nothing when it is not running.
  void Stop() { QxDSServer.Stop(); }

  // --- Authentication manager
  // Login check. Refuses by throwing EAuthError with the refusal text; valid
  // tells the outcome. The session is the calling thread's (rpc::CurrentSession).
  void QxDSAuthManagerUserAuthenticate(const std::string& Protocol, const std::string& Context,
                                       const std::string& User, const std::string& Password, bool& valid,
                                       std::vector<std::string>& UserRoles);
  // The same for an explicit session id (the handler above uses the current session's).
  void UserAuthenticateSession(const std::string& SessionID, const std::string& Protocol, const std::string& User,
                               const std::string& Password, bool& valid);
  // Every call of a logged-in session is allowed; rights are the document service's.
  void QxDSAuthManagerUserAuthorize(bool& valid) const { valid = true; }
  // The console's hook for new sessions (set by the frame that uses this container).
  void SetAddSessionInfoHandler(TAddSessionInfoHandler Handler);

  // --- Session registry (own lock, held only for the map operation)
  // Forgets a session id; an unknown id does nothing.
  void SessionClosed(const std::string& SessionId);
  // A copy of the registry entry, or none.
  std::optional<TQxSessionInfo> GetSessionInfo(const std::string& SessionId) const;
  std::size_t SessionCount() const;

 protected:
  // Create handler of the container (the product container runs it through its own).
  void DataModuleCreate();

 private:
  void StoreSession(const std::string& SessionId, const TQxSessionInfo& Info);

  mutable std::mutex FHandlersLock;  // guards the two handlers below
  TGetClassHandler FGetClass;
  TAddSessionInfoHandler FAddSessionInfo;

  mutable std::mutex FSessionLock;  // guards FSessionInfo
  std::unique_ptr<std::map<std::string, TQxSessionInfo>> FSessionInfo;
};

}  // namespace ordex
