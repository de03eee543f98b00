// HTTPS, slow peers on both sides, and the session id a TCP channel carries
// while its login is checked.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <mutex>
#include <thread>

#include "client/lib/OrdexClient.h"
#include "common/qxError.h"
#include "platform/rpc/RpcServer.h"
#include "tests/rpc/TestCertificate.h"
#include "tests/support/WaitFor.h"

namespace ordex::rpc {
namespace {

using client::EConnectionError;
using client::TClientOptions;
using client::TOrdexClient;
using client::TTransport;
using nlohmann::json;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

const std::string Md5 = "0123456789abcdef0123456789abcdef";

using test::WaitFor;

struct TNothing {};

std::shared_ptr<TRpcClass> MakeClass() {
  using T = TRpcType;
  auto C = std::make_shared<TRpcClassOf<TNothing>>("TEcho");
  C->Method("Echo", {In("S", T::Text)}, T::Text, [](TNothing&, TCall& C) { C.Return(C.Text("S")); });
  C->Method("Blob", {In("Data", T::Stream)}, T::Stream, [](TNothing&, TCall& C) { C.ReturnStream(C.Stream("Data")); });
  C->Method("Sleep", {In("Ms", T::Int32)}, T::Text, [](TNothing&, TCall& C) {
    std::this_thread::sleep_for(std::chrono::milliseconds(C.Int32("Ms")));
    C.Return("slept");
  });
  C->Method("Who", {}, T::Text, [](TNothing&, TCall& C) { C.Return(C.Session().Protocol() + "/" + C.Session().Id()); });
  return C;
}

TRpcServerSettings TestSettings() {
  TRpcServerSettings S;
  S.Address = "127.0.0.1";
  S.Workers = 2;
  S.IoThreads = 1;
  S.HeaderTimeout = 5s;
  S.BodyTimeout = 300ms;
  return S;
}

// A server with a self-signed certificate on its HTTP port.
class Https : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = std::make_unique<TRpcServer>(TestSettings());
    Server->RegisterClass(MakeClass());
    Server->SetTcpPort(0);
    Server->AttachHttp(0);
    Server->SetHttpsCertificate(Cert.CertFile(), Cert.KeyFile());
    Server->SetAuthenticate([this](const std::string& Protocol, const std::string& User, const std::string&, TSession&) {
      if (User == "bad") throw EAuthError("refused");
      std::lock_guard L(Lock);
      Protocols.push_back(Protocol);
    });
    Server->Start();
  }
  void TearDown() override { Server->Stop(); }

  std::unique_ptr<TOrdexClient> Client(TClientOptions O, const std::string& Host = "127.0.0.1") {
    auto C = std::make_unique<TOrdexClient>();
    C->SetOptions(std::move(O));
    C->Connect(Host, Server->BoundHttpPort(), TTransport::Https);
    C->Login("ivan", Md5, "tests");
    return C;
  }
  TClientOptions Trusting() const {
    TClientOptions O;
    O.CaFile = Cert.CertFile();
    return O;
  }

  testing::TTestCertificate Cert;
  std::unique_ptr<TRpcServer> Server;
  std::mutex Lock;
  std::vector<std::string> Protocols;
};

TEST_F(Https, CallsRunInHttpsSessions) {
  for (const std::string Host : {"127.0.0.1", "localhost"}) {
    auto C = Client(Trusting(), Host);
    const std::string Who = C->Call("TEcho", "Who").Values["ReturnValue"];
    EXPECT_EQ(Who, "https/" + C->SessionId());
    EXPECT_EQ(C->Call("TEcho", "Who").Values["ReturnValue"], Who);  // the same session
    // Streams travel as frame bodies and as bare octet streams.
    const std::string Bytes(200000, '\x7f');
    EXPECT_EQ(C->Call("TEcho", "Blob", json::array({{{"$blob", 0}}}), {Bytes}).Blobs.at(0), Bytes);
    C->SetAcceptOctetStream(true);
    EXPECT_EQ(C->Call("TEcho", "Blob", json::array({{{"$blob", 0}}}), {"raw"}).Blobs.at(0), "raw");
    C->Logout();
  }
  std::lock_guard L(Lock);
  EXPECT_EQ(Protocols, (std::vector<std::string>{"https", "https"}));
  EXPECT_TRUE(Server->HttpsEnabled());
}

TEST_F(Https, ClientRefusesCertificatesItCannotVerify) {
  const auto Refused = [&](TClientOptions O, const std::string& Host, const std::string& Reason) {
    try {
      Client(std::move(O), Host)->Call("TEcho", "Who");
      ADD_FAILURE() << "accepted via " << Host;
    } catch (const EConnectionError& E) {
      EXPECT_NE(std::string(E.what()).find(Reason), std::string::npos) << E.what();
    }
  };
  // Not signed by anyone the system trusts.
  Refused({}, "127.0.0.1", "certificate verify failed");
  // Trusted, but for other names.
  TClientOptions Other = Trusting();
  Other.ServerName = "files.example.org";
  Refused(Other, "127.0.0.1", "certificate verify failed");
  // A CA file that is not there.
  TClientOptions Missing;
  Missing.CaFile = Cert.CertFile() + ".missing";
  Refused(Missing, "127.0.0.1", "CA file");
  // Tests only: no verification at all.
  TClientOptions Insecure;
  Insecure.Insecure = true;
  EXPECT_EQ(Client(Insecure)->Call("TEcho", "Echo", json::array({"x"})).Values["ReturnValue"], "x");
  // Plain HTTP on the HTTPS port gets no answer.
  TOrdexClient Plain;
  Plain.Connect("127.0.0.1", Server->BoundHttpPort(), TTransport::Http);
  Plain.Login("ivan", Md5);
  EXPECT_THROW(Plain.Call("TEcho", "Who"), EConnectionError);
}

TEST_F(Https, ServerRefusesTlsBefore12) {
  asio::io_context Io;
  asio::ssl::context Ctx(asio::ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(Ctx.native_handle(), TLS1_VERSION);
  SSL_CTX_set_max_proto_version(Ctx.native_handle(), TLS1_1_VERSION);
  SSL_CTX_set_security_level(Ctx.native_handle(), 0);
  asio::ssl::stream<tcp::socket> Stream(Io, Ctx);
  Stream.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), Server->BoundHttpPort()});
  boost::system::error_code Ec;
  Stream.handshake(asio::ssl::stream_base::client, Ec);
  // The server's alert, not a client that would not even try.
  EXPECT_NE(Ec.message().find("protocol version"), std::string::npos) << Ec.message();
}

TEST_F(Https, UnusableFilesStopTheStart) {
  Server->Stop();
  const std::string Garbage = Cert.WriteFile("garbage.pem", "not a certificate\n");
  const testing::TTestCertificate Stranger;
  struct TCase {
    std::string CertFile, KeyFile, Named;
    bool Argument;  // EArgumentError rather than EFileError
  };
  const std::vector<TCase> Cases = {
      {Cert.CertFile() + ".none", Cert.KeyFile(), Cert.CertFile() + ".none", false},
      {Garbage, Cert.KeyFile(), Garbage, false},
      {Cert.CertFile(), Garbage, Garbage, false},
      {Cert.CertFile(), Stranger.KeyFile(), Stranger.KeyFile(), false},  // the key of another certificate
      {Cert.CertFile(), "", "key", true},
      {"", Cert.KeyFile(), "certificate", true},
  };
  for (const auto& C : Cases) {
    Server->SetHttpsCertificate(C.CertFile, C.KeyFile);
    try {
      Server->Start();
      ADD_FAILURE() << "started with " << C.CertFile << " / " << C.KeyFile;
    } catch (const EFileError& E) {
      EXPECT_FALSE(C.Argument);
      EXPECT_NE(std::string(E.what()).find(C.Named), std::string::npos) << E.what();
    } catch (const EArgumentError& E) {
      EXPECT_TRUE(C.Argument);
      EXPECT_NE(std::string(E.what()).find(C.Named), std::string::npos) << E.what();
    }
    EXPECT_FALSE(Server->IsRunning());
  }
  // Both cleared: plain HTTP again.
  Server->SetHttpsCertificate("", "");
  Server->Start();
  TOrdexClient Plain;
  Plain.Connect("127.0.0.1", Server->BoundHttpPort(), TTransport::Http);
  Plain.Login("ivan", Md5);
  const std::string Who = Plain.Call("TEcho", "Who").Values["ReturnValue"];
  EXPECT_EQ(Who, "http/" + Plain.SessionId());
}

// ---------------------------------------------------------------------------
// The session id on the TCP channel during the login.

TEST(TcpChannel, NamesTheSessionWhileTheLoginRuns) {
  TRpcServer Server(TestSettings());
  Server.RegisterClass(MakeClass());
  Server.SetTcpPort(0);
  std::mutex Lock;
  TConnectionPtr Channel;
  std::vector<std::string> Seen;
  Server.SetOnConnect([&](TConnectionPtr C, TChannel&) {
    std::lock_guard L(Lock);
    Channel = C;
  });
  const auto ChannelId = [&] {
    std::lock_guard L(Lock);
    return Channel ? Channel->SessionId() : std::string("no channel");
  };
  Server.SetAuthenticate([&](const std::string&, const std::string& User, const std::string&, TSession& S) {
    const std::string Id = ChannelId();
    std::lock_guard L(Lock);
    Seen.push_back("login " + std::string(Id == S.Id() ? "bound" : "unbound:" + Id));
    if (User == "bad") throw EAuthError("refused");
  });
  Server.AddSessionListener([&](TSessionEvent E, TSession& S) {
    if (E != TSessionEvent::Created) return;
    const std::string Id = ChannelId();
    std::lock_guard L(Lock);
    Seen.push_back("created " + std::string(Id == S.Id() ? "bound" : "unbound"));
  });
  Server.Start();

  TOrdexClient Refused;
  Refused.Connect("127.0.0.1", Server.BoundTcpPort());
  EXPECT_THROW(Refused.Login("bad", Md5), client::ELoginError);
  EXPECT_EQ(ChannelId(), "");  // a refused login leaves the channel without a session

  TOrdexClient Good;
  Good.Connect("127.0.0.1", Server.BoundTcpPort());
  Good.Login("ivan", Md5);
  EXPECT_EQ(ChannelId(), Good.SessionId());
  std::lock_guard L(Lock);
  EXPECT_EQ(Seen, (std::vector<std::string>{"login bound", "login bound", "created bound"}));
}

// ---------------------------------------------------------------------------
// Slow peers.

class SlowPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = std::make_unique<TRpcServer>(TestSettings());
    Server->RegisterClass(MakeClass());
    Server->SetTcpPort(0);
    Server->AttachHttp(0);
    Server->Start();
  }
  TClientOptions Short() const {
    TClientOptions O;
    O.ConnectTimeout = O.ReadTimeout = O.WriteTimeout = 200ms;
    return O;
  }
  static std::chrono::milliseconds Since(std::chrono::steady_clock::time_point Start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start);
  }

  std::unique_ptr<TRpcServer> Server;
};

TEST_F(SlowPeers, ClientGivesUpOnLateAnswers) {
  for (const auto T : {TTransport::Tcp, TTransport::Http}) {
    TOrdexClient C;
    C.SetOptions(Short());
    C.Connect("127.0.0.1", T == TTransport::Tcp ? Server->BoundTcpPort() : Server->BoundHttpPort(), T);
    C.Login("ivan", Md5);
    EXPECT_EQ(C.Call("TEcho", "Sleep", json::array({50})).Values["ReturnValue"], "slept");
    const auto Start = std::chrono::steady_clock::now();
    try {
      C.Call("TEcho", "Sleep", json::array({1500}));
      ADD_FAILURE() << "no timeout";
    } catch (const EConnectionError& E) {
      EXPECT_NE(std::string(E.what()).find("timed out"), std::string::npos) << E.what();
    }
    EXPECT_LT(Since(Start), 1000ms);
  }
}

TEST_F(SlowPeers, ClientGivesUpOnSilentServers) {
  // A listener that accepts (through the backlog) but never reads or answers.
  asio::io_context Io;
  tcp::acceptor Mute(Io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto Port = Mute.local_endpoint().port();

  TOrdexClient Tls;
  TClientOptions O = Short();
  O.Insecure = true;
  Tls.SetOptions(O);
  auto Start = std::chrono::steady_clock::now();
  EXPECT_THROW(Tls.Connect("127.0.0.1", Port, TTransport::Https), EConnectionError);  // no handshake
  EXPECT_LT(Since(Start), 1000ms);

  TOrdexClient Writer;
  Writer.SetOptions(Short());
  Writer.Connect("127.0.0.1", Port, TTransport::Tcp);
  Start = std::chrono::steady_clock::now();
  EXPECT_THROW(Writer.SendRaw(std::string(64 << 20, 'x')), EConnectionError);  // the buffers fill up
  EXPECT_LT(Since(Start), 3000ms);
}

TEST_F(SlowPeers, ServerDropsFramesThatStall) {
  TOrdexClient C;
  C.Connect("127.0.0.1", Server->BoundTcpPort());
  C.Login("ivan", Md5);
  // Silence between frames is fine, however long.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(C.Call("TEcho", "Echo", json::array({"a"})).Values["ReturnValue"], "a");
  // A frame that stops halfway is not: the connection closes after BodyTimeout.
  const std::string Frame = EncodeFrame(R"({"op":"call","id":9,"class":"TEcho","method":"Echo","args":["b"]})", {});
  C.SendRaw(Frame.substr(0, 20));
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_THROW(C.Receive(), EConnectionError);
  EXPECT_GE(Since(Start), 250ms);
  EXPECT_LT(Since(Start), 2000ms);
  EXPECT_TRUE(WaitFor([&] { return Server->Sessions().empty(); }));
}

TEST_F(SlowPeers, ServerDropsHttpBodiesThatStall) {
  asio::io_context Io;
  tcp::socket S(Io);
  S.connect({asio::ip::make_address("127.0.0.1"), Server->BoundHttpPort()});
  asio::write(S, asio::buffer(std::string("POST /ordex/v1/TEcho/Who HTTP/1.1\r\nHost: x\r\n"
                                          "Authorization: Basic aXZhbjp4\r\nContent-Length: 100\r\n\r\n{\"args\"")));
  const auto Start = std::chrono::steady_clock::now();
  char Byte;
  boost::system::error_code Ec;
  S.read_some(asio::buffer(&Byte, 1), Ec);
  EXPECT_EQ(Ec, asio::error::eof);
  // The body's deadline, not the head's (5 s here).
  EXPECT_LT(Since(Start), 2000ms);
}

}  // namespace
}  // namespace ordex::rpc
