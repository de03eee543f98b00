// The server object: its configuration and hooks, and starting and stopping
// the runtime (listeners, I/O threads, idle sweep). The transports and the
// sessions live in their own units.
#include "platform/rpc/RpcServer.h"

#include <algorithm>
#include <mutex>

#include "common/qxError.h"
#include "common/qxLog.h"
#include "platform/rpc/HttpTransport.h"
#include "platform/rpc/Runtime.h"
#include "platform/rpc/ServerImpl.h"
#include "platform/rpc/TcpTransport.h"

namespace ordex::rpc {

namespace {

using detail::TRuntime;
using detail::TStrand;
using detail::tcp;
namespace asio = boost::asio;

// Hooks are kept behind shared pointers so that a call reads one by copying a
// pointer; replacing one swaps the pointer under the configuration lock.
template <class T>
void ReplaceHook(std::mutex& Lock, std::shared_ptr<const T>& Slot, T Fn) {
  auto Shared = Fn ? std::make_shared<const T>(std::move(Fn)) : nullptr;
  std::lock_guard L(Lock);
  Slot = std::move(Shared);
}

std::unique_ptr<tcp::acceptor> Listen(asio::io_context& Io, const std::string& Address, std::uint16_t Port) {
  try {
    auto A = std::make_unique<tcp::acceptor>(asio::make_strand(Io));
    const tcp::endpoint Endpoint(asio::ip::make_address(Address), Port);
    A->open(Endpoint.protocol());
    A->set_option(tcp::acceptor::reuse_address(true));
    A->bind(Endpoint);
    A->listen(asio::socket_base::max_listen_connections);
    return A;
  } catch (const std::exception& E) {
    throw EOSError("Cannot listen on " + Address + ":" + std::to_string(Port) + ": " + E.what());
  }
}

void OnAccepted(TRuntime& Run, tcp::socket Socket, const TStrand& Strand, bool Http) {
  boost::system::error_code Ec;
  if (Run.Stopping || Run.AtConnectionLimit()) {
    Socket.close(Ec);
    return;
  }
  // Answers are small and must leave at once.
  Socket.set_option(tcp::no_delay(true), Ec);
  // The socket's executor is the connection's own strand: it starts there.
  if (Http)
    detail::StartHttpConnection(Run, std::move(Socket));
  else
    detail::StartTcpConnection(Run, std::move(Socket), Strand);
}

void Accept(TRuntime& Run, tcp::acceptor& Acceptor, bool Http) {
  auto Strand = asio::make_strand(Run.NextIo());
  Acceptor.async_accept(Strand, [&Run, &Acceptor, Http, Strand](const boost::system::error_code& Ec, tcp::socket Socket) {
    if (Ec == asio::error::operation_aborted || !Acceptor.is_open()) return;
    if (Ec) {
      // E.g. out of descriptors: wait a moment rather than spin.
      LogWarning("Accept failed: " + Ec.message());
      auto Pause = std::make_shared<asio::steady_timer>(Acceptor.get_executor(), std::chrono::milliseconds(100));
      Pause->async_wait([&Run, &Acceptor, Http, Pause](const boost::system::error_code&) {
        if (Acceptor.is_open()) Accept(Run, Acceptor, Http);
      });
      return;
    }
    OnAccepted(Run, std::move(Socket), Strand, Http);
    Accept(Run, Acceptor, Http);
  });
}

// Ends idle HTTP sessions, a few times per idle limit.
void ScheduleSweep(TRuntime& Run) {
  const auto Idle = Run.Settings.HttpIdleTimeout;
  const auto Period = std::clamp<std::chrono::milliseconds>(Idle / 4, std::chrono::milliseconds(10),
                                                            std::chrono::milliseconds(30000));
  Run.Sweeper->expires_after(Period);
  Run.Sweeper->async_wait([&Run, Idle](const boost::system::error_code& Ec) {
    if (Ec || Run.Stopping) return;
    Run.Sessions.SweepIdle(Idle);
    ScheduleSweep(Run);
  });
}

std::size_t IoThreadCount(const TRpcServerSettings& S) {
  if (S.IoThreads) return S.IoThreads;
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

}  // namespace

TRpcServer::TRpcServer(TRpcServerSettings Settings) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Settings = std::move(Settings);
}

TRpcServer::~TRpcServer() { Stop(); }

void TRpcServer::SetSettings(TRpcServerSettings Settings) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->Settings = std::move(Settings);
}
TRpcServerSettings TRpcServer::Settings() const { return FImpl->Copy(FImpl->Settings); }

void TRpcServer::RegisterClass(std::shared_ptr<const TRpcClass> Class) {
  if (!Class) throw EArgumentError("No class to register");
  std::lock_guard L(FImpl->ConfigLock);
  std::string Name = Class->Name();
  FImpl->Classes.insert_or_assign(std::move(Name), std::move(Class));
}

void TRpcServer::SetTcpPort(std::uint16_t Port) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->TcpPort = Port;
}
std::uint16_t TRpcServer::TcpPort() const { return FImpl->Copy(FImpl->TcpPort); }
void TRpcServer::AttachHttp(std::uint16_t Port) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->HttpAttached = true;
  FImpl->HttpPort = Port;
}
bool TRpcServer::HttpAttached() const { return FImpl->Copy(FImpl->HttpAttached); }
void TRpcServer::SetHttpsCertificate(std::string CertFile, std::string KeyFile) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->HttpsCertFile = std::move(CertFile);
  FImpl->HttpsKeyFile = std::move(KeyFile);
}
bool TRpcServer::HttpsEnabled() const {
  std::lock_guard L(FImpl->ConfigLock);
  return !FImpl->HttpsCertFile.empty() && !FImpl->HttpsKeyFile.empty();
}
std::uint16_t TRpcServer::HttpPort() const { return FImpl->Copy(FImpl->HttpPort); }
std::uint16_t TRpcServer::BoundTcpPort() const {
  const auto R = FImpl->CurrentRuntime();
  return R ? R->BoundTcp.load() : 0;
}
std::uint16_t TRpcServer::BoundHttpPort() const {
  const auto R = FImpl->CurrentRuntime();
  return R ? R->BoundHttp.load() : 0;
}

void TRpcServer::SetAuthenticate(TAuthenticateHook Hook) {
  ReplaceHook(FImpl->ConfigLock, FImpl->Authenticate, std::move(Hook));
}
void TRpcServer::SetAuthorize(TAuthorizeHook Hook) {
  ReplaceHook(FImpl->ConfigLock, FImpl->Authorize, std::move(Hook));
}
void TRpcServer::SetOnConnect(TConnectHandler Handler) {
  ReplaceHook(FImpl->ConfigLock, FImpl->OnConnect, std::move(Handler));
}
void TRpcServer::SetOnDisconnect(TDisconnectHandler Handler) {
  ReplaceHook(FImpl->ConfigLock, FImpl->OnDisconnect, std::move(Handler));
}
void TRpcServer::AddSessionListener(TSessionListener Listener) {
  std::lock_guard L(FImpl->ConfigLock);
  // Copied on change, so that firing reads a stable list without the lock.
  auto Listeners = std::make_shared<std::vector<TSessionListener>>(*FImpl->Listeners);
  Listeners->push_back(std::move(Listener));
  FImpl->Listeners = std::move(Listeners);
}

void TRpcServer::Start() {
  std::lock_guard StartStop(FImpl->StartStopLock);
  if (FImpl->CurrentRuntime()) return;
  TRpcServerSettings S;
  std::uint16_t TcpPort = 0, HttpPort = 0;
  bool Http = false;
  std::string CertFile, KeyFile;
  {
    std::lock_guard L(FImpl->ConfigLock);
    S = FImpl->Settings;
    TcpPort = FImpl->TcpPort;
    Http = FImpl->HttpAttached;
    HttpPort = FImpl->HttpPort;
    CertFile = FImpl->HttpsCertFile;
    KeyFile = FImpl->HttpsKeyFile;
  }
  // Certificate problems stop the start before anything listens.
  std::shared_ptr<asio::ssl::context> Tls;
  if (Http && (!CertFile.empty() || !KeyFile.empty())) Tls = detail::MakeServerTls(CertFile, KeyFile);
  auto R = std::make_shared<TRuntime>(*FImpl, std::move(S));
  R->Tls = std::move(Tls);
  const std::size_t IoThreads = IoThreadCount(R->Settings);
  for (std::size_t I = 0; I < IoThreads; ++I) {
    R->IoContexts.push_back(std::make_unique<asio::io_context>(1));
    R->Work.push_back(asio::make_work_guard(*R->IoContexts.back()));
  }
  asio::io_context& Main = *R->IoContexts.front();
  R->TcpAcceptor = Listen(Main, R->Settings.Address, TcpPort);
  R->BoundTcp = R->TcpAcceptor->local_endpoint().port();
  if (Http) {
    R->HttpAcceptor = Listen(Main, R->Settings.Address, HttpPort);
    R->BoundHttp = R->HttpAcceptor->local_endpoint().port();
    R->Sweeper = std::make_unique<asio::steady_timer>(asio::make_strand(Main));
  }
  // Handlers capture the raw runtime: it lives until Stop returns, and
  // handlers that never ran are only destroyed with the context.
  asio::post(R->TcpAcceptor->get_executor(), [Run = R.get()] { Accept(*Run, *Run->TcpAcceptor, false); });
  if (R->HttpAcceptor) {
    asio::post(R->HttpAcceptor->get_executor(), [Run = R.get()] { Accept(*Run, *Run->HttpAcceptor, true); });
    asio::post(R->Sweeper->get_executor(), [Run = R.get()] { ScheduleSweep(*Run); });
  }
  for (std::size_t I = 0; I < IoThreads; ++I) {
    R->IoThreads.emplace_back([Io = R->IoContexts[I].get()] {
      for (;;) {
        try {
          Io->run();
          return;
        } catch (const std::exception& E) {
          LogError(std::string("I/O handler failed: ") + E.what());
        }
      }
    });
  }
  std::lock_guard L(FImpl->RuntimeLock);
  FImpl->Runtime = std::move(R);
}

void TRpcServer::Stop() {
  std::lock_guard StartStop(FImpl->StartStopLock);
  const auto R = FImpl->CurrentRuntime();
  if (!R) return;
  R->Stopping = true;
  // 1. No new connections.
  asio::post(R->TcpAcceptor->get_executor(), [Run = R.get()] {
    boost::system::error_code Ec;
    Run->TcpAcceptor->close(Ec);
  });
  if (R->HttpAcceptor) {
    asio::post(R->HttpAcceptor->get_executor(), [Run = R.get()] {
      boost::system::error_code Ec;
      Run->HttpAcceptor->close(Ec);
    });
    asio::post(R->Sweeper->get_executor(), [Run = R.get()] { Run->Sweeper->cancel(); });
  }
  // 2. Close every connection; each reports its disconnect and closes its session.
  for (const auto& C : R->Connections()) C->Shutdown();
  if (!R->WaitConnectionsGone(std::chrono::seconds(10))) LogWarning("Some connections did not close in time");
  // 3. Close the remaining (HTTP) sessions, then let the workers finish every
  //    queued call, instance destruction and listener.
  for (const auto& S : R->Sessions.Snapshot()) R->Sessions.Close(S);
  R->Pool.Join();
  // 4. Stop the network threads; handlers still queued are dropped with the context.
  R->AbandonConnections();
  R->Work.clear();
  for (const auto& Io : R->IoContexts) Io->stop();
  for (auto& T : R->IoThreads) T.join();
  // Connections that did not close in time go now, while their context exists.
  R->ForgetConnections();
  {
    std::lock_guard L(FImpl->RuntimeLock);
    FImpl->Runtime.reset();
  }
}

bool TRpcServer::IsRunning() const { return FImpl->CurrentRuntime() != nullptr; }

std::vector<std::shared_ptr<TSession>> TRpcServer::Sessions() const {
  if (const auto R = FImpl->CurrentRuntime()) return R->Sessions.Snapshot();
  return {};
}

bool TRpcServer::CloseSession(const std::string& SessionId) {
  const auto R = FImpl->CurrentRuntime();
  if (!R) return false;
  const auto S = R->Sessions.Find(SessionId);
  if (!S) return false;
  R->Sessions.Close(S);
  return true;
}

}  // namespace ordex::rpc
