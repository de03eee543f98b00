// Sessions of the remote-call server. One client login is one session: it has
// a random id, knows who and where the client is, and keeps one instance of
// each server-method class the client has called. The calls of one session
// run one after another, in the order they arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/qxDateTime.h"

namespace ordex::rpc {

enum class TSessionEvent { Created, Closed };

namespace detail {
struct TSessionCore;  // the server's bookkeeping of a session (SessionCore.h)
}

class TSession {
 public:
  // Made by the server only (the core is its bookkeeping).
  TSession(std::string Id, std::string Protocol, std::string IpAddress, std::uint16_t ClientPort,
           std::unique_ptr<detail::TSessionCore> Core);
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // Random hexadecimal id (128 bits), fixed for the session's life.
  const std::string& Id() const noexcept { return FId; }
  // "tcp/ip", "http" or "https".
  const std::string& Protocol() const noexcept { return FProtocol; }
  const std::string& IpAddress() const noexcept { return FIpAddress; }
  std::uint16_t ClientPort() const noexcept { return FClientPort; }
  // Local time at which the session was made.
  TDateTime Started() const noexcept { return FStarted; }
  // The login name and client program name, as the client sent them.
  std::string User() const;
  std::string AppName() const;
  // True once the session has been closed (its instances are then gone or going).
  bool IsClosed() const noexcept;

  // The server records the login here once it is accepted.
  void SetIdentity(std::string User, std::string AppName);
  // The server's own state of the session; not for handlers.
  detail::TSessionCore& Core() noexcept { return *FCore; }

 private:
  const std::string FId;
  const std::string FProtocol;
  const std::string FIpAddress;
  const std::uint16_t FClientPort;
  const TDateTime FStarted;
  mutable std::mutex FLock;  // guards FUser and FAppName
  std::string FUser;
  std::string FAppName;
  std::unique_ptr<detail::TSessionCore> FCore;
};

// The session whose handler (authentication, method, instance creation or
// destruction, session listener) the calling thread is running; nullptr elsewhere.
TSession* CurrentSession() noexcept;

}  // namespace ordex::rpc
