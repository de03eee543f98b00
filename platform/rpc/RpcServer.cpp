#include "platform/rpc/RpcServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "common/qxError.h"
#include "common/qxLog.h"

namespace ordex::rpc {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using TClock = std::chrono::steady_clock;
using TStrand = asio::strand<asio::io_context::executor_type>;

namespace {

// The session whose handler this thread runs (see CurrentSession()).
thread_local TSession* GCurrentSession = nullptr;

class TSessionScope {
 public:
  explicit TSessionScope(TSession* Session) : FPrevious(GCurrentSession) { GCurrentSession = Session; }
  ~TSessionScope() { GCurrentSession = FPrevious; }
  TSessionScope(const TSessionScope&) = delete;
  TSessionScope& operator=(const TSessionScope&) = delete;

 private:
  TSession* FPrevious;
};

std::int64_t NowTicks() { return TClock::now().time_since_epoch().count(); }

}  // namespace

namespace detail {

// Bookkeeping of one session. Queue runs the session's jobs one at a time, in
// order; it is dropped (under QueueLock) once the session is finished, after
// which nothing more can be queued.
struct TSessionCore {
  TSessionCore(asio::thread_pool& Pool, bool Http) : Queue(asio::make_strand(Pool.get_executor())), Http(Http) {}

  std::mutex QueueLock;  // guards Queue
  std::optional<asio::strand<asio::thread_pool::executor_type>> Queue;
  const bool Http;
  // Instances per class; touched only by the session's jobs.
  std::map<const TRpcClass*, std::pair<std::shared_ptr<const TRpcClass>, std::shared_ptr<void>>> Instances;
  std::atomic<bool> Closed{false};
  std::atomic<bool> Announced{false};  // Created was reported: Closed will be too
  std::atomic<int> Busy{0};            // calls queued or running
  std::atomic<std::int64_t> LastActivity{NowTicks()};

  // Queues a job; false once the session is finished.
  template <class F>
  bool Post(F&& Job) {
    std::lock_guard Lock(QueueLock);
    if (!Queue) return false;
    asio::post(*Queue, std::forward<F>(Job));
    return true;
  }
  void DropQueue() {
    std::lock_guard Lock(QueueLock);
    Queue.reset();
  }
};

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
  for (const unsigned char B : Bytes) {
    Id.push_back(Hex[B >> 4]);
    Id.push_back(Hex[B & 15]);
  }
  return Id;
}

namespace {

// ---------------------------------------------------------------------------
// Calls, independent of the transport.

struct TCallRequest {
  std::string Class;
  std::string Method;
  json Args;
  std::vector<std::string> Blobs;
};

enum class TStatus { Ok, BadRequest, Unauthorized, Forbidden, NotFound, Failed };

struct TOutcome {
  TStatus Status = TStatus::Ok;
  json Values;
  std::vector<std::string> Blobs;
  std::string Error;
  std::string Type;
};

TOutcome Failure(TStatus Status, std::string Error, std::string Type) {
  TOutcome O;
  O.Status = Status;
  O.Error = std::move(Error);
  O.Type = std::move(Type);
  return O;
}
TOutcome Failure(TStatus Status, const std::exception& E) { return Failure(Status, E.what(), ErrorClassName(E)); }

unsigned HttpStatusOf(TStatus S) {
  switch (S) {
    case TStatus::Ok: return 200;
    case TStatus::BadRequest: return 400;
    case TStatus::Unauthorized: return 401;
    case TStatus::Forbidden: return 403;
    case TStatus::NotFound: return 404;
    case TStatus::Failed: return 500;
  }
  return 500;
}

class TConnBase {
 public:
  virtual ~TConnBase() = default;
  // Closes the connection from any thread.
  virtual void Shutdown() = 0;
  // The server stops without this connection having closed: cut every link
  // that could reach its network objects from outside.
  virtual void Abandon() {}
};

}  // namespace

// ---------------------------------------------------------------------------
// The server object: configuration, hooks, and the runtime while started.

struct TRuntime;

struct TRpcServer::TImpl {
  mutable std::mutex ConfigLock;  // guards everything down to Listeners
  TRpcServerSettings Settings;
  std::uint16_t TcpPort = 4321;
  bool HttpAttached = false;
  std::uint16_t HttpPort = 0;
  std::string HttpsCertFile, HttpsKeyFile;  // both set: the HTTP transport speaks TLS
  std::map<std::string, std::shared_ptr<const TRpcClass>, std::less<>> Classes;
  TAuthenticateHook Authenticate;
  TAuthorizeHook Authorize;
  TConnectHandler OnConnect;
  TDisconnectHandler OnDisconnect;
  std::vector<TSessionListener> Listeners;

  std::mutex StartStopLock;        // serializes Start and Stop
  mutable std::mutex RuntimeLock;  // guards Runtime (the pointer, held briefly)
  std::shared_ptr<TRuntime> Runtime;

  std::shared_ptr<TRuntime> CurrentRuntime() const {
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
  void FireSession(TSessionEvent Event, TSession& Session) const {
    for (const auto& L : Copy(Listeners)) {
      try {
        L(Event, Session);
      } catch (const std::exception& E) {
        LogError(std::string("Session listener failed: ") + E.what());
      }
    }
  }
};

namespace {

std::string Describe(const boost::system::error_code& Ec) { return Ec.message(); }

}  // namespace

// Everything that exists while the server runs. Member order matters: the pool
// outlives the sessions and the I/O context (whose handlers hold sessions), the
// context outlives the acceptors and timers.
struct TRuntime {
  TRuntime(TRpcServer::TImpl& Owner, TRpcServerSettings S)
      : Owner(Owner),
        Settings(std::move(S)),
        Pool(Settings.Workers ? Settings.Workers : std::max<std::size_t>(4, 2 * std::thread::hardware_concurrency())) {}

  TRpcServer::TImpl& Owner;
  const TRpcServerSettings Settings;
  asio::thread_pool Pool;

  std::shared_ptr<ssl::context> Tls;  // HTTPS when set; outlives the connections

  std::mutex Lock;  // guards Connections and Sessions
  std::condition_variable ConnectionsGone;
  std::set<std::shared_ptr<TConnBase>> Connections;
  std::map<std::string, std::shared_ptr<TSession>, std::less<>> Sessions;
  std::atomic<bool> Stopping{false};

  asio::io_context Io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::unique_ptr<tcp::acceptor> TcpAcceptor;
  std::unique_ptr<tcp::acceptor> HttpAcceptor;
  std::unique_ptr<asio::steady_timer> Sweeper;
  std::atomic<std::uint16_t> BoundTcp{0};
  std::atomic<std::uint16_t> BoundHttp{0};
  std::vector<std::thread> IoThreads;

  // --- Sessions

  std::shared_ptr<TSession> NewSession(const std::string& Protocol, const std::string& Ip, std::uint16_t Port,
                                       bool Http) {
    return std::make_shared<TSession>(NewSessionId(), Protocol, Ip, Port,
                                      std::make_unique<detail::TSessionCore>(Pool, Http));
  }

  // Runs the authentication hook in the session's job and, when it accepts,
  // registers the session and reports its creation. Throws the refusal.
  void Authenticate(const std::shared_ptr<TSession>& S, const std::string& User, const std::string& Password,
                    const std::string& App) {
    TSessionScope Scope(S.get());
    if (Stopping) throw EAuthError("Server is stopping");
    if (const auto Hook = Owner.Copy(Owner.Authenticate)) Hook(S->Protocol(), User, Password, *S);
    S->SetIdentity(User, App);
    {
      std::lock_guard L(Lock);
      if (!S->Core().Closed) Sessions[S->Id()] = S;
    }
    S->Core().Announced = true;
    Owner.FireSession(TSessionEvent::Created, *S);
  }

  // Ends a session: it leaves the registry at once; its queued calls still run
  // (and see it closed), then its instances are destroyed and Closed reported,
  // all on a worker thread.
  void CloseSession(const std::shared_ptr<TSession>& S) {
    if (S->Core().Closed.exchange(true)) return;
    {
      std::lock_guard L(Lock);
      const auto It = Sessions.find(S->Id());
      if (It != Sessions.end() && It->second == S) Sessions.erase(It);
    }
    S->Core().Post([this, S] { FinishSession(S); });
  }

  void FinishSession(const std::shared_ptr<TSession>& S) {
    TSessionScope Scope(S.get());
    auto& Core = S->Core();
    while (!Core.Instances.empty()) {
      // One at a time, so a throwing destructor cannot skip the others.
      auto Node = Core.Instances.extract(Core.Instances.begin());
      Node.mapped().second.reset();
    }
    if (Core.Announced) Owner.FireSession(TSessionEvent::Closed, *S);
    Core.DropQueue();
  }

  std::shared_ptr<TSession> FindHttpSession(std::string_view Id) {
    std::lock_guard L(Lock);
    const auto It = Sessions.find(Id);
    if (It == Sessions.end() || !It->second->Core().Http || It->second->Core().Closed) return nullptr;
    It->second->Core().LastActivity = NowTicks();
    return It->second;
  }

  // Runs one call in the session's job. Never throws.
  TOutcome Execute(TSession& S, TCallRequest& R) {
    TSessionScope Scope(&S);
    auto& Core = S.Core();
    if (Core.Closed) return Failure(TStatus::Unauthorized, "Session is closed", "EAuthError");
    const auto Class = Owner.FindClass(R.Class);
    if (!Class) return Failure(TStatus::NotFound, "Unknown class " + R.Class, "EArgumentError");
    const TRpcMethod* Method = Class->Find(R.Method);
    if (!Method) return Failure(TStatus::NotFound, "Unknown method " + R.Class + "." + R.Method, "EArgumentError");
    if (const auto Authorize = Owner.Copy(Owner.Authorize)) {
      bool Allowed = false;
      try {
        Allowed = Authorize(S, R.Class, R.Method);
      } catch (const std::exception& E) {
        return Failure(TStatus::Forbidden, E);
      }
      if (!Allowed) return Failure(TStatus::Forbidden, "Call of " + R.Class + "." + R.Method + " is not allowed", "EAuthError");
    }
    std::vector<TRpcValue> Args;
    try {
      Args = BindArguments(*Method, R.Args, R.Blobs);
    } catch (const std::exception& E) {
      return Failure(TStatus::BadRequest, E);
    }
    R.Blobs.clear();
    R.Args = nullptr;
    try {
      auto It = Core.Instances.find(Class.get());
      if (It == Core.Instances.end())
        It = Core.Instances.emplace(Class.get(), std::make_pair(Class, Class->NewInstance())).first;
      TCall Call(*Method, S, std::move(Args));
      Method->Invoke(It->second.second.get(), Call);
      TOutcome O;
      O.Values = Call.TakeValues(O.Blobs);
      return O;
    } catch (const std::exception& E) {
      return Failure(TStatus::Failed, E);
    } catch (...) {
      return Failure(TStatus::Failed, "Unknown error", "Exception");
    }
  }

  // Queues a call in the session; Done gets the outcome on a worker thread.
  template <class TDone>
  void RunCall(const std::shared_ptr<TSession>& S, TCallRequest R, TDone Done) {
    auto& Core = S->Core();
    ++Core.Busy;
    Core.LastActivity = NowTicks();
    auto Job = [this, S, R = std::move(R), Done]() mutable {
      TOutcome O = Execute(*S, R);
      S->Core().LastActivity = NowTicks();
      --S->Core().Busy;
      Done(std::move(O));
    };
    if (!Core.Post(std::move(Job))) {
      --Core.Busy;
      Done(Failure(TStatus::Unauthorized, "Session is closed", "EAuthError"));
    }
  }

  // --- Connections

  void AddConnection(const std::shared_ptr<TConnBase>& C) {
    std::lock_guard L(Lock);
    Connections.insert(C);
  }
  void RemoveConnection(const std::shared_ptr<TConnBase>& C) {
    std::lock_guard L(Lock);
    Connections.erase(C);
    if (Connections.empty()) ConnectionsGone.notify_all();
  }
  bool AtConnectionLimit() {
    std::lock_guard L(Lock);
    return Connections.size() >= Settings.MaxConnections;
  }

  void FireConnect(const TConnectionPtr& C) {
    if (const auto H = Owner.Copy(Owner.OnConnect)) {
      try {
        H(C, *C);
      } catch (const std::exception& E) {
        LogError(std::string("Connect handler failed: ") + E.what());
      }
    }
  }
  void FireDisconnect(const TConnectionPtr& C) {
    if (const auto H = Owner.Copy(Owner.OnDisconnect)) {
      try {
        H(C);
      } catch (const std::exception& E) {
        LogError(std::string("Disconnect handler failed: ") + E.what());
      }
    }
  }

  void Accept(tcp::acceptor& Acceptor, bool Http);
  void OnAccepted(tcp::socket Socket, asio::strand<asio::io_context::executor_type> Strand, bool Http);
  void ScheduleSweep();
};

namespace {

// ---------------------------------------------------------------------------
// TCP transport: one session per connection, framed messages.

class TTcpConnection;

// The public face of a TCP connection. It holds no network object, so it may
// outlive the connection and the server; once detached (the connection closed
// or the server stopping) its actions do nothing.
class TTcpChannel final : public TChannel {
 public:
  explicit TTcpChannel(TClientInfo Info) : FInfo(std::move(Info)) {}

  std::string SessionId() const override {
    std::lock_guard L(FLock);
    return FSessionId;
  }
  TClientInfo ClientInfo() const override {
    std::lock_guard L(FLock);
    return FInfo;
  }
  void EnableKeepAlive(std::int64_t IdleMs, std::int64_t IntervalMs) override;
  void DisableKeepAlive() override;
  std::optional<TKeepAliveState> QueryKeepAlive() override;
  void Close() override;

  // --- for the connection
  void Attach(const std::shared_ptr<TTcpConnection>& C) {
    std::lock_guard L(FLock);
    FConnection = C;
  }
  void Detach() {
    std::lock_guard L(FLock);
    FConnection.reset();
  }
  void SetSessionId(std::string Id) {
    std::lock_guard L(FLock);
    FSessionId = std::move(Id);
  }
  void SetAppName(std::string App) {
    std::lock_guard L(FLock);
    FInfo.AppName = std::move(App);
  }

 private:
  // Runs Fn with the live connection, under the lock, so nothing is queued on
  // the connection's strand after Detach(). False when detached.
  template <class F>
  bool WithConnection(F&& Fn);

  mutable std::mutex FLock;  // guards everything below
  std::weak_ptr<TTcpConnection> FConnection;
  std::string FSessionId;
  TClientInfo FInfo;
};

class TTcpConnection final : public TConnBase, public std::enable_shared_from_this<TTcpConnection> {
 public:
  TTcpConnection(TRuntime& Run, tcp::socket Socket, TStrand Strand)
      : FRun(Run),
        FStrand(std::move(Strand)),
        FSocket(std::move(Socket)),
        FTimer(FStrand),
        FFrameTimer(FStrand),
        FReader(Run.Settings.Limits) {
    boost::system::error_code Ec;
    const auto Remote = FSocket.remote_endpoint(Ec);
    if (!Ec) {
      FInfo.IpAddress = Remote.address().to_string();
      FInfo.ClientPort = Remote.port();
    }
    FInfo.Protocol = "tcp/ip";
    FChannel = std::make_shared<TTcpChannel>(FInfo);
  }

  // Runs on the strand: reports the connection and starts reading the login.
  void Begin() {
    FChannel->Attach(shared_from_this());
    FRun.FireConnect(FChannel);
    if (FState == TState::Closed) return;
    FTimer.expires_after(FRun.Settings.HeaderTimeout);
    FTimer.async_wait([Self = shared_from_this()](const boost::system::error_code& Ec) {
      if (!Ec && Self->FState == TState::AwaitLogin) Self->Teardown();
    });
    MaybeRead();
  }

  const TStrand& Strand() const noexcept { return FStrand; }

  // Keep-alive and its state; on the strand only.
  void SetKeepAlive(bool On, int IdleSeconds, int IntervalSeconds) {
    if (!FSocket.is_open()) return;
    const int Fd = FSocket.native_handle();
    const int Flag = On ? 1 : 0;
    bool Ok = setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &Flag, sizeof Flag) == 0;
    if (On) {
      Ok = Ok && setsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &IdleSeconds, sizeof IdleSeconds) == 0 &&
           setsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &IntervalSeconds, sizeof IntervalSeconds) == 0;
    }
    if (!Ok) LogWarning("Cannot change TCP keep-alive");
  }
  std::optional<TKeepAliveState> ReadKeepAlive() {
    if (!FSocket.is_open()) return std::nullopt;
    const int Fd = FSocket.native_handle();
    TKeepAliveState S;
    int On = 0;
    socklen_t Len = sizeof On;
    getsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &On, &Len);
    S.Enabled = On != 0;
    Len = sizeof S.IdleSeconds;
    getsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &S.IdleSeconds, &Len);
    Len = sizeof S.IntervalSeconds;
    getsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &S.IntervalSeconds, &Len);
    return S;
  }

  void Shutdown() override {
    asio::post(FStrand, [Self = shared_from_this()] { Self->Teardown(); });
  }
  void Abandon() override { FChannel->Detach(); }

 private:
  enum class TState { AwaitLogin, LoggingIn, Ready, Closed };
  struct TOutgoing {
    std::string Head;
    std::vector<std::string> Blobs;
  };

  void MaybeRead() {
    if (FReading || FState == TState::Closed || FState == TState::LoggingIn || FCloseAfterWrite) return;
    if (FPending >= FRun.Settings.MaxPendingCalls) return;
    FReading = true;
    const auto Room = FReader.NextBuffer();
    FSocket.async_read_some(asio::buffer(Room.data(), Room.size()),
                            [Self = shared_from_this()](const boost::system::error_code& Ec, std::size_t N) {
                              Self->OnRead(Ec, N);
                            });
  }

  void OnRead(const boost::system::error_code& Ec, std::size_t N) {
    FReading = false;
    if (FState == TState::Closed) return;
    if (Ec) {
      Teardown();
      return;
    }
    try {
      FReader.Commit(N);
    } catch (const std::exception& E) {
      Refuse(E.what());
      return;
    }
    if (FReader.Done()) {
      EndFrameDeadline();
      HandleFrame(FReader.Take());
    } else if (FReader.Started()) {
      StartFrameDeadline();
    }
    MaybeRead();
  }

  // Slow senders: once a frame has begun, the rest of it must arrive within
  // BodyTimeout, or the connection is closed. Between frames a connection may
  // stay silent as long as it likes.
  void StartFrameDeadline() {
    if (FFrameDeadline) return;
    FFrameDeadline = true;
    FFrameTimer.expires_after(FRun.Settings.BodyTimeout);
    FFrameTimer.async_wait([Self = shared_from_this(), Frame = FFrameCount](const boost::system::error_code& Ec) {
      if (Ec || !Self->FFrameDeadline || Self->FFrameCount != Frame || Self->FState == TState::Closed) return;
      LogWarning("Closing " + Self->FInfo.IpAddress + ":" + std::to_string(Self->FInfo.ClientPort) +
                 ": a frame did not arrive in time");
      Self->Teardown();
    });
  }
  void EndFrameDeadline() {
    ++FFrameCount;
    if (!FFrameDeadline) return;
    FFrameDeadline = false;
    FFrameTimer.cancel();
  }

  // A message we cannot go on from: answer it and close.
  void Refuse(const std::string& Text) {
    if (FState == TState::AwaitLogin || FState == TState::LoggingIn)
      Send({{"op", "login"}, {"ok", false}, {"error", Text}});
    else
      Send({{"op", "error"}, {"error", Text}});
    FCloseAfterWrite = true;
  }

  void HandleFrame(TFrame Frame) {
    json Header;
    try {
      Header = ParseHeader(Frame.Header);
    } catch (const std::exception& E) {
      Refuse(std::string("Bad frame header: ") + E.what());
      return;
    }
    const auto OpIt = Header.find("op");
    const std::string Op = OpIt != Header.end() && OpIt->is_string() ? OpIt->get<std::string>() : std::string();

    if (FState == TState::AwaitLogin) {
      if (Op != "login") return Refuse("Login expected");
      const auto Text = [&](const char* Key) -> std::optional<std::string> {
        const auto It = Header.find(Key);
        if (It == Header.end()) return std::string();
        if (!It->is_string()) return std::nullopt;
        return It->get<std::string>();
      };
      const auto User = Text("user"), Password = Text("password"), App = Text("app");
      if (!User || !Password || !App) return Refuse("Login fields must be texts");
      StartLogin(*User, *Password, *App);
      return;
    }
    if (Op == "call") {
      const auto Id = Header.find("id");
      const auto Class = Header.find("class");
      const auto Method = Header.find("method");
      if (Id == Header.end() || !Id->is_number_integer() || Class == Header.end() || !Class->is_string() ||
          Method == Header.end() || !Method->is_string())
        return Refuse("A call needs an integer id and class and method texts");
      TCallRequest R;
      R.Class = Class->get<std::string>();
      R.Method = Method->get<std::string>();
      if (const auto Args = Header.find("args"); Args != Header.end()) R.Args = std::move(*Args);
      R.Blobs = std::move(Frame.Blobs);
      ++FPending;
      FRun.RunCall(FSession, std::move(R), [Self = shared_from_this(), CallId = *Id](TOutcome O) {
        asio::post(Self->FStrand,
                   [Self, CallId, O = std::move(O)]() mutable { Self->OnCallDone(CallId, std::move(O)); });
      });
      return;
    }
    if (Op == "logout") {
      // Answered after the calls sent before it, then the connection closes.
      ++FPending;
      FCloseAfterWrite = true;
      auto Done = [Self = shared_from_this()] {
        asio::post(Self->FStrand, [Self] {
          --Self->FPending;
          if (Self->FState == TState::Closed) return;
          Self->Send({{"op", "logout"}, {"ok", true}});
        });
      };
      if (!FSession->Core().Post(Done)) Done();
      FRun.CloseSession(FSession);
      return;
    }
    if (Op == "login") {
      Send({{"op", "error"}, {"error", "Already logged in"}});
      return;
    }
    Refuse("Unknown operation \"" + Op + "\"");
  }

  void StartLogin(const std::string& User, const std::string& Password, const std::string& App) {
    FState = TState::LoggingIn;
    FTimer.cancel();
    FInfo.AppName = App;
    FChannel->SetAppName(App);
    std::shared_ptr<TSession> S;
    try {
      S = FRun.NewSession(FInfo.Protocol, FInfo.IpAddress, FInfo.ClientPort, false);
    } catch (const std::exception& E) {
      FState = TState::AwaitLogin;
      return Refuse(E.what());
    }
    FSession = S;
    // The channel names the session before the login hook runs, so the hook
    // and the listeners it triggers can find this connection by session id.
    // A refused login takes the id off again.
    FChannel->SetSessionId(S->Id());
    auto Job = [Run = &FRun, S, Self = shared_from_this(), User, Password, App] {
      std::optional<std::string> Refusal;
      try {
        Run->Authenticate(S, User, Password, App);
      } catch (const std::exception& E) {
        Refusal = E.what();
      } catch (...) {
        Refusal = "Login refused";
      }
      if (Refusal) {
        Self->FChannel->SetSessionId({});
        Run->CloseSession(S);
      }
      asio::post(Self->FStrand, [Self, Refusal] { Self->OnLoginDone(Refusal); });
    };
    if (!S->Core().Post(std::move(Job))) {
      FChannel->SetSessionId({});
      Refuse("Server is stopping");
    }
  }

  void OnLoginDone(const std::optional<std::string>& Refusal) {
    if (FState == TState::Closed) return;
    if (Refusal) {
      FState = TState::AwaitLogin;
      FSession.reset();
      Refuse(*Refusal);
      return;
    }
    FState = TState::Ready;
    Send({{"op", "login"}, {"ok", true}, {"session", FSession->Id()}});
    MaybeRead();
  }

  void OnCallDone(const json& CallId, TOutcome O) {
    --FPending;
    if (FState == TState::Closed) return;
    json Header;
    if (O.Status == TStatus::Ok)
      Header = {{"op", "result"}, {"id", CallId}, {"values", std::move(O.Values)}};
    else
      Header = {{"op", "error"}, {"id", CallId}, {"error", O.Error}, {"type", O.Type}};
    Send(Header, std::move(O.Blobs));
    MaybeRead();
  }

  void Send(const json& Header, std::vector<std::string> Blobs = {}) {
    TOutgoing Out;
    Out.Head = EncodeFrameHead(DumpJson(Header), Blobs);
    Out.Blobs = std::move(Blobs);
    FWrites.push_back(std::move(Out));
    if (!FWriting) WriteNext();
  }

  void WriteNext() {
    if (FWrites.empty()) {
      FWriting = false;
      if (FCloseAfterWrite && FPending == 0) Linger();
      return;
    }
    FWriting = true;
    const TOutgoing& Out = FWrites.front();
    std::vector<asio::const_buffer> Buffers;
    Buffers.reserve(1 + Out.Blobs.size());
    Buffers.push_back(asio::buffer(Out.Head));
    for (const auto& B : Out.Blobs)
      if (!B.empty()) Buffers.push_back(asio::buffer(B));
    asio::async_write(FSocket, Buffers, [Self = shared_from_this()](const boost::system::error_code& Ec, std::size_t) {
      Self->FWrites.pop_front();
      if (Ec) {
        Self->FWriting = false;
        Self->Teardown();
        return;
      }
      Self->WriteNext();
    });
  }

  // Closes gently after the last answer: stop sending, then read and drop what
  // the client still sends for a moment. Closing with unread bytes would reset
  // the connection and could destroy the answer before the client reads it.
  void Linger() {
    if (FState == TState::Closed || FLingering) return;
    FLingering = true;
    boost::system::error_code Ec;
    FSocket.shutdown(tcp::socket::shutdown_send, Ec);
    FTimer.expires_after(std::chrono::seconds(1));
    FTimer.async_wait([Self = shared_from_this()](const boost::system::error_code& E) {
      if (!E) Self->Teardown();
    });
    Drain();
  }
  void Drain() {
    auto Sink = std::make_shared<std::array<char, 16384>>();
    FSocket.async_read_some(asio::buffer(*Sink), [Self = shared_from_this(), Sink](const boost::system::error_code& Ec,
                                                                                  std::size_t) {
      if (Ec) return Self->Teardown();
      Self->Drain();
    });
  }

  // Ends the connection (once): its session closes, the disconnect is reported.
  void Teardown() {
    if (FState == TState::Closed) return;
    FState = TState::Closed;
    boost::system::error_code Ec;
    FTimer.cancel();
    FFrameTimer.cancel();
    FSocket.shutdown(tcp::socket::shutdown_both, Ec);
    FSocket.close(Ec);
    FChannel->Detach();
    FRun.FireDisconnect(FChannel);
    if (FSession) FRun.CloseSession(FSession);
    FRun.RemoveConnection(shared_from_this());
  }

  TRuntime& FRun;  // outlives the connection's handlers (see TRuntime)
  TStrand FStrand;      // every member below is touched only on it (unless marked)
  tcp::socket FSocket;  // its executor is FStrand as well
  asio::steady_timer FTimer;       // the first frame's deadline, then the linger after the last answer
  asio::steady_timer FFrameTimer;  // the deadline of the frame being read
  bool FFrameDeadline = false;     // FFrameTimer is armed for the current frame
  std::uint64_t FFrameCount = 0;   // frames read so far (tells a stale deadline)
  TFrameReader FReader;
  TState FState = TState::AwaitLogin;
  std::shared_ptr<TSession> FSession;
  std::deque<TOutgoing> FWrites;
  bool FWriting = false;
  bool FReading = false;
  bool FCloseAfterWrite = false;
  bool FLingering = false;
  std::size_t FPending = 0;  // calls (and a logout) not answered yet

  TClientInfo FInfo;
  std::shared_ptr<TTcpChannel> FChannel;  // handed to the connect/disconnect handlers
};

template <class F>
bool TTcpChannel::WithConnection(F&& Fn) {
  std::lock_guard L(FLock);
  const auto C = FConnection.lock();
  if (!C) return false;
  Fn(C);
  return true;
}

void TTcpChannel::EnableKeepAlive(std::int64_t IdleMs, std::int64_t IntervalMs) {
  const auto Seconds = [](std::int64_t Ms) {
    return static_cast<int>(std::clamp<std::int64_t>((Ms + 999) / 1000, 1, 32767));
  };
  const int Idle = Seconds(IdleMs), Interval = Seconds(IntervalMs);
  WithConnection([&](const std::shared_ptr<TTcpConnection>& C) {
    asio::dispatch(C->Strand(), [C, Idle, Interval] { C->SetKeepAlive(true, Idle, Interval); });
  });
}

void TTcpChannel::DisableKeepAlive() {
  WithConnection([](const std::shared_ptr<TTcpConnection>& C) {
    asio::dispatch(C->Strand(), [C] { C->SetKeepAlive(false, 0, 0); });
  });
}

std::optional<TKeepAliveState> TTcpChannel::QueryKeepAlive() {
  std::future<std::optional<TKeepAliveState>> Result;
  std::optional<TKeepAliveState> Direct;
  bool Inline = false;
  const bool Live = WithConnection([&](const std::shared_ptr<TTcpConnection>& C) {
    if (C->Strand().running_in_this_thread()) {
      Inline = true;
      Direct = C->ReadKeepAlive();
      return;
    }
    auto Task = std::make_shared<std::packaged_task<std::optional<TKeepAliveState>()>>([C] { return C->ReadKeepAlive(); });
    Result = Task->get_future();
    asio::post(C->Strand(), [Task] { (*Task)(); });
  });
  if (!Live) return std::nullopt;
  if (Inline) return Direct;
  if (Result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
  try {
    return Result.get();
  } catch (const std::future_error&) {
    return std::nullopt;  // the server stopped before the question ran
  }
}

void TTcpChannel::Close() {
  WithConnection([](const std::shared_ptr<TTcpConnection>& C) { C->Shutdown(); });
}

// ---------------------------------------------------------------------------
// HTTP transport: sessions by header, one request at a time per connection.

std::string_view SV(boost::beast::string_view V) { return {V.data(), V.size()}; }

bool ContainsText(std::string_view Text, std::string_view Part) {
  return std::search(Text.begin(), Text.end(), Part.begin(), Part.end(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
         }) != Text.end();
}

// TStream is beast::tcp_stream (plain HTTP) or an SSL stream over one (HTTPS).
template <class TStream>
class THttpConnection final : public TConnBase, public std::enable_shared_from_this<THttpConnection<TStream>> {
 public:
  static constexpr bool IsTls = !std::is_same_v<TStream, beast::tcp_stream>;

  THttpConnection(TRuntime& Run, tcp::socket Socket) requires(!IsTls) : FRun(Run), FStream(std::move(Socket)) {
    Init();
  }
  THttpConnection(TRuntime& Run, tcp::socket Socket, ssl::context& Tls) requires IsTls
      : FRun(Run), FStream(std::move(Socket), Tls) {
    Init();
  }

  // Over TLS the handshake comes first; it must be done within the header timeout.
  void Begin() {
    if constexpr (IsTls) {
      Lowest().expires_after(FRun.Settings.HeaderTimeout);
      FStream.async_handshake(ssl::stream_base::server, [Self = this->shared_from_this()](const boost::system::error_code& Ec) {
        if (Self->FClosed) return;
        if (Ec) {
          LogInfo("TLS handshake with " + Self->FIp + " failed: " + Ec.message());
          return Self->Finish();
        }
        Self->ReadRequest();
      });
    } else {
      ReadRequest();
    }
  }

  void Shutdown() override {
    asio::post(FStream.get_executor(), [Self = this->shared_from_this()] { Self->Finish(); });
  }

 private:
  void Init() {
    boost::system::error_code Ec;
    const auto Remote = Lowest().socket().remote_endpoint(Ec);
    if (!Ec) {
      FIp = Remote.address().to_string();
      FPort = Remote.port();
    }
  }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(FStream); }

  using TRequest = http::request<http::dynamic_body>;

  void ReadRequest() {
    if (FClosed) return;
    FParser.emplace();
    FParser->header_limit(static_cast<std::uint32_t>(FRun.Settings.MaxHttpHeader));
    FParser->body_limit(FRun.Settings.Limits.MaxFrame);
    Lowest().expires_after(FRun.Settings.HeaderTimeout);
    http::async_read_header(FStream, FBuffer, *FParser,
                            [Self = this->shared_from_this()](const boost::system::error_code& Ec, std::size_t) {
                              Self->OnHeader(Ec);
                            });
  }

  void OnHeader(const boost::system::error_code& Ec) {
    if (FClosed) return;
    if (Ec) {
      if (Ec == http::error::header_limit) return Answer(431, ErrorBody("Request head too large", "EArgumentError"), false);
      return Finish();
    }
    // The body (and the "100 Continue" before it) gets its own deadline: a
    // client that sends its head and then trickles the body is cut off.
    Lowest().expires_after(FRun.Settings.BodyTimeout);
    const auto& Req = FParser->get();
    if (Req[http::field::expect] == "100-continue") {
      auto Continue = std::make_shared<http::response<http::empty_body>>(http::status::continue_, Req.version());
      http::async_write(FStream, *Continue,
                        [Self = this->shared_from_this(), Continue](const boost::system::error_code& E, std::size_t) {
                          if (E) return Self->Finish();
                          Self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(FStream, FBuffer, *FParser, [Self = this->shared_from_this()](const boost::system::error_code& Ec, std::size_t) {
      if (Self->FClosed) return;
      // No deadline while the call runs and its answer is written.
      Self->Lowest().expires_never();
      if (Ec == http::error::body_limit) return Self->Answer(413, ErrorBody("Request body too large", "EArgumentError"), false);
      if (Ec) {
        if (Ec == beast::error::timeout) LogWarning("Closing " + Self->FIp + ": a request body did not arrive in time");
        return Self->Finish();
      }
      Self->Dispatch();
    });
  }

  static json ErrorBody(const std::string& Error, const std::string& Type) { return {{"error", Error}, {"type", Type}}; }

  void Dispatch() {
    TRequest& Req = FParser->get();
    FKeepAlive = Req.keep_alive();
    FAcceptRaw = ContainsText(SV(Req[http::field::accept]), "application/octet-stream");
    std::string Target(Req.target());
    if (const auto Q = Target.find('?'); Q != std::string::npos) Target.resize(Q);
    static constexpr std::string_view Prefix = "/ordex/v1/";
    if (Target.rfind(Prefix, 0) != 0) return Answer(404, ErrorBody("Unknown path", "EArgumentError"));
    const std::string Route = Target.substr(Prefix.size());
    const bool Logout = Route == "logout";
    TCallRequest R;
    if (!Logout) {
      const auto Slash = Route.find('/');
      if (Slash == std::string::npos || Slash == 0 || Slash + 1 == Route.size() ||
          Route.find('/', Slash + 1) != std::string::npos)
        return Answer(404, ErrorBody("Unknown path", "EArgumentError"));
      R.Class = Route.substr(0, Slash);
      R.Method = Route.substr(Slash + 1);
    }
    if (Req.method() != http::verb::post) return Answer(405, ErrorBody("Only POST is served", "EArgumentError"));

    if (!Logout) {
      try {
        ReadArguments(Req, R);
      } catch (const std::exception& E) {
        return Answer(400, ErrorBody(E.what(), ErrorClassName(E)));
      }
    }
    Req.body().clear();

    auto Session = FRun.FindHttpSession(SV(Req["X-Ordex-Session"]));
    if (Session) {
      if (Logout) return DoLogout(Session);
      return RunCall(Session, std::move(R), {});
    }
    const auto Auth = Req[http::field::authorization];
    if (Auth.size() < 6 || !beast::iequals(Auth.substr(0, 6), "Basic ")) {
      const bool HadSession = !Req["X-Ordex-Session"].empty();
      return Answer(401, ErrorBody(HadSession ? "Session is closed or unknown" : "Login required", "EAuthError"));
    }
    std::string Credentials;
    std::string Encoded(Auth.substr(6));
    Encoded.erase(0, Encoded.find_first_not_of(' '));
    const auto Colon = Base64Decode(Encoded, Credentials) ? Credentials.find(':') : std::string::npos;
    if (Colon == std::string::npos) return Answer(401, ErrorBody("Malformed credentials", "EAuthError"));
    const std::string User = Credentials.substr(0, Colon), Password = Credentials.substr(Colon + 1);
    const std::string App(Req[http::field::user_agent]);
    std::shared_ptr<TSession> S;
    try {
      S = FRun.NewSession(IsTls ? "https" : "http", FIp, FPort, true);
    } catch (const std::exception& E) {
      return Answer(500, ErrorBody(E.what(), ErrorClassName(E)));
    }
    // Login, then the call, in the new session's queue.
    auto Job = [Run = &FRun, S, Self = this->shared_from_this(), User, Password, App, Logout, R = std::move(R)]() mutable {
      try {
        Run->Authenticate(S, User, Password, App);
      } catch (const std::exception& E) {
        Run->CloseSession(S);
        Self->Post([Self, O = Failure(TStatus::Unauthorized, E)]() mutable { Self->Answer(std::move(O), {}); });
        return;
      }
      if (Logout) {
        Run->CloseSession(S);
        Self->Post([Self] { Self->Answer(200, {{"values", json::object()}}); });
        return;
      }
      ++S->Core().Busy;
      TOutcome O = Run->Execute(*S, R);
      S->Core().LastActivity = NowTicks();
      --S->Core().Busy;
      Self->Post([Self, Id = S->Id(), O = std::move(O)]() mutable { Self->Answer(std::move(O), Id); });
    };
    if (!S->Core().Post(std::move(Job))) Answer(500, ErrorBody("Server is stopping", "EAuthError"));
  }

  // Reads the arguments and blobs of a call body; throws for a malformed body.
  void ReadArguments(TRequest& Req, TCallRequest& R) {
    const std::string Body = beast::buffers_to_string(Req.body().data());
    std::string Type(Req[http::field::content_type]);
    if (const auto Semi = Type.find(';'); Semi != std::string::npos) Type.resize(Semi);
    while (!Type.empty() && Type.back() == ' ') Type.pop_back();
    if (beast::iequals(Type, "application/x-ordex-frame")) {
      TFrame Frame = DecodeFrame(Body, FRun.Settings.Limits);
      json Header = ParseHeader(Frame.Header);
      if (const auto It = Header.find("args"); It != Header.end()) R.Args = std::move(*It);
      R.Blobs = std::move(Frame.Blobs);
      return;
    }
    if (Body.find_first_not_of(" \t\r\n") == std::string::npos) return;  // no arguments
    json Header = ParseHeader(Body);
    if (const auto It = Header.find("args"); It != Header.end()) R.Args = std::move(*It);
  }

  void RunCall(const std::shared_ptr<TSession>& S, TCallRequest R, std::string NewSessionId) {
    FRun.RunCall(S, std::move(R), [Self = this->shared_from_this(), NewSessionId](TOutcome O) {
      Self->Post([Self, NewSessionId, O = std::move(O)]() mutable { Self->Answer(std::move(O), NewSessionId); });
    });
  }

  void DoLogout(const std::shared_ptr<TSession>& S) {
    // Answered once the session's earlier calls are done.
    auto Done = [Self = this->shared_from_this()] { Self->Post([Self] { Self->Answer(200, {{"values", json::object()}}); }); };
    if (!S->Core().Post(Done)) Done();
    FRun.CloseSession(S);
  }

  template <class F>
  void Post(F&& Fn) {
    asio::post(FStream.get_executor(), std::forward<F>(Fn));
  }

  void Answer(TOutcome O, const std::string& NewSessionId) {
    if (FClosed) return;
    if (O.Status != TStatus::Ok) return Answer(HttpStatusOf(O.Status), ErrorBody(O.Error, O.Type), true, NewSessionId);
    std::vector<std::string> Pieces;
    std::string ContentType;
    const auto Ret = O.Values.find("ReturnValue");
    if (FAcceptRaw && O.Blobs.size() == 1 && Ret != O.Values.end() && *Ret == json{{"$blob", 0}}) {
      ContentType = "application/octet-stream";
      Pieces.push_back(std::move(O.Blobs.front()));
    } else if (O.Blobs.empty()) {
      ContentType = "application/json";
      Pieces.push_back(DumpJson({{"values", std::move(O.Values)}}));
    } else {
      ContentType = "application/x-ordex-frame";
      Pieces.push_back(EncodeFrameHead(DumpJson({{"values", std::move(O.Values)}}), O.Blobs));
      for (auto& B : O.Blobs) Pieces.push_back(std::move(B));
    }
    Write(200, ContentType, std::move(Pieces), true, NewSessionId);
  }

  void Answer(unsigned Status, const json& Body, bool KeepAlive = true, const std::string& NewSessionId = {}) {
    if (FClosed) return;
    Write(Status, "application/json", {DumpJson(Body)}, KeepAlive, NewSessionId);
  }

  // Writes the response head, then the body pieces straight from their strings.
  void Write(unsigned Status, const std::string& ContentType, std::vector<std::string> Pieces, bool KeepAlive,
             const std::string& NewSessionId) {
    const unsigned Version = FParser ? FParser->get().version() : 11;
    FKeepAlive = FKeepAlive && KeepAlive;
    auto Out = std::make_shared<TResponse>();
    Out->Head.result(Status);
    Out->Head.version(Version);
    Out->Head.set(http::field::server, "ordex");
    Out->Head.set(http::field::content_type, ContentType);
    if (!NewSessionId.empty()) Out->Head.set("X-Ordex-Session", NewSessionId);
    std::uint64_t Length = 0;
    for (const auto& P : Pieces) Length += P.size();
    Out->Head.content_length(Length);
    Out->Head.keep_alive(FKeepAlive);
    Out->Pieces = std::move(Pieces);
    Out->Serializer.emplace(Out->Head);
    http::async_write_header(FStream, *Out->Serializer,
                             [Self = this->shared_from_this(), Out](const boost::system::error_code& Ec, std::size_t) {
                               if (Ec) return Self->Finish();
                               std::vector<asio::const_buffer> Buffers;
                               for (const auto& P : Out->Pieces)
                                 if (!P.empty()) Buffers.push_back(asio::buffer(P));
                               asio::async_write(Self->FStream, Buffers,
                                                 [Self, Out](const boost::system::error_code& E, std::size_t) {
                                                   if (E) return Self->Finish();
                                                   if (!Self->FKeepAlive) return Self->CloseGently();
                                                   Self->ReadRequest();
                                                 });
                             });
  }

  struct TResponse {
    http::response<http::empty_body> Head;
    std::optional<http::response_serializer<http::empty_body>> Serializer;
    std::vector<std::string> Pieces;
  };

  // After the last answer: over TLS say goodbye (close_notify) first, so the
  // client can tell the end of the stream from a cut; at most a second.
  void CloseGently() {
    if constexpr (IsTls) {
      if (FClosed) return;
      Lowest().expires_after(std::chrono::seconds(1));
      FStream.async_shutdown([Self = this->shared_from_this()](const boost::system::error_code&) { Self->Finish(); });
    } else {
      Finish();
    }
  }

  void Finish() {
    if (FClosed) return;
    FClosed = true;
    boost::system::error_code Ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, Ec);
    Lowest().socket().close(Ec);
    FRun.RemoveConnection(this->shared_from_this());
  }

  TRuntime& FRun;  // outlives the connection's handlers (see TRuntime)
  TStream FStream;  // its executor is the connection's strand
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<http::dynamic_body>> FParser;
  std::string FIp;
  std::uint16_t FPort = 0;
  bool FKeepAlive = true;
  bool FAcceptRaw = false;
  bool FClosed = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Accepting and sweeping.

void TRuntime::Accept(tcp::acceptor& Acceptor, bool Http) {
  auto Strand = asio::make_strand(Io);
  Acceptor.async_accept(Strand, [this, &Acceptor, Http, Strand](const boost::system::error_code& Ec,
                                                                tcp::socket Socket) {
    if (Ec == asio::error::operation_aborted || !Acceptor.is_open()) return;
    if (Ec) {
      // E.g. out of descriptors: wait a moment rather than spin.
      LogWarning("Accept failed: " + Describe(Ec));
      auto Pause = std::make_shared<asio::steady_timer>(Acceptor.get_executor(), std::chrono::milliseconds(100));
      Pause->async_wait([this, &Acceptor, Http, Pause](const boost::system::error_code&) {
        if (Acceptor.is_open()) Accept(Acceptor, Http);
      });
      return;
    }
    OnAccepted(std::move(Socket), Strand, Http);
    Accept(Acceptor, Http);
  });
}

void TRuntime::OnAccepted(tcp::socket Socket, TStrand Strand, bool Http) {
  boost::system::error_code Ec;
  if (Stopping || AtConnectionLimit()) {
    Socket.close(Ec);
    return;
  }
  Socket.set_option(tcp::no_delay(true), Ec);
  // The socket's executor is the connection's own strand: start there.
  if (Http && Tls) {
    auto C = std::make_shared<THttpConnection<beast::ssl_stream<beast::tcp_stream>>>(*this, std::move(Socket), *Tls);
    AddConnection(C);
    asio::post(Strand, [C] { C->Begin(); });
  } else if (Http) {
    auto C = std::make_shared<THttpConnection<beast::tcp_stream>>(*this, std::move(Socket));
    AddConnection(C);
    asio::post(Strand, [C] { C->Begin(); });
  } else {
    auto C = std::make_shared<TTcpConnection>(*this, std::move(Socket), Strand);
    AddConnection(C);
    asio::post(Strand, [C] { C->Begin(); });
  }
}

void TRuntime::ScheduleSweep() {
  const auto Idle = Settings.HttpIdleTimeout;
  const auto Period = std::clamp<std::chrono::milliseconds>(Idle / 4, std::chrono::milliseconds(10),
                                                            std::chrono::milliseconds(30000));
  Sweeper->expires_after(Period);
  Sweeper->async_wait([this, Idle](const boost::system::error_code& Ec) {
    if (Ec || Stopping) return;
    const auto Limit = std::chrono::duration_cast<TClock::duration>(Idle).count();
    const auto Now = NowTicks();
    std::vector<std::shared_ptr<TSession>> Expired;
    {
      std::lock_guard L(Lock);
      for (const auto& [Id, S] : Sessions) {
        const auto& Core = S->Core();
        if (Core.Http && Core.Busy == 0 && Now - Core.LastActivity > Limit) Expired.push_back(S);
      }
    }
    for (const auto& S : Expired) CloseSession(S);
    ScheduleSweep();
  });
}

// ---------------------------------------------------------------------------
// TRpcServer

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
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->Authenticate = std::move(Hook);
}
void TRpcServer::SetAuthorize(TAuthorizeHook Hook) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->Authorize = std::move(Hook);
}
void TRpcServer::SetOnConnect(TConnectHandler Handler) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->OnConnect = std::move(Handler);
}
void TRpcServer::SetOnDisconnect(TDisconnectHandler Handler) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->OnDisconnect = std::move(Handler);
}
void TRpcServer::AddSessionListener(TSessionListener Listener) {
  std::lock_guard L(FImpl->ConfigLock);
  FImpl->Listeners.push_back(std::move(Listener));
}

namespace {

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

// OpenSSL's reasons for the last failure (and clears its error queue).
std::string OpenSslReason() {
  std::string Text;
  while (const unsigned long Code = ERR_get_error()) {
    char Buffer[256];
    ERR_error_string_n(Code, Buffer, sizeof Buffer);
    if (!Text.empty()) Text += "; ";
    Text += Buffer;
  }
  return Text.empty() ? std::string("unknown error") : Text;
}

// The server's TLS context: TLS 1.2 and 1.3 only, forward-secret AEAD ciphers
// for TLS 1.2 (TLS 1.3 has only such), no compression, no renegotiation.
std::shared_ptr<ssl::context> MakeServerTls(const std::string& CertFile, const std::string& KeyFile) {
  if (CertFile.empty() != KeyFile.empty())
    throw EArgumentError("HTTPS needs both a certificate file and a key file (" +
                         std::string(CertFile.empty() ? "the certificate" : "the key") + " is missing)");
  auto Tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* Ctx = Tls->native_handle();
  ERR_clear_error();
  SSL_CTX_set_min_proto_version(Ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(Ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_cipher_list(Ctx,
                          "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                          "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                          "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305");
  // A key with a passphrase must fail here, not wait for someone to type it.
  SSL_CTX_set_default_passwd_cb(Ctx, [](char*, int, int, void*) { return 0; });
  if (SSL_CTX_use_certificate_chain_file(Ctx, CertFile.c_str()) != 1)
    throw EFileError("Cannot use the HTTPS certificate file " + CertFile + ": " + OpenSslReason());
  if (SSL_CTX_use_PrivateKey_file(Ctx, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw EFileError("Cannot use the HTTPS key file " + KeyFile + ": " + OpenSslReason());
  if (SSL_CTX_check_private_key(Ctx) != 1)
    throw EFileError("The HTTPS key file " + KeyFile + " does not belong to the certificate file " + CertFile);
  return Tls;
}

}  // namespace

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
  std::shared_ptr<ssl::context> Tls;
  if (Http && (!CertFile.empty() || !KeyFile.empty())) Tls = MakeServerTls(CertFile, KeyFile);
  auto R = std::make_shared<TRuntime>(*FImpl, std::move(S));
  R->Tls = std::move(Tls);
  R->TcpAcceptor = Listen(R->Io, R->Settings.Address, TcpPort);
  R->BoundTcp = R->TcpAcceptor->local_endpoint().port();
  if (Http) {
    R->HttpAcceptor = Listen(R->Io, R->Settings.Address, HttpPort);
    R->BoundHttp = R->HttpAcceptor->local_endpoint().port();
    R->Sweeper = std::make_unique<asio::steady_timer>(asio::make_strand(R->Io));
  }
  R->Work.emplace(R->Io.get_executor());
  asio::post(R->TcpAcceptor->get_executor(), [Run = R.get()] { Run->Accept(*Run->TcpAcceptor, false); });
  if (R->HttpAcceptor) {
    asio::post(R->HttpAcceptor->get_executor(), [Run = R.get()] { Run->Accept(*Run->HttpAcceptor, true); });
    asio::post(R->Sweeper->get_executor(), [Run = R.get()] { Run->ScheduleSweep(); });
  }
  for (std::size_t I = 0; I < std::max<std::size_t>(1, R->Settings.IoThreads); ++I) {
    R->IoThreads.emplace_back([Run = R.get()] {
      for (;;) {
        try {
          Run->Io.run();
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
  // Handlers capture the raw runtime: it lives until Stop returns, and
  // handlers that never ran are only destroyed with the context.
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
  std::vector<std::shared_ptr<TConnBase>> Connections;
  {
    std::lock_guard L(R->Lock);
    Connections.assign(R->Connections.begin(), R->Connections.end());
  }
  for (const auto& C : Connections) C->Shutdown();
  {
    std::unique_lock L(R->Lock);
    if (!R->ConnectionsGone.wait_for(L, std::chrono::seconds(10), [&] { return R->Connections.empty(); }))
      LogWarning("Some connections did not close in time");
  }
  // 3. Close the remaining (HTTP) sessions, then let the workers finish every
  //    queued call, instance destruction and listener.
  std::vector<std::shared_ptr<TSession>> Sessions;
  {
    std::lock_guard L(R->Lock);
    for (const auto& [Id, S] : R->Sessions) Sessions.push_back(S);
  }
  for (const auto& S : Sessions) R->CloseSession(S);
  R->Pool.join();
  // 4. Stop the network threads; handlers still queued are dropped with the context.
  {
    std::lock_guard L(R->Lock);
    for (const auto& C : R->Connections) C->Abandon();
  }
  R->Work.reset();
  R->Io.stop();
  for (auto& T : R->IoThreads) T.join();
  {
    // Connections that did not close in time go now, while their context exists.
    std::lock_guard L(R->Lock);
    R->Connections.clear();
  }
  {
    std::lock_guard L(FImpl->RuntimeLock);
    FImpl->Runtime.reset();
  }
}

bool TRpcServer::IsRunning() const { return FImpl->CurrentRuntime() != nullptr; }

std::vector<std::shared_ptr<TSession>> TRpcServer::Sessions() const {
  std::vector<std::shared_ptr<TSession>> Out;
  if (const auto R = FImpl->CurrentRuntime()) {
    std::lock_guard L(R->Lock);
    for (const auto& [Id, S] : R->Sessions) Out.push_back(S);
  }
  return Out;
}

bool TRpcServer::CloseSession(const std::string& SessionId) {
  const auto R = FImpl->CurrentRuntime();
  if (!R) return false;
  std::shared_ptr<TSession> S;
  {
    std::lock_guard L(R->Lock);
    const auto It = R->Sessions.find(SessionId);
    if (It == R->Sessions.end()) return false;
    S = It->second;
  }
  R->CloseSession(S);
  return true;
}

}  // namespace ordex::rpc
