// The three sources of the main connection, loading and saving the settings.
#include <filesystem>

#include <gtest/gtest.h>

#include "config/ConnectSettings.h"
#include "common/qxError.h"
#include "config/dmMHConn.h"
#include "config/qxSettings.h"
#include "tests/serverhost/HostTestSupport.h"

namespace ordex {
namespace {

using test::TFakeApp;

// Records which databases were checked, and can fail like an upgrade that breaks.
class TRecordingCheck : public ISchemaCheck {
 public:
  void CheckSchema(db::TConnection& Conn, const std::string& DbIdentity) override {
    Calls.push_back(DbIdentity + (Conn.Connected() ? "" : " (closed)"));
    if (Fail) throw EDatabaseError("upgrade failed");
  }
  std::vector<std::string> Calls;
  bool Fail = false;
};

// Makes an SQLite file with one table.
void MakeSQLiteFile(const std::string& Path, const std::vector<std::string>& Statements = {"CREATE TABLE t (x INTEGER)"}) {
  db::TConnection C;
  C.SetDriverName("SQLite");
  C.Params() = {"DriverID=SQLite", "Database=" + Path, "OpenMode=CreateUTF16"};
  C.Open();
  for (const auto& S : Statements) C.ExecSQL(S);
}

class ConnectSettingsTest : public ::testing::Test {
 protected:
  TConnInfo Main() { return App.Root().GetConnectionByName(MainDBSrv); }
  // The frame's start: show the source, load, connect without a message.
  void Start(TConnectSettings& S) {
    S.ShowConnectSource();
    S.LoadConnectSettings();
    S.ConnectSelected(false);
  }
  bool Connected(TConnectSettings& S) { return S.dmQxSrvConnects && S.dmQxSrvConnects->cnQxConn.Connected(); }

  TFakeApp App;
  TRecordingCheck Check;
};

TEST_F(ConnectSettingsTest, FirstStartWithoutStoreRefusesAndCreatesNoFile) {
  TConnectSettings S(&Check);
  Start(S);
  EXPECT_EQ(S.Source(), TConnectSource::Default);
  EXPECT_EQ(S.edPortServer, "4321");
  EXPECT_EQ(S.edHttp, "");
  EXPECT_FALSE(S.Panels().paIniSettings);
  EXPECT_FALSE(S.Panels().tsDBTab);
  const auto Errors = App.Messages().TakeErrors();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].rfind("Ошибка подключения! ", 0), 0u) << Errors[0];
  EXPECT_FALSE(Connected(S));
  EXPECT_TRUE(Check.Calls.empty());
  EXPECT_FALSE(std::filesystem::exists(App.Dir() + "ordex.db"));
  // The failed source is still recorded as the main connection.
  const TConnInfo M = Main();
  EXPECT_EQ(M.TypeDB, "SQLite");
  EXPECT_EQ(M.Dbname, "");
  EXPECT_EQ(M.DirFiles, App.Dir() + "files/");
  EXPECT_EQ(M.NameConnection, "MainDBSrv");
}

TEST_F(ConnectSettingsTest, DefaultStoreNextToProgramConnectsWithCheckAndMessage) {
  MakeSQLiteFile(App.Dir() + "ordex.db");
  TConnectSettings S(&Check);
  S.ShowConnectSource();
  S.LoadConnectSettings();
  S.btnConnectClick();
  EXPECT_TRUE(Connected(S));
  EXPECT_EQ(App.Messages().TakeInfos(), std::vector<std::string>{"Подключение произошло успешно!"});
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  EXPECT_EQ(Check.Calls, std::vector<std::string>{"MainDBSrv"});
  EXPECT_EQ(Main().Dbname, App.Root().FindSQLiteDB("ordex.db"));
  EXPECT_FALSE(Main().Dbname.empty());
}

TEST_F(ConnectSettingsTest, IsIniValueChoosesTheSource) {
  const struct {
    const char* IsIni;
    TConnectSource Expected;
  } Cases[] = {{" 2 ", TConnectSource::DB}, {"1", TConnectSource::Ini}, {"3", TConnectSource::Default},
               {"", TConnectSource::Default}, {"x", TConnectSource::Default}};
  for (const auto& C : Cases) {
    App.WriteConnectSettings({{"IsIni", C.IsIni}});
    TConnectSettings S;
    S.SelectSource(TConnectSource::Ini);  // a different start, so the value decides
    S.LoadConnectSettings();
    EXPECT_EQ(S.Source(), C.Expected) << "IsIni \"" << C.IsIni << "\"";
    EXPECT_EQ(S.Panels().tsDBTab, C.Expected == TConnectSource::DB);
  }
}

TEST_F(ConnectSettingsTest, IniSourceConnectsWithTheFieldsInParameterOrder) {
  const std::string Path = App.Dir() + "other.db";
  MakeSQLiteFile(Path);
  App.WriteConnectSettings({{"TypeDB", "sqlite"}, {"Database", Path}, {"Port", " "}, {"OrdexPort", "5000"},
                            {"OrdexHTTP", "8080"}, {"DirFiles", ""}, {"IsIni", "1"}});
  TConnectSettings S(&Check);
  S.ShowConnectSource();
  S.LoadConnectSettings();
  // Loading records the description as stored; the kind is shown without regard to case.
  EXPECT_EQ(Main().TypeDB, "sqlite");
  EXPECT_EQ(S.GetDBTypeName(), "SQLite");
  EXPECT_EQ(S.edDatabase, Path);
  EXPECT_EQ(S.edPortServer, "5000");
  EXPECT_EQ(S.edHttp, "8080");

  S.ConnectSelected(false);
  ASSERT_TRUE(Connected(S));
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  EXPECT_TRUE(App.Messages().TakeInfos().empty());
  EXPECT_EQ(S.dmQxSrvConnects->cnQxConn.Params(),
            (std::vector<std::string>{"DriverID=SQLite", "Database=" + Path, "CharacterSet=utf8mb4",
                                      "LockingMode=Normal", "OpenMode=CreateUTF16"}));
  const TConnInfo M = Main();
  EXPECT_EQ(M.TypeDB, "SQLite");
  EXPECT_EQ(M.Dbname, Path);
  EXPECT_EQ(M.DirFiles, App.Dir() + "files/");  // a blank folder gets the default
  EXPECT_EQ(App.Root().ConnectionCount(), 1);
}

TEST_F(ConnectSettingsTest, DatabaseSourceUsesFirstSelectedRowAndKeepsEmptyFolder) {
  const std::string First = App.Dir() + "first.db", Second = App.Dir() + "second.db";
  MakeSQLiteFile(First);
  MakeSQLiteFile(Second);
  MakeSQLiteFile(App.Dir() + "OrdexServer.db",
                 {"CREATE TABLE dbconnects (id INTEGER PRIMARY KEY AUTOINCREMENT, NameConnect TEXT, Server TEXT, "
                  "Port INTEGER, Dbname TEXT, Username TEXT, Password TEXT, TypeDB TEXT, SelDB INTEGER, DirFiles TEXT)",
                  "INSERT INTO dbconnects (NameConnect, TypeDB, Dbname, SelDB, DirFiles) VALUES ('a', 'SQLite', "
                  "'/nonexistent/a.db', 0, '/a')",
                  "INSERT INTO dbconnects (NameConnect, TypeDB, Dbname, SelDB, DirFiles) VALUES ('b', 'SQLite', '" +
                      First + "', 1, '')",
                  "INSERT INTO dbconnects (NameConnect, TypeDB, Dbname, SelDB, DirFiles) VALUES ('c', 'SQLite', '" +
                      Second + "', 1, '/c')"});
  App.WriteConnectSettings({{"IsIni", "2"}});
  TConnectSettings S(&Check);
  Start(S);
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  ASSERT_TRUE(Connected(S));
  EXPECT_EQ(S.dmQxSrvConnects->cnQxConn.ParamValue("Database"), First);
  EXPECT_EQ(Check.Calls, (std::vector<std::string>{"ConnSrv", "MainDBSrv"}));
  const TConnInfo M = Main();
  EXPECT_EQ(M.Dbname, First);
  EXPECT_EQ(M.DirFiles, "");

  // A new row of the list is the current connection, of the default kind.
  db::TQuery& Q = *S.iqConnects();
  Q.Append();
  EXPECT_EQ(Q.FieldByName("SelDB").AsInteger(), 1);
  EXPECT_EQ(Q.FieldByName("TypeDB").AsString(), "MySQL");
  Q.Cancel();
}

TEST_F(ConnectSettingsTest, DatabaseSourceWithoutSelectedRowRecordsTheRowTheListStartedOn) {
  MakeSQLiteFile(App.Dir() + "OrdexServer.db",
                 {"CREATE TABLE dbconnects (id INTEGER PRIMARY KEY AUTOINCREMENT, NameConnect TEXT, Server TEXT, "
                  "Port INTEGER, Dbname TEXT, Username TEXT, Password TEXT, TypeDB TEXT, SelDB INTEGER, DirFiles TEXT)",
                  "INSERT INTO dbconnects (NameConnect, TypeDB, Server, Port, Dbname, SelDB, DirFiles) VALUES "
                  "('a', 'MySQL', 'h1', 3306, 'first', 0, '/a')",
                  "INSERT INTO dbconnects (NameConnect, TypeDB, Server, Port, Dbname, SelDB, DirFiles) VALUES "
                  "('b', 'PG', 'h2', 5432, 'last', 0, '/b')"});
  App.WriteConnectSettings({{"IsIni", "2"}});
  TConnectSettings S(&Check);
  Start(S);
  EXPECT_EQ(App.Messages().TakeErrors(), std::vector<std::string>{"Не найдена текущая база данных!"});
  EXPECT_FALSE(Connected(S));
  // The failed search moved nothing: the first row is the list's current row.
  const TConnInfo M = Main();
  EXPECT_EQ(M.Dbname, "first");
  EXPECT_EQ(M.Server, "h1");
  EXPECT_EQ(M.Port, "3306");
  EXPECT_EQ(M.TypeDB, "MySQL");
  EXPECT_EQ(M.DirFiles, "/a");
}

TEST_F(ConnectSettingsTest, SelectingTheSelectedSourceAgainDoesNothing) {
  TConnectSettings S(&Check);
  S.SelectSource(TConnectSource::DB);
  EXPECT_EQ(App.Messages().TakeErrors(), std::vector<std::string>{"Не найдена база данных подключений!"});
  // Loading database mode while it is already chosen fires no click: no second search.
  App.WriteConnectSettings({{"IsIni", "2"}});
  S.LoadConnectSettings();
  S.SelectSource(TConnectSource::DB);
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  // A change shows the panels again.
  S.SelectSource(TConnectSource::Default);
  EXPECT_FALSE(S.Panels().paIniSettings);
  EXPECT_FALSE(S.Panels().tsDBTab);
}

TEST_F(ConnectSettingsTest, DatabaseSourceWithoutConnectionsDatabaseConnectsNothing) {
  App.WriteConnectSettings({{"IsIni", "2"}});
  TConnectSettings S(&Check);
  Start(S);
  EXPECT_EQ(App.Messages().TakeErrors(),
            (std::vector<std::string>{"Не найдена база данных подключений!", "Не найдена текущая база данных!"}));
  EXPECT_FALSE(Connected(S));
  EXPECT_TRUE(Check.Calls.empty());
  EXPECT_FALSE(std::filesystem::exists(App.Dir() + "OrdexServer.db"));
  EXPECT_EQ(Main().Dbname, "");
}

TEST_F(ConnectSettingsTest, SaveWritesTheFieldsAsTheyStand) {
  App.WriteConnectSettings({{"TypeDB", "NoSuchKind"}, {"Server", "db1"}, {"IsIni", "1"}});
  TConnectSettings S;
  S.LoadConnectSettings();
  EXPECT_EQ(S.lbTypeDB, -1);
  S.SelectSource(TConnectSource::Default);
  S.edPassword = " p w ";
  S.edHttp = "8081";
  S.SaveConnectSettings();
  const auto Saved = App.ReadConnectSettings();
  const nlohmann::json Expected = {{"ConnectDB",
                                    {{"TypeDB", "SQLite"}, {"Server", "db1"}, {"Port", ""}, {"Database", ""},
                                     {"Login", ""}, {"Password", " p w "}, {"DirFiles", ""}, {"OrdexHTTP", "8081"},
                                     {"OrdexPort", "4321"}, {"IsIni", "0"}}}};
  EXPECT_EQ(Saved, Expected);
}

TEST_F(ConnectSettingsTest, HttpsFilesAreLoadedAndSavedOnlyWhenSet) {
  App.WriteConnectSettings({{"OrdexHTTP", "8443"}, {"HttpsCert", "/etc/ordex/cert.pem"},
                            {"HttpsKey", "/etc/ordex/key.pem"}, {"SomethingNewer", "x"}});
  TConnectSettings S;
  S.LoadConnectSettings();
  EXPECT_EQ(S.edHttp, "8443");
  EXPECT_EQ(S.edHttpsCert, "/etc/ordex/cert.pem");
  EXPECT_EQ(S.edHttpsKey, "/etc/ordex/key.pem");
  S.SaveConnectSettings();
  auto Saved = App.ReadConnectSettings().at("ConnectDB");
  EXPECT_EQ(Saved.at("HttpsCert"), "/etc/ordex/cert.pem");
  EXPECT_EQ(Saved.at("HttpsKey"), "/etc/ordex/key.pem");

  // Cleared fields leave the keys out: absent keys mean plain HTTP.
  S.edHttpsCert.clear();
  S.edHttpsKey.clear();
  S.SaveConnectSettings();
  Saved = App.ReadConnectSettings().at("ConnectDB");
  EXPECT_FALSE(Saved.contains("HttpsCert"));
  EXPECT_FALSE(Saved.contains("HttpsKey"));
  TConnectSettings Again;
  Again.LoadConnectSettings();
  EXPECT_EQ(Again.edHttpsCert, "");
  EXPECT_EQ(Again.edHttpsKey, "");
}

TEST_F(ConnectSettingsTest, SettingsThatAreNotJsonChangeNothing) {
  ProgramSettingsFile().Write("ConnectionSettings", "TfmOrdexServerMains", "{not json");
  TConnectSettings S;
  S.SelectSource(TConnectSource::Ini);
  S.LoadConnectSettings();
  EXPECT_EQ(S.Source(), TConnectSource::Ini);
  EXPECT_EQ(App.Root().ConnectionCount(), 0);
}

TEST_F(ConnectSettingsTest, FailingSchemaCheckEndsTheConnectBeforeRecording) {
  MakeSQLiteFile(App.Dir() + "ordex.db");
  Check.Fail = true;
  TConnectSettings S(&Check);
  EXPECT_THROW(S.ConnectSelected(false), EDatabaseError);
  EXPECT_EQ(App.Root().ConnectionCount(), 0);
}

// The entry exactly as given (tests of members the helper cannot write).
void WriteEntry(const nlohmann::json& Entry) {
  ProgramSettingsFile().Write("ConnectionSettings", "TfmOrdexServerMains", Entry.dump());
}

TEST_F(ConnectSettingsTest, ServerLimitsAreLoadedWithoutConnectDB) {
  WriteEntry({{"ServerLimits",
               {{"MaxHeaderBytes", "65536"}, {"MaxFrameBytes", " 8388608 "}, {"MaxConnections", "2"},
                {"HeaderTimeoutMs", "500"}, {"BodyTimeoutMs", "60000"}, {"HttpIdleMinutes", "5"},
                {"WorkerThreads", 3}, {"ListenAddress", " 127.0.0.1 "}}}});
  TConnectSettings S;
  S.LoadConnectSettings();
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  const TServerLimits& L = S.ServerLimits;
  EXPECT_EQ(L.MaxHeaderBytes, 65536u);
  EXPECT_EQ(L.MaxFrameBytes, 8388608u);
  EXPECT_EQ(L.MaxConnections, 2u);
  EXPECT_EQ(L.HeaderTimeoutMs, 500u);
  EXPECT_EQ(L.BodyTimeoutMs, 60000u);
  EXPECT_EQ(L.HttpIdleMinutes, 5u);
  EXPECT_EQ(L.WorkerThreads, 3u);  // a plain JSON number is taken as well
  EXPECT_EQ(L.ListenAddress, "127.0.0.1");
  // No "ConnectDB": the connection part of the entry changes nothing.
  EXPECT_EQ(App.Root().ConnectionCount(), 0);
}

TEST_F(ConnectSettingsTest, BadServerLimitIsShownByNameAndKeepsTheDefault) {
  const struct {
    const char* Key;
    nlohmann::json Value;
  } Bad[] = {
      {"MaxConnections", "0"},
      {"MaxConnections", "-1"},
      {"MaxConnections", "2x"},
      {"MaxConnections", "1.5"},
      {"MaxConnections", "100001"},
      {"MaxConnections", "99999999999999999999999"},
      {"MaxConnections", true},
      {"MaxConnections", -3},
      {"MaxConnections", 2.5},
      {"MaxFrameBytes", "65536"},  // below a client's transfer chunk
      {"HeaderTimeoutMs", "10"},
      {"HttpIdleMinutes", nlohmann::json::object()},
      {"WorkerThreads", "1"},
      {"ListenAddress", "localhost"},
      {"ListenAddress", "10.0.0.256"},
      {"ListenAddress", 127},
      {"ListenAddress", std::string("127.0.0.1\0x", 11)},
  };
  for (const auto& C : Bad) {
    WriteEntry({{"ServerLimits", {{C.Key, C.Value}, {"BodyTimeoutMs", "5000"}}}});
    TConnectSettings S;
    S.LoadConnectSettings();
    const auto Errors = App.Messages().TakeErrors();
    ASSERT_EQ(Errors.size(), 1u) << C.Key << " " << C.Value;
    EXPECT_NE(Errors[0].find(std::string("ServerLimits.") + C.Key), std::string::npos) << Errors[0];
    EXPECT_NE(Errors[0].find("по умолчанию"), std::string::npos) << Errors[0];
    TServerLimits Expected;
    Expected.BodyTimeoutMs = 5000;  // the good key beside it still counts
    EXPECT_EQ(S.ServerLimits.Describe(), Expected.Describe()) << C.Key << " " << C.Value;
  }

  // Blank values are absent values; a misspelt key and a sub-tree that is not
  // an object are shown too.
  WriteEntry({{"ServerLimits", {{"MaxConnections", "  "}, {"ListenAddress", ""}}}});
  TConnectSettings Blank;
  Blank.LoadConnectSettings();
  EXPECT_TRUE(App.Messages().TakeErrors().empty());
  EXPECT_TRUE(Blank.ServerLimits.Empty());
  WriteEntry({{"ServerLimits", {{"MaxConection", "2"}}}});
  TConnectSettings Misspelt;
  Misspelt.LoadConnectSettings();
  EXPECT_EQ(App.Messages().TakeErrors(),
            std::vector<std::string>{"Неизвестный параметр ServerLimits.MaxConection не учитывается."});
  WriteEntry({{"ServerLimits", "2"}});
  TConnectSettings NotObject;
  NotObject.LoadConnectSettings();
  EXPECT_EQ(App.Messages().TakeErrors().size(), 1u);
  EXPECT_TRUE(NotObject.ServerLimits.Empty());
}

TEST_F(ConnectSettingsTest, SavingKeepsTheServerLimitsAsTheFileHoldsThem) {
  const nlohmann::json Limits = {{"MaxConnections", "2"}, {"WorkerThreads", 4}, {"Typo", "x"}};
  WriteEntry({{"ConnectDB", {{"IsIni", "1"}, {"Server", "db1"}}}, {"ServerLimits", Limits}});
  TConnectSettings S;
  S.LoadConnectSettings();
  App.Messages().TakeErrors();
  S.edServer = "db2";
  S.SaveConnectSettings();
  auto Saved = App.ReadConnectSettings();
  EXPECT_EQ(Saved.at("ConnectDB").at("Server"), "db2");
  EXPECT_EQ(Saved.at("ServerLimits"), Limits);

  // The operator edits the file while the console runs: the newer tree is kept.
  Saved["ServerLimits"]["MaxConnections"] = "50";
  WriteEntry(Saved);
  S.SaveConnectSettings();
  EXPECT_EQ(App.ReadConnectSettings().at("ServerLimits").at("MaxConnections"), "50");
  // The loaded limits are what the running server uses until the next load.
  EXPECT_EQ(S.ServerLimits.MaxConnections, 2u);
}

}  // namespace
}  // namespace ordex
