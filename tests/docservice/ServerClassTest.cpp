// The server class's statements and the row hooks for rows the server writes.
#include <string>

#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

class ServerClassTest : public DocFixture {};
ORDEX_DOC_INSTANTIATE(ServerClassTest);

bool IsNewID(const std::string& S) {
  return S.size() == 32 && S.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_P(ServerClassTest, StatementsAndGroups) {
  const auto All = Srv().Statements();
  ASSERT_EQ(All.size(), 21u);
  EXPECT_EQ(All.front()->Name(), "iqTree");
  EXPECT_EQ(All.back()->Name(), "iqPreview");
  EXPECT_EQ(Srv().iqFiles.SQL(),
            "SELECT f.*, p.blob_pic \r\nFROM oxFiles f\r\n  LEFT JOIN qxpreview p\r\n  ON p.idobj=f.fileid\r\n"
            "WHERE (f.treeid=:treeid)\r\nORDER BY f.filename");
  ASSERT_EQ(Srv().iqFiles.Params().Count(), 1u);
  EXPECT_EQ(Srv().iqFiles.Params()[0].Name, "TREEID");
  EXPECT_EQ(Srv().iqFiles.Params()[0].AsString(), " ");
  EXPECT_EQ(Srv().iqGetParentTreeID.ParamByName("treeid").Size, 75u);
  EXPECT_EQ(Srv().iqCntHistory.SQL(), "SELECT COUNT(*) as cnt FROM oxHistory  WHERE fileid=:fileid");
  EXPECT_EQ(Srv().iqPreview.SQL(), "SELECT * \r\nFROM qxpreview p\r\nWHERE (p.idobj=:idobj)");
  ASSERT_EQ(Srv().iqPreview.Params().Count(), 1u);
  EXPECT_EQ(Srv().iqPreview.Params()[0].Name, "IDOBJ");
  ASSERT_TRUE(Srv().iqRoles.UpdateSQL().has_value());
  EXPECT_EQ(Srv().iqRoles.UpdateSQL()->DeleteSQL, "DELETE FROM qxordex.qxroles WHERE roleid = :OLD_roleid");
  ASSERT_EQ(Srv().saTreeEdit.Queries().size(), 4u);
  EXPECT_EQ(Srv().saTreeEdit.Queries()[3], &Srv().iqSearchNode);
  // Row errors are collected for the report, except for rights, roles and users.
  EXPECT_TRUE(static_cast<bool>(Srv().iqTabuFiles.OnUpdateError));
  EXPECT_FALSE(static_cast<bool>(Srv().iqTreeright.OnUpdateError));
  EXPECT_FALSE(static_cast<bool>(Srv().iqUsers.OnUpdateError));
}

TEST_P(ServerClassTest, NewRowValues) {
  SetSess("bob", "1");
  Srv().GetRoles();
  Srv().iqRoles.Append();
  EXPECT_TRUE(IsNewID(Srv().iqRoles.FieldByName("roleid").AsString()));
  EXPECT_EQ(Srv().iqRoles.FieldByName("active").AsString(), "1");
  EXPECT_EQ(Srv().iqRoles.FieldByName("pubrole").AsString(), "0");
  Srv().iqRoles.Cancel();

  Srv().GetUsers();
  Srv().iqUsers.Append();
  EXPECT_TRUE(IsNewID(Srv().iqUsers.FieldByName("user_id").AsString()));
  EXPECT_EQ(Srv().iqUsers.FieldByName("active").AsString(), "1");
  Srv().iqUsers.Cancel();

  Srv().iqPreview.Close();
  Srv().iqPreview.ParamByName("idobj").SetText("f");
  Srv().iqPreview.Open();
  Srv().iqPreview.Append();
  EXPECT_TRUE(IsNewID(Srv().iqPreview.FieldByName("previewid").AsString()));
  Srv().iqPreview.Cancel();

  // A rights row posted on the server belongs to the folder read last.
  AddFolder("t", "", "T");
  Srv().GetTreeRight("t");
  Srv().iqTreeright.Append();
  Srv().iqTreeright.FieldByName("username").SetAsString("zed");
  Srv().iqTreeright.Post();
  EXPECT_EQ(Scalar("SELECT treeid FROM oxTreeRight WHERE username='zed'"), "t");
}

TEST_P(ServerClassTest, FileRowsGetIdsAuditAndVersionCount) {
  SetSess("bob", "1");
  AddFolder("t", "", "T");
  Srv().GetFileList(R"({"TreeID": "t", "KolRows": 10})");
  auto& Q = Srv().iqFileList;
  Q.Append();
  const std::string Id = Q.FieldByName("fileid").AsString();
  EXPECT_TRUE(IsNewID(Id));
  EXPECT_EQ(Q.FieldByName("usercreate").AsString(), "bob");
  Q.FieldByName("treeid").SetAsString("t");
  Q.FieldByName("filename").SetAsString("new");
  Q.Post();
  EXPECT_EQ(Scalar("SELECT count_history FROM oxFiles WHERE fileid='" + Id + "'"), "0");
  EXPECT_EQ(Scalar("SELECT userupdate FROM oxFiles WHERE fileid='" + Id + "'"), "bob");

  Exec("INSERT INTO oxHistory (histid, fileid) VALUES ('h1', '" + Id + "')");
  Exec("INSERT INTO oxHistory (histid, fileid) VALUES ('h2', '" + Id + "')");
  Q.Edit();
  Q.FieldByName("filename").SetAsString("renamed");
  Q.Post();
  EXPECT_EQ(Scalar("SELECT count_history FROM oxFiles WHERE fileid='" + Id + "'"), "2");
}

}  // namespace
}  // namespace ordex::test
