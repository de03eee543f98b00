// Typed values and the dataset stream layout: round trips and malformed input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/qxError.h"
#include "platform/db/DataStream.h"
#include "platform/db/DbValue.h"
#include "tests/support/StreamColumns.h"

namespace ordex::db {
namespace {

TEST(DbValue, TextForms) {
  const std::pair<TValue, std::string> Cases[] = {
      {TValue::Float(1.5), "1.5"},           {TValue::Float(0.062), "0.062"},
      {TValue::Int32(-7), "-7"},             {TValue::Int64(1LL << 40), "1099511627776"},
      {TValue::Boolean(true), "True"},       {TValue::Boolean(false), "False"},
      {TValue::DateTime(45000.5), "2023-03-15 12:00:00"},
      {TValue::DateTime(45000.0 + 1.5 / 86400), "2023-03-15 00:00:01.500"},
      {TValue::Decimal("-12.50"), "-12.50"}, {TValue::Null(TFieldType::Int32), ""},
  };
  for (const auto& [V, Text] : Cases) EXPECT_EQ(V.AsString(), Text);
}

TEST(DbValue, ConversionsKeepValuesOrRefuse) {
  EXPECT_EQ(TValue::Text(" 42 ").ConvertTo(TFieldType::Int32), TValue::Int32(42));
  EXPECT_EQ(TValue::Text("12.0").ConvertTo(TFieldType::Int64), TValue::Int64(12));
  EXPECT_EQ(TValue::Int64(5).ConvertTo(TFieldType::Text), TValue::Text("5"));
  EXPECT_EQ(TValue::Float(2.25).ConvertTo(TFieldType::Decimal), TValue::Decimal("2.25"));
  EXPECT_EQ(TValue::Text("1.50").ConvertTo(TFieldType::Decimal), TValue::Decimal("1.50"));
  EXPECT_EQ(TValue::Text("true").ConvertTo(TFieldType::Boolean), TValue::Boolean(true));
  EXPECT_EQ(TValue::Text("2023-03-15 12:00").ConvertTo(TFieldType::DateTime), TValue::DateTime(45000.5));
  EXPECT_EQ(TValue::Null(TFieldType::Text).ConvertTo(TFieldType::Int32), TValue::Null(TFieldType::Int32));
  // Refused: not a number, a lost fraction, out of range, bad decimal, blob to number.
  EXPECT_THROW(TValue::Text("abc").ConvertTo(TFieldType::Int32), EConvertError);
  EXPECT_THROW(TValue::Float(1.5).ConvertTo(TFieldType::Int64), EConvertError);
  EXPECT_THROW(TValue::Int64(1LL << 40).ConvertTo(TFieldType::Int32), EConvertError);
  EXPECT_THROW(TValue::Text("1e5").ConvertTo(TFieldType::Decimal), EConvertError);
  EXPECT_THROW(TValue::Text("yes").ConvertTo(TFieldType::Boolean), EConvertError);
  EXPECT_THROW(TValue::Blob("x").ConvertTo(TFieldType::Int32), EConvertError);
  EXPECT_THROW(TValue::Text("not a date").ConvertTo(TFieldType::DateTime), EConvertError);
}

TEST(DbValue, EqualityNeedsSameTypeAndNullness) {
  EXPECT_FALSE(TValue::Int32(1) == TValue::Int64(1));
  EXPECT_FALSE(TValue::Null(TFieldType::Text) == TValue::Text(""));
  EXPECT_TRUE(TValue::Float(std::nan("")) == TValue::Float(std::nan("")));
  EXPECT_TRUE(SameName("FileID", "fileid"));
  EXPECT_FALSE(SameName("fileid", "fileid2"));
}

using test::Col;

// One table with a column of every type and a row of values plus a row of NULLs.
TDataStream AllTypes(TStreamKind Kind) {
  TDataStream S;
  S.Kind = Kind;
  TStreamTable& T = S.Tables.emplace_back();
  T.Name = "iqFiles";
  T.Columns = {Col("s", TFieldType::Text, cfNullable | cfKey), Col("i", TFieldType::Int32),
               Col("b", TFieldType::Int64, cfAutoInc),          Col("f", TFieldType::Float),
               Col("ok", TFieldType::Boolean),                  Col("dt", TFieldType::DateTime),
               Col("bl", TFieldType::Blob, cfReadOnly),         Col("d", TFieldType::Decimal)};
  const std::vector<TValue> Full = {TValue::Text("имя"),        TValue::Int32(-5),
                                    TValue::Int64(1LL << 50),   TValue::Float(0.1),
                                    TValue::Boolean(true),      TValue::DateTime(45000.25),
                                    TValue::Blob(std::string("\0\xff", 2)), TValue::Decimal("-12.50")};
  std::vector<TValue> Nulls;
  for (const auto& C : T.Columns) Nulls.push_back(TValue::Null(C.Type));
  if (Kind == TStreamKind::Data) {
    T.Rows = {Full, Nulls};
  } else {
    T.Changes = {{TRowState::Inserted, {}, Full}, {TRowState::Modified, Full, Nulls}, {TRowState::Deleted, Nulls, {}}};
  }
  TStreamTable& Empty = S.Tables.emplace_back();
  Empty.Name = "iqTreeCount";
  Empty.Columns = {Col("cnt", TFieldType::Int64)};
  return S;
}

void ExpectSame(const TDataStream& A, const TDataStream& B) {
  ASSERT_EQ(A.Kind, B.Kind);
  ASSERT_EQ(A.Tables.size(), B.Tables.size());
  for (std::size_t I = 0; I < A.Tables.size(); ++I) {
    const auto& X = A.Tables[I];
    const auto& Y = B.Tables[I];
    EXPECT_EQ(X.Name, Y.Name);
    ASSERT_EQ(X.Columns.size(), Y.Columns.size());
    for (std::size_t C = 0; C < X.Columns.size(); ++C) {
      EXPECT_EQ(X.Columns[C].Name, Y.Columns[C].Name);
      EXPECT_EQ(X.Columns[C].Type, Y.Columns[C].Type);
      EXPECT_EQ(X.Columns[C].Flags, Y.Columns[C].Flags);
      EXPECT_EQ(X.Columns[C].Size, Y.Columns[C].Size);
      EXPECT_EQ(X.Columns[C].OriginTable, Y.Columns[C].OriginTable);
      EXPECT_EQ(X.Columns[C].OriginColumn, Y.Columns[C].OriginColumn);
    }
    EXPECT_EQ(X.Rows, Y.Rows);
    ASSERT_EQ(X.Changes.size(), Y.Changes.size());
    for (std::size_t R = 0; R < X.Changes.size(); ++R) {
      EXPECT_EQ(X.Changes[R].State, Y.Changes[R].State);
      EXPECT_EQ(X.Changes[R].Old, Y.Changes[R].Old);
      EXPECT_EQ(X.Changes[R].New, Y.Changes[R].New);
    }
  }
}

TEST(DataStream, RoundTripsEveryTypeAndNull) {
  for (const TStreamKind Kind : {TStreamKind::Data, TStreamKind::ChangeSet}) {
    const TDataStream S = AllTypes(Kind);
    const std::string Bytes = WriteDataStream(S);
    ExpectSame(S, ReadDataStream(Bytes));
    EXPECT_EQ(WriteDataStream(ReadDataStream(Bytes)), Bytes);
  }
}

TEST(DataStream, LayoutIsTheDocumentedOne) {
  TDataStream S;
  TStreamTable& T = S.Tables.emplace_back();
  T.Name = "t";
  T.Columns = {Col("a", TFieldType::Boolean, cfNullable)};
  T.Columns[0].OriginTable = T.Columns[0].OriginColumn = "";
  T.Rows = {{TValue::Boolean(true)}, {TValue::Null(TFieldType::Boolean)}};
  const std::string Expected = std::string("ODS1\x01", 5) + std::string("\x01\0\0\0", 4) +  // kind, 1 table
                               std::string("\x01\0\0\0t", 5) + std::string("\x01\0\0\0", 4) +  // name, 1 column
                               std::string("\x01\0\0\0a\x05\x01", 7) + std::string(12, '\0') +  // a: Boolean, nullable
                               std::string("\x02\0\0\0", 4) + std::string("\x01\x01\x00", 3);  // 2 rows
  EXPECT_EQ(WriteDataStream(S), Expected);
}

TEST(DataStream, DuplicateColumnNamesGetSuffixes) {
  std::vector<TStreamColumn> C = {Col("id", TFieldType::Int32), Col("name", TFieldType::Text),
                                  Col("ID", TFieldType::Int32), Col("id_1", TFieldType::Int32),
                                  Col("id", TFieldType::Int32)};
  MakeColumnNamesUnique(C);
  std::vector<std::string> Names;
  for (const auto& X : C) Names.push_back(X.Name);
  EXPECT_EQ(Names, (std::vector<std::string>{"id", "name", "ID_2", "id_1", "id_3"}));
}

TEST(DataStream, WriterRefusesRowsThatDoNotFitTheColumns) {
  TDataStream S = AllTypes(TStreamKind::Data);
  S.Tables[0].Rows[0][1] = TValue::Int64(1);  // Int64 value in an Int32 column
  EXPECT_THROW(WriteDataStream(S), EStreamError);
  S = AllTypes(TStreamKind::Data);
  S.Tables[0].Rows[0].pop_back();
  EXPECT_THROW(WriteDataStream(S), EStreamError);
  S = AllTypes(TStreamKind::ChangeSet);
  S.Tables[0].Changes[0].Old = S.Tables[0].Changes[0].New;  // an insert with old values
  EXPECT_THROW(WriteDataStream(S), EStreamError);
}

TEST(DataStream, EveryTruncationIsAStreamError) {
  for (const TStreamKind Kind : {TStreamKind::Data, TStreamKind::ChangeSet}) {
    const std::string Bytes = WriteDataStream(AllTypes(Kind));
    for (std::size_t N = 0; N < Bytes.size(); ++N)
      EXPECT_THROW(ReadDataStream(std::string_view(Bytes).substr(0, N)), EStreamError) << "prefix " << N;
  }
}

void PutU32(std::string& S, std::size_t At, std::uint32_t V) {
  for (int I = 0; I < 4; ++I) S[At + I] = static_cast<char>((V >> (8 * I)) & 0xFF);
}

TEST(DataStream, MalformedStreamsAreRefusedWithTheirPlace) {
  // One text column "s" and one Boolean column "ok", one data row ("x", true).
  TDataStream S;
  TStreamTable& T = S.Tables.emplace_back();
  T.Name = "iqFiles";
  T.Columns = {Col("s", TFieldType::Text), Col("ok", TFieldType::Boolean)};
  T.Rows = {{TValue::Text("x"), TValue::Boolean(true)}};
  const std::string Good = WriteDataStream(S);
  // Offsets: header 5, tables 4, name 4+7, columns 4, column s at 24, column ok
  // at 24+23+14 = 61... computed from the layout below rather than by hand.
  const std::size_t TableName = 9, ColumnCount = 20, ColS = 24;
  const std::size_t ColOk = ColS + 4 + 1 + 1 + 1 + 4 + 4 + 7 + 4 + 1;
  const std::size_t RowCount = ColOk + 4 + 2 + 1 + 1 + 4 + 4 + 7 + 4 + 2;
  const std::size_t Value0 = RowCount + 4;
  ASSERT_EQ(Good.size(), Value0 + 1 + 4 + 1 + 1 + 1);

  struct TCase {
    const char* Name;
    std::string Bytes;
    const char* Message;  // a part of the expected message
  };
  std::vector<TCase> Cases;
  const auto Patched = [&](auto Patch) {
    std::string B = Good;
    Patch(B);
    return B;
  };
  Cases.push_back({"bad magic", Patched([](std::string& B) { B[0] = 'X'; }), "ODS1"});
  Cases.push_back({"bad kind", Patched([](std::string& B) { B[4] = 3; }), "kind 3"});
  Cases.push_back({"lying table count", Patched([](std::string& B) { PutU32(B, 5, 0xFFFFFFFF); }), "tables"});
  Cases.push_back({"lying name length", Patched([&](std::string& B) { PutU32(B, TableName, 0x7FFFFFFF); }), "table 0"});
  Cases.push_back({"lying column count", Patched([&](std::string& B) { PutU32(B, ColumnCount, 1000000); }), "columns"});
  Cases.push_back({"unknown type", Patched([&](std::string& B) { B[ColS + 5] = 9; }), "unknown type 9"});
  Cases.push_back({"type zero", Patched([&](std::string& B) { B[ColS + 5] = 0; }), "unknown type 0"});
  Cases.push_back({"unknown flag", Patched([&](std::string& B) { B[ColS + 6] = 0x10; }), "flags"});
  Cases.push_back({"lying row count", Patched([&](std::string& B) { PutU32(B, RowCount, 0x10000000); }), "rows"});
  Cases.push_back({"bad presence byte", Patched([&](std::string& B) { B[Value0] = 2; }), "column 's'"});
  Cases.push_back({"lying value length", Patched([&](std::string& B) { PutU32(B, Value0 + 1, 1000); }), "column 's'"});
  Cases.push_back({"Boolean payload 2", Patched([&](std::string& B) { B[Value0 + 7] = 2; }), "column 'ok'"});
  Cases.push_back({"trailing byte", Good + '\0', "unexpected bytes"});
  for (const TCase& C : Cases) {
    try {
      ReadDataStream(C.Bytes);
      ADD_FAILURE() << C.Name << ": accepted";
    } catch (const EStreamError& E) {
      EXPECT_NE(std::string(E.what()).find(C.Message), std::string::npos) << C.Name << ": " << E.what();
    }
  }
}

TEST(DataStream, MalformedValuesOfTypedColumns) {
  // A change set whose row state, decimal text or date-time is broken.
  TDataStream S;
  S.Kind = TStreamKind::ChangeSet;
  TStreamTable& T = S.Tables.emplace_back();
  T.Name = "t";
  T.Columns = {Col("d", TFieldType::Decimal), Col("dt", TFieldType::DateTime)};
  T.Changes = {{TRowState::Inserted, {}, {TValue::Decimal("1.5"), TValue::DateTime(1.0)}}};
  const std::string Good = WriteDataStream(S);
  const std::size_t State = Good.size() - (1 + 1 + 4 + 3 + 1 + 8);
  ASSERT_EQ(Good[State], 1);
  std::string B = Good;
  B[State] = 4;
  EXPECT_THROW(ReadDataStream(B), EStreamError);
  B = Good;
  B[State + 1 + 1 + 4 + 1] = 'x';  // "1x5"
  EXPECT_THROW(ReadDataStream(B), EStreamError);
  B = Good;
  const double NaN = std::numeric_limits<double>::quiet_NaN();
  std::memcpy(&B[B.size() - 8], &NaN, 8);
  EXPECT_THROW(ReadDataStream(B), EStreamError);
  // Rows in a table without columns cannot be sized by the bytes: refused.
  TDataStream Z;
  Z.Tables.emplace_back().Name = "z";
  std::string ZB = WriteDataStream(Z);
  PutU32(ZB, ZB.size() - 4, 0xFFFFFFFF);
  EXPECT_THROW(ReadDataStream(ZB), EStreamError);
}

}  // namespace
}  // namespace ordex::db
