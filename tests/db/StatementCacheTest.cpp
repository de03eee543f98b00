// Prepared statements kept by queries and connections on every served engine:
// reuse across runs, one user per statement at a time, closing and schema changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/db/Db.h"
#include "platform/db/StatementCache.h"
#include "tests/db/DbFixture.h"

namespace ordex::db::testing {
namespace {

using Texts = std::vector<std::vector<std::string>>;

class StatementCacheTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("CREATE TABLE item (id INT NOT NULL PRIMARY KEY, name VARCHAR(20))");
    Exec("INSERT INTO item VALUES (1, 'one')");
    Exec("INSERT INTO item VALUES (2, 'two')");
    Exec("INSERT INTO item VALUES (3, 'three')");
  }

  static std::vector<std::string> Names(TQuery& Q) {
    std::vector<std::string> Out;
    for (Q.First(); !Q.Eof(); Q.Next()) Out.push_back(Q.FieldByName("NAME").AsString());
    return Out;
  }

  detail::TStatementCache& Cache() { return Conn.Cache(); }
};

TEST_P(StatementCacheTest, QueryKeepsItsStatementAcrossOpenWithNewParameterValues) {
  TQuery Q(Conn, "iqItem");
  Q.SetSQL("SELECT id, name FROM item WHERE id >= :lo ORDER BY id");
  const std::size_t Before = Cache().LeasedCount() + Cache().IdleCount();
  for (const auto& [Lo, Expected] : std::vector<std::pair<int, std::vector<std::string>>>{
           {1, {"one", "two", "three"}}, {3, {"three"}}, {9, {}}, {2, {"two", "three"}}}) {
    Q.ParamByName("lo").Value = TValue::Int32(Lo);
    Q.Open();
    EXPECT_EQ(Names(Q), Expected) << "lo=" << Lo;
  }
  // One statement prepared for all four runs, still held by the query.
  EXPECT_EQ(Cache().LeasedCount() + Cache().IdleCount(), Before + 1);
  // The same text set again keeps it too; the field list comes back whole.
  Q.SetSQL("SELECT id, name FROM item WHERE id >= :lo ORDER BY id");
  EXPECT_EQ(Q.FieldCount(), 0u);
  EXPECT_FALSE(Q.FindField("name"));
  Q.Open();
  EXPECT_EQ(Names(Q), (std::vector<std::string>{"two", "three"}));
  EXPECT_EQ(Q.FieldByName("Id").Index(), 0u);
  EXPECT_EQ(Cache().LeasedCount() + Cache().IdleCount(), Before + 1);
}

TEST_P(StatementCacheTest, QueriesWithTheSameTextOpenAtOnceAreIndependent) {
  const std::string SQL = "SELECT name FROM item WHERE id = :id";
  TQuery A(Conn, "iqA"), B(Conn, "iqB");
  A.SetSQL(SQL);
  B.SetSQL(SQL);
  A.ParamByName("id").Value = TValue::Int32(1);
  B.ParamByName("id").Value = TValue::Int32(2);
  A.Open();
  B.Open();
  EXPECT_EQ(Names(A), (std::vector<std::string>{"one"}));
  EXPECT_EQ(Names(B), (std::vector<std::string>{"two"}));
  A.ParamByName("id").Value = TValue::Int32(3);
  A.Open();
  EXPECT_EQ(Names(A), (std::vector<std::string>{"three"}));
  EXPECT_EQ(Names(B), (std::vector<std::string>{"two"}));
  B.Open();
  EXPECT_EQ(Names(B), (std::vector<std::string>{"two"}));
}

TEST_P(StatementCacheTest, StatementIsCheckedOutToOneUserAndReusedOnceGivenBack) {
  const std::string SQL = "SELECT name FROM item WHERE id = ?";
  detail::TStatementLease First = Cache().Acquire(SQL);
  const detail::IStatement* Kept = &*First;
  First.Release();
  EXPECT_FALSE(First);
  detail::TStatementLease Again = Cache().Acquire(SQL);
  EXPECT_EQ(&*Again, Kept);
  {
    // While checked out, the same text gets another statement.
    detail::TStatementLease Second = Cache().Acquire(SQL);
    EXPECT_NE(&*Second, Kept);
    Second.Execute({TValue::Int32(2)});
    Again.Execute({TValue::Int32(1)});
    std::vector<TValue> Row;
    ASSERT_TRUE(Second->Fetch(Row));
    EXPECT_EQ(Row[0].AsString(), "two");
    ASSERT_TRUE(Again->Fetch(Row));
    EXPECT_EQ(Row[0].AsString(), "one");
  }
  Again.Release();

  // Short-lived queries (a new one per call) share the idle statement.
  for (int Id = 1; Id <= 3; ++Id) {
    TQuery Q(Conn, "iqShort");
    Q.SetSQL("SELECT name FROM item WHERE id = :id");
    Q.ParamByName("id").Value = TValue::Int32(Id);
    Q.Open();
    EXPECT_EQ(Q.RecordCount(), 1);
  }
  const std::size_t Statements = Cache().IdleCount() + Cache().LeasedCount();
  {
    TQuery Q(Conn, "iqShort");
    Q.SetSQL("SELECT name FROM item WHERE id = :id");
    Q.ParamByName("id").Value = TValue::Int32(2);
    Q.Open();
    EXPECT_EQ(Names(Q), (std::vector<std::string>{"two"}));
  }
  EXPECT_EQ(Cache().IdleCount() + Cache().LeasedCount(), Statements);
}

TEST_P(StatementCacheTest, QueriesWorkAfterTheConnectionWasClosedAndReopened) {
  TQuery Q(Conn, "iqItem");
  Q.SetSQL("SELECT name FROM item WHERE id = :id");
  Q.ParamByName("id").Value = TValue::Int32(1);
  Q.Open();
  Conn.Close();
  Conn.Open();
  Q.ParamByName("id").Value = TValue::Int32(2);
  Q.Open();
  EXPECT_EQ(Names(Q), (std::vector<std::string>{"two"}));
  // Closed again: the query opens the connection itself.
  Conn.Close();
  Q.Open();
  EXPECT_EQ(Names(Q), (std::vector<std::string>{"two"}));
  EXPECT_EQ(Rows("SELECT count(*) FROM item"), (Texts{{"3"}}));

  // A query that outlives its connection is destroyed without touching it.
  auto Other = std::make_unique<TConnection>();
  FDb->Open(*Other);
  auto Late = std::make_unique<TQuery>(*Other, "iqLate");
  Late->SetSQL("SELECT name FROM item");
  Late->Open();
  Other.reset();
  Late.reset();
}

TEST_P(StatementCacheTest, SchemaChangesReachKeptStatementsAndTableDescriptions) {
  TQuery Q(Conn, "iqItem");
  Q.SetSQL("SELECT * FROM item ORDER BY id");
  Q.Open();
  EXPECT_EQ(Q.FieldCount(), 2u);
  Q.Append();
  Q.FieldByName("id").SetAsLargeInt(4);
  Q.Post();

  Exec("ALTER TABLE item ADD note VARCHAR(10)");
  Q.Open();
  ASSERT_EQ(Q.FieldCount(), 3u);
  EXPECT_EQ(Q.FieldDefs()[2].Name, "note");
  // Rows are written with the new description of the table.
  Q.Append();
  Q.FieldByName("id").SetAsLargeInt(5);
  Q.FieldByName("note").SetAsString("new");
  Q.Post();
  EXPECT_EQ(Rows("SELECT id, note FROM item WHERE id >= 4 ORDER BY id"), (Texts{{"4", "<null>"}, {"5", "new"}}));

  // Another connection's change of the table is seen as well.
  TConnection Other;
  FDb->Open(Other);
  Other.ExecSQL("ALTER TABLE item ADD extra INT");
  Q.Open();
  EXPECT_EQ(Q.FieldCount(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StatementCacheTest, ::testing::ValuesIn(test::TestKinds()), EngineName);

}  // namespace
}  // namespace ordex::db::testing
