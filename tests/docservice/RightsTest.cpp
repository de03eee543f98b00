// Effective folder rights of a session: administrators, login over role over
// the catch-all role, inheritance through kolrights, and the rights datasets.
#include <string>

#include "common/qxError.h"
#include "docservice/uOrdexInfo.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

class RightsTest : public DocFixture {
 protected:
  // RTree, WTree, AdmTree, RFile, WFile, RMyFile as "rwaRWm" letters, '-' when denied.
  std::string Flags(const std::string& TreeID) {
    const TTreeRights R = Srv().GetTreeRights(TreeID);
    std::string S;
    S += R.RTree ? 'r' : '-';
    S += R.WTree ? 'w' : '-';
    S += R.AdmTree ? 'a' : '-';
    S += R.RFile ? 'R' : '-';
    S += R.WFile ? 'W' : '-';
    S += R.RMyFile ? 'm' : '-';
    return S;
  }
};
ORDEX_DOC_INSTANTIATE(RightsTest);

TEST_P(RightsTest, AdministratorsAndLookalikes) {
  AddFolder("t", "", "Top");
  AddRight("t", "bob", std::nullopt, {.rtree = 0});
  struct TCase {
    const char* Role;
    bool Admin;
  };
  for (const TCase C : {TCase{"1", true}, {"-1", true}, {" 1", false}, {"1 ", false}, {"10", false}, {"", false}}) {
    SetSess("bob", C.Role);
    EXPECT_EQ(Srv().IsAdmin(), C.Admin) << "role '" << C.Role << "'";
    // Administrators get every right but RMyFile, on any id, without a row.
    EXPECT_EQ(Flags("no-such-folder"), C.Admin ? "rwaRW-" : "------") << C.Role;
    EXPECT_EQ(Flags("t"), C.Admin ? "rwaRW-" : "------") << C.Role;
  }
}

TEST_P(RightsTest, LoginBeatsRoleBeatsCatchAll) {
  AddFolder("login", "", "L");
  AddRight("login", "bob", std::nullopt, {.rtree = 1, .rfile = 0});
  AddRight("login", std::nullopt, "r1", {.rtree = 1, .rfile = 1, .wfile = 1});
  AddRight("login", std::nullopt, "1000000", {.rtree = 1, .wtree = 1, .admtree = 1, .rfile = 1});
  AddFolder("role", "", "R");
  AddRight("role", "alice", std::nullopt, {.rtree = 1, .wtree = 1});
  AddRight("role", std::nullopt, "1000000", {.rtree = 1, .wtree = 1, .rfile = 1});
  AddRight("role", std::nullopt, "r1", {.rfile = 1, .rmyfile = 1});
  AddFolder("all", "", "A");
  AddRight("all", "alice", std::nullopt, {.rtree = 1});
  AddRight("all", std::nullopt, "1000000", {.rtree = 1, .rfile = 1, .wfile = 1});
  AddFolder("none", "", "N");
  AddRight("none", "alice", std::nullopt, {.rtree = 1, .rfile = 1});

  SetSess(" bob ", "r1");  // login and role are trimmed before the search
  EXPECT_EQ(Flags("login"), "r-----");
  EXPECT_EQ(Flags("role"), "---R-m");
  EXPECT_EQ(Flags("all"), "r--RW-");
  // A folder with rows of its own decides alone: no matching row, no rights.
  EXPECT_EQ(Flags("none"), "------");
  // A flag is granted by 1 only.
  Exec("UPDATE oxTreeRight SET rfile=2, wfile=NULL WHERE treeid='all'");
  EXPECT_EQ(Flags("all"), "r-----");
}

TEST_P(RightsTest, InheritanceFollowsTheCounter) {
  AddFolder("top", "", "Top");
  AddRight("top", "bob", std::nullopt, {.rtree = 1, .rfile = 1});
  AddFolder("mid", "top", "Mid");
  AddFolder("leaf", "mid", "Leaf");
  AddFolder("own", "top", "Own");
  AddRight("own", "carl", std::nullopt, {.rtree = 1});
  AddFolder("zero", "0", "Zero");
  SetSess("bob", "r1");

  EXPECT_EQ(Flags("leaf"), "r--R--");  // two levels up
  EXPECT_EQ(Flags("own"), "------");   // own rows, none for bob
  EXPECT_EQ(Flags("zero"), "------");  // parent "0" names no folder
  EXPECT_EQ(Flags("missing"), "------");

  // The counter is trusted: rows under a zero counter are not looked at, and a
  // positive counter without rows gives nothing.
  Exec("INSERT INTO oxTreeRight (treeid, username, rtree, rfile) VALUES ('mid', 'bob', 0, 0)");
  EXPECT_EQ(Flags("mid"), "r--R--");
  Exec("DELETE FROM oxTreeRight WHERE treeid='mid'");
  Exec("UPDATE oxTree SET kolrights=1 WHERE treeid='mid'");
  EXPECT_EQ(Flags("leaf"), "------");
}

TEST_P(RightsTest, EmptyRoleMatchesEmptyTextNotNull) {
  AddFolder("empty", "", "E");
  AddRight("empty", std::nullopt, "", {.rtree = 1, .rfile = 1});
  AddFolder("null", "", "N");
  AddRight("null", std::nullopt, std::nullopt, {.rtree = 1, .rfile = 1});
  SetSess("", "");
  EXPECT_EQ(Flags("empty"), "r--R--");
  EXPECT_EQ(Flags("null"), "------");

  const auto Top = Table(ReadStream(Srv().GetTree("", false)), "iqTree");
  EXPECT_EQ(Column(Top, "treeid"), std::vector<std::string>{"empty"});
}

TEST_P(RightsTest, QuotesInIdsAndACycleInTheData) {
  AddFolder("t", "", "T");
  AddRight("t", "bob", std::nullopt, {.rtree = 1});
  SetSess("bob", "r1");
  EXPECT_EQ(Flags("x') or ('1'='1"), "------");
  EXPECT_EQ(Flags("t' --"), "------");

  AddFolder("a", "b", "A");
  AddFolder("b", "a", "B");
  EXPECT_THROW(Srv().GetTreeRights("a"), EDatabaseError);
}

TEST_P(RightsTest, RightsJsonCarriesEmptyTexts) {
  AddFolder("t", "", "T");
  AddRight("t", std::nullopt, "r1", {.rtree = 1, .rfile = 1});
  SetSess("bob", "r1");
  // The record's layout is the encoder's (checked byte for byte on its own);
  // here: only the flags are filled, the texts stay empty.
  TTreeRights Expected;
  Expected.RTree = true;
  Expected.RFile = true;
  EXPECT_EQ(Srv().GetRights("t"), GetQxTreeRights(Expected));
}

TEST_P(RightsTest, RightsRolesAndUsersDatasets) {
  SeedUser("bob", "secret", "r1", "Readers");
  SeedUser("ann", "secret", "r2", "Writers");
  SeedUser("eve", "secret", "", "Nobody");
  Exec("UPDATE qxusers SET `name`='Bob', middlename='B', lastname='Builder' WHERE login='bob'");
  AddFolder("t", "", "T");
  AddRight("t", "bob", std::nullopt, {.rtree = 1});
  AddRight("t", std::nullopt, "r2", {.rfile = 1});
  AddFolder("u", "", "U");
  AddRight("u", "ann", std::nullopt, {.rtree = 1});

  const auto Rights = Table(ReadStream(Srv().GetTreeRight("t")), "iqTreeright");
  ASSERT_EQ(Rights.Rows.size(), 2u);
  const auto Fio = Column(Rights, "fio");
  const auto RoleNames = Column(Rights, "rolename");
  EXPECT_TRUE((Fio[0] == "Bob B Builder" && RoleNames[1] == "Writers") ||
              (Fio[1] == "Bob B Builder" && RoleNames[0] == "Writers"));
  EXPECT_EQ(Srv().iqTreeright.ParamByName("treeid").AsString(), "t");

  Exec("UPDATE qxroles SET order_roles=2 WHERE roleid='r1'");
  Exec("UPDATE qxroles SET order_roles=1 WHERE roleid='r2'");
  Exec("UPDATE qxroles SET order_roles=3 WHERE roleid=''");
  const auto Roles = Table(ReadStream(Srv().GetRoles()), "iqRoles");
  EXPECT_EQ(Column(Roles, "roleid"), (std::vector<std::string>{"r2", "r1", ""}));
  EXPECT_EQ(Srv().iqRoles.SQL(),
            "select roleid, rolename, commentrole, active, pubrole, order_roles\rfrom qxroles\rorder by order_roles");

  // Newest user first, each with the name of its role beside it.
  const auto Users = Table(ReadStream(Srv().GetUsers()), "iqUsers");
  EXPECT_EQ(Column(Users, "login"), (std::vector<std::string>{"eve", "ann", "bob"}));
  EXPECT_EQ(Column(Users, "RoleLook"), (std::vector<std::string>{"Nobody", "Writers", "Readers"}));
  Exec("UPDATE qxroles SET rolename='Readers 2' WHERE roleid='r1'");
  EXPECT_EQ(Column(Table(ReadStream(Srv().GetUsers()), "iqUsers"), "RoleLook")[2], "Readers 2");
}

}  // namespace
}  // namespace ordex::test
