// The server host end to end: a server on free loopback ports over a seeded
// SQLite store, clients over TCP and HTTP, and the console model as the test
// thread (the UI thread here) drains it.
#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "client/lib/OrdexClient.h"
#include "common/qxError.h"
#include "config/qxSettings.h"
#include "docservice/uOrdexInfo.h"
#include "platform/db/DataStream.h"
#include "serverhost/dmOrdexServerContainer.h"
#include "serverhost/frmQxServer.h"
#include "tests/rpc/TestCertificate.h"
#include "tests/serverhost/HostTestSupport.h"

namespace ordex {
namespace {

using nlohmann::json;
using test::TTcpClient;

const std::string AdminMd5 = MD5Hex("secret");

rpc::TRpcServerSettings LoopbackSettings() {
  rpc::TRpcServerSettings S;
  S.Address = "127.0.0.1";
  S.Workers = 2;
  S.IoThreads = 1;
  return S;
}

class ServerHostTest : public ::testing::Test {
 protected:
  // Settings as stored next to the program: the seeded store from the settings file.
  void WriteSettings(const std::string& TcpPort, const std::string& HttpPort = "") {
    App.WriteConnectSettings({{"TypeDB", "SQLite"},
                              {"Database", Db.Info().Dbname},
                              {"DirFiles", Db.Info().DirFiles},
                              {"OrdexPort", TcpPort},
                              {"OrdexHTTP", HttpPort},
                              {"IsIni", "1"}});
  }
  // The main window's start: frame, product container serving the document service, InitFrame.
  void StartServer(rpc::TRpcServerSettings Settings = LoopbackSettings()) {
    Frame = std::make_unique<TfrmQxServers>(Queue);
    auto Container = std::make_unique<TdmOrdexServerContainers>(std::move(Settings));
    Container->ServeOrdexServerClass();
    Frame->SetServerContainer(std::move(Container));
    Frame->InitFrame();
  }
  void SetUp() override { WriteSettings("0"); }
  // The settings of WriteSettings("0") with a "ServerLimits" sub-tree beside them.
  void WriteSettingsWithLimits(const json& Limits) {
    json Entry = App.ReadConnectSettings();
    Entry["ServerLimits"] = Limits;
    ProgramSettingsFile().Write("ConnectionSettings", "TfmOrdexServerMains", Entry.dump());
  }

  rpc::TRpcServer& Server() { return Frame->dmQxServers().QxDSServer; }
  std::uint16_t TcpPort() { return Server().BoundTcpPort(); }
  TConsoleModel& Model() { return Frame->Model(); }
  bool DrainUntil(const std::function<bool()>& Done) { return test::DrainUntil(Queue, Done); }
  bool HasSessionId(const std::string& Id) { return Model().FindSessionId(Id) >= 0; }

  test::TFakeApp App;
  test::TSeededDatabase Db;
  TConsoleQueue Queue;
  std::unique_ptr<TfrmQxServers> Frame;
};

TEST_F(ServerHostTest, RefusedLoginsAnswerTheirTextAndRegisterNothing) {
  StartServer();
  const struct {
    std::string User, Password, Refusal;
  } Cases[] = {
      {" \t ", AdminMd5, "Ошибка авторизации.\rВведен пустой пользователь!"},
      {"admin", "   ", "Ошибка авторизации.\rВведен пустой пароль!"},
      {"admin", MD5Hex("wrong"), "Ошибка авторизации.\rЛогин или пароль не верны!"},
      {"nobody", AdminMd5, "Ошибка авторизации.\rЛогин или пароль не верны!"},
      {"nopass", MD5Hex("x"), "Ошибка авторизации.\rЛогин или пароль не верны!"},
  };
  for (const auto& C : Cases) {
    TTcpClient Client(TcpPort());
    const json A = Client.Login(C.User, C.Password);
    EXPECT_EQ(A.value("ok", true), false) << C.User;
    EXPECT_EQ(A.value("error", ""), C.Refusal) << C.User;
    EXPECT_TRUE(Client.WaitClosed()) << C.User;
  }
  EXPECT_TRUE(DrainUntil([&] { return Model().ConnectionsList.empty(); }));
  EXPECT_EQ(Frame->dmQxServers().SessionCount(), 0u);
  EXPECT_TRUE(Model().meSession.empty());
  EXPECT_TRUE(Model().SessionIdList.empty());
}

TEST_F(ServerHostTest, LoginIsShownAndLogoutAndDisconnectRemoveIt) {
  StartServer();
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (0) - ");
  EXPECT_TRUE(qxroot().IsRun());
  TTcpClient Client(TcpPort());
  // Upper-case digest with trailing blanks matches; the login keeps its blanks.
  const json A = Client.Login("  admin", UpperCaseAscii(AdminMd5) + "  ", "myapp");
  ASSERT_TRUE(A.value("ok", false)) << A.dump();
  const std::string Id = A.at("session");

  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.size() == 1 && HasSessionId(Id); }));
  const TSessionRow& Row = Model().meSession[0];
  EXPECT_EQ(Row.SessionID, Id);
  EXPECT_EQ(Row.UserName, "  admin");
  EXPECT_EQ(Row.RoleID, "1");
  EXPECT_EQ(Row.RoleName, "Администраторы");
  EXPECT_EQ(Row.Protocol, "tcp/ip");
  EXPECT_EQ(Row.IPAdress, "127.0.0.1");
  EXPECT_EQ(Row.ClientPort, std::to_string(Client.LocalPort()));
  EXPECT_EQ(Row.AppName, "myapp");
  ASSERT_EQ(Model().ConnectionsList.size(), 1u);
  EXPECT_EQ(Model().ConnectionsList[0].Text, "127.0.0.1:" + std::to_string(Client.LocalPort()));
  EXPECT_EQ(Model().lbConnections, "Connections: 1");
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (1) - ");
  const auto Info = Frame->dmQxServers().GetSessionInfo(Id);
  ASSERT_TRUE(Info);
  EXPECT_EQ(Info->Login, "  admin");
  EXPECT_EQ(Info->UserID, "u1");
  EXPECT_EQ(Info->PasswdMd5, "");

  // The three views select in step.
  Frame->SessionIdListClick(0);
  EXPECT_EQ(Model().ConnectionsSelected, 0);
  Frame->ConnectionsListClick(-1);
  EXPECT_EQ(Model().SessionIdSelected, -1);
  Frame->ConnectionsListClick(0);
  EXPECT_EQ(Model().SessionIdSelected, 0);
  Frame->ConnectionsListClick(-1);
  Frame->meSessionAfterScroll(0);
  EXPECT_EQ(Model().ConnectionsSelected, 0);

  Client.Send({{"op", "logout"}});
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.empty() && Model().SessionIdList.empty(); }));
  EXPECT_EQ(Frame->dmQxServers().SessionCount(), 0u);
  Client.Close();
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.empty(); }));
  EXPECT_EQ(Model().lbConnections, "Connections: 0");
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (0) - ");
  EXPECT_EQ(Model().SessionIdSelected, -1);
}

// A channel that reports what the test says and records keep-alive requests.
class TFakeChannel : public rpc::TChannel {
 public:
  std::string SessionId() const override { return {}; }
  rpc::TClientInfo ClientInfo() const override { return Info; }
  void EnableKeepAlive(std::int64_t IdleMs, std::int64_t) override { KeepAliveIdle = IdleMs; }
  void DisableKeepAlive() override { KeepAliveIdle = 0; }
  std::optional<rpc::TKeepAliveState> QueryKeepAlive() override { return std::nullopt; }
  void Close() override {}
  rpc::TClientInfo Info;
  std::int64_t KeepAliveIdle = 0;
};

TEST_F(ServerHostTest, ConnectionsWithoutClientAddressAreListedAndCounted) {
  StartServer();
  Frame->SetUseKeepAlive(true);
  ASSERT_TRUE(Frame->SetKAIdleMS("99999999999"));  // beyond 32 bits: no keep-alive, the line still comes
  const auto NoAddress = std::make_shared<TFakeChannel>();
  const auto WithAddress = std::make_shared<TFakeChannel>();
  WithAddress->Info.IpAddress = "10.0.0.7";
  WithAddress->Info.ClientPort = 5123;
  Frame->QxSrvTranstConnEvent(NoAddress, *NoAddress);
  Frame->QxSrvTranstConnEvent(WithAddress, *WithAddress);
  Queue.Drain();
  ASSERT_EQ(Model().ConnectionsList.size(), 2u);
  EXPECT_EQ(Model().ConnectionsList[0].Text, "Channel is missing proper ClientInfo.");
  EXPECT_EQ(Model().ConnectionsList[1].Text, "10.0.0.7:5123");
  EXPECT_EQ(Model().lbConnections, "Connections: 2");
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (2) - ");
  EXPECT_EQ(NoAddress->KeepAliveIdle, 0);

  Frame->QxSrvTranstDiscEvent(NoAddress);
  Frame->QxSrvTranstDiscEvent(NoAddress);  // a second report finds nothing
  Queue.Drain();
  ASSERT_EQ(Model().ConnectionsList.size(), 1u);
  EXPECT_EQ(Model().ConnectionsList[0].Text, "10.0.0.7:5123");
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (1) - ");

  // Once the console prepares to close, the handlers do nothing.
  Frame->PrepareForGracefulClose();
  Frame->QxSrvTranstDiscEvent(WithAddress);
  Frame->QxSrvTranstConnEvent(NoAddress, *NoAddress);
  Queue.Drain();
  EXPECT_EQ(Model().ConnectionsList.size(), 1u);
}

TEST_F(ServerHostTest, DroppedConnectionEndsItsSession) {
  StartServer();
  TTcpClient Client(TcpPort());
  const std::string Id = Client.Login("ivan", MD5Hex("pw")).at("session");
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.size() == 1; }));
  Client.Close();
  ASSERT_TRUE(DrainUntil([&] {
    return Model().meSession.empty() && !HasSessionId(Id) && Model().ConnectionsList.empty();
  }));
  EXPECT_FALSE(Frame->dmQxServers().GetSessionInfo(Id));
}

TEST_F(ServerHostTest, OperatorClosesTheSelectedConnection) {
  StartServer();
  TTcpClient Client(TcpPort());
  ASSERT_TRUE(Client.Login("admin", AdminMd5).value("ok", false));
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.size() == 1 && Model().meSession.size() == 1; }));
  EXPECT_FALSE(Frame->ConnectionsListContextPopup());  // nothing selected: no menu
  Frame->CloseSelectedConnection();                    // and nothing to close
  Frame->ConnectionsListClick(0);
  EXPECT_TRUE(Frame->ConnectionsListContextPopup());
  Frame->closeConnItemClick();
  EXPECT_TRUE(Client.WaitClosed());
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.empty() && Model().meSession.empty(); }));
  EXPECT_EQ(Model().lbConnections, "Connections: 0");
  EXPECT_EQ(Model().Caption, "Ordex ServerQxSrv (0) - ");
  EXPECT_EQ(Model().ConnectionsSelected, -1);
}

TEST_F(ServerHostTest, KeepAliveFollowsTheSettingsAndTheMenu) {
  StartServer();
  EXPECT_FALSE(Model().KAIdleEnabled);
  Frame->SetUseKeepAlive(true);
  EXPECT_TRUE(Model().KAIdleEnabled);
  EXPECT_FALSE(Frame->SetKAIdleMS("12a"));
  ASSERT_TRUE(Frame->SetKAIdleMS("3000"));

  TTcpClient First(TcpPort());
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.size() == 1; }));
  const auto Channel = Frame->GetChannel(Model().ConnectionsList[0].Connection);
  ASSERT_TRUE(Channel);
  auto State = Channel->QueryKeepAlive();
  ASSERT_TRUE(State);
  EXPECT_TRUE(State->Enabled);
  EXPECT_EQ(State->IdleSeconds, 3);
  EXPECT_EQ(State->IntervalSeconds, 1);  // 100 ms asked, one second is the finest

  Frame->ConnectionsListClick(0);
  Frame->DisableKAItemClick();
  EXPECT_FALSE(Channel->QueryKeepAlive()->Enabled);
  // An idle time beyond 32 bits is refused and switches nothing on.
  ASSERT_TRUE(Frame->SetKAIdleMS("99999999999"));
  EXPECT_THROW(Frame->EnableKAItemClick(), EConvertError);
  EXPECT_FALSE(Channel->QueryKeepAlive()->Enabled);
  ASSERT_TRUE(Frame->SetKAIdleMS("2000"));
  Frame->EnableKAItemClick();
  EXPECT_EQ(Channel->QueryKeepAlive()->IdleSeconds, 2);

  // With the idle field emptied, new connections get no keep-alive.
  ASSERT_TRUE(Frame->SetKAIdleMS(""));
  TTcpClient Second(TcpPort());
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.size() == 2; }));
  const auto SecondChannel = Frame->GetChannel(Model().ConnectionsList[1].Connection);
  ASSERT_TRUE(SecondChannel);
  EXPECT_FALSE(SecondChannel->QueryKeepAlive()->Enabled);
}

TEST_F(ServerHostTest, HttpSessionIsListedWithoutConnectionAndExpires) {
  const std::uint16_t HttpPort = test::FreePort();
  WriteSettings("0", std::to_string(HttpPort));
  auto Settings = LoopbackSettings();
  Settings.HttpIdleTimeout = std::chrono::milliseconds(300);
  StartServer(Settings);
  ASSERT_EQ(Server().BoundHttpPort(), HttpPort);

  const auto Refused = test::HttpCall(HttpPort, "/ordex/v1/TOrdexServerClass/getVersion", R"({"args":[]})", "admin",
                                      MD5Hex("bad"));
  EXPECT_EQ(Refused.Status, 401u);
  EXPECT_EQ(json::parse(Refused.Body).value("error", ""), "Ошибка авторизации.\rЛогин или пароль не верны!");

  const auto A = test::HttpCall(HttpPort, "/ordex/v1/TOrdexServerClass/getVersion", R"({"args":[]})", "admin",
                                AdminMd5);
  ASSERT_EQ(A.Status, 200u) << A.Body;
  ASSERT_FALSE(A.Session.empty());
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.size() == 1 && HasSessionId(A.Session); }));
  EXPECT_EQ(Model().meSession[0].Protocol, "http");
  EXPECT_EQ(Model().meSession[0].IPAdress, "");
  EXPECT_TRUE(Model().ConnectionsList.empty());
  Frame->SessionIdListClick(0);
  EXPECT_EQ(Model().ConnectionsSelected, -1);

  // Unused for longer than the idle limit, the session ends by itself.
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.empty() && Model().SessionIdList.empty(); }));
  EXPECT_EQ(Frame->dmQxServers().SessionCount(), 0u);
}

TEST_F(ServerHostTest, RestartAppliesPortsAndKeepsHttpOnceAttached) {
  const std::uint16_t Tcp1 = test::FreePort();
  WriteSettings(std::to_string(Tcp1));
  StartServer();
  EXPECT_EQ(TcpPort(), Tcp1);
  EXPECT_FALSE(Server().HttpAttached());

  const std::uint16_t Tcp2 = test::FreePort(), Http = test::FreePort();
  Frame->Settings().edPortServer = " " + std::to_string(Tcp2) + " ";
  Frame->Settings().edHttp = std::to_string(Http);
  Frame->btnRestartServerClick();
  EXPECT_EQ(TcpPort(), Tcp2);
  EXPECT_EQ(Server().BoundHttpPort(), Http);

  Frame->Settings().edHttp = "  ";
  Frame->btnRestartServerClick();
  EXPECT_EQ(Server().BoundHttpPort(), Http);
  EXPECT_EQ(test::HttpCall(Http, "/ordex/v1/TOrdexServerClass/getVersion", "", "admin", AdminMd5).Status, 200u);

  Frame->Settings().edPortServer = "43a";
  EXPECT_THROW(Frame->btnRestartServerClick(), EConvertError);
  EXPECT_FALSE(Server().IsRunning());
  Frame->Settings().edPortServer = "70000";
  EXPECT_THROW(Frame->btnRestartServerClick(), EConvertError);
  Frame->Settings().edPortServer = std::to_string(Tcp2);
  Frame->btnRestartServerClick();
  EXPECT_TRUE(Server().IsRunning());
}

TEST_F(ServerHostTest, BlankTcpPortKeepsTheBuiltInPort) {
  WriteSettings("  ");
  try {
    StartServer();
  } catch (const EOSError&) {
    // Port 222 needs privileges (or may be taken); the port asked for is what counts.
  }
  EXPECT_EQ(Server().TcpPort(), TdmQxServers::BuiltInTcpPort);
  EXPECT_EQ(TdmQxServers::BuiltInTcpPort, 222);
  EXPECT_FALSE(Server().HttpAttached());
}

TEST_F(ServerHostTest, FailedFirstStartInstallsNothing) {
  WriteSettings("port");
  EXPECT_THROW(StartServer(), EConvertError);
  EXPECT_FALSE(Server().IsRunning());
  EXPECT_FALSE(qxroot().IsRun());
  EXPECT_FALSE(Frame->HasConnectionMap());
}

TEST_F(ServerHostTest, RegistryKeepsLaterLoginAndConsoleTheEarlierRow) {
  StartServer();
  TdmQxServers& Servers = Frame->dmQxServers();
  bool Valid = false;
  Servers.UserAuthenticateSession("S1", " tcp/ip ", "admin", AdminMd5, Valid);
  EXPECT_TRUE(Valid);
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.size() == 1; }));
  Servers.UserAuthenticateSession("S1", "tcp/ip", "ivan", MD5Hex("pw"), Valid);
  Queue.Drain();
  EXPECT_EQ(Servers.SessionCount(), 1u);
  EXPECT_EQ(Servers.GetSessionInfo("S1")->Login, "ivan");
  ASSERT_EQ(Model().meSession.size(), 1u);
  EXPECT_EQ(Model().meSession[0].UserName, "admin");
  EXPECT_EQ(Model().meSession[0].Protocol, "tcp/ip");

  // A failed re-login leaves the entry; closing forgets it; an unknown id is ignored.
  EXPECT_THROW(Servers.UserAuthenticateSession("S1", "tcp/ip", "ivan", MD5Hex("no"), Valid), EAuthError);
  EXPECT_FALSE(Valid);
  EXPECT_EQ(Servers.GetSessionInfo("S1")->Login, "ivan");
  Servers.SessionClosed("S1");
  Servers.SessionClosed("never");
  EXPECT_EQ(Servers.SessionCount(), 0u);

  // Closed before the console got to it: no row.
  Servers.UserAuthenticateSession("S2", "http", "admin", AdminMd5, Valid);
  Servers.SessionClosed("S2");
  Queue.Drain();
  EXPECT_EQ(Model().FindSessionRow("S2"), -1);
}

TEST_F(ServerHostTest, DocumentServiceAnswersOverTheWire) {
  StartServer();
  client::TOrdexClient C;
  C.Connect("127.0.0.1", TcpPort());
  C.Login("admin", AdminMd5);
  EXPECT_EQ(C.Call("TOrdexServerClass", "getVersion").Values.at("ReturnValue"), Tqxversion().Version());

  TQxSessionInfo Me;
  Me.Login = "admin";
  Me.PasswdMd5 = AdminMd5;
  const auto Hello = C.Call("TOrdexServerClass", "Hello", json{{"ConnectInfo", GetQxSessionInfo(Me)}});
  EXPECT_EQ(Hello.Values.at("ReturnValue"), true);
  EXPECT_TRUE(Hello.Values.contains("ConnectInfo"));

  const auto Tree = C.Call("TOrdexServerClass", "GetTree", json::array({"0", false}));
  ASSERT_EQ(Tree.Blobs.size(), 1u);
  const db::TDataStream TreeStream = db::ReadDataStream(Tree.Blobs[0]);
  ASSERT_EQ(TreeStream.Tables.size(), 1u);
  EXPECT_EQ(TreeStream.Tables[0].Name, "iqTree");
  ASSERT_EQ(TreeStream.Tables[0].Rows.size(), 1u);

  const json Filter = {{"TreeID", "f1"},  {"FileID", ""},      {"IsShowDel", false}, {"IsShowAll", false},
                       {"CurrentPage", 0}, {"KolRows", 50},    {"IsPreview", false}, {"IsRecursive", false},
                       {"order", ""},      {"filter", ""}};
  const auto Files = C.Call("TOrdexServerClass", "GetFiles", json{{"OrdexFilter", Filter.dump()}});
  ASSERT_EQ(Files.Blobs.size(), 1u);
  const db::TDataStream FileStream = db::ReadDataStream(Files.Blobs[0]);
  ASSERT_EQ(FileStream.Tables.size(), 1u);
  EXPECT_EQ(FileStream.Tables[0].Name, "iqFiles");
  EXPECT_TRUE(FileStream.Tables[0].Rows.empty());

  const auto Count = C.Call("TOrdexServerClass", "GetKolRows", json{{"OrdexFilter", Filter.dump()}});
  EXPECT_EQ(Count.Values.at("ReturnValue"), "0");
  EXPECT_EQ(Count.Values.at("TotalSize"), "0");

  // Internal operations are not remote.
  EXPECT_THROW(C.Call("TOrdexServerClass", "GetTreeRights", json::array({"f1"})), client::ERemoteError);
  C.Logout();
}

TEST_F(ServerHostTest, HttpsFilesFromTheSettingsServeHttpsOnTheHttpPort) {
  const testing::TTestCertificate Cert;
  const std::uint16_t HttpPort = test::FreePort();
  App.WriteConnectSettings({{"TypeDB", "SQLite"},
                            {"Database", Db.Info().Dbname},
                            {"DirFiles", Db.Info().DirFiles},
                            {"OrdexPort", "0"},
                            {"OrdexHTTP", std::to_string(HttpPort)},
                            {"HttpsCert", Cert.CertFile()},
                            {"HttpsKey", " " + Cert.KeyFile() + " "},
                            {"IsIni", "1"}});
  StartServer();
  ASSERT_TRUE(Server().HttpsEnabled());
  ASSERT_EQ(Server().BoundHttpPort(), HttpPort);

  client::TOrdexClient C;
  client::TClientOptions O;
  O.CaFile = Cert.CertFile();
  C.SetOptions(O);
  C.Connect("127.0.0.1", HttpPort, client::TTransport::Https);
  C.Login("admin", AdminMd5);
  EXPECT_EQ(C.Call("TOrdexServerClass", "getVersion").Values.at("ReturnValue"), Tqxversion().Version());
  ASSERT_TRUE(DrainUntil([&] { return Model().meSession.size() == 1; }));
  EXPECT_EQ(Model().meSession[0].Protocol, "https");
  C.Logout();

  // A key file that is not there: the restart fails naming it, the server stays stopped.
  Frame->Settings().edHttpsKey = Cert.KeyFile() + ".gone";
  try {
    Frame->btnRestartServerClick();
    ADD_FAILURE() << "restarted without a key";
  } catch (const EFileError& E) {
    EXPECT_NE(std::string(E.what()).find(Cert.KeyFile() + ".gone"), std::string::npos) << E.what();
  }
  EXPECT_FALSE(Server().IsRunning());
  // Both cleared: plain HTTP on the same port.
  Frame->Settings().edHttpsCert.clear();
  Frame->Settings().edHttpsKey.clear();
  Frame->btnRestartServerClick();
  EXPECT_FALSE(Server().HttpsEnabled());
  EXPECT_EQ(test::HttpCall(HttpPort, "/ordex/v1/TOrdexServerClass/getVersion", "", "admin", AdminMd5).Status, 200u);
}

TEST_F(ServerHostTest, ServerLimitsFromTheSettingsApplyAtStart) {
  using namespace std::chrono_literals;
  WriteSettingsWithLimits({{"ListenAddress", "127.0.0.1"}, {"MaxConnections", "2"}, {"HeaderTimeoutMs", "300"}});
  auto Settings = LoopbackSettings();
  Settings.Address = "0.0.0.0";  // the file narrows it
  StartServer(Settings);
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  const rpc::TRpcServerSettings Applied = Server().Settings();
  EXPECT_EQ(Applied.Address, "127.0.0.1");
  EXPECT_EQ(Applied.MaxConnections, 2u);
  EXPECT_EQ(Applied.HeaderTimeout, 300ms);
  EXPECT_EQ(Applied.Workers, 2u);  // not in the file: the container's own value

  // Bound to 127.0.0.1 alone: another loopback address of this host is refused.
  {
    boost::asio::io_context Io;
    boost::asio::ip::tcp::socket Other(Io);
    boost::system::error_code Ec;
    Other.connect({boost::asio::ip::make_address("127.0.0.2"), TcpPort()}, Ec);
    EXPECT_TRUE(Ec) << "127.0.0.2 was accepted";
  }

  TTcpClient First(TcpPort()), Second(TcpPort());
  ASSERT_TRUE(First.Login("admin", AdminMd5).value("ok", false));
  ASSERT_TRUE(Second.Login("admin", AdminMd5).value("ok", false));
  TTcpClient Third(TcpPort());
  EXPECT_TRUE(Third.WaitClosed(2s));
  // Logged-in connections may stay idle longer than the header timeout.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Second.Call("TOrdexServerClass", "getVersion", json::array()).value("op", ""), "result");

  // With a place free again a connection is accepted, and dropped when its
  // first frame does not come within the header timeout.
  First.Close();
  ASSERT_TRUE(DrainUntil([&] { return Model().ConnectionsList.size() == 1; }));
  std::this_thread::sleep_for(100ms);
  TTcpClient Silent(TcpPort());
  EXPECT_FALSE(Silent.WaitClosed(100ms));
  EXPECT_TRUE(Silent.WaitClosed(3s));
}

TEST_F(ServerHostTest, BadServerLimitIsShownAndTheServerStartsWithTheDefault) {
  WriteSettingsWithLimits({{"MaxConnections", "0"}, {"ListenAddress", "localhost"}, {"BodyTimeoutMs", "5000"}});
  StartServer();
  ASSERT_TRUE(Server().IsRunning());
  const auto Errors = App.Messages().TakeErrors();
  ASSERT_EQ(Errors.size(), 2u);
  EXPECT_TRUE(std::ranges::any_of(Errors, [](const std::string& E) {
    return E.find("ServerLimits.MaxConnections") != std::string::npos;
  }));
  EXPECT_TRUE(std::ranges::any_of(Errors, [](const std::string& E) {
    return E.find("ServerLimits.ListenAddress") != std::string::npos;
  }));
  const rpc::TRpcServerSettings Applied = Server().Settings();
  EXPECT_EQ(Applied.MaxConnections, rpc::TRpcServerSettings{}.MaxConnections);
  EXPECT_EQ(Applied.Address, "127.0.0.1");
  EXPECT_EQ(Applied.BodyTimeout, std::chrono::milliseconds(5000));
  TTcpClient Client(TcpPort());
  EXPECT_TRUE(Client.Login("admin", AdminMd5).value("ok", false));

  // A restart applies the limits as they stand then.
  Client.Close();
  Frame->Settings().ServerLimits.MaxConnections = 1;
  Frame->btnRestartServerClick();
  EXPECT_EQ(Server().Settings().MaxConnections, 1u);
}

}  // namespace
}  // namespace ordex
