// The folder tree: listings with rights, child counters, moves, and the walks
// up and down the tree (including data whose parent links form a cycle).
#include <string>
#include <vector>

#include "common/qxError.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

class TreeTest : public DocFixture {
 protected:
  std::vector<std::string> TreeIDs(const std::string& Parent, bool ShowDel = false) {
    return Column(Table(ReadStream(Srv().GetTree(Parent, ShowDel)), "iqTree"), "treeid");
  }
  std::string CCount(const std::string& ID) { return Scalar("SELECT ccount FROM oxTree WHERE treeid='" + ID + "'"); }
  std::string ParentOf(const std::string& ID) {
    return Scalar("SELECT parent_treeid FROM oxTree WHERE treeid='" + ID + "'");
  }
};
ORDEX_DOC_INSTANTIATE(TreeTest);

using Ids = std::vector<std::string>;

TEST_P(TreeTest, TopLevelListingFollowsRightsRows) {
  AddFolder("a", "", "Alpha");
  AddFolder("b", "0", "Beta");
  AddFolder("c", "", "Gamma");
  AddFolder("d", "0", "Delta", 1);
  AddFolder("e", "", "Eps");
  AddFolder("child", "a", "Child");
  AddRight("a", std::nullopt, "r1", {.rtree = 1});
  AddRight("b", "bob", std::nullopt, {.rtree = 1});
  AddRight("c", "bob", std::nullopt, {.rtree = 0, .rfile = 1});
  AddRight("d", "bob", std::nullopt, {.rtree = 1});
  AddRight("e", std::nullopt, "1000000", {.rtree = 1});  // catch-all: not listed at the top

  SetSess("bob", "r1");
  EXPECT_EQ(TreeIDs(""), (Ids{"a", "b"}));
  EXPECT_EQ(TreeIDs("0"), (Ids{"a", "b"}));
  EXPECT_EQ(TreeIDs("", true), (Ids{"a", "b", "d"}));
  EXPECT_TRUE(Srv().GetTreeRights("e").RTree);

  // Quotes in the session values cannot widen the filter.
  SetSess("x')or(1=1)or('", "y')or(1=1)or('");
  EXPECT_EQ(TreeIDs(""), Ids{});

  SetSess("root", "1");
  EXPECT_EQ(TreeIDs(""), (Ids{"a", "b", "e", "c"}));
  const auto Rows = Table(ReadStream(Srv().GetTree("", true)), "iqTree");
  EXPECT_EQ(Column(Rows, "treeid"), (Ids{"a", "b", "d", "e", "c"}));
  EXPECT_EQ(Column(Rows, "del")[2], "1");
}

TEST_P(TreeTest, ChildrenNeedReadRightOnTheParent) {
  AddFolder("p", "", "P");
  AddFolder("q", "", "Q");
  AddFolder("p2", "p", "Two");
  AddFolder("p1", "p", "One");
  AddFolder("pd", "p", "Zdel", 1);
  AddFolder("q1", "q", "Q1");
  AddRight("p", "bob", std::nullopt, {.rtree = 1});
  AddRight("p1", "bob", std::nullopt, {.rtree = 0});  // a child's own rights do not hide it
  AddRight("q", "bob", std::nullopt, {.rfile = 1});
  SetSess("bob", "r1");
  EXPECT_EQ(TreeIDs("p"), (Ids{"p1", "p2"}));
  EXPECT_EQ(TreeIDs("p", true), (Ids{"p1", "p2", "pd"}));
  const auto None = Table(ReadStream(Srv().GetTree("q", false)), "iqTree");
  EXPECT_TRUE(None.Rows.empty());
  EXPECT_GE(ColumnIndex(None, "del"), 0);
}

TEST_P(TreeTest, StreamGetRerunsTheLastStatement) {
  AddFolder("a", "", "A");
  AddFolder("d", "0", "D", 1);
  AddFolder("a1", "a", "A1");
  SetSess("root", "1");
  // Before any GetTree: every top-level folder, deleted included, without del.
  auto First = Table(ReadStream(Srv().StreamGet()), "iqTree");
  EXPECT_EQ(Column(First, "treeid"), (Ids{"a", "d"}));
  EXPECT_LT(ColumnIndex(First, "del"), 0);

  Srv().GetTree("a", false);
  // The composed statement joins its lines with carriage returns.
  EXPECT_EQ(Srv().iqTree.SQL(),
            "SELECT v.treeid, v.treename, v.parent_treeid, v.ccount, v.kolrights, v.del FROM oxTree v "
            "\r WHERE (v.parent_treeid=:parent_treeid) \r AND((v.del is null)or(v.del=0)) \r ORDER BY v.treename ");
  AddFolder("a0", "a", "A0");
  EXPECT_EQ(Column(Table(ReadStream(Srv().StreamGet()), "iqTree"), "treeid"), (Ids{"a0", "a1"}));
}

TEST_P(TreeTest, CountersFollowInsertDeleteAndMove) {
  SetSess("root", "1");
  Srv().InsNode("t1", "", "Top1");
  Srv().InsNode("t2", "0", "Top2");
  Srv().InsNode("c1", "t1", "C1");
  Srv().InsNode("c2", "t1", "C2");
  EXPECT_EQ(CCount("t1"), "2");
  EXPECT_EQ(CCount("t2"), "0");
  EXPECT_EQ(Scalar("SELECT usercreate FROM oxTree WHERE treeid='c1'"), "root");
  EXPECT_THROW(Srv().InsNode("c1", "t1", "again"), EDatabaseError);
  // The refused row is given up: the statement is not left inserting it.
  EXPECT_NE(Srv().iqTreeEdit.State(), db::TDataSetState::Insert);
  EXPECT_EQ(Scalar("SELECT treename FROM oxTree WHERE treeid='c1'"), "C1");

  Srv().DelNode("c1", 1);
  EXPECT_EQ(CCount("t1"), "1");
  Srv().DelNode("c1", 0);
  EXPECT_EQ(CCount("t1"), "2");
  Srv().DelNode("nothing", 1);

  Srv().MoveNode("c2", "t2");
  EXPECT_EQ(ParentOf("c2"), "t2");
  EXPECT_EQ(CCount("t1"), "1");
  EXPECT_EQ(CCount("t2"), "1");

  Srv().SetNodeText("c2", "Renamed");
  EXPECT_EQ(Srv().SearchNode(" t2 ", " Renamed "), "c2");
  EXPECT_EQ(Srv().SearchNode("t2", "C2"), "");

  // Removing for good is for administrators only.
  SetSess("bob", "r1");
  try {
    Srv().DelNodeFull("c2");
    ADD_FAILURE() << "not refused";
  } catch (const std::exception& E) {
    EXPECT_STREQ(E.what(), "Данную операцию имеет право делать только администратор! ");
    EXPECT_STREQ(ErrorClassName(E), "Exception");
  }
  EXPECT_EQ(CCount("t2"), "1");
  SetSess("root", "-1");
  Srv().DelNodeFull("c2");
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxTree WHERE treeid='c2'"), "0");
  EXPECT_EQ(CCount("t2"), "0");
}

TEST_P(TreeTest, MoveIntoOwnSubtreeIsRefused) {
  SetSess("root", "1");
  AddFolder("a", "", "A");
  AddFolder("b", "a", "B");
  AddFolder("c", "b", "C");
  Exec("UPDATE oxTree SET ccount=1 WHERE treeid IN ('a','b')");
  for (const char* Target : {"a", "b", "c", " c "}) {
    EXPECT_THROW(Srv().MoveNode("a", Target), EArgumentError) << Target;
  }
  EXPECT_THROW(Srv().MoveNode("b", "c"), EArgumentError);
  EXPECT_EQ(ParentOf("a"), "");
  EXPECT_EQ(ParentOf("b"), "a");
  EXPECT_EQ(CCount("a"), "1");
  EXPECT_THROW(Srv().InsNode("x", "x", "Self"), EArgumentError);
  // Moving up or sideways still works.
  Srv().MoveNode("c", "a");
  EXPECT_EQ(CCount("a"), "2");
  EXPECT_EQ(CCount("b"), "0");
}

TEST_P(TreeTest, UpwardWalks) {
  AddFolder("z", "0", "Zero");
  AddFolder("z1", "z", "Z1");
  AddFolder("z2", "z1", "Z2");
  AddFolder("e", "", "Empty");
  AddFolder("e1", "e", "E1");
  AddFolder("e2", "e1", "E2");
  AddFolder("orphan", "gone", "Orphan");

  EXPECT_EQ(Srv().FindTree("z2"), "z2, z1, z");
  EXPECT_EQ(Srv().FindTree("nope"), "nope");
  EXPECT_EQ(Srv().FindTree("orphan"), "orphan, gone");

  EXPECT_EQ(Srv().GetCliTree("e2"), "Empty\\E1\\E2");
  EXPECT_EQ(Srv().GetCliTree("e"), "Empty");
  EXPECT_EQ(Srv().GetCliTree("nope"), "");

  // The top folder's id when its parent is empty, but "0" when it is "0".
  EXPECT_EQ(Srv().GetMainFolderID("e2"), "e");
  EXPECT_EQ(Srv().GetMainFolderID(" e "), "e");
  EXPECT_EQ(Srv().GetMainFolderID("z2"), "0");
  EXPECT_EQ(Srv().GetMainFolderID("z"), "0");

  const TTreeInfo Info = Srv().GetParentTreeInfo(" z1 ");
  EXPECT_EQ(Info.id, "z1");
  EXPECT_EQ(Info.Name, "Z1");
  EXPECT_EQ(Info.parentid, "z");
  EXPECT_EQ(Srv().GetTreeInfo("z1").id, "");

  AddFile("f1", "z2", "doc", "txt", "bob");
  EXPECT_EQ(Srv().GetTreeID("f1"), "z2");
  EXPECT_EQ(Srv().GetTreeID("f' or '1'='1"), "");
}

TEST_P(TreeTest, CycleInTheDataEndsWithAnError) {
  SetSess("bob", "r1");
  AddFolder("a", "c", "A");
  AddFolder("b", "a", "B");
  AddFolder("c", "b", "C");
  AddFolder("x", "c", "X");
  Exec("UPDATE oxTree SET ccount=1");

  EXPECT_THROW(Srv().FindTree("x"), EDatabaseError);
  EXPECT_THROW(Srv().GetCliTree("x"), EDatabaseError);
  EXPECT_THROW(Srv().GetMainFolderID("x"), EDatabaseError);
  EXPECT_THROW(Srv().GetTreeRights("x"), EDatabaseError);  // no folder of the cycle has rights rows
  AddRight("a", "bob", std::nullopt, {.rtree = 1, .rfile = 1});
  EXPECT_THROW(Srv().GetTreeListRecurse("a"), EDatabaseError);
  EXPECT_THROW(Srv().MoveNode("x", "a"), EDatabaseError);
  EXPECT_EQ(ParentOf("x"), "c");
}

TEST_P(TreeTest, ReadableSubtreeList) {
  AddFolder("r", "", "R");
  AddFolder("r1", "r", "R1");
  AddFolder("r2", "r", "R2");
  AddFolder("r21", "r2", "R21");
  AddFolder("r22", "r2", "R22", 1);  // deleted folders are listed too
  AddFolder("hidden", "r", "H");
  AddFolder("under", "hidden", "U");
  AddFolder("o'q", "r", "Quote");
  Exec("UPDATE oxTree SET ccount=2 WHERE treeid='r2'");
  Exec("UPDATE oxTree SET ccount=1 WHERE treeid='hidden'");
  AddRight("r", "bob", std::nullopt, {.rfile = 1});
  AddRight("hidden", "carl", std::nullopt, {.rfile = 1});
  AddFolder("deny", "", "D");
  SetSess("bob", "r1");

  EXPECT_EQ(Srv().GetTreeListRecurse("deny"), "'access_denier'");
  EXPECT_EQ(Srv().GetTreeListRecurse("r1"), "'r1'");
  const std::string List = Srv().GetTreeListRecurse("r");
  // Order of siblings is the database's; check the members.
  for (const char* Id : {"'r',", "'r1'", "'r2'", "'r21'", "'r22'", "'o''q'"})
    EXPECT_NE(List.find(Id), std::string::npos) << Id << " in " << List;
  EXPECT_EQ(List.find("hidden"), std::string::npos) << List;
  EXPECT_EQ(List.find("under"), std::string::npos) << List;
  EXPECT_EQ(List.rfind("'r',", 0), 0u) << List;
}

}  // namespace
}  // namespace ordex::test
