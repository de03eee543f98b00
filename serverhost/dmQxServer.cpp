#include "serverhost/dmQxServer.h"

#include "common/qxBase.h"
#include "common/qxError.h"
#include "config/dmQxSrvConnect.h"

namespace ordex {

TdmQxServers::TdmQxServers(rpc::TRpcServerSettings Settings) : QxDSServer(std::move(Settings)) {
  DataModuleCreate();
  QxDSServer.SetTcpPort(BuiltInTcpPort);
  QxDSServer.SetAuthenticate(
      [this](const std::string& Protocol, const std::string& User, const std::string& Password, rpc::TSession&) {
        bool valid = false;
        std::vector<std::string> UserRoles;  // no roles are handed back
        QxDSAuthManagerUserAuthenticate(Protocol, {}, User, Password, valid, UserRoles);
        if (!valid) throw EAuthError("Ошибка авторизации.\rЛогин или пароль не верны!");
      });
  QxDSServer.SetAuthorize([this](rpc::TSession&, const std::string&, const std::string&) {
    bool valid = false;
    QxDSAuthManagerUserAuthorize(valid);
    return valid;
  });
}

TdmQxServers::~TdmQxServers() {
  // The server's handlers use the registry: stop it before the registry goes.
  QxDSServer.Stop();
  const std::lock_guard Guard(FSessionLock);
  FSessionInfo.reset();
}

void TdmQxServers::DataModuleCreate() {
  const std::lock_guard Guard(FSessionLock);
  FSessionInfo = std::make_unique<std::map<std::string, TQxSessionInfo>>();
}

void TdmQxServers::SetGetClassHandler(TGetClassHandler Handler) {
  const std::lock_guard Guard(FHandlersLock);
  FGetClass = std::move(Handler);
}

void TdmQxServers::SetAddSessionInfoHandler(TAddSessionInfoHandler Handler) {
  const std::lock_guard Guard(FHandlersLock);
  FAddSessionInfo = std::move(Handler);
}

void TdmQxServers::Start() {
  TGetClassHandler GetClass;
  {
    const std::lock_guard Guard(FHandlersLock);
    GetClass = FGetClass;
  }
  const auto Class = GetClass ? GetClass() : QxSrvClassGetClass();
  if (Class) QxDSServer.RegisterClass(Class);
  QxDSServer.Start();
}

void TdmQxServers::QxDSAuthManagerUserAuthenticate(const std::string& Protocol, const std::string&,
                                                   const std::string& User, const std::string& Password,
                                                   bool& valid, std::vector<std::string>&) {
  valid = false;
  const rpc::TSession* Session = rpc::CurrentSession();
  UserAuthenticateSession(Session ? Session->Id() : std::string{}, Protocol, User, Password, valid);
}

void TdmQxServers::UserAuthenticateSession(const std::string& SessionID, const std::string& Protocol,
                                           const std::string& User, const std::string& Password, bool& valid) {
  valid = false;
  if (Trim(User).empty()) throw EAuthError("Ошибка авторизации.\rВведен пустой пользователь!");
  if (Trim(Password).empty()) throw EAuthError("Ошибка авторизации.\rВведен пустой пароль!");

  // Each login opens and frees its own connection, on every path out.
  const auto Conn = std::make_unique<TdmQxSrvConnects>();
  Conn->ConnectDB();
  TQxSessionInfo Info;
  valid = Conn->Auth(User, Password, Info);
  Info.Login = User;
  Info.PasswdMd5.clear();
  Info.Protocol = Trim(Protocol);
  Info.SessionStart = qxroot().GetNow();
  if (!valid) throw EAuthError("Ошибка авторизации.\rЛогин или пароль не верны!");
  // A login outside any session has nothing to be registered under.
  if (SessionID.empty()) {
    valid = false;
    throw EAuthError("Ошибка авторизации.\rЛогин или пароль не верны!");
  }

  StoreSession(SessionID, Info);
  TAddSessionInfoHandler AddSessionInfo;
  {
    const std::lock_guard Guard(FHandlersLock);
    AddSessionInfo = FAddSessionInfo;
  }
  if (AddSessionInfo) AddSessionInfo(SessionID, Info);
}

void TdmQxServers::StoreSession(const std::string& SessionId, const TQxSessionInfo& Info) {
  const std::lock_guard Guard(FSessionLock);
  if (FSessionInfo) (*FSessionInfo)[SessionId] = Info;
}

void TdmQxServers::SessionClosed(const std::string& SessionId) {
  const std::lock_guard Guard(FSessionLock);
  if (FSessionInfo) FSessionInfo->erase(SessionId);
}

std::optional<TQxSessionInfo> TdmQxServers::GetSessionInfo(const std::string& SessionId) const {
  const std::lock_guard Guard(FSessionLock);
  if (!FSessionInfo) return std::nullopt;
  const auto It = FSessionInfo->find(SessionId);
  if (It == FSessionInfo->end()) return std::nullopt;
  return It->second;
}

std::size_t TdmQxServers::SessionCount() const {
  const std::lock_guard Guard(FSessionLock);
  return FSessionInfo ? FSessionInfo->size() : 0;
}

}  // namespace ordex
