#include "platform/rpc/TcpTransport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <future>

#include "common/qxError.h"
#include "common/qxLog.h"
#include "platform/rpc/Frame.h"

namespace ordex::rpc::detail {

namespace {

using json = nlohmann::json;

// Read-ahead per connection: a small frame (prefix, header and small blobs)
// arrives in one read. Larger parts are read straight into their place.
constexpr std::size_t StageSize = 16 * 1024;
constexpr std::size_t MaxPieces = 1 + FrameMaxBlobs;

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

// One frame on its way out: the head (prefix, lengths, header), the blobs, and
// how many of its bytes have left already.
struct TOutgoing {
  std::string Head;
  std::vector<std::string> Blobs;
  std::size_t Sent = 0;

  // Calls Put(data, size) for each unsent piece, in order.
  template <class F>
  void ForEachUnsent(F&& Put) const {
    std::size_t Skip = Sent;
    const auto Piece = [&](const std::string& P) {
      if (Skip >= P.size()) {
        Skip -= P.size();
        return;
      }
      Put(P.data() + Skip, P.size() - Skip);
      Skip = 0;
    };
    Piece(Head);
    for (const auto& B : Blobs) Piece(B);
  }
};

class TTcpConnection final : public TConnBase, public std::enable_shared_from_this<TTcpConnection> {
 public:
  TTcpConnection(TRuntime& Run, tcp::socket Socket, TStrand Strand)
      : FRun(Run),
        FStrand(std::move(Strand)),
        FSocket(std::move(Socket)),
        FFd(FSocket.native_handle()),
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
    Pump();
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

  // ----- Reading (on the strand)

  // Reads and handles frames as long as the connection may take more.
  void Pump() {
    while (!FReading && FState != TState::Closed && FState != TState::LoggingIn && !FCloseAfterWrite) {
      if (!RoomForCalls()) return;
      if (FStageBegin < FStageEnd) {
        FeedStaged();
        continue;
      }
      StartRead();
      return;
    }
  }

  // False while MaxPendingCalls calls are unanswered; the answer that makes
  // room resumes reading (see AnswerSent).
  bool RoomForCalls() {
    if (FPending < FRun.Settings.MaxPendingCalls) return true;
    FReadPaused = true;
    if (FPending >= FRun.Settings.MaxPendingCalls) return false;
    FReadPaused = false;
    return true;
  }

  void StartRead() {
    FReading = true;
    const auto Room = FReader.NextBuffer();
    if (Room.size() >= StageSize) {
      FSocket.async_read_some(asio::buffer(Room.data(), Room.size()),
                              [Self = shared_from_this()](const boost::system::error_code& Ec, std::size_t N) {
                                Self->OnRead(Ec, N, true);
                              });
      return;
    }
    if (!FStage) FStage = std::make_unique<char[]>(StageSize);
    FSocket.async_read_some(asio::buffer(FStage.get(), StageSize),
                            [Self = shared_from_this()](const boost::system::error_code& Ec, std::size_t N) {
                              Self->OnRead(Ec, N, false);
                            });
  }

  void OnRead(const boost::system::error_code& Ec, std::size_t N, bool Direct) {
    FReading = false;
    if (FState == TState::Closed) return;
    if (Ec) {
      Teardown();
      return;
    }
    if (Direct) {
      try {
        FReader.Commit(N);
      } catch (const std::exception& E) {
        Refuse(E.what());
        return;
      }
      Progress();
    } else {
      FStageBegin = 0;
      FStageEnd = N;
    }
    Pump();
  }

  // Gives the read-ahead bytes to the frame reader, up to the end of a frame.
  void FeedStaged() {
    std::size_t Used = 0;
    try {
      Used = FReader.Feed(FStage.get() + FStageBegin, FStageEnd - FStageBegin);
    } catch (const std::exception& E) {
      FStageBegin = FStageEnd = 0;
      Refuse(E.what());
      return;
    }
    FStageBegin += Used;
    if (FStageBegin == FStageEnd) FStageBegin = FStageEnd = 0;
    Progress();
  }

  void Progress() {
    if (FReader.Done()) {
      EndFrameDeadline();
      HandleFrame(FReader.Take());
    } else if (FReader.Started()) {
      StartFrameDeadline();
    }
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
    FCloseAfterWrite = true;
    if (FState == TState::AwaitLogin || FState == TState::LoggingIn)
      SendHeader({{"op", "login"}, {"ok", false}, {"error", Text}});
    else
      SendHeader({{"op", "error"}, {"error", Text}});
    CheckLinger();
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
      R.Class = std::move(Class->get_ref<std::string&>());
      R.Method = std::move(Method->get_ref<std::string&>());
      if (const auto Args = Header.find("args"); Args != Header.end()) R.Args = std::move(*Args);
      R.Blobs = std::move(Frame.Blobs);
      ++FPending;
      // The worker that ran the call sends its answer itself.
      FRun.Sessions.RunCall(FSession, std::move(R), [Self = shared_from_this(), CallId = *Id](TOutcome O) {
        Self->SendOutcome(CallId, std::move(O));
        Self->AnswerSent();
      });
      return;
    }
    if (Op == "logout") {
      // Answered after the calls sent before it, then the connection closes.
      ++FPending;
      FCloseAfterWrite = true;
      auto Done = [Self = shared_from_this()] {
        Self->SendHeader({{"op", "logout"}, {"ok", true}});
        Self->AnswerSent();
      };
      if (!FSession->Core().Post(Done)) Done();
      FRun.Sessions.Close(FSession);
      return;
    }
    if (Op == "login") {
      SendHeader({{"op", "error"}, {"error", "Already logged in"}});
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
      S = FRun.Sessions.NewSession(FInfo.Protocol, FInfo.IpAddress, FInfo.ClientPort, false);
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
        Run->Sessions.Authenticate(S, User, Password, App);
      } catch (const std::exception& E) {
        Refusal = E.what();
      } catch (...) {
        Refusal = "Login refused";
      }
      if (Refusal) {
        Self->FChannel->SetSessionId({});
        Run->Sessions.Close(S);
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
    SendHeader({{"op", "login"}, {"ok", true}, {"session", FSession->Id()}});
    Pump();
  }

  // ----- Answers (from any thread)

  // The answer to a call, built and sent on the worker that ran it.
  void SendOutcome(const json& CallId, TOutcome O) {
    TOutgoing Out;
    try {
      if (O.Status == TStatus::Ok) {
        // Written out in the key order of a JSON object: id, op, values.
        const std::string Header =
            "{\"id\":" + CallId.dump() + ",\"op\":\"result\",\"values\":" + DumpJson(O.Values) + "}";
        Out.Head = EncodeFrameHead(Header, O.Blobs);
        Out.Blobs = std::move(O.Blobs);
      } else {
        Out.Head = EncodeFrameHead(DumpJson({{"op", "error"}, {"id", CallId}, {"error", O.Error}, {"type", O.Type}}), {});
      }
    } catch (const std::exception& E) {
      // An answer that cannot be framed (e.g. too many streams) fails the call.
      Out = {};
      Out.Head = EncodeFrameHead(
          DumpJson({{"op", "error"}, {"id", CallId}, {"error", E.what()}, {"type", ErrorClassName(E)}}), {});
    }
    Send(std::move(Out));
  }

  void SendHeader(const json& Header) {
    TOutgoing Out;
    Out.Head = EncodeFrameHead(DumpJson(Header), {});
    Send(std::move(Out));
  }

  // Sends a frame after those before it. With nothing queued it is written at
  // once, without blocking, by the calling thread; what the socket does not
  // take is left to the strand.
  void Send(TOutgoing Out) {
    std::unique_lock L(FSendLock);
    if (FSendClosed) return;
    if (!FAsyncWriting && FWrites.empty()) {
      switch (WriteNow(Out)) {
        case TWrite::Done:
          L.unlock();
          CheckLinger();
          return;
        case TWrite::Broken:
          FSendClosed = true;
          L.unlock();
          Shutdown();
          return;
        case TWrite::Partial:
          break;
      }
    }
    FWrites.push_back(std::move(Out));
    if (FAsyncWriting) return;
    FAsyncWriting = true;
    L.unlock();
    asio::dispatch(FStrand, [Self = shared_from_this()] { Self->WriteNext(); });
  }

  enum class TWrite { Done, Partial, Broken };

  // Writes what the socket takes without waiting; under FSendLock.
  TWrite WriteNow(TOutgoing& Out) {
    for (;;) {
      std::array<iovec, MaxPieces> Vec;
      std::size_t Count = 0;
      Out.ForEachUnsent([&](const char* Data, std::size_t Size) {
        if (Size > 0 && Count < Vec.size()) Vec[Count++] = {const_cast<char*>(Data), Size};
      });
      if (Count == 0) return TWrite::Done;
      msghdr Msg{};
      Msg.msg_iov = Vec.data();
      Msg.msg_iovlen = Count;
      const ssize_t N = ::sendmsg(FFd, &Msg, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (N < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return TWrite::Partial;
        return TWrite::Broken;
      }
      Out.Sent += static_cast<std::size_t>(N);
    }
  }

  // On the strand: writes the queued frames one after another.
  void WriteNext() {
    std::vector<asio::const_buffer> Buffers;
    {
      std::unique_lock L(FSendLock);
      if (FSendClosed || FWrites.empty()) {
        FAsyncWriting = false;
        const bool Drained = !FSendClosed;
        L.unlock();
        if (Drained) CheckLinger();
        return;
      }
      Buffers.reserve(MaxPieces);
      FWrites.front().ForEachUnsent([&](const char* Data, std::size_t Size) {
        if (Size > 0) Buffers.emplace_back(Data, Size);
      });
    }
    // The front frame stays in place (deque) until this write completes.
    asio::async_write(FSocket, Buffers, [Self = shared_from_this()](const boost::system::error_code& Ec, std::size_t) {
      {
        std::lock_guard L(Self->FSendLock);
        Self->FWrites.pop_front();
        if (Ec) {
          Self->FAsyncWriting = false;
          Self->FSendClosed = true;
        }
      }
      if (Ec) return Self->Teardown();
      Self->WriteNext();
    });
  }

  // An answer to a call or a logout has been sent (or dropped with the connection).
  void AnswerSent() {
    --FPending;
    if (FReadPaused.exchange(false)) asio::post(FStrand, [Self = shared_from_this()] { Self->Pump(); });
    CheckLinger();
  }

  // Once the connection is to close and every answer has left: linger.
  void CheckLinger() {
    if (!FCloseAfterWrite || FPending != 0) return;
    {
      std::lock_guard L(FSendLock);
      if (FSendClosed || FAsyncWriting || !FWrites.empty()) return;
    }
    asio::dispatch(FStrand, [Self = shared_from_this()] { Self->Linger(); });
  }

  // Closes gently after the last answer: stop sending, then read and drop what
  // the client still sends for a moment. Closing with unread bytes would reset
  // the connection and could destroy the answer before the client reads it.
  void Linger() {
    if (FState == TState::Closed || FLingering) return;
    FLingering = true;
    {
      std::lock_guard L(FSendLock);
      FSendClosed = true;
    }
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
    {
      // No thread writes to the socket once this is set.
      std::lock_guard L(FSendLock);
      FSendClosed = true;
    }
    boost::system::error_code Ec;
    FTimer.cancel();
    FFrameTimer.cancel();
    FSocket.shutdown(tcp::socket::shutdown_both, Ec);
    FSocket.close(Ec);
    FChannel->Detach();
    FRun.FireDisconnect(FChannel);
    if (FSession) FRun.Sessions.Close(FSession);
    FRun.RemoveConnection(shared_from_this());
  }

  TRuntime& FRun;  // outlives the connection's handlers (see TRuntime)
  TStrand FStrand;      // every member below is touched only on it, unless marked
  tcp::socket FSocket;  // its executor is FStrand as well
  const int FFd;        // the socket's descriptor, for writes from other threads (see FSendLock)
  asio::steady_timer FTimer;       // the first frame's deadline, then the linger after the last answer
  asio::steady_timer FFrameTimer;  // the deadline of the frame being read
  bool FFrameDeadline = false;     // FFrameTimer is armed for the current frame
  std::uint64_t FFrameCount = 0;   // frames read so far (tells a stale deadline)
  TFrameReader FReader;
  std::unique_ptr<char[]> FStage;  // read-ahead bytes [FStageBegin, FStageEnd) not yet given to FReader
  std::size_t FStageBegin = 0, FStageEnd = 0;
  TState FState = TState::AwaitLogin;
  std::shared_ptr<TSession> FSession;
  bool FReading = false;
  bool FLingering = false;

  // Shared with the workers that answer calls.
  std::atomic<bool> FCloseAfterWrite{false};  // set on the strand only
  std::atomic<std::size_t> FPending{0};       // calls (and a logout) not answered yet
  std::atomic<bool> FReadPaused{false};       // reading waits for FPending to drop

  std::mutex FSendLock;  // guards the four below; held only for non-blocking work
  std::deque<TOutgoing> FWrites;  // frames waiting for the strand's asynchronous write
  bool FAsyncWriting = false;     // the strand is writing FWrites
  bool FSendClosed = false;       // the socket is closing: nothing more is written

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

}  // namespace

void StartTcpConnection(TRuntime& Run, tcp::socket Socket, TStrand Strand) {
  auto C = std::make_shared<TTcpConnection>(Run, std::move(Socket), Strand);
  Run.AddConnection(C);
  asio::post(Strand, [C] { C->Begin(); });
}

}  // namespace ordex::rpc::detail
