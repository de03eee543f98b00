// The database connection module: connection parameters, driver objects, the
// failed-opening message and the login check.
#include "config/dmQxSrvConnect.h"

#include <gtest/gtest.h>

#include <set>

#include "common/qxError.h"
#include "tests/config/ConfigTestSupport.h"
#include "tests/support/TestDatabases.h"

namespace ordex {
namespace {

using Strings = std::vector<std::string>;

// The root object with a main connection and the server marked as running.
class SrvConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    SetQxroot(&Root);
    Root.SetIsRun(true);
  }
  void TearDown() override { SetQxroot(nullptr); }
  void SetMain(TConnInfo Info) {
    Info.NameConnection = MainDBSrv;
    Info.IdentConnection = MainDBSrv;
    Root.ReplConnections(Info);
  }
  Tqxroot Root;
};

TEST_F(SrvConnect, SQLiteParametersLeaveOutEmptyFields) {
  test::TTempDir Dir;
  TConnInfo Info;
  Info.TypeDB = "SQLite";
  Info.Dbname = Dir / "ordex.db";
  Info.Port = "   ";
  SetMain(Info);
  // The file must exist: the module does not ask the access layer to create it.
  test::WriteTextFile(Info.Dbname, "");
  TdmQxSrvConnects M;
  M.ConnectDB();
  EXPECT_TRUE(M.cnQxConn.Connected());
  EXPECT_EQ(M.cnQxConn.DriverName(), "SQLite");
  EXPECT_EQ(M.cnQxConn.Params(), (Strings{"CharacterSet=utf8mb4", "DriverID=SQLite", "Database=" + Info.Dbname}));
  EXPECT_EQ(M.DriverNames(), Strings{"SQLiteDriver"});
}

TEST_F(SrvConnect, MySQLParametersAreTrimmedAndAFailedOpeningIsReworded) {
  TConnInfo Info;
  Info.TypeDB = " MySQL ";
  Info.Server = " 127.0.0.1 ";
  Info.Port = " 1 ";  // nothing listens there
  Info.Dbname = "qxordex";
  Info.Username = "ordex";
  Info.Password = "secret";
  SetMain(Info);
  TdmQxSrvConnects M;
  try {
    M.ConnectDB();
    FAIL() << "connected to port 1";
  } catch (const EDatabaseError& E) {
    const std::string Message = E.what();
    EXPECT_EQ(Message.rfind("EDatabaseError ошибка с сообщением: \r", 0), 0u) << Message;
    EXPECT_GT(Message.size(), std::string("EDatabaseError ошибка с сообщением: \r").size());
  }
  EXPECT_FALSE(M.cnQxConn.Connected());
  EXPECT_EQ(M.cnQxConn.DriverName(), "MySQL");
  EXPECT_EQ(M.cnQxConn.Params(), (Strings{"CharacterSet=utf8mb4", "DriverID=MySQL", "Server=127.0.0.1", "Port=1",
                                          "Database=qxordex", "User_Name=ordex", "Password=secret"}));
}

TEST_F(SrvConnect, NothingHappensWhileTheServerIsNotRunning) {
  Root.SetIsRun(false);
  TConnInfo Info;
  Info.TypeDB = "SQLite";
  Info.Dbname = "/nonexistent/x.db";
  SetMain(Info);
  TdmQxSrvConnects M;
  EXPECT_NO_THROW(M.ConnectDB());
  EXPECT_FALSE(M.cnQxConn.Connected());
  EXPECT_TRUE(M.cnQxConn.Params().empty());
  EXPECT_TRUE(M.DriverNames().empty());
}

TEST_F(SrvConnect, DriverObjectsPerKindAreMadeOnce) {
  const std::pair<const char*, Strings> Cases[] = {
      {"MySQL", {"SQLiteDriver"}},           {"SQLite", {"SQLiteDriver"}},
      {"IBLite", {"SQLiteDriver"}},          {"pg", {"SQLiteDriver"}},
      {"Mongo", {"MongoDriver", "SQLiteDriver"}}, {"PG", {"PGDriver", "SQLiteDriver"}},
      {"FB", {"FBDriver", "SQLiteDriver"}},  {"IB", {"IBDriver", "SQLiteDriver"}},
      {"MSSQL", {"MSSQLDriver", "SQLiteDriver"}}, {"Ora", {"OraDriver", "SQLiteDriver"}},
      {"MSAcc", {"MSAccDriver", "SQLiteDriver"}}, {"DB2", {"DB2Driver", "SQLiteDriver"}},
      {"ODBC", {"ODBCDriver", "SQLiteDriver"}}, {"Infx", {"InfxDriver", "SQLiteDriver"}},
      {"DS", {"DSDriver", "SQLiteDriver"}},  {"ADS", {"ADSDriver", "SQLiteDriver"}},
      {"ASA", {"ASADriver", "SQLiteDriver"}}, {"TData", {"SQLiteDriver", "TDataDriver"}},
      {"TDBX", {"SQLiteDriver", "TDBXDriver"}},
  };
  for (const auto& [Kind, Drivers] : Cases) {
    TdmQxSrvConnects M;
    M.cnQxConn.SetDriverName(Kind);
    M.CreateDriver();
    M.CreateDriver();
    EXPECT_EQ(M.DriverNames(), Drivers) << Kind;
  }
}

TEST_F(SrvConnect, ConnectingTwiceKeepsOneDriverObjectPerKind) {
  TConnInfo Info;
  Info.TypeDB = "PG";
  Info.Server = "localhost";
  Info.Dbname = "x";
  SetMain(Info);
  TdmQxSrvConnects M;
  for (int I = 0; I < 2; ++I) {
    try {
      M.ConnectDB();
      FAIL() << "the PG kind is not served";
    } catch (const EDatabaseError& E) {
      EXPECT_NE(std::string(E.what()).find(" ошибка с сообщением: \r"), std::string::npos);
    }
  }
  EXPECT_EQ(M.DriverNames(), (Strings{"PGDriver", "SQLiteDriver"}));
}

TEST_F(SrvConnect, UserLookupStatementText) {
  TdmQxSrvConnects M;
  EXPECT_EQ(M.iqUser.Name(), "iqUser");
  EXPECT_EQ(M.iqUser.SQL(),
            "SELECT u.user_id, u.password, u.name, u.firstname, u.middlename, u.lastname, u.active,  \r\n"
            "  u.roleid, r.rolename\r\n"
            "FROM qxusers u\r\n"
            "\r\n"
            "    LEFT JOIN qxroles r\r\n"
            "    ON u.roleid=r.roleid\r\n"
            "\r\n"
            "WHERE login=:login");
  ASSERT_EQ(M.iqUser.Params().Count(), 1u);
  EXPECT_EQ(M.iqUser.Params()[0].Name, "login");
}

// The login check on every served engine, against a small users table.
class AuthTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    Database = std::make_unique<test::TTestDatabase>(GetParam(), /*WithSchema=*/false);
    db::TConnection Setup;
    Database->Open(Setup);
    Setup.ExecSQL(
        "CREATE TABLE qxusers (user_id VARCHAR(100) NOT NULL PRIMARY KEY, login VARCHAR(100), "
        "password VARCHAR(170), name VARCHAR(200), firstname VARCHAR(66), middlename VARCHAR(66), "
        "lastname VARCHAR(66), active INTEGER, roleid VARCHAR(200))");
    Setup.ExecSQL("CREATE TABLE qxroles (roleid VARCHAR(200) NOT NULL PRIMARY KEY, rolename VARCHAR(333))");
    Setup.ExecSQL("INSERT INTO qxroles VALUES ('1', 'Administrators'), ('7', 'Readers')");
    Setup.ExecSQL(
        "INSERT INTO qxusers (user_id, login, password, active, roleid) VALUES "
        "('u-ann', 'ann', ' " + MD5Hex("pw") + " ', 0, '1'), "      // stored with blanks, inactive
        "('u-bob', 'bob', '" + UpperCaseAscii(MD5Hex("pw")) + "', 1, '7'), "
        "('u-quote', 'o''brien', '" + MD5Hex("pw") + "', 1, '99'), "  // role without a row
        "('u-empty', 'nopass', '', 1, '7'), "
        "('u-null', 'nullpass', NULL, 1, '7')");
    SetQxroot(&Root);
    Root.SetIsRun(true);
    Root.GetNowFunc = [] { return 45000.25; };
    Root.ReplConnections(Database->Info());
    Module = std::make_unique<TdmQxSrvConnects>();
    Module->ConnectDB();
  }
  void TearDown() override {
    Module.reset();
    SetQxroot(nullptr);
  }
  Tqxroot Root;
  std::unique_ptr<test::TTestDatabase> Database;
  std::unique_ptr<TdmQxSrvConnects> Module;
};

TEST_P(AuthTest, AcceptedLoginsFillTheSession) {
  const std::string Digest = MD5Hex("pw");
  struct Case {
    std::string Login, Digest, UserID, RoleID, RoleName;
  } Cases[] = {
      {"ann", Digest, "u-ann", "1", "Administrators"},
      {"  ann ", " " + UpperCaseAscii(Digest) + "\t", "u-ann", "1", "Administrators"},
      {"bob", Digest, "u-bob", "7", "Readers"},
      {"o'brien", Digest, "u-quote", "99", ""},
  };
  for (const Case& C : Cases) {
    TQxSessionInfo S;
    S.PasswdMd5 = "as sent";
    S.Protocol = "tcp";
    ASSERT_TRUE(Module->Auth(C.Login, C.Digest, S)) << C.Login;
    EXPECT_EQ(S.Login, C.Login);  // as given, untrimmed
    EXPECT_EQ(S.UserID, C.UserID);
    EXPECT_EQ(S.RoleID, C.RoleID);
    EXPECT_EQ(S.RoleName, C.RoleName);
    EXPECT_EQ(S.PasswdMd5, "as sent");
    EXPECT_EQ(S.Protocol, "tcp");
    EXPECT_EQ(S.SessionStart, 45000.25);
  }
}

TEST_P(AuthTest, RefusedLoginsLeaveTheSessionAlone) {
  const std::string Digest = MD5Hex("pw");
  std::vector<std::pair<std::string, std::string>> Cases = {
      {"ann", MD5Hex("wrong")},
      {"ghost", Digest},
      {"ghost", ""},           // no row: an empty digest must not match the missing password
      {"nopass", ""},          // a blank stored password never matches
      {"nullpass", ""},
      {"' OR '1'='1", ""},
      {"ann", Digest + "0"},
  };
  // The database compares the login; MySQL's default collation ignores case.
  if (GetParam() == "SQLite") Cases.emplace_back("Ann", Digest);
  for (const auto& [Login, Pw] : Cases) {
    TQxSessionInfo S;
    S.Login = "before";
    S.UserID = "uid";
    EXPECT_FALSE(Module->Auth(Login, Pw, S)) << Login << " / " << Pw;
    EXPECT_EQ(S.Login, "before");
    EXPECT_EQ(S.UserID, "uid");
    EXPECT_EQ(S.SessionStart, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, AuthTest, ::testing::ValuesIn(test::TestKinds()));

}  // namespace
}  // namespace ordex
