// The console frame without windows: owns the server container in use, the
// connection settings and the console model, starts and restarts the server
// with the configured ports, and monitors the TCP connections and sessions.
//
// Threads. Construction, InitFrame, restarts, clicks and menu items run on the
// UI thread (the thread that drains the console queue). The transport's
// connect/disconnect handlers and the session listener run on the server's
// threads: they touch only the connection map (under its own lock) and the
// container's registry, and hand every console change to the UI thread
// through the queue, in event order. The frame is destroyed on the UI thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/ConnectSettings.h"
#include "serverhost/ConsoleModel.h"
#include "serverhost/dmQxServer.h"

namespace ordex {

class TfrmQxServers {
 public:
  // Builds the frame: IsRun false, empty sessions table, the connection
  // settings loaded and connected, an idle default container. Queue: the
  // UI thread's queue (outlives the frame). SchemaCheck may be null.
  TfrmQxServers(TConsoleQueue& Queue, ISchemaCheck* SchemaCheck = nullptr);
  // Frees the connection map and destroys the container in use (stopping it).
  ~TfrmQxServers();
  TfrmQxServers(const TfrmQxServers&) = delete;
  TfrmQxServers& operator=(const TfrmQxServers&) = delete;

  // --- Containers
  // The container in use.
  TdmQxServers& dmQxServers() noexcept { return *FServers; }
  // Makes Container the one in use (the default one stays idle).
  void SetServerContainer(std::unique_ptr<TdmQxServers> Container);

  // --- Start and restart
  // RestartDSServer, IsRun, connection map, transport handlers, session
  // listener; a failed restart throws and skips the rest.
  void InitFrame();
  // Stops the server, applies the port fields, the HTTPS files and the server
  // limits of the settings (unset limits keep the container's values), starts it.
  // A port text that is not a port number throws EConvertError, an unusable
  // HTTPS file EFileError; either leaves the server stopped.
  void RestartDSServer();
  void btnRestartServerClick() { RestartDSServer(); }

  // --- Transport handlers and session listener (any thread)
  void QxSrvTranstConnEvent(const rpc::TConnectionPtr& Connection, rpc::TChannel& Channel);
  void QxSrvTranstDiscEvent(const rpc::TConnectionPtr& Connection);
  void AddSessionListener();
  // Frees the connection map: from then on the handlers and listener do nothing.
  void PrepareForGracefulClose();

  // --- Console operations (UI thread)
  void AddConnectionToList(const rpc::TConnectionPtr& Connection);
  void UpdateSessionIdList(const std::string& SessionID, bool Added);
  void CalcConnections() { FModel.CalcConnections(); }
  void SetCaptionWin() { FModel.SetCaptionWin(); }
  void AddSessionInfo(const std::string& SessionID, const TQxSessionInfo& SessInfo);
  void DelSession(const std::string& SessionID) { FModel.DelSessionRow(SessionID); }
  // Map lookups (under the map's lock).
  rpc::TConnectionPtr GetConnectionForSession(const std::string& SessionID) const;
  int GetConnectionIndex(const std::string& SessionID) const;
  // Index of the line of the session's connection, or -1 (the same as GetConnectionIndex).
  int FindChannel(const std::string& SessionID) const { return GetConnectionIndex(SessionID); }
  // The connection of the selected line, or an empty key.
  TConnectionKey GetSelectedConnection() const;
  // The channel of the connection from the map (the selected one when the key
  // is empty), or nullptr when it has none (any more).
  rpc::TConnectionPtr GetChannel(const TConnectionKey& Connection = {}) const;
  void CloseSelectedConnection();
  void ForceConnectionClose(const std::string& SessionId);

  // --- Event handlers (UI thread)
  void ConnectionsListClick(int Index);
  void SessionIdListClick(int Index);
  // Moving to a row of the sessions table (also when it opens).
  void meSessionAfterScroll(int Row);
  void SelChanel();
  // True when the pop-up menu opens on the connections list.
  bool ConnectionsListContextPopup() const;
  // Keep-alive for the selected connection. An idle time beyond 32 bits throws EConvertError.
  void EnableKAItemClick();
  void DisableKAItemClick();
  void closeConnItemClick() { CloseSelectedConnection(); }
  // The "Use KeepAlive" box and the idle-time field.
  void SetUseKeepAlive(bool Checked);
  // Accepts digits only; false (and no change) for anything else.
  bool SetKAIdleMS(const std::string& Text);
  void KAIdleLabelClick() { FModel.KAIdleLabelClick(); }

  // Probe interval of keep-alive, in milliseconds.
  static constexpr std::int64_t KeepAliveIntervalMs = 100;

  // The console state and the connection settings (UI thread).
  TConsoleModel& Model() noexcept { return FModel; }
  TConnectSettings& Settings() noexcept { return FSettings; }
  // True while the connection map exists.
  bool HasConnectionMap() const;

 private:
  // Appends a connection's line (text made where the event arrived), then the count.
  void AddConnectionLine(std::string Text, const TConnectionKey& Connection);
  // AddSessionInfo with the peer address of the login's connection, by which
  // the row finds its connection should the channel not name the session.
  void AddSessionRow(const std::string& SessionID, const std::string& PeerIp, std::uint16_t PeerPort);
  // The listed connection with that peer address not bound to another session.
  rpc::TConnectionPtr FindConnectionByPeer(const std::string& PeerIp, std::uint16_t PeerPort,
                                           const std::string& SessionID) const;
  // Posts Task to the UI thread; it is dropped when the frame is gone by then.
  void PostUI(std::function<void()> Task);
  // Keep-alive on a channel with the idle text; throws EConvertError for a bad text.
  static void SwitchKeepAliveOn(rpc::TChannel& Channel, const std::string& IdleMs);

  TConsoleQueue& FQueue;
  TConsoleModel FModel;
  TConnectSettings FSettings;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);  // tasks check it on the UI thread

  std::unique_ptr<TdmQxServers> FDefaultServers;  // idle default container
  std::unique_ptr<TdmQxServers> FProductServers;  // the container set by the owner
  TdmQxServers* FServers = nullptr;              // the one in use

  mutable std::mutex FConnectionsLock;  // guards FConnections (and its existence)
  using TConnectionMap = std::map<const void*, rpc::TConnectionPtr>;
  std::unique_ptr<TConnectionMap> FConnections;

  mutable std::mutex FKeepAliveLock;  // guards the copy of the keep-alive settings below
  bool FUseKeepAlive = false;
  std::string FKAIdleMS = "5000";
};

}  // namespace ordex
