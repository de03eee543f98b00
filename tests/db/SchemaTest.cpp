// The document schema on every served engine: tables and columns, keys that
// the database assigns, the version row, refusal of a second installation,
// and the first administrator.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"
#include "schema/OrdexSchema.h"
#include "tests/support/TestDatabases.h"

namespace ordex {
namespace {

using db::TFieldType;

TEST(SchemaScript, SplitsAtSemicolonsOutsideQuotesCommentsAndTriggers) {
  const auto Parts = schema::SplitScript(
      "-- heading; with a semicolon\n"
      "CREATE TABLE a (x VARCHAR(10) DEFAULT ';');\n"
      "/* block; comment */ INSERT INTO a VALUES ('it''s; fine');\n"
      "CREATE TRIGGER t AFTER INSERT ON a BEGIN\n  UPDATE a SET x = 1;\n  UPDATE a SET x = 2;\nEND;\n"
      "SELECT `odd;name` FROM a");
  ASSERT_EQ(Parts.size(), 4u);
  EXPECT_EQ(Parts[0], "CREATE TABLE a (x VARCHAR(10) DEFAULT ';')");
  EXPECT_EQ(Parts[1], "INSERT INTO a VALUES ('it''s; fine')");
  EXPECT_TRUE(Parts[2].starts_with("CREATE TRIGGER t")) << Parts[2];
  EXPECT_TRUE(Parts[2].ends_with("END")) << Parts[2];
  EXPECT_EQ(Parts[3], "SELECT `odd;name` FROM a");
  EXPECT_THROW(schema::SchemaScript("PG"), EArgumentError);
}

class SchemaTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    FDb = std::make_unique<test::TTestDatabase>(GetParam(), true);
    FDb->Open(FConn);
  }

  // Name -> description of the columns of SELECT * on a table.
  std::map<std::string, db::TFieldDef> Columns(const std::string& Table) {
    db::TQuery Q(FConn, "iqColumns");
    Q.SetSQL("SELECT * FROM " + Table);
    Q.Prepare();
    std::map<std::string, db::TFieldDef> Out;
    for (const auto& D : Q.FieldDefs()) Out[D.Name] = D;
    return Out;
  }

  std::vector<std::vector<db::TValue>> Select(const std::string& SQL) {
    db::TQuery Q(FConn, "iqSelect");
    Q.SetSQL(SQL);
    Q.Open();
    return Q.Rows();
  }

  std::unique_ptr<test::TTestDatabase> FDb;
  db::TConnection FConn;
};

TEST_P(SchemaTest, EveryTableHasItsColumns) {
  const std::map<std::string, std::vector<std::string>> Expected = {
      {"oxTree", {"treeid", "treename", "parent_treeid", "ccount", "kolrights", "del", "datecreate",
                  "usercreate", "dateupdate", "userupdate"}},
      {"oxFiles", {"fileid", "treeid", "filename", "fileext", "size_file", "md5_file", "count_history",
                   "del", "working_user", "date_working", "datecreate", "usercreate", "dateupdate",
                   "userupdate"}},
      {"oxHistory", {"histid", "fileid", "ordnum", "md5_file", "size_file", "datecreate", "usercreate",
                     "dateupdate", "userupdate"}},
      {"oxTreeRight", {"treeid", "username", "roleid", "rtree", "wtree", "admtree", "rfile", "wfile",
                       "rmyfile"}},
      {"oxTabuFiles", {}},
      {"qxroles", {"roleid", "rolename", "commentrole", "active", "pubrole", "order_roles"}},
      {"qxusers", {"user_id", "order_ins", "login", "password", "roleid", "name", "phone", "company", "fax",
                   "remember_hash", "hash", "email", "city", "passwd_decode", "who_create", "firstname",
                   "middlename", "lastname", "title", "jobtitle", "create_app_id", "create_method",
                   "timezone", "locale", "sex", "about", "create_datetime", "last_datetime", "firmid",
                   "partner_transid", "company_contact_id", "create_contact_id", "dolgnid", "israss",
                   "active", "prover", "projid", "siteid", "countryid", "cityid", "sexid", "all_obl",
                   "is_company", "is_user", "birth_day", "birth_month", "birth_year", "photo", "deposit"}},
      {"qxpreview", {"previewid", "idobj", "tablename", "name_preview", "with_pic", "height_pic", "blob_pic"}},
      {"qxconst", {"constid", "var_name", "username", "comment", "value", "pub", "del"}},
  };
  ASSERT_EQ(Expected.size(), schema::DocumentTables().size());
  for (const auto& [Table, Names] : Expected) {
    SCOPED_TRACE(Table);
    const auto Cols = Columns(Table);
    EXPECT_FALSE(Cols.empty());
    for (const auto& Name : Names) EXPECT_TRUE(Cols.contains(Name)) << Name;
  }

  // Types and lengths that clients see, the same on every engine.
  const struct {
    const char* Table;
    const char* Column;
    TFieldType Type;
    std::uint32_t Size;
  } Typed[] = {
      {"oxTree", "treeid", TFieldType::Text, 100},     {"oxTree", "ccount", TFieldType::Int32, 0},
      {"oxTree", "datecreate", TFieldType::DateTime, 0}, {"oxFiles", "size_file", TFieldType::Float, 0},
      {"oxHistory", "ordnum", TFieldType::Int64, 0},    {"qxroles", "roleid", TFieldType::Text, 200},
      {"qxroles", "rolename", TFieldType::Text, 333},   {"qxroles", "commentrole", TFieldType::Text, 1400},
      {"qxusers", "order_ins", TFieldType::Int64, 0},   {"qxusers", "password", TFieldType::Text, 170},
      {"qxusers", "email", TFieldType::Text, 340},      {"qxusers", "locale", TFieldType::Text, 10},
      {"qxusers", "sex", TFieldType::Text, 1},          {"qxusers", "about", TFieldType::Text, 0},
      {"qxusers", "is_company", TFieldType::Boolean, 0}, {"qxusers", "birth_day", TFieldType::Int32, 0},
      {"qxusers", "birth_year", TFieldType::Int32, 0},  {"qxusers", "photo", TFieldType::Int64, 0},
      {"qxusers", "deposit", TFieldType::Decimal, 0},   {"qxusers", "last_datetime", TFieldType::DateTime, 0},
      {"qxpreview", "blob_pic", TFieldType::Blob, 0},   {"qxpreview", "with_pic", TFieldType::Int32, 0},
  };
  for (const auto& T : Typed) {
    SCOPED_TRACE(std::string(T.Table) + "." + T.Column);
    const auto Cols = Columns(T.Table);
    ASSERT_TRUE(Cols.contains(T.Column));
    EXPECT_EQ(Cols.at(T.Column).Type, T.Type);
    EXPECT_EQ(Cols.at(T.Column).Size, T.Size);
  }

  // The keys rows are located by.
  const std::map<std::string, std::string> Keys = {
      {"oxTree", "treeid"}, {"oxFiles", "fileid"}, {"oxHistory", "histid"}, {"qxroles", "roleid"},
      {"qxusers", "user_id"}, {"qxpreview", "previewid"}, {"qxconst", "constid"}, {"oxTreeRight", "rightid"}};
  for (const auto& [Table, Key] : Keys) {
    std::set<std::string> InKey;
    for (const auto& C : FConn.Engine().TableColumns(Table))
      if (C.InKey) InKey.insert(C.Name);
    EXPECT_EQ(InKey, std::set<std::string>{Key}) << Table;
  }
}

TEST_P(SchemaTest, VersionRowIsWrittenAndASecondInstallIsRefused) {
  const std::string Value = FConn.Engine().QuoteIdentifier("value");
  const auto Rows =
      Select("SELECT constid, " + Value + ", username, pub, del FROM qxconst WHERE var_name='ordexapp-ver'");
  ASSERT_EQ(Rows.size(), 1u);
  EXPECT_EQ(Rows[0][0].AsString(), "ordexapp-ver");
  EXPECT_EQ(Rows[0][1].AsString(), Tqxversion().Version());
  EXPECT_EQ(Rows[0][2].AsString(), "");
  EXPECT_EQ(Rows[0][3].AsInt64(), 0);
  EXPECT_EQ(Rows[0][4].AsInt64(), 0);

  FConn.ExecSQL("INSERT INTO oxTree (treeid, treename) VALUES ('t1', 'Kept')");
  EXPECT_THROW(schema::InstallDocumentSchema(FConn, GetParam(), "9.9.9"), EDatabaseError);
  EXPECT_EQ(Select("SELECT treename FROM oxTree").size(), 1u);
  EXPECT_EQ(Select("SELECT * FROM qxconst").size(), 1u);
}

TEST_P(SchemaTest, DatabaseAssignsAscendingOrdnumAndOrderIns) {
  for (const char* Id : {"h-c", "h-a", "h-b"})
    FConn.ExecSQL(std::string("INSERT INTO oxHistory (histid, fileid) VALUES ('") + Id + "', 'f1')");
  // A row written through a query gets its number the same way.
  db::TQuery Add(FConn, "iqAddHistory");
  Add.SetSQL("SELECT * FROM oxHistory h WHERE h.histid=:histid");
  Add.ParamByName("histid").SetText("h-d");
  Add.Open();
  Add.Append();
  Add.FieldByName("histid").SetAsString("h-d");
  Add.FieldByName("fileid").SetAsString("f1");
  Add.Post();

  const auto History = Select("SELECT histid, ordnum FROM oxHistory ORDER BY ordnum");
  ASSERT_EQ(History.size(), 4u);
  const char* Order[] = {"h-c", "h-a", "h-b", "h-d"};
  for (std::size_t I = 0; I < History.size(); ++I) {
    EXPECT_EQ(History[I][0].AsString(), Order[I]);
    EXPECT_FALSE(History[I][1].IsNull());
    if (I > 0) {
      EXPECT_GT(History[I][1].AsInt64(), History[I - 1][1].AsInt64());
    }
  }
  // A version id is unique.
  EXPECT_THROW(FConn.ExecSQL("INSERT INTO oxHistory (histid, fileid) VALUES ('h-a', 'f2')"), EDatabaseError);

  for (const char* Id : {"u2", "u1", "u3"})
    FConn.ExecSQL(std::string("INSERT INTO qxusers (user_id, login) VALUES ('") + Id + "', '" + Id + "')");
  const auto Users = Select("SELECT user_id FROM qxusers ORDER BY order_ins DESC");
  ASSERT_EQ(Users.size(), 3u);
  EXPECT_EQ(Users[0][0].AsString(), "u3");
  EXPECT_EQ(Users[2][0].AsString(), "u2");
}

TEST_P(SchemaTest, CreateAdministratorAddsRoleAndUserOnce) {
  schema::CreateAdministrator(FConn, " admin ", "secret");
  const auto Users = Select("SELECT login, roleid, active, user_id FROM qxusers");
  ASSERT_EQ(Users.size(), 1u);
  EXPECT_EQ(Users[0][0].AsString(), "admin");
  EXPECT_EQ(Users[0][1].AsString(), "1");
  EXPECT_EQ(Users[0][2].AsInt64(), 1);
  EXPECT_EQ(Users[0][3].AsString().size(), 32u);
  const std::string Password = FConn.Engine().QuoteIdentifier("password");
  const auto Digest = Select("SELECT " + Password + " FROM qxusers");
  EXPECT_EQ(Digest[0][0].AsString(), MD5Hex("secret"));

  const auto Roles = Select("SELECT roleid, rolename FROM qxroles");
  ASSERT_EQ(Roles.size(), 1u);
  EXPECT_EQ(Roles[0][1].AsString(), "Администраторы");

  // A second administrator reuses the role; a taken login or bad input is refused.
  schema::CreateAdministrator(FConn, "boss", "pw");
  EXPECT_EQ(Select("SELECT roleid FROM qxroles").size(), 1u);
  EXPECT_THROW(schema::CreateAdministrator(FConn, "admin", "other"), EArgumentError);
  EXPECT_THROW(schema::CreateAdministrator(FConn, "  ", "pw"), EArgumentError);
  EXPECT_THROW(schema::CreateAdministrator(FConn, "x", ""), EArgumentError);
  EXPECT_EQ(Select("SELECT login FROM qxusers").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Engines, SchemaTest, ::testing::ValuesIn(test::TestKinds()),
                         [](const auto& Info) { return Info.param; });

TEST(SchemaInstall, RefusesAConnectionOfAnotherKind) {
  test::TTestDatabase Db("SQLite", false);
  db::TConnection Conn;
  Db.Open(Conn);
  EXPECT_THROW(schema::InstallDocumentSchema(Conn, "MySQL", "1.0"), EArgumentError);
  EXPECT_EQ(schema::FindExistingDocumentTable(Conn), "");
}

}  // namespace
}  // namespace ordex
