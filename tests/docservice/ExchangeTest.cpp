// Posted change sets and their error report, the greeting, and GetSQL.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/uOrdexInfo.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

const std::string FailPrefix = "Ошибка применения изменений\r";

// A change set of one table with the columns of a data stream's table.
db::TDataStream ChangeSetLike(const db::TStreamTable& Data) {
  db::TDataStream Out;
  Out.Kind = db::TStreamKind::ChangeSet;
  db::TStreamTable T;
  T.Name = Data.Name;
  T.Columns = Data.Columns;
  Out.Tables.push_back(std::move(T));
  return Out;
}

// A row of NULLs typed as the table's columns, with some columns set to texts.
std::vector<db::TValue> RowOf(const db::TStreamTable& T, const std::vector<std::pair<std::string, std::string>>& Set) {
  std::vector<db::TValue> Row;
  for (const auto& C : T.Columns) Row.push_back(db::TValue::Null(C.Type));
  for (const auto& [Name, Value] : Set) {
    const int I = DocFixture::ColumnIndex(T, Name);
    EXPECT_GE(I, 0) << Name;
    if (I >= 0) Row[static_cast<std::size_t>(I)] = db::TValue::Text(Value).ConvertTo(T.Columns[static_cast<std::size_t>(I)].Type);
  }
  return Row;
}

// Runs a posting call that must fail; returns the parsed error report.
template <typename F>
nlohmann::ordered_json FailedReport(F&& Post) {
  try {
    Post();
  } catch (const EDatabaseError& E) {
    const std::string Msg = E.what();
    EXPECT_EQ(Msg.rfind(FailPrefix, 0), 0u) << Msg;
    return nlohmann::ordered_json::parse(Msg.substr(FailPrefix.size()));
  }
  ADD_FAILURE() << "the post did not fail";
  return {};
}

class ExchangeTest : public DocFixture {
 protected:
  void SetUp() override {
    DocFixture::SetUp();
    AddFolder("top", "", "Top");
    AddFile("f1", "top", "doc", "txt", "ivan");
    SetSess("admin", "1");
    Srv().NewChange(R"({"histid":"h1","fileid":"f1","md5_file":"m1","size_file":10})");
  }
};
ORDEX_DOC_INSTANTIATE(ExchangeTest);

TEST_P(ExchangeTest, FailedRowsAreReportedNewestFirstAndGoodRowsStay) {
  const auto Data = ReadStream(Srv().GetHistory("f1"));
  const auto& Hist = Table(Data, "iqHistory");
  ASSERT_EQ(Hist.Rows.size(), 1u);
  auto Set = ChangeSetLike(Hist);
  auto& T = Set.Tables[0];
  // 0: a duplicate key (fails), 1: a good insert, 2: a good update, 3: no key at all (fails).
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"histid", "h1"}, {"fileid", "f1"}, {"md5_file", "dup"}})});
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"histid", "h5"}, {"fileid", "f1"}})});
  std::vector<db::TValue> Changed = Hist.Rows[0];
  Changed[static_cast<std::size_t>(ColumnIndex(T, "md5_file"))] = db::TValue::Text("m1-new");
  T.Changes.push_back({db::TRowState::Modified, Hist.Rows[0], Changed});
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"fileid", "f1"}, {"md5_file", "nokey"}})});

  const auto Report = FailedReport([&] { Srv().StreamPostHistory(db::WriteDataStream(Set)); });
  ASSERT_EQ(Report.size(), 1u);
  const auto& Errors = Report.at("Errors");
  ASSERT_EQ(Errors.size(), 2u);
  // Newest first: row 3, then row 0; keys in their fixed order.
  for (const auto& E : Errors) {
    std::vector<std::string> Keys;
    for (const auto& [K, V] : E.items()) Keys.push_back(K);
    EXPECT_EQ(Keys, (std::vector<std::string>{"ErrorMessage", "DataSource", "Changes"}));
    EXPECT_EQ(E.at("DataSource"), "iqHistory");
    EXPECT_FALSE(E.at("ErrorMessage").get<std::string>().empty());
  }
  // A failed insert lists exactly the columns that have a value, with empty old values.
  const auto& Dup = Errors[1].at("Changes");
  ASSERT_EQ(Dup.size(), 3u);
  const char* Expected[][2] = {{"histid", "h1"}, {"fileid", "f1"}, {"md5_file", "dup"}};
  for (std::size_t I = 0; I < 3; ++I) {
    std::vector<std::string> Keys;
    for (const auto& [K, V] : Dup[I].items()) Keys.push_back(K);
    EXPECT_EQ(Keys, (std::vector<std::string>{"RowID", "FieldName", "OldValue", "NewValue"}));
    EXPECT_EQ(Dup[I].at("RowID"), "0");
    EXPECT_EQ(Dup[I].at("FieldName"), Expected[I][0]);
    EXPECT_EQ(Dup[I].at("OldValue"), "");
    EXPECT_EQ(Dup[I].at("NewValue"), Expected[I][1]);
  }
  EXPECT_EQ(Errors[0].at("Changes").at(0).at("RowID"), "3");

  EXPECT_EQ(Scalar("SELECT md5_file FROM oxHistory WHERE histid='h1'"), "m1-new");
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxHistory WHERE histid='h5'"), "1");
  EXPECT_TRUE(Srv().FErrorsList.empty());
  EXPECT_EQ(Srv().ErrorsToJSON(), R"({"Errors":[]})");
}

TEST_P(ExchangeTest, APostThatBreaksOffLeavesNoErrorsForTheNext) {
  const auto Data = ReadStream(Srv().GetHistory("f1"));
  auto Set = ChangeSetLike(Table(Data, "iqHistory"));
  auto& T = Set.Tables[0];
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"histid", "h1"}, {"fileid", "f1"}})});  // duplicate
  const std::string Bytes = db::WriteDataStream(Set);

  // The first post records its row error and then breaks off, as on a lost connection.
  auto& Hist = Srv().iqHistory;
  const auto Collect = Hist.OnUpdateError;
  Hist.OnUpdateError = [&](db::TQuery& Q, const std::exception& E, const db::TChangeRow& Row) {
    Collect(Q, E, Row);
    throw EDatabaseError("connection lost");
  };
  EXPECT_THROW(Srv().StreamPostHistory(Bytes), EDatabaseError);
  EXPECT_TRUE(Srv().FErrorsList.empty());

  // The next post reports its own failed row only.
  Hist.OnUpdateError = Collect;
  const auto Report = FailedReport([&] { Srv().StreamPostHistory(Bytes); });
  EXPECT_EQ(Report.at("Errors").size(), 1u);
}

TEST_P(ExchangeTest, EmptyAndBrokenChangeSets) {
  const auto Data = ReadStream(Srv().GetHistory("f1"));
  EXPECT_NO_THROW(Srv().StreamPostHistory(db::WriteDataStream(ChangeSetLike(Table(Data, "iqHistory")))));
  EXPECT_THROW(Srv().StreamPostHistory("not a change set"), EStreamError);
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxHistory"), "1");
}

TEST_P(ExchangeTest, UsersPostReportsFailuresWithoutDetails) {
  SeedUser("ivan", "secret", "2", "Users");
  const std::string UserID = Scalar("SELECT user_id FROM qxusers WHERE login='ivan'");
  const auto Data = ReadStream(Srv().GetUsers());
  auto Set = ChangeSetLike(Table(Data, "iqUsers"));
  auto& T = Set.Tables[0];
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"user_id", UserID}, {"login", "again"}})});
  T.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T, {{"user_id", "u-new"}, {"login", "petr"}})});
  try {
    Srv().StreamPostUsers(db::WriteDataStream(Set));
    FAIL() << "the post did not fail";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(std::string(E.what()), FailPrefix + R"({"Errors":[]})");
  }
  EXPECT_EQ(Scalar("SELECT login FROM qxusers WHERE user_id='u-new'"), "petr");
}

// Roles are written through statements that name the schema qxordex, so on
// MySQL the test database carries that name.
class RolesPostTest : public DocFixture {
 protected:
  void SetUp() override {
    OpenService(GetParam() == "MySQL" ? "qxordex" : "");
    SetSess("admin", "1");
  }
};
ORDEX_DOC_INSTANTIATE(RolesPostTest);

TEST_P(RolesPostTest, RolesGoThroughTheirOwnStatements) {
  SeedUser("ivan", "secret", "2", "Users");
  const auto Data = ReadStream(Srv().GetRoles());
  auto Set = ChangeSetLike(Table(Data, "iqRoles"));
  auto& T = Set.Tables[0];
  T.Changes.push_back(
      {db::TRowState::Inserted, {}, RowOf(T, {{"roleid", "r9"}, {"rolename", "Readers"}, {"order_roles", "3"}})});
  Srv().StreamPostRole(db::WriteDataStream(Set));
  EXPECT_EQ(Scalar("SELECT rolename FROM qxroles WHERE roleid='r9'"), "Readers");

  // Rename r9, and try to add role 2 again (fails, no details for roles).
  auto Set2 = ChangeSetLike(T);
  auto& T2 = Set2.Tables[0];
  const auto Old = RowOf(T2, {{"roleid", "r9"}, {"rolename", "Readers"}, {"order_roles", "3"}});
  const auto New = RowOf(T2, {{"roleid", "r9"}, {"rolename", "Writers"}, {"order_roles", "3"}});
  T2.Changes.push_back({db::TRowState::Modified, Old, New});
  T2.Changes.push_back({db::TRowState::Inserted, {}, RowOf(T2, {{"roleid", "2"}, {"rolename", "Again"}})});
  const auto Report = FailedReport([&] { Srv().StreamPostRole(db::WriteDataStream(Set2)); });
  EXPECT_EQ(Report.dump(), R"({"Errors":[]})");
  EXPECT_EQ(Scalar("SELECT rolename FROM qxroles WHERE roleid='r9'"), "Writers");
  EXPECT_EQ(Scalar("SELECT rolename FROM qxroles WHERE roleid='2'"), "Users");
}

TEST_P(ExchangeTest, HelloChecksTheDigestAndNeverKeepsAClaimedRole) {
  SeedUser("ivan", "secret", "2", "Users");
  const std::string UserID = Scalar("SELECT user_id FROM qxusers WHERE login='ivan'");
  const std::string Good = MD5Hex("secret");
  const struct {
    std::string Login, Digest;
    bool Accepted;
  } Cases[] = {
      {"ivan", Good, true},
      {"ivan", UpperCaseAscii(Good), true},
      {"ivan", "  " + Good + " ", true},
      {" ivan ", Good, true},  // the login is looked up trimmed
      {"ivan", MD5Hex("wrong"), false},
      {"ivan", "", false},
      {"nobody", Good, false},
  };
  for (const auto& C : Cases) {
    TQxSessionInfo Claimed;
    Claimed.Login = C.Login;
    Claimed.PasswdMd5 = C.Digest;
    Claimed.UserID = "claimed-id";
    Claimed.RoleID = "1";  // an administrator role the caller does not have
    Claimed.RoleName = "Admins";
    std::string Info = GetQxSessionInfo(Claimed);
    const bool Accepted = Srv().Hello(Info);
    EXPECT_EQ(Accepted, C.Accepted) << C.Login << " / " << C.Digest;
    const TQxSessionInfo Back = DecodeQxSessionInfo(Info);
    EXPECT_EQ(Srv().Sess.Login, C.Login);
    EXPECT_EQ(Back.Login, C.Login);
    if (C.Accepted) {
      EXPECT_EQ(Srv().Sess.UserID, UserID);
      EXPECT_EQ(Srv().Sess.RoleID, "2");
      EXPECT_EQ(Back.RoleName, "Users");
      EXPECT_GT(Srv().Sess.SessionStart, 0);
    } else {
      EXPECT_EQ(Srv().Sess.UserID, "");
      EXPECT_EQ(Srv().Sess.RoleID, "");
      EXPECT_EQ(Srv().Sess.RoleName, "");
      EXPECT_EQ(Back.RoleID, "");
    }
    EXPECT_FALSE(Srv().IsAdmin());
  }
}

TEST_P(ExchangeTest, GetSQLLayout) {
  EXPECT_EQ(Srv().GetSQL("iqNothing"), "");
  EXPECT_EQ(Srv().GetSQL("iqroles"), "");  // names are case-sensitive

  const std::string Roles = Srv().iqRoles.SQL() + "\r\r=== Значение входных параметров: ===\r\r" +
                            "\r\r=== SQL Update: ===\r\r" +
                            "\rInsert: \rINSERT INTO qxordex.qxroles (roleid, commentrole, active, pubrole, rolename, "
                            "order_roles) VALUES (:NEW_roleid, :NEW_commentrole, :NEW_active, :NEW_pubrole, "
                            ":NEW_rolename, :NEW_order_roles)\r\r"
                            "\rUpdate: \rUPDATE qxordex.qxroles SET roleid = :NEW_roleid, commentrole = "
                            ":NEW_commentrole, active = :NEW_active, pubrole = :NEW_pubrole, rolename = "
                            ":NEW_rolename, order_roles = :NEW_order_roles WHERE roleid = :OLD_roleid\r\r"
                            "\rDelete: \rDELETE FROM qxordex.qxroles WHERE roleid = :OLD_roleid\r\r"
                            "\rFetchRow: \rSELECT roleid, commentrole, active, pubrole, rolename, order_roles FROM "
                            "qxordex.qxroles WHERE roleid = :OLD_roleid\r\r";
  EXPECT_EQ(Srv().GetSQL(" iqRoles "), Roles);

  EXPECT_EQ(Srv().GetSQL("iqAddHistory"),
            Srv().iqAddHistory.SQL() + "\r\r=== Значение входных параметров: ===\r\rhistid=h1\r");

  Srv().GetFiles(R"({"TreeID":"top"})");
  const std::string Files = Srv().GetSQL("iqFiles");
  const std::string Head = Srv().iqFiles.SQL() + "\r\r=== Значение входных параметров: ===\r\r";
  EXPECT_EQ(Files.substr(0, Head.size()), Head);
  EXPECT_NE(LowerCaseAscii(Files.substr(Head.size())).find("treeid=top\r"), std::string::npos) << Files;
  EXPECT_EQ(Files.find("=== SQL Update: ==="), std::string::npos);
}

TEST_P(ExchangeTest, ServiceMethods) {
  EXPECT_EQ(Srv().getVersion(), qxroot().Ver.Version());
  EXPECT_NEAR(Srv().GetNow(), NowLocal(), 1.0 / 24);
  EXPECT_EQ(Srv().GetCountConnectins(), "");
  EXPECT_EQ(Srv().TestJSonObject("{}"), "");
  EXPECT_EQ(Srv().TestStreamObject("x"), std::nullopt);
}

}  // namespace
}  // namespace ordex::test
