// Statements on every served engine: typed results, parameters, editing and posting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/qxError.h"
#include "platform/db/Db.h"
#include "tests/db/DbFixture.h"

namespace ordex::db::testing {
namespace {

using Texts = std::vector<std::vector<std::string>>;

class QueryTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("CREATE TABLE files (fileid VARCHAR(40) NOT NULL PRIMARY KEY, treeid VARCHAR(75), cnt INT, "
         "big BIGINT, size_file DOUBLE, ok TINYINT(1), dateupdate DATETIME, pic BLOB, deposit DECIMAL(15,2), "
         "del INT DEFAULT 0)");
    Exec("CREATE TABLE tree (treeid VARCHAR(75) NOT NULL PRIMARY KEY, treename VARCHAR(100))");
    Exec("INSERT INTO tree VALUES ('t1', 'Root')");
    Exec("INSERT INTO files (fileid, treeid, cnt, big, size_file, ok, dateupdate, pic, deposit) VALUES "
         "('f1', 't1', 3, 5000000000, 1.5, 1, '2023-03-15 12:00:00.000', 'ab', 12.50)");
    Exec("INSERT INTO files (fileid, treeid) VALUES ('f2', 't1')");
  }
};

TEST_P(QueryTest, OpenFetchesTypedRowsAndMarksReadOnlyColumns) {
  TQuery Q(Conn, "iqFiles");
  Q.SetSQL("SELECT f.*, t.treename FROM files f LEFT JOIN tree t ON t.treeid=f.treeid "
           "WHERE f.treeid=:treeid ORDER BY f.fileid");
  Q.ParamByName("treeid").SetText("t1");
  Q.Open();
  ASSERT_EQ(Q.RecordCount(), 2);
  const std::pair<const char*, TFieldType> Types[] = {
      {"fileid", TFieldType::Text},   {"cnt", TFieldType::Int32},         {"big", TFieldType::Int64},
      {"size_file", TFieldType::Float}, {"ok", TFieldType::Boolean},       {"dateupdate", TFieldType::DateTime},
      {"pic", TFieldType::Blob},      {"deposit", TFieldType::Decimal},   {"treename", TFieldType::Text}};
  for (const auto& [Name, Type] : Types) EXPECT_EQ(Q.FieldByName(Name).Def().Type, Type) << Name;
  EXPECT_EQ(Q.FieldByName("fileid").Def().Size, 40u);
  EXPECT_TRUE(Q.FieldByName("fileid").Def().InKey);
  EXPECT_FALSE(Q.FieldByName("fileid").Def().Nullable);
  EXPECT_FALSE(Q.FieldByName("fileid").Def().ReadOnly);
  EXPECT_TRUE(Q.FieldByName("treename").Def().ReadOnly);
  EXPECT_EQ(Q.FieldByName("big").AsLargeInt(), 5000000000LL);
  EXPECT_EQ(Q.FieldByName("size_file").AsFloat(), 1.5);
  EXPECT_TRUE(Q.FieldByName("ok").AsBoolean());
  EXPECT_EQ(Q.FieldByName("dateupdate").AsDateTime(), 45000.5);
  EXPECT_EQ(Q.FieldByName("pic").AsString(), "ab");
  EXPECT_EQ(Q.FieldByName("deposit").AsFloat(), 12.5);
  EXPECT_EQ(Q.FieldByName("treename").AsString(), "Root");
  Q.Next();
  EXPECT_FALSE(Q.Eof());
  EXPECT_TRUE(Q.FieldByName("cnt").IsNull());
  EXPECT_EQ(Q.FieldByName("del").AsInteger(), 0);
  Q.Next();
  EXPECT_TRUE(Q.Eof());
  EXPECT_EQ(Q.RecNo(), 1);
  EXPECT_THROW(Q.FieldByName("nope"), EDatabaseError);
}

TEST_P(QueryTest, ExpressionColumnsTakeTheTypeOfTheirValues) {
  TQuery Q(Conn, "q");
  Q.SetSQL("SELECT count(*) AS n, sum(size_file) AS s, CONCAT(fileid, treeid) AS c, "
           "CONCAT(fileid, NULL) AS cn, max(cnt) + NULL AS z FROM files WHERE fileid='f1' OR fileid='f2'");
  Q.Open();
  EXPECT_EQ(Q.FieldByName("n").Def().Type, TFieldType::Int64);
  EXPECT_EQ(Q.FieldByName("s").Def().Type, TFieldType::Float);
  if (IsSQLite()) {
    EXPECT_EQ(Q.FieldByName("z").Def().Type, TFieldType::Text);  // only NULLs
  }
  EXPECT_TRUE(Q.FieldByName("n").Def().ReadOnly);
  EXPECT_EQ(Q.FieldByName("c").AsString(), "f1t1");  // rows: one aggregate row
  EXPECT_TRUE(Q.FieldByName("cn").IsNull());         // CONCAT with a NULL argument is NULL
  EXPECT_EQ(Q.FieldByName("n").AsLargeInt(), 2);
}

TEST_P(QueryTest, ParametersBindByNameAndTextParametersAsText) {
  TQuery Q(Conn, "q");
  Q.SetSQL("SELECT fileid FROM files WHERE treeid=:TreeID AND (cnt=:cnt OR :cnt IS NULL)");
  EXPECT_EQ(Q.Params().Count(), 2u);
  TParam& T = Q.ParamByName("treeid");
  T.DataType = TFieldType::Text;
  T.Size = 75;
  T.Value = TValue::Int64(7);  // bound as the text "7"
  Q.ParamByName("cnt").Value = TValue::Null();
  Q.Open();
  EXPECT_EQ(Q.RecordCount(), 0);
  Exec("INSERT INTO files (fileid, treeid) VALUES ('f7', '7')");
  Q.Open();
  EXPECT_EQ(Q.RecordCount(), 1);

  TQuery Missing(Conn, "q2");
  Missing.SetSQL("SELECT 1 FROM files WHERE fileid=:x");
  Missing.Params().Clear();
  try {
    Missing.Open();
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_STREQ(E.what(), "Parameter 'x' not found");
  }
  EXPECT_FALSE(Missing.Active());
}

TEST_P(QueryTest, AppendPostReadsBackWhatTheDatabaseAssigned) {
  Exec("CREATE TABLE hist (ordnum " + AutoIncKey() + ", histid VARCHAR(40) NOT NULL, note VARCHAR(20) DEFAULT 'dflt')");
  TQuery Q(Conn, "iqHistory");
  Q.SetSQL("SELECT * FROM hist h WHERE h.histid=:histid");
  Q.ParamByName("histid").SetText("none");
  Q.Open();
  EXPECT_TRUE(Q.FieldByName("ordnum").Def().AutoInc);
  int NewRecord = 0, BeforePost = 0;
  Q.OnNewRecord = [&](TQuery& D) {
    ++NewRecord;
    D.FieldByName("histid").SetAsString("h1");
  };
  Q.OnBeforePost = [&](TQuery&) { ++BeforePost; };
  for (int I = 0; I < 2; ++I) {
    Q.Append();
    EXPECT_EQ(Q.State(), TDataSetState::Insert);
    if (I == 1) Q.FieldByName("histid").SetAsString("h2");
    Q.Post();
  }
  EXPECT_EQ(NewRecord, 2);
  EXPECT_EQ(BeforePost, 2);
  EXPECT_EQ(Q.State(), TDataSetState::Browse);
  EXPECT_EQ(Q.FieldByName("ordnum").AsLargeInt(), 2);
  EXPECT_EQ(Q.FieldByName("note").AsString(), "dflt");
  EXPECT_EQ(Rows("SELECT ordnum, histid, note FROM hist ORDER BY ordnum"),
            (Texts{{"1", "h1", "dflt"}, {"2", "h2", "dflt"}}));
}

TEST_P(QueryTest, EditPostsOnlyChangedColumnsAndDeleteRemovesByKey) {
  TQuery Q(Conn, "iqFileRow");
  Q.SetSQL("SELECT f.fileid, f.cnt, f.big, t.treename FROM files f JOIN tree t ON t.treeid=f.treeid "
           "WHERE f.fileid='f1'");
  Q.Open();
  EXPECT_THROW(Q.FieldByName("cnt").SetAsLargeInt(1), EDatabaseError);  // not editing
  Q.Edit();
  Q.FieldByName("cnt").SetAsString("9");
  Q.FieldByName("treename").SetAsString("ignored: joined column");
  EXPECT_THROW(Q.FieldByName("cnt").SetAsString("nine"), EConvertError);
  // Another writer changes a column this row did not change: it survives.
  Exec("UPDATE files SET big=7 WHERE fileid='f1'");
  Q.Post();
  EXPECT_EQ(Rows("SELECT cnt, big FROM files WHERE fileid='f1'"), (Texts{{"9", "7"}}));
  EXPECT_EQ(Rows("SELECT treename FROM tree"), (Texts{{"Root"}}));

  Q.Edit();
  Q.FieldByName("cnt").SetAsLargeInt(10);
  Q.Cancel();
  EXPECT_EQ(Q.FieldByName("cnt").AsInteger(), 9);

  // The row vanished underneath: the post reports it instead of succeeding.
  Exec("DELETE FROM files WHERE fileid='f1'");
  Q.Edit();
  Q.FieldByName("cnt").SetAsLargeInt(11);
  try {
    Q.Post();
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_STREQ(E.what(), "Record not found or changed by another user");
  }
  EXPECT_EQ(Q.State(), TDataSetState::Edit);
  Q.Cancel();

  TQuery D(Conn, "iqFileList");
  D.SetSQL("SELECT * FROM files f WHERE f.fileid='f2'");
  D.Open();
  D.Delete();
  EXPECT_TRUE(D.IsEmpty());
  EXPECT_TRUE(Rows("SELECT fileid FROM files").empty());
}

TEST_P(QueryTest, TablesWithoutKeyAreMatchedOnAllValuesNullMatchingNull) {
  Exec("CREATE TABLE tabu (ext VARCHAR(10), note VARCHAR(10))");
  Exec("INSERT INTO tabu VALUES ('exe', NULL)");
  Exec("INSERT INTO tabu VALUES ('bat', 'x')");
  TQuery Q(Conn, "iqTabuFiles");
  Q.SetSQL("SELECT * FROM tabu ORDER BY ext DESC");
  Q.Open();
  Q.Edit();
  Q.FieldByName("note").SetAsString("y");
  Q.Post();
  Q.Next();
  Q.Delete();
  EXPECT_EQ(Rows("SELECT ext, note FROM tabu"), (Texts{{"exe", "y"}}));
}

TEST_P(QueryTest, CalculatedFieldsFollowTheRowAndAreNeverWritten) {
  TQuery Q(Conn, "iqFiles");
  Q.SetSQL("SELECT fileid, cnt FROM files ORDER BY fileid");
  Q.AddCalcField("label", TFieldType::Text, 50, [](TQuery& D) {
    return TValue::Text(D.FieldByName("fileid").AsString() + "#" + D.FieldByName("cnt").AsString());
  });
  Q.Open();
  ASSERT_EQ(Q.FieldCount(), 3u);
  EXPECT_TRUE(Q.Fields(2).Def().ReadOnly);
  EXPECT_EQ(Q.FieldByName("label").AsString(), "f1#3");
  Q.Next();
  EXPECT_EQ(Q.FieldByName("label").AsString(), "f2#");
  Q.Edit();
  Q.FieldByName("label").SetAsString("changed");
  Q.FieldByName("cnt").SetAsLargeInt(4);
  Q.Post();
  EXPECT_EQ(Rows("SELECT cnt FROM files WHERE fileid='f2'"), (Texts{{"4"}}));
}

TEST_P(QueryTest, SchemaQualifiedStatementsReachTheMainDatabase) {
  if (!IsSQLite()) GTEST_SKIP() << "the schema name is the server's own on MySQL";
  Exec("CREATE TABLE qxroles (roleid VARCHAR(200) NOT NULL PRIMARY KEY, rolename VARCHAR(333))");
  TParams P;
  P.Add("NEW_roleid").SetText("r1");
  P.Add("NEW_rolename").SetText("qxordex.not-a-qualifier");
  EXPECT_EQ(Conn.ExecSQL("INSERT INTO qxordex.qxroles (roleid, rolename) VALUES (:NEW_roleid, :NEW_rolename)", &P), 1);
  EXPECT_EQ(Rows("SELECT roleid, rolename FROM qxroles"), (Texts{{"r1", "qxordex.not-a-qualifier"}}));
  EXPECT_EQ(Rows("SELECT `roleid`, 'qxordex.x' FROM `qxordex`.qxroles"), (Texts{{"r1", "qxordex.x"}}));
}

TEST_P(QueryTest, DateTimeParametersMatchStoredDates) {
  TQuery Q(Conn, "q");
  Q.SetSQL("SELECT fileid FROM files WHERE dateupdate=:d");
  Q.ParamByName("d").Value = TValue::DateTime(45000.5);
  Q.Open();
  EXPECT_EQ(Q.RecordCount(), 1);
  Q.ParamByName("d").Value = TValue::DateTime(45000.5 + 1.0 / 86400);
  Q.Open();
  EXPECT_EQ(Q.RecordCount(), 0);
}

TEST_P(QueryTest, EngineErrorsArePassedOn) {
  TQuery Q(Conn, "q");
  Q.SetSQL("SELECT nosuchcolumn FROM files");
  EXPECT_THROW(Q.Open(), EDatabaseError);
  EXPECT_THROW(Conn.ExecSQL("INSERT INTO files (fileid) VALUES ('f1')"), EDatabaseError);  // duplicate key
  EXPECT_THROW(Conn.ExecSQL("DELETE FROM files; DELETE FROM tree"), EDatabaseError);
  EXPECT_EQ(Rows("SELECT count(*) FROM files"), (Texts{{"2"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, QueryTest, ::testing::ValuesIn(test::TestKinds()), EngineName);

}  // namespace
}  // namespace ordex::db::testing
