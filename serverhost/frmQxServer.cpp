#include "serverhost/frmQxServer.h"

#include <charconv>
#include <chrono>
#include <exception>
#include <limits>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxLog.h"

namespace ordex {

namespace {

// A port field's text (already trimmed) as a port number.
std::uint16_t ParsePort(const std::string& Text) {
  unsigned Value = 0;
  const auto [End, Err] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Err != std::errc{} || End != Text.data() + Text.size())
    throw EConvertError("'" + Text + "' is not a valid integer value");
  if (Value > std::numeric_limits<std::uint16_t>::max())
    throw EConvertError("'" + Text + "' is not a valid port number");
  return static_cast<std::uint16_t>(Value);
}

// Settings with the operator's limits laid over them; unset limits keep Base's values.
rpc::TRpcServerSettings WithLimits(rpc::TRpcServerSettings Base, const TServerLimits& L) {
  using std::chrono::milliseconds;
  using std::chrono::minutes;
  if (L.ListenAddress) Base.Address = *L.ListenAddress;
  if (L.MaxHeaderBytes) Base.Limits.MaxHeader = *L.MaxHeaderBytes;
  if (L.MaxFrameBytes) Base.Limits.MaxFrame = *L.MaxFrameBytes;
  if (L.MaxConnections) Base.MaxConnections = static_cast<std::size_t>(*L.MaxConnections);
  if (L.HeaderTimeoutMs) Base.HeaderTimeout = milliseconds(*L.HeaderTimeoutMs);
  if (L.BodyTimeoutMs) Base.BodyTimeout = milliseconds(*L.BodyTimeoutMs);
  if (L.HttpIdleMinutes) Base.HttpIdleTimeout = minutes(*L.HttpIdleMinutes);
  if (L.WorkerThreads) Base.Workers = static_cast<std::size_t>(*L.WorkerThreads);
  return Base;
}

// The line text of a connection.
std::string ConnectionText(const rpc::TConnectionPtr& Connection) {
  if (Connection) {
    const rpc::TClientInfo Info = Connection->ClientInfo();
    if (!Info.IpAddress.empty()) return Info.IpAddress + ":" + std::to_string(Info.ClientPort);
  }
  return "Channel is missing proper ClientInfo.";
}

bool AllDigits(const std::string& Text) {
  for (const char C : Text)
    if (C < '0' || C > '9') return false;
  return true;
}

// Runs a transport or session handler body; nothing may escape into the server's threads.
template <class F>
void Guarded(const char* What, F&& Body) noexcept {
  try {
    Body();
  } catch (const std::exception& E) {
    LogError(std::string(What) + ": " + ErrorClassName(E) + ": " + E.what());
  } catch (...) {
    LogError(std::string(What) + ": unknown error");
  }
}

}  // namespace

TfrmQxServers::TfrmQxServers(TConsoleQueue& Queue, ISchemaCheck* SchemaCheck)
    : FQueue(Queue), FSettings(SchemaCheck) {
  FSettings.lbTypeDB = -1;
  qxroot().SetIsRun(false);
  FModel.meSession.clear();
  FModel.meSessionCurrent = -1;
  FSettings.ShowConnectSource();
  FSettings.LoadConnectSettings();
  FModel.FConnectionCount = 0;
  FModel.lbInfoServer = "Server Version: " + qxroot().Ver.Version();
  FDefaultServers = std::make_unique<TdmQxServers>();
  FServers = FDefaultServers.get();
  SetCaptionWin();
  FSettings.ConnectSelected(false);
}

TfrmQxServers::~TfrmQxServers() {
  PrepareForGracefulClose();
  // Stopping the servers ends their handlers before the frame's state goes.
  FProductServers.reset();
  FDefaultServers.reset();
  FServers = nullptr;
  FAlive.reset();
}

void TfrmQxServers::PostUI(std::function<void()> Task) {
  FQueue.Post([Alive = std::weak_ptr<bool>(FAlive), Task = std::move(Task)] {
    if (Alive.lock()) Task();
  });
}

void TfrmQxServers::SetServerContainer(std::unique_ptr<TdmQxServers> Container) {
  FProductServers = std::move(Container);
  FServers = FProductServers ? FProductServers.get() : FDefaultServers.get();
  FServers->SetAddSessionInfoHandler([this](const std::string& SessionID, const TQxSessionInfo&) {
    // Runs in the login's session: the peer address of a TCP login names its
    // connection. An HTTP session has no listed connection, whatever its peer.
    std::string PeerIp;
    std::uint16_t PeerPort = 0;
    if (const rpc::TSession* S = rpc::CurrentSession(); S && S->Id() == SessionID && S->Protocol() == "tcp/ip") {
      PeerIp = S->IpAddress();
      PeerPort = S->ClientPort();
    }
    PostUI([this, SessionID, PeerIp, PeerPort] { AddSessionRow(SessionID, PeerIp, PeerPort); });
  });
}

// ---------------------------------------------------------------------------
// Start and restart

void TfrmQxServers::InitFrame() {
  RestartDSServer();
  qxroot().SetIsRun(true);
  {
    const std::lock_guard Guard(FConnectionsLock);
    FConnections = std::make_unique<TConnectionMap>();
  }
  FServers->QxDSServer.SetOnConnect(
      [this](rpc::TConnectionPtr Connection, rpc::TChannel& Channel) { QxSrvTranstConnEvent(Connection, Channel); });
  FServers->QxDSServer.SetOnDisconnect([this](rpc::TConnectionPtr Connection) { QxSrvTranstDiscEvent(Connection); });
  AddSessionListener();
}

void TfrmQxServers::RestartDSServer() {
  rpc::TRpcServer& Server = FServers->QxDSServer;
  FServers->Stop();
  if (const std::string Tcp = Trim(FSettings.edPortServer); !Tcp.empty()) Server.SetTcpPort(ParsePort(Tcp));
  if (const std::string Http = Trim(FSettings.edHttp); !Http.empty()) Server.AttachHttp(ParsePort(Http));
  Server.SetHttpsCertificate(Trim(FSettings.edHttpsCert), Trim(FSettings.edHttpsKey));
  Server.SetSettings(WithLimits(Server.Settings(), FSettings.ServerLimits));
  if (!FSettings.ServerLimits.Empty()) LogInfo("Server limits: " + FSettings.ServerLimits.Describe());
  FServers->Start();
  const std::string HttpName = Server.HttpsEnabled() ? ", HTTPS port " : ", HTTP port ";
  LogInfo("Server started: TCP port " + std::to_string(Server.BoundTcpPort()) +
          (Server.HttpAttached() ? HttpName + std::to_string(Server.BoundHttpPort()) : std::string{}));
}

// ---------------------------------------------------------------------------
// Transport handlers and session listener (server threads)

bool TfrmQxServers::HasConnectionMap() const {
  const std::lock_guard Guard(FConnectionsLock);
  return static_cast<bool>(FConnections);
}

void TfrmQxServers::QxSrvTranstConnEvent(const rpc::TConnectionPtr& Connection, rpc::TChannel& Channel) {
  Guarded("Connect handler", [&] {
    if (!Connection) return;
    {
      const std::lock_guard Guard(FConnectionsLock);
      if (!FConnections) return;
      (*FConnections)[Connection.get()] = Connection;
    }
    // The UI thread gets the text and a weak key: a queued task never keeps a
    // connection alive beyond its server.
    PostUI([this, Text = ConnectionText(Connection), Key = TConnectionKey(Connection)] {
      AddConnectionLine(Text, Key);
    });
    bool Use = false;
    std::string IdleMs;
    {
      const std::lock_guard Guard(FKeepAliveLock);
      Use = FUseKeepAlive;
      IdleMs = FKAIdleMS;
    }
    if (Use && !IdleMs.empty()) SwitchKeepAliveOn(Channel, IdleMs);
  });
}

void TfrmQxServers::QxSrvTranstDiscEvent(const rpc::TConnectionPtr& Connection) {
  Guarded("Disconnect handler", [&] {
    if (!Connection) return;
    {
      const std::lock_guard Guard(FConnectionsLock);
      if (!FConnections) return;
      FConnections->erase(Connection.get());
    }
    PostUI([this, Key = TConnectionKey(Connection)] {
      if (FModel.DelConnectionLine(Key) && FModel.ConnectionsSelected < 0)
        FModel.SessionIdSelected = -1;
      CalcConnections();
    });
  });
}

void TfrmQxServers::AddSessionListener() {
  TdmQxServers* Servers = FServers;
  Servers->QxDSServer.AddSessionListener([this, Servers](rpc::TSessionEvent Event, rpc::TSession& Session) {
    Guarded("Session listener", [&] {
      if (!HasConnectionMap()) return;
      const std::string SessionID = Session.Id();
      const bool Added = Event == rpc::TSessionEvent::Created;
      if (!Added) Servers->SessionClosed(SessionID);
      PostUI([this, SessionID, Added] { UpdateSessionIdList(SessionID, Added); });
    });
  });
}

void TfrmQxServers::PrepareForGracefulClose() {
  const std::lock_guard Guard(FConnectionsLock);
  FConnections.reset();
}

void TfrmQxServers::SwitchKeepAliveOn(rpc::TChannel& Channel, const std::string& IdleMs) {
  std::int32_t Idle = 0;
  const auto [End, Err] = std::from_chars(IdleMs.data(), IdleMs.data() + IdleMs.size(), Idle);
  if (Err != std::errc{} || End != IdleMs.data() + IdleMs.size())
    throw EConvertError("'" + IdleMs + "' is not a valid integer value");
  Channel.EnableKeepAlive(Idle, KeepAliveIntervalMs);
}

// ---------------------------------------------------------------------------
// Console operations (UI thread)

void TfrmQxServers::AddConnectionToList(const rpc::TConnectionPtr& Connection) {
  AddConnectionLine(ConnectionText(Connection), Connection);
}

void TfrmQxServers::AddConnectionLine(std::string Text, const TConnectionKey& Connection) {
  FModel.AddConnectionLine(std::move(Text), Connection);
  CalcConnections();
}

void TfrmQxServers::UpdateSessionIdList(const std::string& SessionID, bool Added) {
  if (Added) {
    FModel.AddSessionId(SessionID);
  } else {
    FModel.DelSessionId(SessionID);
    DelSession(SessionID);
  }
  CalcConnections();
}

void TfrmQxServers::AddSessionInfo(const std::string& SessionID, const TQxSessionInfo&) {
  AddSessionRow(SessionID, {}, 0);
}

void TfrmQxServers::AddSessionRow(const std::string& SessionID, const std::string& PeerIp, std::uint16_t PeerPort) {
  if (FModel.FindSessionRow(SessionID) >= 0) return;
  // The registry's entry, not the record passed in: a session closed
  // meanwhile has none and gets no row.
  const auto Info = FServers->GetSessionInfo(SessionID);
  if (!Info) return;
  TSessionRow Row;
  Row.SessionID = SessionID;
  Row.UserName = Info->Login;
  Row.RoleID = Info->RoleID;
  Row.RoleName = Info->RoleName;
  Row.Protocol = Info->Protocol;
  Row.SessionStart = Info->SessionStart;
  rpc::TConnectionPtr Channel;
  if (const int Line = FindChannel(SessionID); Line >= 0)
    Channel = GetChannel(FModel.ConnectionsList[static_cast<std::size_t>(Line)].Connection);
  if (!Channel && !PeerIp.empty()) Channel = FindConnectionByPeer(PeerIp, PeerPort, SessionID);
  if (Channel) {
    const rpc::TClientInfo Client = Channel->ClientInfo();
    Row.IPAdress = Client.IpAddress;
    Row.ClientPort = std::to_string(Client.ClientPort);
    Row.AppName = Client.AppName;
  }
  FModel.AddSessionRow(std::move(Row));
}

rpc::TConnectionPtr TfrmQxServers::GetConnectionForSession(const std::string& SessionID) const {
  const std::lock_guard Guard(FConnectionsLock);
  if (!FConnections) return nullptr;
  for (const auto& [Key, Channel] : *FConnections) {
    if (!Channel) continue;
    const std::string Id = Channel->SessionId();
    if (!Id.empty() && Id == SessionID) return Channel;
  }
  return nullptr;
}

rpc::TConnectionPtr TfrmQxServers::FindConnectionByPeer(const std::string& PeerIp, std::uint16_t PeerPort,
                                                        const std::string& SessionID) const {
  const std::lock_guard Guard(FConnectionsLock);
  if (!FConnections) return nullptr;
  for (const auto& [Key, Channel] : *FConnections) {
    if (!Channel) continue;
    const rpc::TClientInfo Client = Channel->ClientInfo();
    if (Client.IpAddress != PeerIp || Client.ClientPort != PeerPort) continue;
    const std::string Id = Channel->SessionId();
    if (Id.empty() || Id == SessionID) return Channel;
  }
  return nullptr;
}

int TfrmQxServers::GetConnectionIndex(const std::string& SessionID) const {
  const auto Connection = GetConnectionForSession(SessionID);
  return Connection ? FModel.FindConnectionLine(Connection) : -1;
}

TConnectionKey TfrmQxServers::GetSelectedConnection() const {
  const int I = FModel.ConnectionsSelected;
  if (I < 0 || static_cast<std::size_t>(I) >= FModel.ConnectionsList.size()) return {};
  return FModel.ConnectionsList[static_cast<std::size_t>(I)].Connection;
}

rpc::TConnectionPtr TfrmQxServers::GetChannel(const TConnectionKey& Connection) const {
  const TConnectionKey Key = SameConnection(Connection, {}) ? GetSelectedConnection() : Connection;
  // A connection that is gone has left the map as well.
  const auto Alive = Key.lock();
  if (!Alive) return nullptr;
  const std::lock_guard Guard(FConnectionsLock);
  if (!FConnections) return nullptr;
  const auto It = FConnections->find(Alive.get());
  return It == FConnections->end() ? nullptr : It->second;
}

void TfrmQxServers::CloseSelectedConnection() {
  if (const auto Channel = GetChannel()) Channel->Close();
}

void TfrmQxServers::ForceConnectionClose(const std::string& SessionId) {
  if (const auto Channel = GetConnectionForSession(SessionId)) Channel->Close();
}

// ---------------------------------------------------------------------------
// Event handlers (UI thread)

void TfrmQxServers::ConnectionsListClick(int Index) {
  FModel.ConnectionsSelected =
      Index >= 0 && static_cast<std::size_t>(Index) < FModel.ConnectionsList.size() ? Index : -1;
  FModel.SessionIdSelected = -1;
  const auto Channel = GetChannel();
  if (!Channel) return;
  const std::string Id = Channel->SessionId();
  if (!Id.empty()) FModel.SessionIdSelected = FModel.FindSessionId(Id);
}

void TfrmQxServers::SessionIdListClick(int Index) {
  FModel.SessionIdSelected =
      Index >= 0 && static_cast<std::size_t>(Index) < FModel.SessionIdList.size() ? Index : -1;
  FModel.ConnectionsSelected = -1;
  if (FModel.SessionIdSelected < 0) return;
  const std::string Id = FModel.SessionIdList[static_cast<std::size_t>(FModel.SessionIdSelected)];
  if (Id.empty()) return;
  if (const int Line = GetConnectionIndex(Id); Line >= 0) FModel.ConnectionsSelected = Line;
}

void TfrmQxServers::meSessionAfterScroll(int Row) {
  FModel.meSessionCurrent = Row >= 0 && static_cast<std::size_t>(Row) < FModel.meSession.size() ? Row : -1;
  SelChanel();
}

void TfrmQxServers::SelChanel() {
  const int Row = FModel.meSessionCurrent;
  if (Row < 0 || static_cast<std::size_t>(Row) >= FModel.meSession.size()) return;
  if (const int Line = FindChannel(FModel.meSession[static_cast<std::size_t>(Row)].SessionID); Line >= 0)
    FModel.ConnectionsSelected = Line;
}

bool TfrmQxServers::ConnectionsListContextPopup() const {
  return !SameConnection(GetSelectedConnection(), {});
}

void TfrmQxServers::EnableKAItemClick() {
  const auto Channel = GetChannel();
  if (!Channel || FModel.KAIdleMS.empty()) return;
  SwitchKeepAliveOn(*Channel, FModel.KAIdleMS);
}

void TfrmQxServers::DisableKAItemClick() {
  if (const auto Channel = GetChannel()) Channel->DisableKeepAlive();
}

void TfrmQxServers::SetUseKeepAlive(bool Checked) {
  FModel.UseKeepAlive = Checked;
  KAIdleLabelClick();
  const std::lock_guard Guard(FKeepAliveLock);
  FUseKeepAlive = Checked;
}

bool TfrmQxServers::SetKAIdleMS(const std::string& Text) {
  if (!AllDigits(Text)) return false;
  FModel.KAIdleMS = Text;
  const std::lock_guard Guard(FKeepAliveLock);
  FKAIdleMS = Text;
  return true;
}

}  // namespace ordex
