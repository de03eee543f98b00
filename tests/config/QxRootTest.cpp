// The root object: its settings entry, the connection list, the text services,
// the local SQLite database and the global reference.
#include "config/qxroot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "common/qxError.h"
#include "config/dmMHConn.h"
#include "tests/config/ConfigTestSupport.h"

namespace ordex {
namespace {

using test::TRootFixture;
using test::WriteTextFile;

TConnInfo Conn(std::string Name, std::string Ident, std::string DirFiles = {}) {
  TConnInfo C;
  C.NameConnection = std::move(Name);
  C.IdentConnection = std::move(Ident);
  C.DirFiles = std::move(DirFiles);
  return C;
}

TEST(QxRootSettings, FirstRunUsesDefaultsAndSavesThemToTheIniFile) {
  TRootFixture F;
  EXPECT_TRUE(F.Root.IsUpdate());
  EXPECT_FALSE(F.Root.IsRun());
  F.Root.Init();
  EXPECT_EQ(F.Root.CurrentLang(), "Ru");
  EXPECT_EQ(F.Root.CurrentDesign(), "Amakrits");
  F.Root.Destr();
  const std::string Ini = F.Dir / "bin/OrdexServer.ini";
  ASSERT_EQ(IniFileName(), Ini);
  const TSettingsTree Saved = TSettingsTree::FromJSON(TSettingsFile(Ini).Read("App", "Tqxroot"));
  ASSERT_TRUE(Saved.HasTree("App"));
  EXPECT_EQ(Saved.Tree("App")->Value("CurrentLang"), "Ru");
  EXPECT_EQ(Saved.Tree("App")->Value("CurrentDesign"), "Amakrits");
  EXPECT_FALSE(std::filesystem::exists(F.Dir / "bin/OrdexServer.Ini"));  // one settings file only
}

TEST(QxRootSettings, SavedValuesComeBackAndOtherSectionsSurvive) {
  TRootFixture F;
  TSettingsFile(IniFileName()).Write("ConnectionSettings", "TfrmQxServers", "{\"x\":\"1\"}");
  F.Root.Init();
  F.Root.SetCurrentLang("En");
  F.Root.SetCurrentDesign("Dark");
  F.Root.SaveSettings();
  Tqxroot Second;
  Second.Init();
  EXPECT_EQ(Second.CurrentLang(), "En");
  EXPECT_EQ(Second.CurrentDesign(), "Dark");
  EXPECT_EQ(TSettingsFile(IniFileName()).Read("ConnectionSettings", "TfrmQxServers"), "{\"x\":\"1\"}");
}

TEST(QxRootSettings, UnusableEntriesKeepTheDefaults) {
  struct Case {
    const char* Value;
    const char* Lang;
    const char* Design;
  } Cases[] = {
      {"not json", "Ru", "Amakrits"},
      {"[1,2]", "Ru", "Amakrits"},
      {R"({"App":"x"})", "Ru", "Amakrits"},
      {R"({"App":{"CurrentLang":5,"CurrentDesign":true}})", "Ru", "Amakrits"},
      {R"({"CurrentLang":"En"})", "Ru", "Amakrits"},  // not inside "App"
      {R"({"App":{"CurrentLang":"En"}})", "En", "Amakrits"},
  };
  for (const Case& C : Cases) {
    TRootFixture F;
    TSettingsFile(IniFileName()).Write("App", "Tqxroot", C.Value);
    F.Root.Init();
    EXPECT_EQ(F.Root.CurrentLang(), C.Lang) << C.Value;
    EXPECT_EQ(F.Root.CurrentDesign(), C.Design) << C.Value;
  }
}

TEST(QxRootSettings, InitStyleSwitchesOnlyWhenTheStyleDiffers) {
  Tqxroot Root;
  Root.SetCurrentDesign(" Dark ");
  std::vector<std::string> Applied;
  Root.OnApplyStyle = [&](const std::string& Name) { Applied.push_back(Name); };
  Root.InitStyle("Dark");
  Root.InitStyle("Light ");
  EXPECT_EQ(Applied, std::vector<std::string>{"Dark"});
}

TEST(QxRootConnections, FindAndReplaceUseTheLastMatchingIdent) {
  Tqxroot Root;
  Root.AddConnections(Conn("A", "MainDBSrv", "first"));
  Root.AddConnections(Conn("B", "Other"));
  Root.AddConnections(Conn("C", " MainDBSrv ", "second"));
  EXPECT_EQ(Root.FindConnection("MainDBSrv"), 2);
  EXPECT_EQ(Root.FindConnection("mainDBSrv"), -1);  // case-sensitive
  EXPECT_EQ(Root.FindConnection("none"), -1);
  EXPECT_EQ(Root.GetConnectionByName(" MainDBSrv").DirFiles, "second");
  EXPECT_EQ(Root.GetConnectionByName("none").NameConnection, "");

  Root.ReplConnections(Conn("MainDBSrv", "MainDBSrv", "third"));  // matched by its name against the idents
  ASSERT_EQ(Root.ConnectionCount(), 3);
  EXPECT_EQ(Root.GetConnectionInfo(0).DirFiles, "first");
  EXPECT_EQ(Root.GetConnectionInfo(2).DirFiles, "third");
  Root.ReplConnections(Conn("New", "New"));
  EXPECT_EQ(Root.ConnectionCount(), 4);
}

TEST(QxRootConnections, GetDirFilesTrimsTheConnectionName) {
  Tqxroot Root;
  EXPECT_EQ(Root.GetDirFiles(), "");
  Root.AddConnections(Conn(" MainDBSrv ", "x", "/store/"));
  EXPECT_EQ(Root.GetDirFiles(), "/store/");
  EXPECT_EQ(Root.GetConnectionInfo("mainDBSrv").DirFiles, "");
}

TEST(QxRootConnections, IndexOperationsRefuseBadIndexes) {
  Tqxroot Root;
  Root.AddConnections(Conn("A", "A"));
  Root.SetConnection(0, Conn("B", "B"));
  EXPECT_EQ(Root.GetConnectionInfo(0).NameConnection, "B");
  for (const std::int32_t Bad : {-1, 1, 100}) {
    EXPECT_THROW(Root.SetConnection(Bad, Conn("X", "X")), EArgumentError) << Bad;
    EXPECT_THROW(Root.GetConnectionInfo(Bad), EArgumentError) << Bad;
  }
  Root.IniConnections(Conn("MainDBSrv", "MainDBSrv"));
  ASSERT_EQ(Root.ConnectionCount(), 1);
  EXPECT_EQ(Root.GetConnectionInfo(0).NameConnection, "Main");
  Root.ClearConnections();
  EXPECT_EQ(Root.ConnectionCount(), 0);
}

TEST(QxRootConnections, ReadersNeverSeeAHalfReplacedEntry) {
  Tqxroot Root;
  TConnInfo A = Conn("MainDBSrv", "MainDBSrv", std::string(200, 'a'));
  A.Server = std::string(200, 'a');
  TConnInfo B = Conn("MainDBSrv", "MainDBSrv", std::string(300, 'b'));
  B.Server = std::string(300, 'b');
  Root.AddConnections(A);
  std::thread Writer([&] {
    for (int I = 0; I < 20000; ++I) Root.ReplConnections(I % 2 ? A : B);
  });
  for (int I = 0; I < 20000; ++I) {
    const TConnInfo C = Root.GetConnectionByName("MainDBSrv");
    ASSERT_EQ(C.Server, C.DirFiles);
  }
  Writer.join();
}

// Collects the error messages instead of showing them.
struct TCapture : IMessagePresenter {
  std::vector<std::string> Errors;
  void ShowError(const std::string& Text) override { Errors.push_back(Text); }
  void ShowInfo(const std::string&) override {}
  int AskOkCancel(const std::string&, const std::string&) override { return 2; }
  void ShowErrorWindow(const std::string&, const std::string&) override {}
};

TEST(QxRootText, StrToConnectInfoReportsEachBadLine) {
  struct Case {
    std::string Input;
    std::string Server, Dbname, Username, Password;
    std::vector<std::string> Errors;
  } Cases[] = {
      {"Server=db1\r\nPort=3306", "db1", "", "", "", {"Error Name Param: Port=3306"}},
      {" Database = /data/ordex.db \r\n\r\nUsername=sa\r\nPassword=p w ", "", "/data/ordex.db", "sa", "p w", {}},
      {"Password=\r\nServer=a=b\r\nnoequals", "", "", "", "", {"Error Setting String: Password=",
                                                               "Error Setting String: Server=a=b",
                                                               "Error Setting String: noequals"}},
      {"server=x\r\n=y", "", "", "", "", {"Error Name Param: server=x", "Error Name Param: =y"}},
      {"Server=a\r\nServer=b", "b", "", "", "", {}},
      {"", "", "", "", "", {}},
  };
  Tqxroot Root;
  for (const Case& C : Cases) {
    auto Capture = std::make_shared<TCapture>();
    const auto Previous = SetMessagePresenter(Capture);
    const TConnInfo Info = Root.StrToConnectInfo(C.Input);
    SetMessagePresenter(Previous);
    EXPECT_EQ(Info.Server, C.Server) << C.Input;
    EXPECT_EQ(Info.Dbname, C.Dbname) << C.Input;
    EXPECT_EQ(Info.Username, C.Username) << C.Input;
    EXPECT_EQ(Info.Password, C.Password) << C.Input;
    EXPECT_EQ(Info.Port, "") << C.Input;
    EXPECT_EQ(Capture->Errors, C.Errors) << C.Input;
  }
}

TEST(QxRootText, NameTypeDBToZeosType) {
  const std::pair<const char*, const char*> Cases[] = {
      {"SQLite", "sqlite-3"}, {"MySQL", "mysql"},     {"PostgreSQL", "postgresql"}, {"Firebird", "firebird"},
      {"Interbase", "interbase"}, {"InterbaseLite", "interbase"}, {"Mongo", "mysql"}, {"MsSQL", "mysql"},
      {"MsAccess", "ado"},    {"DB2", "ado"},         {"Informix", "ado"},          {"Oracle", "oracle"},
      {"mysql", ""},          {" MySQL", ""},         {"", ""},                     {"PG", ""},
  };
  for (const auto& [Name, Protocol] : Cases) EXPECT_EQ(Tqxroot::NameTypeDBToZeosType(Name), Protocol) << Name;
}

TEST(QxRootServices, IsCommand) {
  Tqxroot Root;
  struct Case {
    std::vector<std::string> Args;
    bool Update;
  } Cases[] = {
      {{"-update"}, true},   {{"--update"}, true},  {{" -update "}, true}, {{"/update"}, false},
      {{"-Update"}, false},  {{"---update"}, false}, {{"x", "--update"}, true}, {{}, false},
  };
  for (const Case& C : Cases) {
    Root.SetCommandLine(C.Args);
    EXPECT_EQ(Root.isCommand("update"), C.Update) << (C.Args.empty() ? "" : C.Args.back());
    EXPECT_EQ(Root.isCommand(" update "), C.Update);
  }
}

TEST(QxRootServices, GetNowAndOperatingSystemCode) {
  Tqxroot Root;
  EXPECT_NEAR(Root.GetNow(), NowLocal(), 5.0 / 86400);
  Root.GetNowFunc = [] { return 45000.5; };
  EXPECT_EQ(Root.GetNow(), 45000.5);
  EXPECT_EQ(Tqxroot::GetOSApp(), sizeof(void*) == 8 ? "linux64" : "linux32");
}

TEST(QxRootLocalDb, FindSQLiteDBLooksNextToTheProgramThenInData) {
  TRootFixture F("Prog/Server/Linux64/Debug/OrdexServer");
  EXPECT_EQ(F.Root.FindSQLiteDB("OrdexServer.db"), "");
  std::filesystem::create_directories(F.Dir / "Data/OrdexServer.db");  // a folder is not a database
  EXPECT_EQ(F.Root.FindSQLiteDB("OrdexServer.db"), "");
  std::filesystem::remove(F.Dir / "Data/OrdexServer.db");
  WriteTextFile(F.Dir / "Data/OrdexServer.db", "");
  EXPECT_EQ(F.Root.FindSQLiteDB("OrdexServer.db"), F.Dir / "Data/OrdexServer.db");
  WriteTextFile(F.Dir / "Prog/Server/Linux64/Debug/OrdexServer.db", "");
  EXPECT_EQ(F.Root.FindSQLiteDB("OrdexServer.db"), F.Dir.Path() + "/Prog/Server/Linux64/Debug//OrdexServer.db");
}

TEST(QxRootLocalDb, IniMainDBOpensAFoundFileWithTheLocalParameters) {
  TRootFixture F;
  F.Root.IniMainDB("local.db");
  ASSERT_NE(F.Root.MHConns(), nullptr);  // the module exists even when nothing is found
  EXPECT_FALSE(F.Root.Connected());

  WriteTextFile(F.Dir / "bin/local.db", "");
  F.Root.IniMainDB("local.db");
  EXPECT_TRUE(F.Root.Connected());
  const db::TConnection& C = F.Root.MHConns()->cnMyHost;
  EXPECT_EQ(C.DriverName(), "SQLite");
  EXPECT_EQ(C.Params(), (std::vector<std::string>{"Database=" + F.Dir.Path() + "/bin//local.db", "DriverID=SQLite",
                                                  "LockingMode=Normal", "OpenMode=CreateUTF16",
                                                  "StringFormat=Unicode"}));
  EXPECT_EQ(F.Root.MHConns()->cnConn.Params(),
            (std::vector<std::string>{"DriverID=SQLite", "LockingMode=Normal", "OpenMode=CreateUTF16",
                                      "StringFormat=Unicode"}));
}

TEST(QxRootGlobal, TheGlobalReferenceIsSetAndCleared) {
  SetQxroot(nullptr);
  EXPECT_FALSE(HasQxroot());
  EXPECT_THROW(qxroot(), Exception);
  Tqxroot Root;
  SetQxroot(&Root);
  EXPECT_TRUE(HasQxroot());
  EXPECT_EQ(&qxroot(), &Root);
  EXPECT_EQ(qxroot().Ver.Version(), "2.3.17");
  SetQxroot(nullptr);
  EXPECT_FALSE(HasQxroot());
}

}  // namespace
}  // namespace ordex
