// The remote-call server: serves registered server-method classes over a TCP
// transport (protocol "tcp/ip", framed messages) and an HTTP transport
// (protocol "http", or "https" when it is given a certificate and key), one
// session per login, one class instance per session.
//
// Threads. Network I/O runs on the I/O threads (one per core unless set), each
// connection on its own strand. Authentication, method bodies, instance
// creation and destruction and session listeners run on a worker pool; the
// calls of one session run strictly one after another in arrival order (a
// per-session queue), and no I/O thread ever waits for them. A TCP answer is
// written by the worker that made it when the socket takes it at once, else by
// the connection's strand. Connect/disconnect handlers run on I/O threads.
//
// Typical use:
//   TRpcServer Server;
//   Server.RegisterClass(MyClass);
//   Server.SetAuthenticate([](const std::string& Protocol, const std::string& User,
//                             const std::string& Password, TSession& S) { ...throw to refuse... });
//   Server.SetTcpPort(4321);
//   Server.Start();
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/Frame.h"
#include "platform/rpc/MethodTable.h"
#include "platform/rpc/Session.h"

namespace ordex::rpc {

// What a TCP client told us about itself, and where it is.
struct TClientInfo {
  std::string IpAddress;
  std::uint16_t ClientPort = 0;
  std::string Protocol;  // "tcp/ip"
  std::string AppName;   // from the login; empty before
};

// TCP keep-alive as the socket reports it.
struct TKeepAliveState {
  bool Enabled = false;
  int IdleSeconds = 0;      // TCP_KEEPIDLE
  int IntervalSeconds = 0;  // TCP_KEEPINTVL
};

// The channel of one TCP connection. All members are thread-safe; actions are
// carried out on the connection's strand and do nothing once it is closed.
class TChannel {
 public:
  virtual ~TChannel() = default;
  // Id of the session bound to the connection; empty until login.
  virtual std::string SessionId() const = 0;
  virtual TClientInfo ClientInfo() const = 0;
  // Turns TCP keep-alive on: first probe after IdleMs of silence, then one every
  // IntervalMs. Linux counts both in whole seconds: each is rounded up, minimum 1.
  // The number of unanswered probes before the drop stays the system's default.
  virtual void EnableKeepAlive(std::int64_t IdleMs, std::int64_t IntervalMs) = 0;
  virtual void DisableKeepAlive() = 0;
  // Reads the keep-alive options back from the socket (diagnostics); none once closed.
  virtual std::optional<TKeepAliveState> QueryKeepAlive() = 0;
  // Closes the connection; its session ends and the disconnect handler runs.
  virtual void Close() = 0;
};
// A TCP connection, by identity. Holding it keeps the channel object (not the
// socket) alive, so a late action on a gone connection is harmless.
using TConnectionPtr = std::shared_ptr<TChannel>;

struct TRpcServerSettings {
  std::string Address = "0.0.0.0";                     // listening address of both transports
  std::size_t Workers = 0;                             // worker threads; 0 = max(4, 2 x cores)
  std::size_t IoThreads = 0;                           // network threads; 0 = one per core
  TFrameLimits Limits;                                 // frame limits; also the HTTP body limit
  std::chrono::milliseconds HeaderTimeout{30000};      // first TCP frame / HTTP request head (and TLS handshake) must arrive within
  std::chrono::milliseconds BodyTimeout{120000};       // rest of a started TCP frame / HTTP body after its head must arrive within
  std::chrono::milliseconds HttpIdleTimeout{20 * 60 * 1000};  // an unused HTTP session ends after
  std::size_t MaxConnections = 1024;                   // beyond: accepted and closed at once
  std::size_t MaxPendingCalls = 256;                   // per TCP connection; reading pauses beyond
  std::size_t MaxHttpHeader = 64 * 1024;               // bytes of one HTTP request head
};

// Refuses a login by throwing; what() reaches the client as the refusal text.
using TAuthenticateHook = std::function<void(const std::string& Protocol, const std::string& User,
                                             const std::string& Password, TSession& Session)>;
// Decides whether the session may call Class.Method; false refuses the call.
using TAuthorizeHook = std::function<bool(TSession& Session, const std::string& Class, const std::string& Method)>;
using TSessionListener = std::function<void(TSessionEvent Event, TSession& Session)>;
using TConnectHandler = std::function<void(TConnectionPtr Connection, TChannel& Channel)>;
using TDisconnectHandler = std::function<void(TConnectionPtr Connection)>;

class TRpcServer {
 public:
  explicit TRpcServer(TRpcServerSettings Settings = {});
  // Stops the server.
  ~TRpcServer();
  TRpcServer(const TRpcServer&) = delete;
  TRpcServer& operator=(const TRpcServer&) = delete;

  // Settings take effect at the next Start().
  void SetSettings(TRpcServerSettings Settings);
  TRpcServerSettings Settings() const;

  // Serves a class under its name (replaces one of the same name).
  void RegisterClass(std::shared_ptr<const TRpcClass> Class);

  // TCP port (0 = any free port; see BoundTcpPort). Takes effect at the next Start().
  void SetTcpPort(std::uint16_t Port);
  std::uint16_t TcpPort() const;
  // Attaches the HTTP transport on Port (0 = any free port); once attached it
  // stays attached, a later call only changes the port. Effective at the next Start().
  void AttachHttp(std::uint16_t Port);
  bool HttpAttached() const;
  std::uint16_t HttpPort() const;
  // HTTPS: with both files (PEM certificate chain, PEM private key without a
  // passphrase) the HTTP transport speaks TLS 1.2+ only; both empty means plain
  // HTTP. The files are read at the next Start(), which fails with EFileError
  // naming the file when one cannot be used, and with EArgumentError when only
  // one of the two is given.
  void SetHttpsCertificate(std::string CertFile, std::string KeyFile);
  // True when both files are set (whether or not HTTP is attached).
  bool HttpsEnabled() const;
  // The ports actually listened on while running (0 when not listening).
  std::uint16_t BoundTcpPort() const;
  std::uint16_t BoundHttpPort() const;

  // Hooks and handlers may be set at any time, also while running.
  // Without an authentication hook every login is accepted.
  void SetAuthenticate(TAuthenticateHook Hook);
  void SetAuthorize(TAuthorizeHook Hook);
  void SetOnConnect(TConnectHandler Handler);
  void SetOnDisconnect(TDisconnectHandler Handler);
  // Listener for session creation (after a successful login) and closing (after
  // the session's instances are destroyed). Runs on a worker thread, in the session.
  void AddSessionListener(TSessionListener Listener);

  // Opens the transports; throws EOSError when a port cannot be listened on, or
  // the HTTPS errors above (the server then stays stopped). Does nothing when
  // already running.
  void Start();
  // Closes every connection and session (their events are reported), waits for
  // running calls, and stops. Must not be called from a handler or method.
  void Stop();
  bool IsRunning() const;

  // Live sessions (logged in, not closed).
  std::vector<std::shared_ptr<TSession>> Sessions() const;
  // Ends a session by id; false when there is none.
  bool CloseSession(const std::string& SessionId);

  struct TImpl;

 private:
  std::unique_ptr<TImpl> FImpl;
};

// Random session id: 32 lower-case hexadecimal digits (128 bits from OpenSSL).
std::string NewSessionId();

}  // namespace ordex::rpc
