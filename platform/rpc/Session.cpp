#include "platform/rpc/Session.h"

#include <openssl/rand.h>

#include "common/qxError.h"
#include "platform/rpc/RpcServer.h"
#include "platform/rpc/SessionCore.h"

namespace ordex::rpc {

namespace {
// The session whose handler this thread runs (see CurrentSession()).
thread_local TSession* GCurrentSession = nullptr;
}  // namespace

namespace detail {
TSessionScope::TSessionScope(TSession* Session) noexcept : FPrevious(GCurrentSession) { GCurrentSession = Session; }
TSessionScope::~TSessionScope() { GCurrentSession = FPrevious; }
}  // namespace detail

TSession::TSession(std::string Id, std::string Protocol, std::string IpAddress, std::uint16_t ClientPort,
                   std::unique_ptr<detail::TSessionCore> Core)
    : FId(std::move(Id)),
      FProtocol(std::move(Protocol)),
      FIpAddress(std::move(IpAddress)),
      FClientPort(ClientPort),
      FStarted(NowLocal()),
      FCore(std::move(Core)) {}

TSession::~TSession() = default;

std::string TSession::User() const {
  std::lock_guard Lock(FLock);
  return FUser;
}
std::string TSession::AppName() const {
  std::lock_guard Lock(FLock);
  return FAppName;
}
void TSession::SetIdentity(std::string User, std::string AppName) {
  std::lock_guard Lock(FLock);
  FUser = std::move(User);
  FAppName = std::move(AppName);
}
bool TSession::IsClosed() const noexcept { return FCore && FCore->Closed.load(); }

TSession* CurrentSession() noexcept { return GCurrentSession; }

std::string NewSessionId() {
  unsigned char Bytes[16];
  if (RAND_bytes(Bytes, sizeof Bytes) != 1) throw EOSError("No random bytes for a session id");
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Id;
  Id.reserve(2 * sizeof Bytes);
  for (const unsigned char B : Bytes) {
    Id.push_back(Hex[B >> 4]);
    Id.push_back(Hex[B & 15]);
  }
  return Id;
}

}  // namespace ordex::rpc
