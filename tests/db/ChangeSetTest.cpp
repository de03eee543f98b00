// Exchange groups on every served engine: datasets out, change sets in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/qxError.h"
#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"
#include "tests/db/DbFixture.h"

namespace ordex::db::testing {
namespace {

using Texts = std::vector<std::vector<std::string>>;

class ChangeSetTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("CREATE TABLE files (fileid VARCHAR(40) NOT NULL PRIMARY KEY, treeid VARCHAR(75), cnt INT, "
         "note VARCHAR(20) DEFAULT 'dflt')");
    Exec("CREATE TABLE tree (treeid VARCHAR(75) NOT NULL PRIMARY KEY, treename VARCHAR(100))");
    Exec("INSERT INTO tree VALUES ('t1', 'Root')");
    Exec("INSERT INTO files VALUES ('f1', 't1', 1, 'one')");
    Exec("INSERT INTO files VALUES ('f2', 't1', 2, 'two')");
    Files.SetSQL("SELECT f.*, t.treename FROM files f LEFT JOIN tree t ON t.treeid=f.treeid "
                 "WHERE (f.treeid=:treeid) ORDER BY f.fileid");
    Files.ParamByName("treeid").SetText("t1");
    Files.AddCalcField("label", TFieldType::Text, 20,
                       [](TQuery& Q) { return TValue::Text("#" + Q.FieldByName("fileid").AsString()); });
    Adapter.Add(Files);
  }

  // A change-set table over the columns Names of iqFiles, typed as the query's.
  TStreamTable Table(const std::vector<std::string>& Names) {
    Files.Prepare();
    TStreamTable T;
    T.Name = "iqFiles";
    for (const auto& N : Names) {
      TStreamColumn& C = T.Columns.emplace_back();
      C.Name = N;
      C.Type = Files.FieldByName(N).Def().Type;
    }
    return T;
  }
  static std::string Bytes(TStreamTable T) {
    TDataStream S;
    S.Kind = TStreamKind::ChangeSet;
    S.Tables.push_back(std::move(T));
    return WriteDataStream(S);
  }
  static TValue S(const char* V) { return TValue::Text(V); }
  static TValue I(std::int32_t V) { return TValue::Int32(V); }

  TQuery Files{Conn, "iqFiles"};
  TSchemaAdapter Adapter{"saFiles"};
};

TEST_P(ChangeSetTest, SaveWritesOpenDatasetsWithColumnFlags) {
  TQuery Closed(Conn, "iqTreeCount");
  Closed.SetSQL("SELECT count(*) AS cnt FROM tree");
  Adapter.Add(Closed);
  Files.Open();
  const TDataStream S = ReadDataStream(Adapter.SaveToStream());
  ASSERT_EQ(S.Tables.size(), 1u);
  const TStreamTable& T = S.Tables[0];
  EXPECT_EQ(T.Name, "iqFiles");
  std::vector<std::string> Names;
  for (const auto& C : T.Columns) Names.push_back(C.Name);
  EXPECT_EQ(Names, (std::vector<std::string>{"fileid", "treeid", "cnt", "note", "treename", "label"}));
  EXPECT_EQ(T.Columns[0].Flags, cfKey);
  EXPECT_EQ(T.Columns[0].Size, 40u);
  EXPECT_EQ(T.Columns[0].OriginTable, "files");
  EXPECT_EQ(T.Columns[2].Flags, cfNullable);
  EXPECT_EQ(T.Columns[4].Flags, cfNullable | cfReadOnly);
  EXPECT_EQ(T.Columns[5].Flags & cfReadOnly, cfReadOnly);
  ASSERT_EQ(T.Rows.size(), 2u);
  EXPECT_EQ(T.Rows[1][5], TValue::Text("#f2"));
  EXPECT_EQ(T.Rows[0][4], TValue::Text("Root"));
}

TEST_P(ChangeSetTest, FailingRowsAreReportedAndTheRestIsWritten) {
  TStreamTable T = Table({"fileid", "treeid", "cnt", "treename", "label"});
  const TValue N = TValue::Null(TFieldType::Text);
  T.Changes = {
      {TRowState::Inserted, {}, {S("f3"), S("t1"), I(3), S("joined"), S("calc")}},  // good
      {TRowState::Inserted, {}, {S("f1"), S("t1"), I(9), N, N}},                   // duplicate key
      {TRowState::Modified, {S("f2"), S("t1"), I(2), N, N}, {S("f2"), S("t1"), I(5), N, N}},  // good
      {TRowState::Modified, {S("fX"), S("t1"), I(2), N, N}, {S("fX"), S("t1"), I(5), N, N}},  // not found
      {TRowState::Deleted, {S("f1"), S("t1"), I(1), N, N}, {}},                               // good
      {TRowState::Deleted, {S("fY"), S("t1"), I(1), N, N}, {}},                               // not found
  };
  Adapter.LoadFromStream(Bytes(T));
  ASSERT_EQ(Adapter.Pending().Tables.size(), 1u);
  std::vector<TChangeRow> Failed;
  std::vector<std::string> Messages;
  Files.OnUpdateError = [&](TQuery& Q, const std::exception& E, const TChangeRow& Row) {
    EXPECT_EQ(&Q, &Files);
    Failed.push_back(Row);
    Messages.push_back(E.what());
  };
  EXPECT_EQ(Adapter.ApplyUpdates(), 3);
  EXPECT_TRUE(Adapter.Pending().Tables.empty());
  ASSERT_EQ(Failed.size(), 3u);
  EXPECT_EQ(Failed[0].RowID, 1);
  EXPECT_EQ(Failed[1].RowID, 3);
  EXPECT_EQ(Failed[2].RowID, 5);
  EXPECT_EQ(Messages[1], "Record not found or changed by another user");
  EXPECT_EQ(Messages[2], "Record not found or changed by another user");
  // Old and New hold one value per query column, in query column order.
  const TChangeRow& Ins = Failed[0];
  ASSERT_EQ(Ins.New.size(), Files.FieldCount());
  EXPECT_EQ(Ins.State, TRowState::Inserted);
  for (const TValue& V : Ins.Old) EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(Ins.New[0], S("f1"));
  EXPECT_EQ(Ins.New[2], I(9));
  EXPECT_TRUE(Ins.New[3].IsNull());  // "note" is not in the change set
  EXPECT_EQ(Failed[1].Old[0], S("fX"));
  EXPECT_EQ(Failed[1].New[2], I(5));
  EXPECT_EQ(Failed[2].New, Failed[2].Old);
  // Joined and calculated values were not written; the default filled "note".
  EXPECT_EQ(Rows("SELECT fileid, treeid, cnt, note FROM files ORDER BY fileid"),
            (Texts{{"f2", "t1", "5", "two"}, {"f3", "t1", "3", "dflt"}}));
  EXPECT_EQ(Rows("SELECT treename FROM tree"), (Texts{{"Root"}}));
}

TEST_P(ChangeSetTest, ModifiedRowsWriteOnlyTheColumnsThatChanged) {
  TStreamTable T = Table({"fileid", "cnt", "note"});
  T.Changes = {{TRowState::Modified, {S("f1"), I(1), S("one")}, {S("f1"), I(1), S("uno")}}};
  Exec("UPDATE files SET cnt=100 WHERE fileid='f1'");  // someone else's change to another column
  Adapter.LoadFromStream(Bytes(T));
  EXPECT_EQ(Adapter.ApplyUpdates(), 0);
  EXPECT_EQ(Rows("SELECT cnt, note FROM files WHERE fileid='f1'"), (Texts{{"100", "uno"}}));
  // A change set without changes applies nothing.
  Adapter.LoadFromStream(Bytes(Table({"fileid"})));
  EXPECT_EQ(Adapter.ApplyUpdates(), 0);
}

TEST_P(ChangeSetTest, ChangeSetsThatDoNotFitTheGroupAreRefusedWhole) {
  TStreamTable Good = Table({"fileid", "cnt"});
  Good.Changes = {{TRowState::Inserted, {}, {S("f9"), I(9)}}};
  struct TCase {
    const char* Name;
    std::string Bytes;
    std::string Message;
  };
  std::vector<TCase> Cases;
  {
    TDataStream D;
    D.Tables.push_back(Table({"fileid"}));
    Cases.push_back({"data stream", WriteDataStream(D), "not a change set"});
  }
  {
    TStreamTable T = Good;
    T.Name = "iqOther";
    Cases.push_back({"unknown table", Bytes(T), "Table 'iqOther' is not a dataset of 'saFiles'"});
  }
  {
    TStreamTable T = Good;
    T.Columns[1].Name = "x";
    Cases.push_back({"unknown column", Bytes(T), "Unknown column 'x' in table 'iqFiles'"});
  }
  {
    TStreamTable T = Good;
    T.Columns[1].Type = TFieldType::Text;
    T.Changes.push_back({TRowState::Inserted, {}, {S("f8"), S("12")}});  // converts: kept
    T.Changes[0].New[1] = S("twelve");                                   // does not convert
    Cases.push_back({"value of the wrong type", Bytes(T), "column 'cnt'"});
  }
  {
    TStreamTable T = Good;
    T.Columns[1].Name = "FILEID";
    Cases.push_back({"column twice", Bytes(T), "twice"});
  }
  Cases.push_back({"broken bytes", Bytes(Good).substr(0, 20), "Dataset stream"});
  for (const TCase& C : Cases) {
    Adapter.LoadFromStream(Bytes(Good));
    try {
      Adapter.LoadFromStream(C.Bytes);
      ADD_FAILURE() << C.Name << ": accepted";
    } catch (const Exception& E) {
      EXPECT_NE(std::string(E.what()).find(C.Message), std::string::npos) << C.Name << ": " << E.what();
    }
    EXPECT_TRUE(Adapter.Pending().Tables.empty()) << C.Name;
    EXPECT_EQ(Adapter.ApplyUpdates(), 0);
  }
  EXPECT_EQ(Rows("SELECT count(*) FROM files"), (Texts{{"2"}}));
}

TEST_P(ChangeSetTest, ExplicitStatementsBindNewAndOldValues) {
  Exec("CREATE TABLE qxroles (roleid VARCHAR(200) NOT NULL PRIMARY KEY, rolename VARCHAR(333), active INT)");
  Exec("INSERT INTO qxroles VALUES ('r1', 'Old name', 1)");
  TQuery Roles(Conn, "iqRoles");
  Roles.SetSQL("select roleid, rolename, active from qxroles where (1=0)");
  const std::string Schema = IsSQLite() ? "qxordex." : "";
  Roles.SetUpdateSQL(TUpdateSQL{
      "INSERT INTO " + Schema + "qxroles (roleid, rolename, active) VALUES (:NEW_roleid, :new_rolename, :NEW_active)",
      "UPDATE " + Schema + "qxroles SET roleid = :NEW_roleid, rolename = :NEW_rolename WHERE roleid = :OLD_roleid",
      "DELETE FROM " + Schema + "qxroles WHERE roleid = :OLD_roleid", "", "", ""});
  TSchemaAdapter Group("saRoles");
  Group.Add(Roles);
  Roles.Prepare();
  TStreamTable T;
  T.Name = "iqRoles";
  for (const auto& D : Roles.FieldDefs()) {
    TStreamColumn& C = T.Columns.emplace_back();
    C.Name = D.Name;
    C.Type = D.Type == TFieldType::Unknown ? TFieldType::Text : D.Type;
  }
  const TValue Null = TValue::Null(T.Columns[2].Type);
  const TValue One = TValue::Int32(1).ConvertTo(T.Columns[2].Type);
  T.Changes = {
      {TRowState::Modified, {S("r1"), S("Old name"), One}, {S("r2"), S("New name"), One}},
      {TRowState::Inserted, {}, {S("r3"), S("Third"), Null}},
      {TRowState::Modified, {S("r9"), S("x"), One}, {S("r9"), S("y"), One}},  // no such role
      {TRowState::Deleted, {S("r3"), S("Third"), Null}, {}},
  };
  Group.LoadFromStream(Bytes(T));
  int Errors = 0;
  Roles.OnUpdateError = [&](TQuery&, const std::exception&, const TChangeRow& Row) {
    ++Errors;
    EXPECT_EQ(Row.RowID, 2);
  };
  EXPECT_EQ(Group.ApplyUpdates(), 1);
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(Rows("SELECT roleid, rolename, active FROM qxroles"), (Texts{{"r2", "New name", "1"}}));
}

TEST_P(ChangeSetTest, AutoIncrementColumnsAreLeftToTheDatabase) {
  Exec("CREATE TABLE hist (ordnum " + AutoIncKey() + ", histid VARCHAR(40) NOT NULL)");
  TQuery H(Conn, "iqHistory");
  H.SetSQL("SELECT * FROM hist h WHERE h.histid=:histid ORDER BY ordnum DESC");
  TSchemaAdapter Group("saHistory");
  Group.Add(H);
  H.Prepare();
  TStreamTable T;
  T.Name = "iqHistory";
  T.Columns = {{"ordnum", TFieldType::Int64, 0, 0, "", ""}, {"histid", TFieldType::Text, 0, 0, "", ""}};
  T.Changes = {{TRowState::Inserted, {}, {TValue::Int64(77), S("h1")}},
               {TRowState::Inserted, {}, {TValue::Int64(77), S("h2")}}};
  Group.LoadFromStream(Bytes(T));
  EXPECT_EQ(Group.ApplyUpdates(), 0);
  EXPECT_EQ(Rows("SELECT ordnum, histid FROM hist ORDER BY ordnum"), (Texts{{"1", "h1"}, {"2", "h2"}}));
}

TEST_P(ChangeSetTest, ErrorLimitStopsTheBatch) {
  TStreamTable T = Table({"fileid", "cnt"});
  T.Changes = {{TRowState::Deleted, {S("nope1"), I(1)}, {}},
               {TRowState::Deleted, {S("nope2"), I(1)}, {}},
               {TRowState::Inserted, {}, {S("f5"), I(5)}}};
  Adapter.LoadFromStream(Bytes(T));
  EXPECT_EQ(Adapter.ApplyUpdates(1), 2);
  EXPECT_EQ(Rows("SELECT count(*) FROM files"), (Texts{{"2"}}));
  Adapter.LoadFromStream(Bytes(T));
  EXPECT_EQ(Adapter.ApplyUpdates(-1), 2);
  EXPECT_EQ(Rows("SELECT count(*) FROM files"), (Texts{{"3"}}));
}

TEST_P(ChangeSetTest, BatchIsOneTransactionOrNestsInTheCallersOne) {
  TStreamTable T = Table({"fileid", "cnt"});
  T.Changes = {{TRowState::Inserted, {}, {S("f3"), I(3)}},
               {TRowState::Inserted, {}, {S("f1"), I(9)}},  // duplicate key
               {TRowState::Inserted, {}, {S("f4"), I(4)}}};
  std::vector<std::int64_t> Failed;
  Files.OnUpdateError = [&](TQuery&, const std::exception&, const TChangeRow& Row) { Failed.push_back(Row.RowID); };
  const std::string Changes = Bytes(T);

  // Inside the caller's transaction nothing is committed by the batch.
  Conn.StartTransaction();
  Adapter.LoadFromStream(Changes);
  EXPECT_EQ(Adapter.ApplyUpdates(), 1);
  EXPECT_TRUE(Conn.Engine().InTransaction());
  EXPECT_EQ(Rows("SELECT fileid FROM files ORDER BY fileid"), (Texts{{"f1"}, {"f2"}, {"f3"}, {"f4"}}));
  Conn.Rollback();
  EXPECT_EQ(Rows("SELECT fileid FROM files ORDER BY fileid"), (Texts{{"f1"}, {"f2"}}));

  // On its own it commits the good rows once: another connection sees them.
  Adapter.LoadFromStream(Changes);
  EXPECT_EQ(Adapter.ApplyUpdates(), 1);
  EXPECT_FALSE(Conn.Engine().InTransaction());
  TConnection Other;
  FDb->Open(Other);
  TQuery Seen(Other, "seen");
  Seen.SetSQL("SELECT fileid, cnt FROM files ORDER BY fileid");
  Seen.Open();
  EXPECT_EQ(Seen.RecordCount(), 4);
  EXPECT_EQ(Failed, (std::vector<std::int64_t>{1, 1}));
  EXPECT_EQ(Rows("SELECT cnt FROM files WHERE fileid='f1'"), (Texts{{"1"}}));
}

TEST_P(ChangeSetTest, FailingErrorHookEndsTheBatchKeepingTheRowsBefore) {
  TStreamTable T = Table({"fileid", "cnt"});
  T.Changes = {{TRowState::Inserted, {}, {S("f3"), I(3)}},
               {TRowState::Deleted, {S("nope"), I(1)}, {}},
               {TRowState::Inserted, {}, {S("f4"), I(4)}}};
  Files.OnUpdateError = [](TQuery&, const std::exception&, const TChangeRow&) { throw EArgumentError("stop"); };
  Adapter.LoadFromStream(Bytes(T));
  EXPECT_THROW(Adapter.ApplyUpdates(), EArgumentError);
  EXPECT_FALSE(Conn.Engine().InTransaction());
  EXPECT_EQ(Rows("SELECT fileid FROM files ORDER BY fileid"), (Texts{{"f1"}, {"f2"}, {"f3"}}));
}

TEST_P(ChangeSetTest, RefusedCommitFailsTheBatchAndWritesNothing) {
  if (!IsSQLite()) GTEST_SKIP() << "needs a constraint checked at commit";
  Exec("CREATE TABLE note (noteid VARCHAR(10) NOT NULL PRIMARY KEY, fileid VARCHAR(40) "
       "REFERENCES files(fileid) DEFERRABLE INITIALLY DEFERRED)");
  TQuery Notes(Conn, "iqNotes");
  Notes.SetSQL("SELECT noteid, fileid FROM note");
  TSchemaAdapter Group("saNotes");
  Group.Add(Notes);
  Notes.Prepare();
  TStreamTable T;
  T.Name = "iqNotes";
  T.Columns = {{"noteid", TFieldType::Text, 0, 0, "", ""}, {"fileid", TFieldType::Text, 0, 0, "", ""}};
  T.Changes = {{TRowState::Inserted, {}, {S("n1"), S("f1")}}, {TRowState::Inserted, {}, {S("n2"), S("missing")}}};
  Group.LoadFromStream(Bytes(T));
  EXPECT_THROW(Group.ApplyUpdates(), EDatabaseError);
  EXPECT_FALSE(Conn.Engine().InTransaction());
  EXPECT_EQ(Rows("SELECT count(*) FROM note"), (Texts{{"0"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, ChangeSetTest, ::testing::ValuesIn(test::TestKinds()), EngineName);

}  // namespace
}  // namespace ordex::db::testing
