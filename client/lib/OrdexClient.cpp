#include "client/lib/OrdexClient.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <climits>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "platform/rpc/Frame.h"

namespace ordex::client {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using TErrorCode = boost::system::error_code;

namespace {

// Socket reads go through a buffer of this size: a small answer arrives in
// one read, a large one in few. Larger parts of a frame are read in place.
constexpr std::size_t ReadBufferSize = 64 * 1024;

// Answers may be as large as the server sends; the client trusts its server
// more than the server trusts clients, but still bounds a frame.
rpc::TFrameLimits ClientLimits() {
  rpc::TFrameLimits L;
  L.MaxHeader = 256ull << 20;
  L.MaxFrame = 4ull << 30;
  return L;
}

std::string Text(const json& J, const char* Key) {
  const auto It = J.find(Key);
  return It != J.end() && It->is_string() ? It->get<std::string>() : std::string();
}

bool IsIpAddress(const std::string& Host) {
  TErrorCode Ec;
  asio::ip::make_address(Host, Ec);
  return !Ec;
}

// A fresh TLS client context: TLS 1.2 or later, the server verified unless
// Insecure. Throws EConnectionError when the CA file cannot be used.
std::unique_ptr<ssl::context> MakeTlsContext(const TClientOptions& O) {
  auto Ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(Ctx->native_handle(), TLS1_2_VERSION);
  Ctx->set_options(ssl::context::default_workarounds | ssl::context::no_compression);
  if (O.Insecure) {
    Ctx->set_verify_mode(ssl::verify_none);
    return Ctx;
  }
  Ctx->set_verify_mode(ssl::verify_peer);
  TErrorCode Ec;
  if (!O.CaFile.empty()) {
    Ctx->load_verify_file(O.CaFile, Ec);
    if (Ec) throw EConnectionError("Cannot use the CA file " + O.CaFile + ": " + Ec.message());
  } else {
    Ctx->set_default_verify_paths(Ec);
    if (Ec) throw EConnectionError("Cannot load the system's trusted certificates: " + Ec.message());
  }
  return Ctx;
}

}  // namespace

struct TOrdexClient::TImpl {
  asio::io_context Io;
  TClientOptions Options;
  TTransport Transport = TTransport::Tcp;
  std::string Host;
  std::uint16_t Port = 0;
  std::string SessionId;
  std::string User, PasswordMd5, App;
  bool AcceptRaw = false;
  std::int64_t NextId = 1;

  // The connection: Plain for TCP and HTTP, Secure for HTTPS (over its own
  // TCP stream, which carries the timeouts of both).
  std::unique_ptr<ssl::context> TlsContext;
  std::unique_ptr<beast::tcp_stream> Plain;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> Secure;
  bool Reused = false;      // HTTP: the connection already carried a request
  beast::flat_buffer Buffer;  // HTTP: bytes read beyond the last answer
  // TCP: bytes read ahead, [StageBegin, StageEnd) not yet taken by a frame.
  std::unique_ptr<char[]> Stage;
  std::size_t StageBegin = 0, StageEnd = 0;

  bool Connected() const noexcept { return Plain || Secure; }
  beast::tcp_stream& Lowest() { return Secure ? beast::get_lowest_layer(*Secure) : *Plain; }
  std::string Where() const { return Host + ":" + std::to_string(Port); }

  // Runs Fn on the open stream, whichever kind it is.
  template <class F>
  decltype(auto) OnStream(F&& Fn) {
    if (Secure) return Fn(*Secure);
    return Fn(*Plain);
  }

  // Starts the asynchronous step Start(Handler) with a deadline Limit from now
  // (none when Limit is not positive) and runs it to its end. The stream closes
  // itself when the deadline passes; the step then ends with error::timeout.
  template <class TStart>
  TErrorCode Run(std::chrono::milliseconds Limit, TStart&& Start, std::size_t* Count = nullptr) {
    if (Limit.count() > 0)
      Lowest().expires_after(Limit);
    else
      Lowest().expires_never();
    TErrorCode Result = asio::error::would_block;
    Start([&Result, Count](const TErrorCode& Ec, std::size_t N = 0) {
      Result = Ec;
      if (Count) *Count = N;
    });
    Io.restart();
    Io.run();
    return Result;
  }

  // The text of a failed step, with OpenSSL's reason for TLS failures.
  std::string Describe(const TErrorCode& Ec) {
    if (Ec == beast::error::timeout) return "timed out";
    std::string Text = Ec.message();
    if (Ec.category() == asio::error::get_ssl_category() && Secure) {
      const long Verify = SSL_get_verify_result(Secure->native_handle());
      if (Verify != X509_V_OK) Text += std::string(" (") + X509_verify_cert_error_string(Verify) + ")";
    }
    return Text;
  }
  [[noreturn]] void Fail(const std::string& What, const TErrorCode& Ec) {
    const std::string Text = What + " " + Where() + ": " + Describe(Ec);
    CloseSocket();
    throw EConnectionError(Text);
  }

  tcp::resolver::results_type Resolve() {
    try {
      tcp::resolver Resolver(Io);
      return Resolver.resolve(Host, std::to_string(Port));
    } catch (const std::exception& E) {
      throw EConnectionError("Cannot resolve " + Host + ": " + E.what());
    }
  }

  void Open() {
    const auto Endpoints = Resolve();
    Buffer.clear();
    StageBegin = StageEnd = 0;
    // Beast sizes each read by the buffer's spare room.
    if (Transport != TTransport::Tcp) Buffer.reserve(ReadBufferSize);
    Reused = false;
    if (Transport == TTransport::Https) {
      if (!TlsContext) TlsContext = MakeTlsContext(Options);
      Secure = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(Io, *TlsContext);
    } else {
      Plain = std::make_unique<beast::tcp_stream>(Io);
    }
    const TErrorCode Ec = Run(Options.ConnectTimeout, [&](auto Done) {
      Lowest().async_connect(Endpoints, [Done](const TErrorCode& E, const tcp::endpoint&) mutable { Done(E); });
    });
    if (Ec) Fail("Cannot connect to", Ec);
    TErrorCode Ignored;
    Lowest().socket().set_option(tcp::no_delay(true), Ignored);
    if (Secure) Handshake();
  }

  // TLS: names the server (SNI), asks for its name in the certificate, shakes hands.
  void Handshake() {
    SSL* Ssl = Secure->native_handle();
    const std::string Name = Options.ServerName.empty() ? Host : Options.ServerName;
    const bool Ip = IsIpAddress(Name);
    if (!Ip) SSL_set_tlsext_host_name(Ssl, Name.c_str());
    if (!Options.Insecure) {
      SSL_set_hostflags(Ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      const int Ok = Ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl), Name.c_str())
                        : SSL_set1_host(Ssl, Name.c_str());
      if (Ok != 1) {
        CloseSocket();
        throw EConnectionError("Cannot verify the server name " + Name);
      }
    }
    const TErrorCode Ec = Run(Options.ConnectTimeout, [&](auto Done) {
      Secure->async_handshake(ssl::stream_base::client, [Done](const TErrorCode& E) mutable { Done(E); });
    });
    if (Ec) Fail("TLS handshake with", Ec);
  }

  void CloseSocket() {
    TErrorCode Ec;
    if (Connected()) {
      Lowest().socket().shutdown(tcp::socket::shutdown_both, Ec);
      Lowest().socket().close(Ec);
    }
    Plain.reset();
    Secure.reset();
    StageBegin = StageEnd = 0;
  }

  // --- TCP

  beast::tcp_stream& TcpStream() {
    if (Transport != TTransport::Tcp) throw EConnectionError("Not a TCP connection");
    if (!Plain) throw EConnectionError("Not connected");
    return *Plain;
  }

  // TCP: waits until the socket is ready for Events, at most Limit (no limit
  // when not positive). The TCP path talks to the socket directly: a call is
  // a send, a wait and a read, with no event loop in between.
  static TErrorCode PollFor(int Fd, short Events, std::chrono::milliseconds Limit) {
    pollfd P{Fd, Events, 0};
    const int Timeout = Limit.count() > 0 ? static_cast<int>(std::min<std::int64_t>(Limit.count(), INT_MAX)) : -1;
    for (;;) {
      const int R = ::poll(&P, 1, Timeout);
      if (R > 0) return {};
      if (R == 0) return beast::error::timeout;
      if (errno != EINTR) return TErrorCode(errno, boost::system::system_category());
    }
  }

  // Writes every buffer; each piece that leaves restarts the write deadline.
  void WriteAll(std::vector<asio::const_buffer> Buffers) {
    const int Fd = TcpStream().socket().native_handle();
    beast::buffers_suffix<std::vector<asio::const_buffer>> Left(std::move(Buffers));
    while (beast::buffer_bytes(Left) > 0) {
      std::array<iovec, 1 + rpc::FrameMaxBlobs> Vec;
      std::size_t Count = 0;
      for (const auto B : beast::buffers_range_ref(Left)) {
        if (Count == Vec.size()) break;
        if (B.size() > 0) Vec[Count++] = {const_cast<void*>(B.data()), B.size()};
      }
      msghdr Msg{};
      Msg.msg_iov = Vec.data();
      Msg.msg_iovlen = Count;
      const ssize_t N = ::sendmsg(Fd, &Msg, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (N >= 0) {
        Left.consume(static_cast<std::size_t>(N));
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        Fail("Connection lost writing to", TErrorCode(errno, boost::system::system_category()));
      if (const TErrorCode Ec = PollFor(Fd, POLLOUT, Options.WriteTimeout)) Fail("Connection lost writing to", Ec);
    }
  }

  // Reads what has arrived (at least one byte) into Data, waiting at most the read timeout.
  std::size_t ReadSome(char* Data, std::size_t Size) {
    const int Fd = TcpStream().socket().native_handle();
    for (;;) {
      // Answers need a round trip: wait first, then read.
      if (const TErrorCode Ec = PollFor(Fd, POLLIN, Options.ReadTimeout)) Fail("Connection lost reading from", Ec);
      const ssize_t N = ::recv(Fd, Data, Size, MSG_DONTWAIT);
      if (N > 0) return static_cast<std::size_t>(N);
      if (N == 0) Fail("Connection lost reading from", asio::error::eof);
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
        Fail("Connection lost reading from", TErrorCode(errno, boost::system::system_category()));
    }
  }

  void WriteFrame(const json& Header, const std::vector<std::string>& Blobs) {
    const std::string Head = rpc::EncodeFrameHead(rpc::DumpJson(Header), Blobs);
    std::vector<asio::const_buffer> Buffers{asio::buffer(Head)};
    for (const auto& B : Blobs) Buffers.push_back(asio::buffer(B));
    WriteAll(std::move(Buffers));
  }

  std::pair<json, std::vector<std::string>> ReadFrame() {
    rpc::TFrameReader Reader(ClientLimits());
    TcpStream();  // throws when not connected over TCP
    try {
      while (!Reader.Done()) {
        if (StageBegin < StageEnd) {
          // Bytes read ahead; those beyond this frame stay for the next one.
          StageBegin += Reader.Feed(Stage.get() + StageBegin, StageEnd - StageBegin);
          if (StageBegin == StageEnd) StageBegin = StageEnd = 0;
          continue;
        }
        const auto Room = Reader.NextBuffer();
        if (Room.size() >= ReadBufferSize) {
          Reader.Commit(ReadSome(Room.data(), Room.size()));
          continue;
        }
        if (!Stage) Stage = std::make_unique<char[]>(ReadBufferSize);
        StageEnd = ReadSome(Stage.get(), ReadBufferSize);
        StageBegin = 0;
      }
    } catch (const EConnectionError&) {
      throw;
    } catch (const Exception& E) {
      CloseSocket();
      throw EConnectionError(std::string("Bad answer: ") + E.what());
    }
    rpc::TFrame Frame = Reader.Take();
    try {
      return {rpc::ParseHeader(Frame.Header), std::move(Frame.Blobs)};
    } catch (const Exception& E) {
      throw EConnectionError(std::string("Bad answer: ") + E.what());
    }
  }

  // --- HTTP and HTTPS

  bool IsHttp() const noexcept { return Transport != TTransport::Tcp; }

  // One request and its answer. A kept-alive connection that the server had
  // closed meanwhile fails before any answer byte: that one is retried once on
  // a fresh connection. Anything else (a timeout, a TLS failure, a broken
  // answer) is not retried, since the server may have run the call already.
  http::response<http::string_body> HttpPost(const std::string& Target, std::string Body, const std::string& ContentType,
                                             bool WithCredentials) {
    http::request<http::string_body> Req{http::verb::post, Target, 11};
    Req.set(http::field::host, Host);
    Req.set(http::field::user_agent, App.empty() ? "ordex" : App);
    Req.set(http::field::content_type, ContentType);
    Req.set(http::field::accept, AcceptRaw ? "application/octet-stream, application/json, application/x-ordex-frame"
                                           : "application/json, application/x-ordex-frame");
    if (!SessionId.empty()) Req.set("X-Ordex-Session", SessionId);
    if (WithCredentials && SessionId.empty())
      Req.set(http::field::authorization, "Basic " + rpc::Base64Encode(User + ":" + PasswordMd5));
    Req.body() = std::move(Body);
    Req.prepare_payload();
    for (int Attempt = 0;; ++Attempt) {
      if (!Connected()) Open();
      const bool WasReused = Reused;
      Reused = true;
      bool AnswerStarted = false;
      TErrorCode Ec = HttpExchange(Req, AnswerStarted);
      if (!Ec) {
        auto Res = FParser->release();
        FParser.reset();
        if (!Res.keep_alive()) CloseSocket();
        return Res;
      }
      FParser.reset();
      const bool Stale = WasReused && !AnswerStarted && Ec != beast::error::timeout &&
                         Ec.category() != asio::error::get_ssl_category();
      if (Attempt == 0 && Stale) {
        CloseSocket();
        continue;
      }
      Fail("Connection lost with", Ec);
    }
  }

  std::optional<http::response_parser<http::string_body>> FParser;

  // Writes Req and reads the answer into FParser, step by step so that each
  // step gets its own deadline.
  TErrorCode HttpExchange(http::request<http::string_body>& Req, bool& AnswerStarted) {
    http::request_serializer<http::string_body> Sr(Req);
    while (!Sr.is_done()) {
      const TErrorCode Ec = Run(Options.WriteTimeout, [&](auto Done) {
        OnStream([&](auto& S) { http::async_write_some(S, Sr, Done); });
      });
      if (Ec) return Ec;
    }
    FParser.emplace();
    FParser->body_limit(ClientLimits().MaxFrame);
    while (!FParser->is_done()) {
      std::size_t N = 0;
      const TErrorCode Ec = Run(Options.ReadTimeout, [&](auto Done) {
        OnStream([&](auto& S) { http::async_read_some(S, Buffer, *FParser, Done); });
      }, &N);
      if (N > 0 || FParser->got_some()) AnswerStarted = true;
      if (Ec) return Ec;
    }
    return {};
  }

  TCallResult HttpCall(const std::string& Class, const std::string& Method, const json& Args,
                       std::vector<std::string> Blobs) {
    const json Header = {{"args", Args}};
    std::string Body, Type;
    if (Blobs.empty()) {
      Body = rpc::DumpJson(Header);
      Type = "application/json";
    } else {
      Body = rpc::EncodeFrame(rpc::DumpJson(Header), Blobs);
      Type = "application/x-ordex-frame";
    }
    const bool Fresh = SessionId.empty();
    auto Res = HttpPost("/ordex/v1/" + Class + "/" + Method, std::move(Body), Type, true);
    if (const auto Id = Res["X-Ordex-Session"]; !Id.empty()) SessionId = std::string(Id);
    const std::string ResType(Res[http::field::content_type]);
    if (Res.result_int() != 200) {
      json Err;
      try {
        Err = rpc::ParseHeader(Res.body());
      } catch (const Exception&) {
        Err = json::object();
      }
      const std::string Message = Err.contains("error") ? Text(Err, "error") : Res.body();
      if (Res.result_int() == 401 && Fresh) throw ELoginError(Message, Text(Err, "type"), 401);
      throw ERemoteError(Message, Text(Err, "type"), static_cast<int>(Res.result_int()));
    }
    TCallResult Out;
    try {
      if (ResType.rfind("application/octet-stream", 0) == 0) {
        Out.Values = {{"ReturnValue", {{"$blob", 0}}}};
        Out.Blobs.push_back(std::move(Res.body()));
      } else if (ResType.rfind("application/x-ordex-frame", 0) == 0) {
        rpc::TFrame Frame = rpc::DecodeFrame(Res.body(), ClientLimits());
        Out.Values = rpc::ParseHeader(Frame.Header).value("values", json::object());
        Out.Blobs = std::move(Frame.Blobs);
      } else {
        Out.Values = rpc::ParseHeader(Res.body()).value("values", json::object());
      }
    } catch (const Exception& E) {
      throw EConnectionError(std::string("Bad answer: ") + E.what());
    }
    return Out;
  }
};

TOrdexClient::TOrdexClient() : FImpl(std::make_unique<TImpl>()) {}
TOrdexClient::~TOrdexClient() { FImpl->CloseSocket(); }

void TOrdexClient::SetOptions(TClientOptions Options) {
  FImpl->Options = std::move(Options);
  FImpl->TlsContext.reset();  // made again from the new options at the next connect
}
const TClientOptions& TOrdexClient::Options() const noexcept { return FImpl->Options; }

void TOrdexClient::Connect(const std::string& Host, std::uint16_t Port, TTransport Transport) {
  FImpl->CloseSocket();
  FImpl->Host = Host;
  FImpl->Port = Port;
  FImpl->Transport = Transport;
  FImpl->SessionId.clear();
  FImpl->Open();
}

void TOrdexClient::Login(const std::string& User, const std::string& PasswordMd5, const std::string& AppName) {
  FImpl->User = User;
  FImpl->PasswordMd5 = PasswordMd5;
  FImpl->App = AppName;
  if (FImpl->IsHttp()) return;
  FImpl->WriteFrame({{"op", "login"}, {"user", User}, {"password", PasswordMd5}, {"app", AppName}}, {});
  const auto [Header, Blobs] = FImpl->ReadFrame();
  if (Header.value("ok", false) != true) {
    FImpl->CloseSocket();
    throw ELoginError(Text(Header, "error"), "EAuthError");
  }
  FImpl->SessionId = Text(Header, "session");
}

std::int64_t TOrdexClient::Send(const std::string& Class, const std::string& Method, const json& Args,
                                std::vector<std::string> Blobs) {
  const std::int64_t Id = FImpl->NextId++;
  FImpl->WriteFrame({{"op", "call"}, {"id", Id}, {"class", Class}, {"method", Method}, {"args", Args}}, Blobs);
  return Id;
}

TReply TOrdexClient::Receive() {
  auto [Header, Blobs] = FImpl->ReadFrame();
  TReply R;
  if (const auto It = Header.find("id"); It != Header.end() && It->is_number_integer()) R.Id = It->get<std::int64_t>();
  R.Ok = Text(Header, "op") == "result";
  if (R.Ok) {
    R.Result.Values = Header.value("values", json::object());
    R.Result.Blobs = std::move(Blobs);
  } else {
    R.Error = Text(Header, "error");
    R.Type = Text(Header, "type");
  }
  R.Header = std::move(Header);
  return R;
}

void TOrdexClient::SendRaw(const std::string& Bytes) { FImpl->WriteAll({asio::buffer(Bytes)}); }

TCallResult TOrdexClient::Call(const std::string& Class, const std::string& Method, const json& Args,
                               std::vector<std::string> Blobs) {
  if (FImpl->IsHttp()) return FImpl->HttpCall(Class, Method, Args, std::move(Blobs));
  const std::int64_t Id = Send(Class, Method, Args, std::move(Blobs));
  TReply R = Receive();
  if (R.Id != Id) {
    FImpl->CloseSocket();
    throw EConnectionError(R.Error.empty() ? "Answer to another call" : R.Error);
  }
  if (!R.Ok) throw ERemoteError(R.Error, R.Type);
  return std::move(R.Result);
}

void TOrdexClient::Logout() {
  try {
    if (FImpl->Transport == TTransport::Tcp) {
      if (FImpl->Plain) {
        FImpl->WriteFrame({{"op", "logout"}}, {});
        FImpl->ReadFrame();
      }
    } else if (!FImpl->SessionId.empty()) {
      FImpl->HttpPost("/ordex/v1/logout", {}, "application/json", false);
    }
  } catch (const Exception&) {
    // Deliberately ignored: the session ends with the connection anyway.
  }
  FImpl->SessionId.clear();
  FImpl->CloseSocket();
}

void TOrdexClient::Close() { FImpl->CloseSocket(); }

const std::string& TOrdexClient::SessionId() const noexcept { return FImpl->SessionId; }
void TOrdexClient::SetAcceptOctetStream(bool Accept) { FImpl->AcceptRaw = Accept; }

}  // namespace ordex::client
