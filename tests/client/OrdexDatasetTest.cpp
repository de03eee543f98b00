// Client datasets: reading a returned stream, editing it, and the change set
// that goes back; the error report of a failed post.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "client/lib/OrdexDataset.h"
#include "common/qxError.h"
#include "platform/db/DataStream.h"
#include "platform/db/Db.h"
#include "tests/support/TestDatabases.h"
#include "tests/support/StreamColumns.h"

namespace ordex::db {
// Readable values in failure messages.
void PrintTo(const TValue& V, std::ostream* Out) {
  *Out << (V.IsNull() ? std::string("NULL") : "'" + V.AsString() + "'") << " (type " << static_cast<int>(V.Type()) << ")";
}
void PrintTo(TRowState S, std::ostream* Out) { *Out << static_cast<int>(S); }
}  // namespace ordex::db

namespace ordex::client {
namespace {

using db::TFieldType;
using db::TRowState;
using db::TValue;

using test::Col;

// A stream as GetFiles returns it: two files, plus a second table that must not be picked.
std::string FilesStream() {
  db::TDataStream S;
  S.Kind = db::TStreamKind::Data;
  db::TStreamTable& Other = S.Tables.emplace_back();
  Other.Name = "iqTreeCount";
  Other.Columns = {Col("cnt", TFieldType::Int64)};
  Other.Rows = {{TValue::Int64(5)}};

  db::TStreamTable& T = S.Tables.emplace_back();
  T.Name = "iqFiles";
  T.Columns = {Col("fileid", TFieldType::Text, db::cfKey), Col("filename", TFieldType::Text),
               Col("count_history", TFieldType::Int32), Col("size_file", TFieldType::Float),
               Col("del", TFieldType::Boolean), Col("datecreate", TFieldType::DateTime)};
  T.Rows = {
      {TValue::Text("f1"), TValue::Text("a.txt"), TValue::Int32(1), TValue::Float(1.5), TValue::Boolean(false),
       TValue::DateTime(45000.5)},
      {TValue::Text("f2"), TValue::Null(TFieldType::Text), TValue::Null(TFieldType::Int32),
       TValue::Null(TFieldType::Float), TValue::Null(TFieldType::Boolean), TValue::Null(TFieldType::DateTime)},
      {TValue::Text("f3"), TValue::Text("c.txt"), TValue::Int32(3), TValue::Float(0.062), TValue::Boolean(true),
       TValue::DateTime(45001)},
  };
  return db::WriteDataStream(S);
}

TRemoteDataset Files() { return TRemoteDataset::FromStream(FilesStream(), "iqFiles"); }

// The change set of one dataset, as the server reads it back.
db::TStreamTable RoundTrip(const TRemoteDataset& DS) {
  const db::TDataStream S = db::ReadDataStream(BuildChangeSet({&DS}));
  EXPECT_EQ(S.Kind, db::TStreamKind::ChangeSet);
  EXPECT_EQ(S.Tables.size(), 1u);
  return S.Tables.at(0);
}

TEST(RemoteDatasetTest, ReadsTheNamedTableWithTypedFieldsAndNulls) {
  TRemoteDataset DS = Files();
  EXPECT_EQ(DS.Name(), "iqFiles");
  ASSERT_EQ(DS.Columns().size(), 6u);
  EXPECT_EQ(DS.FindField("COUNT_HISTORY"), 2);
  EXPECT_EQ(DS.FindField("nope"), -1);

  std::vector<std::string> Ids;
  for (DS.First(); !DS.Eof(); DS.Next()) Ids.push_back(DS.AsString("fileid"));
  EXPECT_EQ(Ids, (std::vector<std::string>{"f1", "f2", "f3"}));

  DS.First();
  EXPECT_EQ(DS.AsString("FileName"), "a.txt");
  EXPECT_EQ(DS.AsInt64("count_history"), 1);
  EXPECT_DOUBLE_EQ(DS.AsFloat("size_file"), 1.5);
  EXPECT_FALSE(DS.AsBoolean("del"));
  EXPECT_DOUBLE_EQ(DS.AsDateTime("datecreate"), 45000.5);

  DS.Next();  // the all-NULL row
  EXPECT_TRUE(DS.IsNull("filename"));
  EXPECT_EQ(DS.AsString("filename"), "");
  EXPECT_EQ(DS.AsInt64("count_history"), 0);
  EXPECT_EQ(DS.Value("del").Type(), TFieldType::Boolean);

  EXPECT_TRUE(DS.Locate("fileid", TValue::Text("f3")));
  EXPECT_EQ(DS.RecNo(), 2u);
  EXPECT_FALSE(DS.Locate("fileid", TValue::Text("zz")));
  EXPECT_FALSE(DS.Locate("count_history", TValue::Text("abc")));
  EXPECT_EQ(DS.RecNo(), 2u);
  EXPECT_TRUE(DS.Locate("COUNT_HISTORY", TValue::Text("1")));  // converted to the column's type
  EXPECT_EQ(DS.RecNo(), 0u);
  EXPECT_FALSE(DS.HasChanges());
}

TEST(RemoteDatasetTest, RefusesMissingTablesFieldsAndRows) {
  EXPECT_THROW(TRemoteDataset::FromStream(FilesStream(), "iqfiles"), EStreamError);  // names are exact
  EXPECT_THROW(TRemoteDataset::FromStream("ODS1", "iqFiles"), EStreamError);
  // A change set is not data.
  TRemoteDataset DS = Files();
  EXPECT_THROW(TRemoteDataset::FromStream(BuildChangeSet({&DS}), "iqFiles"), EStreamError);

  EXPECT_THROW(DS.Value("nope"), EArgumentError);
  EXPECT_THROW(DS.SetText("nope", "x"), EArgumentError);
  EXPECT_THROW(DS.MoveTo(3), EArgumentError);
  DS.Last();
  DS.Next();
  ASSERT_TRUE(DS.Eof());
  EXPECT_THROW(DS.Value("fileid"), EArgumentError);
  EXPECT_THROW(DS.Delete(), EArgumentError);

  TRemoteDataset Empty(db::TStreamTable{"iqTabuFiles", {Col("ext", TFieldType::Text)}, {}, {}});
  EXPECT_TRUE(Empty.Eof());
  EXPECT_THROW(Empty.SetText("ext", "exe"), EArgumentError);
  EXPECT_FALSE(Empty.HasChanges());
}

TEST(RemoteDatasetTest, SetFieldConvertsToTheColumnTypeOrChangesNothing) {
  TRemoteDataset DS = Files();
  DS.SetText("count_history", " 7 ");
  EXPECT_EQ(DS.Value("count_history"), TValue::Int32(7));
  DS.SetText("size_file", "2.25");
  EXPECT_EQ(DS.Value("size_file"), TValue::Float(2.25));
  DS.SetInt64("filename", 12);
  EXPECT_EQ(DS.Value("filename"), TValue::Text("12"));
  DS.SetText("del", "true");
  EXPECT_EQ(DS.Value("del"), TValue::Boolean(true));
  DS.SetText("datecreate", "2023-03-15 12:00:00");
  EXPECT_EQ(DS.Value("datecreate").Type(), TFieldType::DateTime);

  // A value that does not convert fails and leaves the row as it was; on an
  // untouched row it makes no change either.
  DS.Next();
  EXPECT_THROW(DS.SetText("count_history", "abc"), EConvertError);
  EXPECT_THROW(DS.SetInt64("count_history", 1LL << 40), EConvertError);
  EXPECT_TRUE(DS.IsNull("count_history"));
  const db::TStreamTable T = RoundTrip(DS);
  ASSERT_EQ(T.Changes.size(), 1u);
  EXPECT_EQ(T.Changes[0].Old[0], TValue::Text("f1"));
}

TEST(RemoteDatasetTest, ChangeSetCarriesEachKindOfChangeInOrderOfFirstChange) {
  TRemoteDataset DS = Files();
  DS.MoveTo(2);
  DS.SetText("filename", "c2.txt");  // modified
  DS.MoveTo(0);
  DS.Delete();                       // deleted
  EXPECT_EQ(DS.AsString("fileid"), "f2");  // the cursor is on the following row
  DS.Append();                       // inserted
  DS.SetText("fileid", "f4");
  DS.SetNull("filename");
  DS.Locate("fileid", TValue::Text("f3"));
  DS.SetText("filename", "c3.txt");  // a later edit keeps the row's place
  EXPECT_EQ(DS.RowCount(), 3u);
  EXPECT_TRUE(DS.HasChanges());

  const db::TStreamTable T = RoundTrip(DS);
  EXPECT_EQ(T.Name, "iqFiles");
  ASSERT_EQ(T.Columns.size(), 6u);
  EXPECT_EQ(T.Columns[0].Flags, db::cfKey);
  EXPECT_EQ(T.Columns[1].OriginTable, "oxFiles");
  ASSERT_EQ(T.Changes.size(), 3u);

  ASSERT_EQ(T.Changes[0].State, TRowState::Modified);
  EXPECT_EQ(T.Changes[0].Old[1], TValue::Text("c.txt"));
  EXPECT_EQ(T.Changes[0].New[1], TValue::Text("c3.txt"));
  EXPECT_EQ(T.Changes[0].New[2], TValue::Int32(3));  // unchanged columns travel too

  ASSERT_EQ(T.Changes[1].State, TRowState::Deleted);
  EXPECT_EQ(T.Changes[1].Old[0], TValue::Text("f1"));
  EXPECT_TRUE(T.Changes[1].New.empty());

  ASSERT_EQ(T.Changes[2].State, TRowState::Inserted);
  EXPECT_TRUE(T.Changes[2].Old.empty());
  EXPECT_EQ(T.Changes[2].New[0], TValue::Text("f4"));
  EXPECT_TRUE(T.Changes[2].New[1].IsNull());

  // Error reports name change-set rows; they map back to dataset rows.
  EXPECT_EQ(DS.RowOfChange(0), 1);   // f3, now second
  EXPECT_EQ(DS.RowOfChange(1), -1);  // deleted
  EXPECT_EQ(DS.RowOfChange(2), 2);
  EXPECT_EQ(DS.RowOfChange(3), -1);
}

TEST(RemoteDatasetTest, ModifiedRowKeepsItsLoadedValuesAcrossEdits) {
  TRemoteDataset DS = Files();
  DS.SetText("filename", "b.txt");
  DS.SetText("filename", "c.txt");
  DS.SetInt64("count_history", 9);
  EXPECT_EQ(DS.OldValue("filename"), TValue::Text("a.txt"));

  db::TStreamTable T = RoundTrip(DS);
  ASSERT_EQ(T.Changes.size(), 1u);
  ASSERT_EQ(T.Changes[0].State, TRowState::Modified);
  EXPECT_EQ(T.Changes[0].Old[1], TValue::Text("a.txt"));
  EXPECT_EQ(T.Changes[0].New[1], TValue::Text("c.txt"));
  EXPECT_EQ(T.Changes[0].Old[2], TValue::Int32(1));

  // Edited back to what was loaded: no change remains.
  DS.SetText("filename", "a.txt");
  DS.SetInt64("count_history", 1);
  EXPECT_FALSE(DS.HasChanges());
  EXPECT_TRUE(RoundTrip(DS).Changes.empty());

  // A modified row that is then deleted travels as deleted, with its loaded values.
  DS.SetText("filename", "z.txt");
  DS.Delete();
  T = RoundTrip(DS);
  ASSERT_EQ(T.Changes.size(), 1u);
  ASSERT_EQ(T.Changes[0].State, TRowState::Deleted);
  EXPECT_EQ(T.Changes[0].Old[1], TValue::Text("a.txt"));
}

TEST(RemoteDatasetTest, AppendedRowStaysInsertedOrVanishesWhenDeleted) {
  TRemoteDataset DS = Files();
  DS.Append();
  EXPECT_TRUE(DS.OldValue("fileid").IsNull());
  DS.SetText("fileid", "n1");
  DS.SetText("filename", "first");
  DS.SetText("filename", "second");

  db::TStreamTable T = RoundTrip(DS);
  ASSERT_EQ(T.Changes.size(), 1u);
  ASSERT_EQ(T.Changes[0].State, TRowState::Inserted);
  EXPECT_EQ(T.Changes[0].New[1], TValue::Text("second"));

  // An appended row left all NULL is still an insert (the database may fill it).
  DS.Append();
  EXPECT_EQ(RoundTrip(DS).Changes.size(), 2u);
  DS.Delete();
  DS.Locate("fileid", TValue::Text("n1"));
  DS.Delete();
  EXPECT_FALSE(DS.HasChanges());
  EXPECT_TRUE(RoundTrip(DS).Changes.empty());
  EXPECT_EQ(DS.RowCount(), 3u);
}

TEST(RemoteDatasetTest, CancelRestoresAndMergeAcceptsTheChanges) {
  TRemoteDataset DS = Files();
  DS.MoveTo(1);
  DS.Delete();
  DS.First();
  DS.SetText("filename", "x");
  DS.Append();
  DS.SetText("fileid", "n1");

  DS.CancelChanges();
  EXPECT_FALSE(DS.HasChanges());
  std::vector<std::string> Ids;
  for (DS.First(); !DS.Eof(); DS.Next()) Ids.push_back(DS.AsString("fileid"));
  EXPECT_EQ(Ids, (std::vector<std::string>{"f1", "f2", "f3"}));  // deleted row back in its place
  DS.First();
  EXPECT_EQ(DS.AsString("filename"), "a.txt");

  DS.SetText("filename", "x");
  DS.Append();
  DS.SetText("fileid", "n1");
  DS.MergeChangeLog();
  EXPECT_FALSE(DS.HasChanges());
  // The merged values are the new loaded ones: a later edit is a modification of them.
  DS.SetText("fileid", "n2");
  const db::TStreamTable T = RoundTrip(DS);
  ASSERT_EQ(T.Changes.size(), 1u);
  ASSERT_EQ(T.Changes[0].State, TRowState::Modified);
  EXPECT_EQ(T.Changes[0].Old[0], TValue::Text("n1"));
}

TEST(RemoteDatasetTest, BuildChangeSetWritesOneTablePerDataset) {
  const std::string Bytes = FilesStream();
  TRemoteDataset A = TRemoteDataset::FromStream(Bytes, "iqFiles");
  const TRemoteDataset B = TRemoteDataset::FromStream(Bytes, "iqTreeCount");
  A.Delete();
  const db::TDataStream S = db::ReadDataStream(BuildChangeSet({&B, &A}));
  ASSERT_EQ(S.Tables.size(), 2u);
  EXPECT_EQ(S.Tables[0].Name, "iqTreeCount");
  EXPECT_TRUE(S.Tables[0].Changes.empty());
  EXPECT_EQ(S.Tables[1].Name, "iqFiles");
  EXPECT_EQ(S.Tables[1].Changes.size(), 1u);

  EXPECT_THROW(BuildChangeSet({&A, &A}), EArgumentError);
  EXPECT_THROW(BuildChangeSet({&A, nullptr}), EArgumentError);
}

// The whole way on a real database: the server's exchange group writes the
// data stream, the client edits it, the group applies the client's change set.
TEST(RemoteDatasetTest, ChangeSetAppliesThroughAnExchangeGroup) {
  test::TTestDatabase Db("SQLite", false);
  db::TConnection Conn;
  Db.Open(Conn);
  Conn.ExecSQL("CREATE TABLE oxTabuFiles (id VARCHAR(40) NOT NULL PRIMARY KEY, ext VARCHAR(20), note VARCHAR(50))");
  Conn.ExecSQL("INSERT INTO oxTabuFiles VALUES ('1', 'exe', 'programs'), ('2', 'bat', NULL), ('3', 'com', 'old')");
  db::TQuery Q(Conn, "iqTabuFiles");
  Q.SetSQL("SELECT * FROM oxTabuFiles ORDER BY id");
  db::TSchemaAdapter Adapter("saTabuFiles");
  Adapter.Add(Q);
  Q.Open();

  TRemoteDataset DS = TRemoteDataset::FromStream(Adapter.SaveToStream(), "iqTabuFiles");
  DS.Locate("id", TValue::Text("2"));
  DS.SetText("note", "scripts");
  DS.Locate("id", TValue::Text("3"));
  DS.Delete();
  DS.Append();
  DS.SetText("id", "4");
  DS.SetText("ext", "scr");

  Adapter.LoadFromStream(BuildChangeSet({&DS}));
  EXPECT_EQ(Adapter.ApplyUpdates(-1), 0);

  db::TQuery Check(Conn, "check");
  Check.SetSQL("SELECT id, ext, note FROM oxTabuFiles ORDER BY id");
  Check.Open();
  std::vector<std::string> Rows;
  for (const auto& Row : Check.Rows()) Rows.push_back(Row[0].AsString() + "|" + Row[1].AsString() + "|" + Row[2].AsString());
  EXPECT_EQ(Rows, (std::vector<std::string>{"1|exe|programs", "2|bat|scripts", "4|scr|"}));
}

// ---------------------------------------------------------------------------
// Error reports

TEST(ApplyErrorsTest, ParsesTheReportOfAFailedPost) {
  const std::string Message =
      "Ошибка применения изменений\r"
      R"({"Errors":[{"ErrorMessage":"UNIQUE constraint failed: oxFiles.fileid","DataSource":"iqFiles",)"
      R"("Changes":[{"RowID":"3","FieldName":"fileid","OldValue":"","NewValue":"f1"},)"
      R"({"RowID":"3","FieldName":"filename","OldValue":"","NewValue":"Отчёт.docx"}]},)"
      R"({"ErrorMessage":"no such row","DataSource":"iqFiles","Changes":[]}]})";
  ASSERT_TRUE(IsApplyErrorReport(Message));
  const std::vector<TApplyError> E = ParseApplyErrors(Message);
  ASSERT_EQ(E.size(), 2u);
  EXPECT_EQ(E[0].ErrorMessage, "UNIQUE constraint failed: oxFiles.fileid");
  EXPECT_EQ(E[0].DataSource, "iqFiles");
  ASSERT_EQ(E[0].Changes.size(), 2u);
  EXPECT_EQ(E[0].Changes[0].RowID, "3");
  EXPECT_EQ(E[0].Changes[0].FieldName, "fileid");
  EXPECT_EQ(E[0].Changes[0].OldValue, "");
  EXPECT_EQ(E[0].Changes[0].NewValue, "f1");
  EXPECT_EQ(E[0].Changes[1].NewValue, "Отчёт.docx");
  EXPECT_EQ(E[1].ErrorMessage, "no such row");
  EXPECT_TRUE(E[1].Changes.empty());
}

TEST(ApplyErrorsTest, TellsReportsFromOtherMessages) {
  const std::string Prefix = "Ошибка применения изменений\r";
  struct TCase {
    std::string Message;
    bool IsReport;
  };
  const std::vector<TCase> Cases = {
      {Prefix + R"({"Errors":[]})", true},  // failed rows without descriptions
      {Prefix + "\n" + R"( {"Errors":[]} )", true},
      {Prefix + R"({"Errors":[1,"x",{"DataSource":7}]})", true},  // odd entries are skipped or read leniently
      {"Ошибка применения изменений", false},
      {"Field 'x' not found", false},
      {R"({"Errors":[]})", false},
      {Prefix, false},
      {Prefix + R"({"Errors":[)", false},
      {Prefix + R"({"Errors":{}})", false},
      {Prefix + R"([{"Errors":[]}])", false},
      {Prefix + "{\"Errors\":[{\"ErrorMessage\":\"\xff\"}]}", false},  // not UTF-8
  };
  for (const TCase& C : Cases) {
    EXPECT_EQ(IsApplyErrorReport(C.Message), C.IsReport) << C.Message;
    if (!C.IsReport) {
      EXPECT_TRUE(ParseApplyErrors(C.Message).empty()) << C.Message;
    }
  }
  const auto Odd = ParseApplyErrors(Cases[2].Message);
  ASSERT_EQ(Odd.size(), 1u);
  EXPECT_EQ(Odd[0].DataSource, "7");
}

}  // namespace
}  // namespace ordex::client
