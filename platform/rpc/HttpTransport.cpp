#include "platform/rpc/HttpTransport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <mutex>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "common/qxError.h"
#include "common/qxLog.h"
#include "platform/rpc/Frame.h"

namespace ordex::rpc::detail {

namespace {

namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using json = nlohmann::json;

// Read buffer of a connection: enough for a request head in one read; large
// bodies are read in 64 KiB pieces.
constexpr std::size_t SmallReadBuffer = 16 * 1024;
constexpr std::size_t LargeReadBuffer = 64 * 1024;
// A JSON body reserves its declared length up to this; beyond it grows as it arrives.
constexpr std::size_t MaxBodyReserve = 16u << 20;

std::string_view SV(beast::string_view V) { return {V.data(), V.size()}; }

bool ContainsText(std::string_view Text, std::string_view Part) {
  return std::search(Text.begin(), Text.end(), Part.begin(), Part.end(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
         }) != Text.end();
}

// The media type of a Content-Type value, without parameters.
bool IsFrameType(std::string_view Type) {
  if (const auto Semi = Type.find(';'); Semi != std::string_view::npos) Type = Type.substr(0, Semi);
  while (!Type.empty() && Type.back() == ' ') Type.remove_suffix(1);
  return beast::iequals(beast::string_view(Type.data(), Type.size()), "application/x-ordex-frame");
}

// A request body as it arrives: a frame body goes straight into the frame
// reader (its blobs land in their own strings, no copy of the whole body);
// any other body is kept as text. A malformed frame is remembered, not
// thrown, so that it is answered 400 after the body has been read.
struct TRequestBody {
  struct value_type {
    TFrameLimits Limits;  // set before the body is read
    bool Framed = false;
    std::optional<TFrameReader> Frame;
    std::string Text;
    std::string Error;  // why the frame is malformed
  };

  class reader {
   public:
    // Made with the parser, before the head has arrived: the content type is
    // looked at in init().
    template <bool IsRequest, class TFields>
    reader(http::header<IsRequest, TFields>& Head, value_type& Body)
        : FHead(&Head),
          FContentType([](const void* H) {
            return SV((*static_cast<const http::header<IsRequest, TFields>*>(H))[http::field::content_type]);
          }),
          FBody(Body) {}

    void init(const boost::optional<std::uint64_t>& Length, beast::error_code& Ec) {
      Ec = {};
      FBody.Framed = IsFrameType(FContentType(FHead));
      if (FBody.Framed) {
        FBody.Frame.emplace(FBody.Limits);
        return;
      }
      if (Length) FBody.Text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*Length, MaxBodyReserve)));
    }

    template <class TBuffers>
    std::size_t put(const TBuffers& Buffers, beast::error_code& Ec) {
      Ec = {};
      std::size_t Total = 0;
      for (const auto B : beast::buffers_range_ref(Buffers)) {
        const auto* Data = static_cast<const char*>(B.data());
        Total += B.size();
        if (!FBody.Framed) {
          FBody.Text.append(Data, B.size());
          continue;
        }
        if (!FBody.Error.empty() || !FBody.Frame) continue;  // the rest of a malformed frame is dropped
        try {
          const std::size_t Used = FBody.Frame->Feed(Data, B.size());
          if (Used != B.size()) FBody.Error = "Bad frame: trailing bytes after the frame";
        } catch (const std::exception& E) {
          FBody.Error = E.what();
        }
      }
      return Total;
    }

    void finish(beast::error_code& Ec) { Ec = {}; }

   private:
    const void* FHead;  // the message's head, of the type the constructor was given
    std::string_view (*FContentType)(const void* Head);
    value_type& FBody;
  };
};

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
    FBuffer.reserve(SmallReadBuffer);
  }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(FStream); }

  using TRequest = http::request<TRequestBody>;

  void ReadRequest() {
    if (FClosed) return;
    // A large body's buffer is given back between requests.
    if (FBuffer.size() == 0 && FBuffer.capacity() > SmallReadBuffer) {
      FBuffer.shrink_to_fit();
      FBuffer.reserve(SmallReadBuffer);
    }
    FParser.emplace();
    FParser->header_limit(static_cast<std::uint32_t>(FRun.Settings.MaxHttpHeader));
    FParser->body_limit(FRun.Settings.Limits.MaxFrame);
    FParser->get().body().Limits = FRun.Settings.Limits;
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
    if (const auto Length = FParser->content_length(); Length && *Length > SmallReadBuffer)
      FBuffer.reserve(LargeReadBuffer);
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
        ReadArguments(Req.body(), R);
      } catch (const std::exception& E) {
        return Answer(400, ErrorBody(E.what(), ErrorClassName(E)));
      }
    }
    Req.body() = {};

    auto Session = FRun.Sessions.FindHttp(SV(Req["X-Ordex-Session"]));
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
      S = FRun.Sessions.NewSession(IsTls ? "https" : "http", FIp, FPort, true);
    } catch (const std::exception& E) {
      return Answer(500, ErrorBody(E.what(), ErrorClassName(E)));
    }
    // Login, then the call, in the new session's queue.
    auto Job = [Run = &FRun, S, Self = this->shared_from_this(), User, Password, App, Logout, R = std::move(R)]() mutable {
      try {
        Run->Sessions.Authenticate(S, User, Password, App);
      } catch (const std::exception& E) {
        Run->Sessions.Close(S);
        Self->Post([Self, O = Failure(TStatus::Unauthorized, E)]() mutable { Self->Answer(std::move(O), {}); });
        return;
      }
      if (Logout) {
        Run->Sessions.Close(S);
        Self->Post([Self] { Self->Answer(200, {{"values", json::object()}}); });
        return;
      }
      ++S->Core().Busy;
      TOutcome O = Run->Sessions.Execute(*S, R);
      S->Core().LastActivity = NowTicks();
      --S->Core().Busy;
      Self->AnswerFromWorker(std::move(O), S->Id());
    };
    if (!S->Core().Post(std::move(Job))) Answer(500, ErrorBody("Server is stopping", "EAuthError"));
  }

  // Reads the arguments and blobs of a call body; throws for a malformed body.
  void ReadArguments(TRequestBody::value_type& Body, TCallRequest& R) {
    if (Body.Framed) {
      if (!Body.Error.empty()) throw EStreamError(Body.Error);
      if (!Body.Frame || !Body.Frame->Done()) throw EStreamError("Bad frame: truncated");
      TFrame Frame = Body.Frame->Take();
      json Header = ParseHeader(Frame.Header);
      if (const auto It = Header.find("args"); It != Header.end()) R.Args = std::move(*It);
      R.Blobs = std::move(Frame.Blobs);
      return;
    }
    if (Body.Text.find_first_not_of(" \t\r\n") == std::string::npos) return;  // no arguments
    json Header = ParseHeader(Body.Text);
    if (const auto It = Header.find("args"); It != Header.end()) R.Args = std::move(*It);
  }

  void RunCall(const std::shared_ptr<TSession>& S, TCallRequest R, std::string NewSessionId) {
    FRun.Sessions.RunCall(S, std::move(R), [Self = this->shared_from_this(), NewSessionId](TOutcome O) {
      Self->AnswerFromWorker(std::move(O), NewSessionId);
    });
  }

  void DoLogout(const std::shared_ptr<TSession>& S) {
    // Answered once the session's earlier calls are done.
    auto Done = [Self = this->shared_from_this()] { Self->Post([Self] { Self->Answer(200, {{"values", json::object()}}); }); };
    if (!S->Core().Post(Done)) Done();
    FRun.Sessions.Close(S);
  }

  template <class F>
  void Post(F&& Fn) {
    asio::post(FStream.get_executor(), std::forward<F>(Fn));
  }

  // One answer before it is framed: status, content type, body pieces.
  struct TReply {
    unsigned Status = 200;
    std::string ContentType = "application/json";
    std::vector<std::string> Pieces;
    bool KeepAlive = true;
  };

  TReply ErrorReply(unsigned Status, const json& Body, bool KeepAlive = true) const {
    return {Status, "application/json", {DumpJson(Body)}, KeepAlive};
  }

  // The answer to a call. Reads only what the request set (FAcceptRaw), so a
  // worker may build it while the connection waits for it.
  TReply Reply(TOutcome O) const {
    if (O.Status != TStatus::Ok) return ErrorReply(HttpStatusOf(O.Status), ErrorBody(O.Error, O.Type));
    TReply R;
    const auto Ret = O.Values.find("ReturnValue");
    if (FAcceptRaw && O.Blobs.size() == 1 && Ret != O.Values.end() && *Ret == json{{"$blob", 0}}) {
      R.ContentType = "application/octet-stream";
      R.Pieces.push_back(std::move(O.Blobs.front()));
    } else if (O.Blobs.empty()) {
      R.Pieces.push_back(DumpJson({{"values", std::move(O.Values)}}));
    } else {
      R.ContentType = "application/x-ordex-frame";
      try {
        R.Pieces.push_back(EncodeFrameHead(DumpJson({{"values", std::move(O.Values)}}), O.Blobs));
      } catch (const std::exception& E) {
        // An answer that cannot be framed (e.g. too many streams) fails the call.
        return ErrorReply(500, ErrorBody(E.what(), ErrorClassName(E)));
      }
      for (auto& B : O.Blobs) R.Pieces.push_back(std::move(B));
    }
    return R;
  }

  void Answer(TOutcome O, const std::string& NewSessionId) {
    if (FClosed) return;
    Write(Reply(std::move(O)), NewSessionId);
  }

  void Answer(unsigned Status, const json& Body, bool KeepAlive = true, const std::string& NewSessionId = {}) {
    if (FClosed) return;
    Write(ErrorReply(Status, Body, KeepAlive), NewSessionId);
  }

  // The response head, written out as the serializer would: status line,
  // Server, Content-Type, X-Ordex-Session, Content-Length, Connection.
  std::string ResponseHead(unsigned Status, unsigned Version, const std::string& ContentType,
                           const std::string& NewSessionId, std::uint64_t Length) const {
    std::string Head;
    Head.reserve(160 + ContentType.size() + NewSessionId.size());
    Head += "HTTP/";
    Head += std::to_string(Version / 10);
    Head += '.';
    Head += std::to_string(Version % 10);
    Head += ' ';
    Head += std::to_string(Status);
    Head += ' ';
    const auto Reason = http::obsolete_reason(http::int_to_status(Status));
    Head.append(Reason.data(), Reason.size());
    Head += "\r\nServer: ordex\r\nContent-Type: ";
    Head += ContentType;
    if (!NewSessionId.empty()) {
      Head += "\r\nX-Ordex-Session: ";
      Head += NewSessionId;
    }
    Head += "\r\nContent-Length: ";
    Head += std::to_string(Length);
    if (Version >= 11 && !FKeepAlive) Head += "\r\nConnection: close";
    if (Version < 11 && FKeepAlive) Head += "\r\nConnection: keep-alive";
    Head += "\r\n\r\n";
    return Head;
  }

  // The response head followed by the body pieces; decides whether the
  // connection stays open.
  std::vector<std::string> Frame(TReply R, const std::string& NewSessionId) {
    const unsigned Version = FParser ? FParser->get().version() : 11;
    FKeepAlive = FKeepAlive && R.KeepAlive;
    std::uint64_t Length = 0;
    for (const auto& P : R.Pieces) Length += P.size();
    R.Pieces.insert(R.Pieces.begin(), ResponseHead(R.Status, Version, R.ContentType, NewSessionId, Length));
    return std::move(R.Pieces);
  }

  // On the strand: writes a response in one gathering write, straight from its strings.
  void Write(TReply R, const std::string& NewSessionId) {
    WriteRest(std::make_shared<std::vector<std::string>>(Frame(std::move(R), NewSessionId)), 0);
  }

  // On the strand: writes what is left of Pieces after the first Skip bytes.
  void WriteRest(std::shared_ptr<std::vector<std::string>> Pieces, std::size_t Skip) {
    std::vector<asio::const_buffer> Buffers;
    Buffers.reserve(Pieces->size());
    for (const auto& P : *Pieces) {
      if (Skip >= P.size()) {
        Skip -= P.size();
        continue;
      }
      Buffers.emplace_back(P.data() + Skip, P.size() - Skip);
      Skip = 0;
    }
    asio::async_write(FStream, Buffers, [Self = this->shared_from_this(), Pieces](const boost::system::error_code& E, std::size_t) {
      if (E) return Self->Finish();
      Self->AfterAnswer();
    });
  }

  void AfterAnswer() {
    if (FClosed) return;
    if (!FKeepAlive) return CloseGently();
    ReadRequest();
  }

  // On the worker that ran the call: answers it. Plain HTTP writes at once
  // what the socket takes, without waiting and without a hop through the I/O
  // thread; the strand then writes the rest and reads the next request. Over
  // TLS the strand writes it all.
  void AnswerFromWorker(TOutcome O, const std::string& NewSessionId) {
    if constexpr (IsTls) {
      Post([Self = this->shared_from_this(), NewSessionId, O = std::move(O)]() mutable {
        Self->Answer(std::move(O), NewSessionId);
      });
    } else {
      auto Pieces = std::make_shared<std::vector<std::string>>(Frame(Reply(std::move(O)), NewSessionId));
      std::size_t Sent = 0;
      bool Broken = false;
      {
        std::lock_guard L(FSendLock);
        if (FSocketClosed) return;
        Sent = WriteNow(*Pieces, Broken);
      }
      Post([Self = this->shared_from_this(), Pieces, Sent, Broken] {
        if (Self->FClosed) return;
        if (Broken) return Self->Finish();
        std::size_t Total = 0;
        for (const auto& P : *Pieces) Total += P.size();
        if (Sent == Total) return Self->AfterAnswer();
        Self->WriteRest(Pieces, Sent);
      });
    }
  }

  // Writes what the socket takes without waiting; under FSendLock. Returns the bytes sent.
  std::size_t WriteNow(const std::vector<std::string>& Pieces, bool& Broken) {
    const int Fd = Lowest().socket().native_handle();
    std::size_t Sent = 0;
    for (;;) {
      std::array<iovec, 2 + FrameMaxBlobs> Vec;
      std::size_t Count = 0, Skip = Sent;
      for (const auto& P : Pieces) {
        if (Skip >= P.size()) {
          Skip -= P.size();
          continue;
        }
        if (Count == Vec.size()) break;
        Vec[Count++] = {const_cast<char*>(P.data()) + Skip, P.size() - Skip};
        Skip = 0;
      }
      if (Count == 0) return Sent;
      msghdr Msg{};
      Msg.msg_iov = Vec.data();
      Msg.msg_iovlen = Count;
      const ssize_t N = ::sendmsg(Fd, &Msg, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (N < 0) {
        if (errno == EINTR) continue;
        Broken = errno != EAGAIN && errno != EWOULDBLOCK;
        return Sent;
      }
      Sent += static_cast<std::size_t>(N);
    }
  }

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
    {
      // No worker writes to the socket once this is set.
      std::lock_guard L(FSendLock);
      FSocketClosed = true;
    }
    boost::system::error_code Ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, Ec);
    Lowest().socket().close(Ec);
    FRun.RemoveConnection(this->shared_from_this());
  }

  TRuntime& FRun;  // outlives the connection's handlers (see TRuntime)
  TStream FStream;  // its executor is the connection's strand
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<TRequestBody>> FParser;
  std::string FIp;
  std::uint16_t FPort = 0;
  bool FKeepAlive = true;   // set per request; a worker may update it while the connection waits for its answer
  bool FAcceptRaw = false;  // set per request
  bool FClosed = false;
  std::mutex FSendLock;        // a worker's write against the socket's closing
  bool FSocketClosed = false;  // guarded by FSendLock
};

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

}  // namespace

void StartHttpConnection(TRuntime& Run, tcp::socket Socket) {
  const auto Strand = Socket.get_executor();
  if (Run.Tls) {
    auto Tls = std::make_shared<THttpConnection<beast::ssl_stream<beast::tcp_stream>>>(Run, std::move(Socket), *Run.Tls);
    Run.AddConnection(Tls);
    asio::post(Strand, [Tls] { Tls->Begin(); });
  } else {
    auto Plain = std::make_shared<THttpConnection<beast::tcp_stream>>(Run, std::move(Socket));
    Run.AddConnection(Plain);
    asio::post(Strand, [Plain] { Plain->Begin(); });
  }
}

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

}  // namespace ordex::rpc::detail
