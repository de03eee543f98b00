#include "client/lib/OrdexClient.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "platform/rpc/Frame.h"

namespace ordex::client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

namespace {

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

}  // namespace

struct TOrdexClient::TImpl {
  asio::io_context Io;
  TTransport Transport = TTransport::Tcp;
  std::string Host;
  std::uint16_t Port = 0;
  std::string SessionId;
  std::string User, PasswordMd5, App;
  bool AcceptRaw = false;
  std::int64_t NextId = 1;

  // TCP
  std::unique_ptr<tcp::socket> Socket;
  // HTTP
  std::unique_ptr<beast::tcp_stream> Stream;
  beast::flat_buffer Buffer;

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
    try {
      if (Transport == TTransport::Tcp) {
        Socket = std::make_unique<tcp::socket>(Io);
        asio::connect(*Socket, Endpoints);
        Socket->set_option(tcp::no_delay(true));
      } else {
        Stream = std::make_unique<beast::tcp_stream>(Io);
        Stream->connect(Endpoints);
        Stream->socket().set_option(tcp::no_delay(true));
        Buffer.clear();
      }
    } catch (const std::exception& E) {
      Socket.reset();
      Stream.reset();
      throw EConnectionError("Cannot connect to " + Host + ":" + std::to_string(Port) + ": " + E.what());
    }
  }

  void CloseSocket() {
    boost::system::error_code Ec;
    if (Socket) {
      Socket->shutdown(tcp::socket::shutdown_both, Ec);
      Socket->close(Ec);
    }
    if (Stream) {
      Stream->socket().shutdown(tcp::socket::shutdown_both, Ec);
      Stream->socket().close(Ec);
    }
    Socket.reset();
    Stream.reset();
  }

  // --- TCP

  tcp::socket& TcpSocket() {
    if (Transport != TTransport::Tcp) throw EConnectionError("Not a TCP connection");
    if (!Socket) throw EConnectionError("Not connected");
    return *Socket;
  }

  void WriteFrame(const json& Header, const std::vector<std::string>& Blobs) {
    const std::string Head = rpc::EncodeFrameHead(rpc::DumpJson(Header), Blobs);
    std::vector<asio::const_buffer> Buffers{asio::buffer(Head)};
    for (const auto& B : Blobs) Buffers.push_back(asio::buffer(B));
    try {
      asio::write(TcpSocket(), Buffers);
    } catch (const boost::system::system_error& E) {
      throw EConnectionError(std::string("Connection lost: ") + E.what());
    }
  }

  std::pair<json, std::vector<std::string>> ReadFrame() {
    rpc::TFrameReader Reader(ClientLimits());
    auto& S = TcpSocket();
    try {
      while (!Reader.Done()) {
        const auto Room = Reader.NextBuffer();
        Reader.Commit(S.read_some(asio::buffer(Room.data(), Room.size())));
      }
    } catch (const boost::system::system_error& E) {
      throw EConnectionError(std::string("Connection lost: ") + E.what());
    } catch (const Exception& E) {
      throw EConnectionError(std::string("Bad answer: ") + E.what());
    }
    rpc::TFrame Frame = Reader.Take();
    try {
      return {rpc::ParseHeader(Frame.Header), std::move(Frame.Blobs)};
    } catch (const Exception& E) {
      throw EConnectionError(std::string("Bad answer: ") + E.what());
    }
  }

  // --- HTTP

  http::response<http::string_body> HttpPost(const std::string& Target, std::string Body, const std::string& ContentType,
                                             bool WithCredentials) {
    for (int Attempt = 0;; ++Attempt) {
      if (!Stream) Open();
      http::request<http::string_body> Req{http::verb::post, Target, 11};
      Req.set(http::field::host, Host);
      Req.set(http::field::user_agent, App.empty() ? "ordex" : App);
      Req.set(http::field::content_type, ContentType);
      Req.set(http::field::accept, AcceptRaw ? "application/octet-stream, application/json, application/x-ordex-frame"
                                             : "application/json, application/x-ordex-frame");
      if (!SessionId.empty()) Req.set("X-Ordex-Session", SessionId);
      if (WithCredentials && SessionId.empty())
        Req.set(http::field::authorization, "Basic " + rpc::Base64Encode(User + ":" + PasswordMd5));
      Req.body() = Body;
      Req.prepare_payload();
      try {
        http::write(*Stream, Req);
        http::response_parser<http::string_body> Parser;
        Parser.body_limit(ClientLimits().MaxFrame);
        http::read(*Stream, Buffer, Parser);
        auto Res = Parser.release();
        if (!Res.keep_alive()) CloseSocket();
        return Res;
      } catch (const boost::system::system_error& E) {
        CloseSocket();
        // A kept-alive connection the server closed meanwhile: one fresh try.
        if (Attempt == 0) continue;
        throw EConnectionError(std::string("Connection lost: ") + E.what());
      }
    }
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
  if (FImpl->Transport == TTransport::Http) return;
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

void TOrdexClient::SendRaw(const std::string& Bytes) {
  try {
    asio::write(FImpl->TcpSocket(), asio::buffer(Bytes));
  } catch (const boost::system::system_error& E) {
    throw EConnectionError(std::string("Connection lost: ") + E.what());
  }
}

TCallResult TOrdexClient::Call(const std::string& Class, const std::string& Method, const json& Args,
                               std::vector<std::string> Blobs) {
  if (FImpl->Transport == TTransport::Http) return FImpl->HttpCall(Class, Method, Args, std::move(Blobs));
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
      if (FImpl->Socket) {
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
