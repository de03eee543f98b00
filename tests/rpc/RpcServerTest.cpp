// The remote-call server end to end, through the client library: an echo
// class over TCP and HTTP, login and sessions, limits, connection events.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <mutex>
#include <thread>

#include "client/lib/OrdexClient.h"
#include "common/qxError.h"
#include "platform/rpc/RpcServer.h"
#include "tests/support/WaitFor.h"

namespace ordex::rpc {
namespace {

using client::ERemoteError;
using client::TOrdexClient;
using client::TTransport;
using nlohmann::json;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace http = boost::beast::http;

const std::string Refusal = "Ошибка авторизации.\rЛогин или пароль не верны!";

using test::WaitFor;

// What the echo instances and the listeners saw.
struct TLog {
  std::atomic<int> Made{0}, Destroyed{0};
  std::mutex Lock;
  std::vector<std::string> Events;  // "Created <id>" / "Closed <id>"
  std::vector<std::string> Connections;
  TConnectionPtr LastConnection;

  void Add(std::string E) {
    std::lock_guard L(Lock);
    Events.push_back(std::move(E));
  }
  bool Has(const std::string& E) {
    std::lock_guard L(Lock);
    return std::find(Events.begin(), Events.end(), E) != Events.end();
  }
};

class TEcho {
 public:
  explicit TEcho(TLog& Log) : FLog(Log) { ++FLog.Made; }
  ~TEcho() { ++FLog.Destroyed; }
  std::int64_t Count = 0;

 private:
  TLog& FLog;
};

std::shared_ptr<TRpcClass> MakeEchoClass(TLog& Log) {
  using T = TRpcType;
  auto C = std::make_shared<TRpcClassOf<TEcho>>("TEcho", [&Log] { return std::make_unique<TEcho>(Log); });
  C->Method("Echo", {In("S", T::Text)}, T::Text, [](TEcho&, TCall& C) { C.Return(C.Text("S")); });
  C->Method("Mix",
            {In("I", T::Int32), In("L", T::Int64), In("F", T::Float), In("B", T::Boolean), In("D", T::DateTime),
             Var("Count", T::Int32), Out("Sum", T::Float), Out("Later", T::DateTime), Out("Not", T::Boolean)},
            T::Text, [](TEcho&, TCall& C) {
              C.Set("Count", C.Int32("Count") + 1);
              C.Set("Sum", C.Int32("I") + static_cast<double>(C.Int64("L")) + C.Float("F"));
              C.Set("Later", TRpcDateTime{C.DateTime("D") + 1.5});
              C.Set("Not", !C.Boolean("B"));
              C.Return(std::to_string(C.Int64("L")));
            });
  C->Method("Streams", {In("Data", T::Stream), Var("Extra", T::Stream), Out("Joined", T::Stream)}, T::Stream,
            [](TEcho&, TCall& C) {
              const auto Data = C.Stream("Data");
              const auto Extra = C.Stream("Extra");
              C.SetStream("Joined", Data.value_or("") + Extra.value_or(""));
              C.ReturnStream(Data);
            });
  C->Method("Fail", {In("Message", T::Text)}, [](TEcho&, TCall& C) { throw EDatabaseError(C.Text("Message")); });
  C->Method("Sleep", {In("Ms", T::Int32), In("Tag", T::Text)}, T::Text, [](TEcho&, TCall& C) {
    std::this_thread::sleep_for(std::chrono::milliseconds(C.Int32("Ms")));
    C.Return(C.Text("Tag"));
  });
  C->Method("Count", {}, T::Int64, [](TEcho& Self, TCall& C) { C.Return(++Self.Count); });
  C->Method("Who", {}, T::Text, [](TEcho&, TCall& C) {
    const TSession* S = CurrentSession();
    C.Return(S && S == &C.Session() ? S->Id() + "/" + S->User() + "/" + S->Protocol() : std::string("none"));
  });
  return C;
}

class RpcServer : public ::testing::Test {
 protected:
  void SetUp() override {
    TRpcServerSettings S;
    S.Address = "127.0.0.1";
    S.Workers = 4;
    S.HeaderTimeout = 400ms;
    S.HttpIdleTimeout = 400ms;
    S.Limits.MaxHeader = 64 * 1024;
    S.Limits.MaxFrame = 4 * 1024 * 1024;
    Server = std::make_unique<TRpcServer>(S);
    Server->RegisterClass(MakeEchoClass(Log));
    Server->SetTcpPort(0);
    Server->AttachHttp(0);
    Server->SetAuthenticate([](const std::string& Protocol, const std::string& User, const std::string& Password,
                               TSession& S) {
      if (CurrentSession() != &S) throw EAuthError("no current session");
      if (User == "bad" || Password.empty()) throw EAuthError(Refusal);
      if (Protocol != "tcp/ip" && Protocol != "http") throw EAuthError("protocol " + Protocol);
    });
    Server->AddSessionListener([this](TSessionEvent E, TSession& S) {
      Log.Add((E == TSessionEvent::Created ? "Created " : "Closed ") + S.Id());
    });
    Server->SetOnConnect([this](TConnectionPtr C, TChannel& Ch) {
      std::lock_guard L(Log.Lock);
      Log.Connections.push_back("+" + Ch.ClientInfo().IpAddress);
      Log.LastConnection = C;
    });
    Server->SetOnDisconnect([this](TConnectionPtr) {
      std::lock_guard L(Log.Lock);
      Log.Connections.push_back("-");
    });
    Server->Start();
  }
  void TearDown() override { Server->Stop(); }

  std::unique_ptr<TOrdexClient> Connect(TTransport T = TTransport::Tcp, const std::string& User = "ivan") {
    auto C = std::make_unique<TOrdexClient>();
    C->Connect("127.0.0.1", T == TTransport::Tcp ? Server->BoundTcpPort() : Server->BoundHttpPort(), T);
    C->Login(User, "0123456789abcdef0123456789abcdef", "tests");
    return C;
  }

  // One raw HTTP exchange on a fresh connection.
  http::response<http::string_body> HttpRaw(http::verb Verb, const std::string& Target, const std::string& Body,
                                            std::vector<std::pair<std::string, std::string>> Headers = {}) {
    asio::io_context Io;
    asio::ip::tcp::socket Socket(Io);
    Socket.connect({asio::ip::make_address("127.0.0.1"), Server->BoundHttpPort()});
    http::request<http::string_body> Req{Verb, Target, 11};
    Req.set(http::field::host, "localhost");
    for (const auto& [K, V] : Headers) Req.set(K, V);
    Req.body() = Body;
    Req.prepare_payload();
    http::write(Socket, Req);
    boost::beast::flat_buffer Buffer;
    http::response<http::string_body> Res;
    http::read(Socket, Buffer, Res);
    return Res;
  }
  static std::string Basic(const std::string& User) {
    return "Basic " + Base64Encode(User + ":0123456789abcdef0123456789abcdef");
  }

  TLog Log;
  std::unique_ptr<TRpcServer> Server;
};

TEST_F(RpcServer, CallsByPositionAndByNameWithEveryType) {
  for (const auto T : {TTransport::Tcp, TTransport::Http}) {
    SCOPED_TRACE(T == TTransport::Tcp ? "tcp" : "http");
    auto C = Connect(T);
    EXPECT_EQ(C->Call("TEcho", "Echo", json::array({"привет"})).Values, json({{"ReturnValue", "привет"}}));
    EXPECT_EQ(C->Call("TEcho", "Echo", json{{"S", "x"}}).Values["ReturnValue"], "x");

    const json Args = {{"I", -5}, {"L", 9000000000LL}, {"F", 0.5}, {"B", true}, {"D", "2024-02-28T12:00:00.250"},
                       {"Count", 41}};
    const json V = C->Call("TEcho", "Mix", Args).Values;
    EXPECT_EQ(V, json({{"ReturnValue", "9000000000"},
                       {"Count", 42},
                       {"Sum", 8999999995.5},
                       {"Later", "2024-03-01T00:00:00.250"},
                       {"Not", false}}));

    const auto R = C->Call("TEcho", "Streams", json::array({{{"$blob", 1}}, {{"$blob", 0}}}), {"tail", "head-"});
    ASSERT_EQ(R.Blobs.size(), 2u);
    EXPECT_EQ(R.Values, json({{"ReturnValue", {{"$blob", 0}}}, {"Joined", {{"$blob", 1}}}}));  // var stream not sent back
    EXPECT_EQ(R.Blobs[0], "head-");
    EXPECT_EQ(R.Blobs[1], "head-tail");
    const auto Null = C->Call("TEcho", "Streams", json::array({nullptr, nullptr}));
    EXPECT_EQ(Null.Values["ReturnValue"], nullptr);
    EXPECT_EQ(C->Call("TEcho", "Who").Values["ReturnValue"], C->SessionId() + "/ivan/" + (T == TTransport::Tcp ? "tcp/ip" : "http"));
  }
}

TEST_F(RpcServer, BadCallsAnswerErrorsAndTheSessionGoesOn) {
  for (const auto T : {TTransport::Tcp, TTransport::Http}) {
    SCOPED_TRACE(T == TTransport::Tcp ? "tcp" : "http");
    auto C = Connect(T);
    const struct {
      const char* Class;
      const char* Method;
      json Args;
      const char* Type;
      const char* Part;
      int Status;
    } Cases[] = {
        {"TEcho", "Echo", json::array(), "EArgumentError", "takes 1", 400},
        {"TEcho", "Echo", json::object(), "EArgumentError", "\"S\": missing", 400},
        {"TEcho", "Echo", json{{"s", "x"}}, "EArgumentError", "\"s\"", 400},
        {"TEcho", "Echo", json::array({5}), "EArgumentError", "\"S\"", 400},
        {"TEcho", "Sleep", json::array({2147483648LL, "t"}), "EArgumentError", "\"Ms\"", 400},
        {"TEcho", "Mix", json{{"I", 1}, {"L", 1}, {"F", 1}, {"B", true}, {"D", "yesterday"}, {"Count", 0}},
         "EArgumentError", "\"D\"", 400},
        {"TEcho", "Streams", json::array({{{"$blob", 3}}, nullptr}), "EArgumentError", "\"Data\"", 400},
        {"TEcho", "Fail", json::array({"Нет доступа\rк папке"}), "EDatabaseError", "Нет доступа\rк папке", 500},
        {"TEcho", "Nope", json::array(), "EArgumentError", "Unknown method", 404},
        {"TNope", "Echo", json::array(), "EArgumentError", "Unknown class", 404},
    };
    for (const auto& K : Cases) {
      SCOPED_TRACE(std::string(K.Method) + " " + K.Args.dump());
      try {
        C->Call(K.Class, K.Method, K.Args);
        ADD_FAILURE() << "no error";
      } catch (const ERemoteError& E) {
        EXPECT_EQ(E.RemoteType(), K.Type);
        EXPECT_NE(std::string(E.what()).find(K.Part), std::string::npos) << E.what();
        if (T == TTransport::Http) {
          EXPECT_EQ(E.HttpStatus(), K.Status);
        }
      }
    }
    EXPECT_EQ(C->Call("TEcho", "Count").Values["ReturnValue"], 1);
  }
}

TEST_F(RpcServer, RefusedLoginTextArrivesExactly) {
  for (const auto T : {TTransport::Tcp, TTransport::Http}) {
    TOrdexClient C;
    C.Connect("127.0.0.1", T == TTransport::Tcp ? Server->BoundTcpPort() : Server->BoundHttpPort(), T);
    try {
      C.Login("bad", "x", "tests");
      C.Call("TEcho", "Echo", json::array({"x"}));
      ADD_FAILURE() << "login accepted";
    } catch (const client::ELoginError& E) {
      EXPECT_EQ(std::string(E.what()), Refusal);
    }
  }
  EXPECT_TRUE(Server->Sessions().empty());
  std::lock_guard L(Log.Lock);
  EXPECT_TRUE(Log.Events.empty());  // refused logins make no sessions
}

TEST_F(RpcServer, TcpCallBeforeLoginIsRefusedAndClosed) {
  TOrdexClient C;
  C.Connect("127.0.0.1", Server->BoundTcpPort());
  C.Send("TEcho", "Echo", json::array({"x"}));
  const auto R = C.Receive();
  EXPECT_EQ(R.Header["op"], "login");
  EXPECT_EQ(R.Header["ok"], false);
  EXPECT_THROW(C.Receive(), client::EConnectionError);
}

TEST_F(RpcServer, PipelinedCallsAreAnsweredInOrder) {
  auto C = Connect();
  std::vector<std::int64_t> Ids;
  for (int I = 0; I < 30; ++I) Ids.push_back(C->Send("TEcho", "Sleep", json::array({(I * 7) % 5, std::to_string(I)})));
  for (int I = 0; I < 30; ++I) {
    const auto R = C->Receive();
    ASSERT_TRUE(R.Ok) << R.Error;
    EXPECT_EQ(R.Id, Ids[I]);
    EXPECT_EQ(R.Result.Values["ReturnValue"], std::to_string(I));
  }
}

// Answers larger than the socket takes at once wait for the client, and the
// small answers behind them keep their order; later answers go out as usual.
TEST_F(RpcServer, LargeAnswersQueueBehindTheSocketInOrder) {
  auto C = Connect();
  const std::string Big(3 << 20, 'b');
  for (int Round = 0; Round < 2; ++Round) {
    SCOPED_TRACE(Round);
    const auto BigId = C->Send("TEcho", "Streams", json::array({{{"$blob", 0}}, {{"$blob", 1}}}), {Big, "+"});
    std::vector<std::int64_t> Ids;
    for (int I = 0; I < 20; ++I) Ids.push_back(C->Send("TEcho", "Echo", json::array({std::to_string(I)})));
    std::this_thread::sleep_for(100ms);  // the server meets a full socket buffer meanwhile
    const auto R = C->Receive();
    ASSERT_TRUE(R.Ok) << R.Error;
    EXPECT_EQ(R.Id, BigId);
    ASSERT_EQ(R.Result.Blobs.size(), 2u);
    EXPECT_TRUE(R.Result.Blobs[0] == Big);
    EXPECT_TRUE(R.Result.Blobs[1] == Big + "+");
    for (int I = 0; I < 20; ++I) {
      const auto E = C->Receive();
      ASSERT_TRUE(E.Ok) << E.Error;
      EXPECT_EQ(E.Id, Ids[I]);
      EXPECT_EQ(E.Result.Values["ReturnValue"], std::to_string(I));
    }
  }
  EXPECT_EQ(C->Call("TEcho", "Echo", json::array({"after"})).Values["ReturnValue"], "after");
}

// Over HTTP a large request body goes through the frame reader and a large
// answer leaves partly from the worker, the rest from the connection.
TEST_F(RpcServer, LargeStreamsRoundTripOverHttp) {
  auto C = std::make_unique<TOrdexClient>();
  client::TClientOptions O;
  O.ReadTimeout = 5s;
  C->SetOptions(O);
  C->Connect("127.0.0.1", Server->BoundHttpPort(), TTransport::Http);
  C->Login("ivan", "0123456789abcdef0123456789abcdef", "tests");
  std::string Big(3 << 20, '\0');
  for (std::size_t I = 0; I < Big.size(); ++I) Big[I] = static_cast<char>(I * 131 % 251);
  for (int Round = 0; Round < 2; ++Round) {
    const auto R = C->Call("TEcho", "Streams", json::array({{{"$blob", 0}}, {{"$blob", 1}}}), {Big, "+"});
    ASSERT_EQ(R.Blobs.size(), 2u);
    EXPECT_TRUE(R.Blobs[0] == Big);
    EXPECT_TRUE(R.Blobs[1] == Big + "+");
  }
  EXPECT_EQ(C->Call("TEcho", "Echo", json::array({"after"})).Values["ReturnValue"], "after");
}

// A result with more streams than a frame can carry fails that call with a
// clear error; the connection and session go on.
TEST_F(RpcServer, AnAnswerTooLargeToFrameFailsOnlyItsCall) {
  struct TWide {};
  auto Wide = std::make_shared<TRpcClassOf<TWide>>("TWide");
  std::vector<TRpcParam> Outs;
  for (int I = 0; I <= 64; ++I) Outs.push_back(Out("S" + std::to_string(I), TRpcType::Stream));
  Wide->Method("Many", Outs, [](TWide&, TCall& C) {
    for (int I = 0; I <= 64; ++I) C.SetStream("S" + std::to_string(I), std::string("x"));
  });
  Server->RegisterClass(Wide);
  for (const auto T : {TTransport::Tcp, TTransport::Http}) {
    SCOPED_TRACE(T == TTransport::Tcp ? "tcp" : "http");
    auto C = Connect(T);
    try {
      C->Call("TWide", "Many");
      ADD_FAILURE() << "no error";
    } catch (const ERemoteError& E) {
      EXPECT_STREQ(E.what(), "A frame carries at most 64 blobs");
      EXPECT_EQ(E.RemoteType(), "EArgumentError");
    }
    EXPECT_EQ(C->Call("TEcho", "Echo", json::array({"still"})).Values["ReturnValue"], "still");
  }
}

TEST_F(RpcServer, HttpSessionKeepsOrderAcrossConnections) {
  auto First = Connect(TTransport::Http);
  EXPECT_EQ(First->Call("TEcho", "Count").Values["ReturnValue"], 1);
  const std::string Id = First->SessionId();
  ASSERT_EQ(Id.size(), 32u);
  // A slow call on one connection, a quick one on another: the session's
  // queue runs them in arrival order.
  std::thread Slow([&] { First->Call("TEcho", "Sleep", json::array({200, "slow"})); });
  std::this_thread::sleep_for(50ms);
  const auto Res = HttpRaw(http::verb::post, "/ordex/v1/TEcho/Count", "", {{"X-Ordex-Session", Id}});
  Slow.join();
  EXPECT_EQ(Res.result_int(), 200u);
  EXPECT_EQ(json::parse(Res.body())["values"]["ReturnValue"], 2);
}

TEST_F(RpcServer, HttpRoutesAndBodies) {
  const auto Login = Basic("ivan");
  const auto Json = std::pair<std::string, std::string>{"Content-Type", "application/json"};
  auto Res = HttpRaw(http::verb::post, "/ordex/v1/TEcho/Echo", R"({"args":["a"]})", {Json, {"Authorization", Login}});
  EXPECT_EQ(Res.result_int(), 200u);
  EXPECT_EQ(json::parse(Res.body()), json({{"values", {{"ReturnValue", "a"}}}}));
  const std::string Id(Res["X-Ordex-Session"]);
  EXPECT_EQ(Id.size(), 32u);

  const struct {
    http::verb Verb;
    const char* Target;
    const char* Body;
    bool WithSession;
    unsigned Status;
  } Cases[] = {
      {http::verb::post, "/ordex/v1/TEcho/Echo", R"({"args":)", true, 400},
      {http::verb::post, "/ordex/v1/TEcho/Echo", R"([1])", true, 400},
      {http::verb::post, "/ordex/v1/TEcho/Echo", "", true, 400},
      {http::verb::post, "/ordex/v1/TEcho", "", true, 404},
      {http::verb::post, "/other", "", true, 404},
      {http::verb::post, "/ordex/v1/TEcho/Nope", "", true, 404},
      {http::verb::get, "/ordex/v1/TEcho/Echo", "", true, 405},
      {http::verb::post, "/ordex/v1/TEcho/Echo", R"({"args":["a"]})", false, 401},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(std::string(K.Target) + " " + K.Body);
    std::vector<std::pair<std::string, std::string>> H = {Json};
    if (K.WithSession) H.emplace_back("X-Ordex-Session", Id);
    const auto R = HttpRaw(K.Verb, K.Target, K.Body, H);
    EXPECT_EQ(R.result_int(), K.Status);
    const auto Body = json::parse(R.body());
    EXPECT_TRUE(Body.contains("error") && Body.contains("type")) << R.body();
  }

  // A stream result alone comes as bare bytes when asked for.
  const std::string Frame = EncodeFrame(R"({"args":{"Data":{"$blob":0},"Extra":null}})", {"raw bytes"});
  Res = HttpRaw(http::verb::post, "/ordex/v1/TEcho/Streams", Frame,
                {{"Content-Type", "application/x-ordex-frame"}, {"X-Ordex-Session", Id}});
  EXPECT_EQ(std::string(Res[http::field::content_type]), "application/x-ordex-frame");  // two streams: a frame
  const TFrame Answer = DecodeFrame(Res.body());
  EXPECT_EQ(json::parse(Answer.Header)["values"]["Joined"], json({{"$blob", 1}}));
  EXPECT_EQ(Answer.Blobs, (std::vector<std::string>{"raw bytes", "raw bytes"}));

  auto C = Connect(TTransport::Http);
  C->SetAcceptOctetStream(true);
  const auto R = C->Call("TEcho", "Streams", json::array({{{"$blob", 0}}, nullptr}), {"abc"});
  EXPECT_EQ(R.Blobs.size(), 2u);  // Joined is a stream too: still a frame
  C->Logout();
  EXPECT_TRUE(WaitFor([&] { return Server->Sessions().size() == 1; }));

  Res = HttpRaw(http::verb::post, "/ordex/v1/logout", "", {{"X-Ordex-Session", Id}});
  EXPECT_EQ(Res.result_int(), 200u);
  EXPECT_TRUE(WaitFor([&] { return Log.Has("Closed " + Id); }));
  Res = HttpRaw(http::verb::post, "/ordex/v1/TEcho/Count", "", {{"X-Ordex-Session", Id}});
  EXPECT_EQ(Res.result_int(), 401u);
}

TEST_F(RpcServer, OctetStreamWhenTheResultIsTheOnlyStream) {
  auto Cls = std::make_shared<TRpcClassOf<int>>("TBytes");
  Cls->Method("Get", {In("N", TRpcType::Int32)}, TRpcType::Stream,
              [](int&, TCall& C) { C.ReturnStream(std::string(C.Int32("N"), 'z')); });
  Server->RegisterClass(Cls);
  const auto Res = HttpRaw(http::verb::post, "/ordex/v1/TBytes/Get", R"({"args":[2000000]})",
                           {{"Authorization", Basic("ivan")}, {"Accept", "application/octet-stream"}});
  EXPECT_EQ(Res.result_int(), 200u);
  EXPECT_EQ(std::string(Res[http::field::content_type]), "application/octet-stream");
  EXPECT_EQ(Res.body(), std::string(2000000, 'z'));
}

TEST_F(RpcServer, MalformedFramesCloseOnlyTheirConnection) {
  auto Good = Connect();
  const struct {
    const char* Name;
    std::string Bytes;
    bool LoggedIn;
  } Cases[] = {
      {"http on the tcp port", "GET / HTTP/1.1\r\n\r\n", false},
      {"header over limit", EncodeFrameHead(std::string(70 * 1024, ' '), {}), true},
      {"frame over limit", EncodeFrameHead("{}", {std::string(5 * 1024 * 1024, 'x')}), true},
      {"header not json", EncodeFrame("{op", {}), true},
      {"unknown op", EncodeFrame(R"({"op":"dance"})", {}), true},
      {"call without id", EncodeFrame(R"({"op":"call","class":"TEcho","method":"Count"})", {}), true},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    auto Bad = K.LoggedIn ? Connect() : std::make_unique<TOrdexClient>();
    if (!K.LoggedIn) Bad->Connect("127.0.0.1", Server->BoundTcpPort());
    Bad->SendRaw(K.Bytes);
    const auto R = Bad->Receive();
    EXPECT_FALSE(R.Ok);
    EXPECT_TRUE(R.Header.contains("error")) << R.Header.dump();
    EXPECT_THROW(Bad->Receive(), client::EConnectionError);
  }
  // Truncated: the client goes away mid-frame.
  {
    auto Bad = Connect();
    Bad->SendRaw(EncodeFrame(R"({"op":"call","id":1,"class":"TEcho","method":"Count","args":[]})", {}).substr(0, 30));
  }
  EXPECT_EQ(Good->Call("TEcho", "Count").Values["ReturnValue"], 1);
  EXPECT_TRUE(Server->IsRunning());
}

TEST_F(RpcServer, SlowHeadersAreDropped) {
  TOrdexClient Tcp;
  Tcp.Connect("127.0.0.1", Server->BoundTcpPort());
  Tcp.SendRaw("ORDX\x01");
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_THROW(Tcp.Receive(), client::EConnectionError);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 3s);

  asio::io_context Io;
  asio::ip::tcp::socket Http(Io);
  Http.connect({asio::ip::make_address("127.0.0.1"), Server->BoundHttpPort()});
  asio::write(Http, asio::buffer(std::string("POST /ordex/v1/TEcho/Count HTTP/1.1\r\nHost: x\r\n")));
  char Byte;
  boost::system::error_code Ec;
  Http.read_some(asio::buffer(&Byte, 1), Ec);
  EXPECT_EQ(Ec, asio::error::eof);
}

TEST_F(RpcServer, SessionEventsAndInstanceLifetimes) {
  // Logout.
  auto A = Connect();
  A->Call("TEcho", "Count");
  const std::string IdA = A->SessionId();
  EXPECT_TRUE(Log.Has("Created " + IdA));
  A->Logout();
  EXPECT_TRUE(WaitFor([&] { return Log.Has("Closed " + IdA); }));
  EXPECT_EQ(Log.Made, 1);
  EXPECT_EQ(Log.Destroyed, 1);

  // Socket closed by the client.
  auto B = Connect();
  B->Call("TEcho", "Count");
  const std::string IdB = B->SessionId();
  B->Close();
  EXPECT_TRUE(WaitFor([&] { return Log.Has("Closed " + IdB); }));
  EXPECT_EQ(Log.Destroyed, 2);

  // HTTP idle expiry (400 ms here).
  auto H = Connect(TTransport::Http);
  H->Call("TEcho", "Count");
  const std::string IdH = H->SessionId();
  EXPECT_TRUE(Log.Has("Created " + IdH));
  EXPECT_TRUE(WaitFor([&] { return Log.Has("Closed " + IdH); }));
  EXPECT_EQ(Log.Destroyed, 3);
  EXPECT_THROW(H->Call("TEcho", "Count"), ERemoteError);
  EXPECT_TRUE(Server->Sessions().empty());
}

TEST_F(RpcServer, ChannelsReportClientAndKeepAlive) {
  auto C = Connect();
  TConnectionPtr Conn;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard L(Log.Lock);
    Conn = Log.LastConnection;
    return Conn != nullptr;
  }));
  const TClientInfo Info = Conn->ClientInfo();
  EXPECT_EQ(Info.IpAddress, "127.0.0.1");
  EXPECT_NE(Info.ClientPort, 0);
  EXPECT_EQ(Info.Protocol, "tcp/ip");
  EXPECT_EQ(Info.AppName, "tests");
  EXPECT_EQ(Conn->SessionId(), C->SessionId());

  Conn->EnableKeepAlive(5000, 100);
  auto K = Conn->QueryKeepAlive();
  ASSERT_TRUE(K);
  EXPECT_TRUE(K->Enabled);
  EXPECT_EQ(K->IdleSeconds, 5);
  EXPECT_EQ(K->IntervalSeconds, 1);  // rounded up to Linux's unit
  Conn->EnableKeepAlive(1001, 2500);
  K = Conn->QueryKeepAlive();
  EXPECT_EQ(K->IdleSeconds, 2);
  EXPECT_EQ(K->IntervalSeconds, 3);
  Conn->DisableKeepAlive();
  EXPECT_FALSE(Conn->QueryKeepAlive()->Enabled);

  // Closed from the server side: the client sees it, events follow.
  const std::string Id = C->SessionId();
  Conn->Close();
  EXPECT_THROW(C->Call("TEcho", "Count"), client::EConnectionError);
  EXPECT_TRUE(WaitFor([&] { return Log.Has("Closed " + Id); }));
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard L(Log.Lock);
    return Log.Connections == std::vector<std::string>{"+127.0.0.1", "-"};
  }));
  EXPECT_FALSE(Conn->QueryKeepAlive());
  Conn->Close();  // again: harmless
}

TEST_F(RpcServer, StopClosesEverythingAndStartsOnANewPort) {
  auto Tcp = Connect();
  auto Http = Connect(TTransport::Http);
  Tcp->Call("TEcho", "Count");
  Http->Call("TEcho", "Count");
  const auto OldPort = Server->BoundTcpPort();
  Server->Stop();
  EXPECT_FALSE(Server->IsRunning());
  EXPECT_EQ(Log.Destroyed, 2);
  EXPECT_TRUE(Log.Has("Closed " + Tcp->SessionId()));
  EXPECT_TRUE(Log.Has("Closed " + Http->SessionId()));
  {
    std::lock_guard L(Log.Lock);
    EXPECT_EQ(Log.Connections.back(), "-");
  }
  Server->Start();
  EXPECT_TRUE(Server->IsRunning());
  EXPECT_NE(Server->BoundTcpPort(), 0);
  auto Again = Connect();
  EXPECT_EQ(Again->Call("TEcho", "Count").Values["ReturnValue"], 1);
  if (Server->BoundTcpPort() != OldPort) {
    TOrdexClient Old;
    EXPECT_THROW(Old.Connect("127.0.0.1", OldPort), client::EConnectionError);
  }
  // A port in use refuses the start.
  TRpcServer Other;
  Other.SetTcpPort(Server->BoundTcpPort());
  EXPECT_THROW(Other.Start(), EOSError);
  EXPECT_FALSE(Other.IsRunning());
}

TEST_F(RpcServer, ConnectionLimitClosesNewcomers) {
  Server->Stop();
  auto S = Server->Settings();
  S.MaxConnections = 1;
  Server->SetSettings(S);
  Server->Start();
  auto First = Connect();
  TOrdexClient Second;
  Second.Connect("127.0.0.1", Server->BoundTcpPort());
  EXPECT_THROW(Second.Login("ivan", "x", "tests"), client::EConnectionError);
  EXPECT_EQ(First->Call("TEcho", "Count").Values["ReturnValue"], 1);
}

TEST(SessionIds, AreRandomHex128) {
  const auto A = NewSessionId(), B = NewSessionId();
  EXPECT_EQ(A.size(), 32u);
  EXPECT_EQ(A.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(A, B);
}

}  // namespace
}  // namespace ordex::rpc
