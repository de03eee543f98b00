// The MySQL/MariaDB engine against a real server (ORDEX_TEST_MYSQL); skipped
// when none is configured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/qxDateTime.h"
#include "common/qxError.h"
#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"
#include "tests/support/TestDatabases.h"

namespace ordex::db {
namespace {

class MySQLDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("ORDEX_TEST_MYSQL") == nullptr) GTEST_SKIP() << "ORDEX_TEST_MYSQL is not set";
    FDb = std::make_unique<test::TTestDatabase>("MySQL", false);
    FDb->Open(FConn);
  }

  detail::IConnection& Engine() { return FConn.Engine(); }

  void Exec(const std::string& SQL, const std::vector<TValue>& Args = {}) {
    Engine().Prepare(SQL)->Execute(Args);
  }

  std::vector<std::vector<TValue>> Select(const std::string& SQL, const std::vector<TValue>& Args = {}) {
    auto Stmt = Engine().Prepare(SQL);
    Stmt->Execute(Args);
    std::vector<std::vector<TValue>> Rows;
    std::vector<TValue> Row;
    while (Stmt->Fetch(Row)) Rows.push_back(Row);
    return Rows;
  }

  const TFieldDef* Find(const std::vector<TFieldDef>& Defs, const std::string& Name) {
    for (const auto& D : Defs)
      if (D.Name == Name) return &D;
    return nullptr;
  }

  std::unique_ptr<test::TTestDatabase> FDb;
  TConnection FConn;
};

constexpr const char* CreateAllTypes =
    "CREATE TABLE t_all (id INT NOT NULL AUTO_INCREMENT PRIMARY KEY, s VARCHAR(20) NOT NULL, "
    "i INT, b BIGINT, f DOUBLE, ok TINYINT(1), dt DATETIME(3), bl LONGBLOB, "
    "dec1 DECIMAL(15,2), tx LONGTEXT, u INT UNSIGNED, d DATE) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";

TEST_F(MySQLDriverTest, EveryValueTypeRoundTrips) {
  Exec(CreateAllTypes);
  const TDateTime When = EncodeDateTime({2024, 3, 7, 13, 45, 12, 345});
  const TDateTime Day = EncodeDateTime({1999, 12, 31});
  std::string Binary(100000, '\0');  // longer than any first fetch buffer
  for (std::size_t I = 0; I < Binary.size(); ++I) Binary[I] = static_cast<char>(I * 7);
  std::string LongText;
  while (LongText.size() < 70000) LongText += "Длинный текст; ";

  // Rows to store: s, i, b, f, ok, dt, bl, dec1, tx, u, d.
  const std::vector<std::vector<TValue>> Rows = {
      {TValue::Text("plain"), TValue::Int32(42), TValue::Int64(1), TValue::Float(0.062),
       TValue::Boolean(true), TValue::DateTime(When), TValue::Blob(std::string("\x00\xff\x01", 3)),
       TValue::Decimal("-12.50"), TValue::Text("short"), TValue::Int64(4294967295LL), TValue::DateTime(Day)},
      {TValue::Text(""), TValue::Int32(std::numeric_limits<std::int32_t>::min()),
       TValue::Int64(std::numeric_limits<std::int64_t>::max()), TValue::Float(-1e300),
       TValue::Boolean(false), TValue::DateTime(EncodeDateTime({1000, 1, 1})), TValue::Blob(Binary),
       TValue::Decimal("9999999999999.99"), TValue::Text(LongText), TValue::Int64(0), TValue::DateTime(Day)},
      {TValue::Text("nulls"), TValue::Null(), TValue::Null(), TValue::Null(), TValue::Null(),
       TValue::Null(), TValue::Null(), TValue::Null(), TValue::Null(), TValue::Null(), TValue::Null()},
  };
  auto Insert = Engine().Prepare("INSERT INTO t_all (s, i, b, f, ok, dt, bl, dec1, tx, u, d) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (const auto& Row : Rows) {
    Insert->Execute(Row);
    EXPECT_EQ(Insert->RowsAffected(), 1);
  }
  EXPECT_EQ(Insert->LastInsertId(), 3);

  const auto Back = Select("SELECT s, i, b, f, ok, dt, bl, dec1, tx, u, d FROM t_all ORDER BY id");
  ASSERT_EQ(Back.size(), Rows.size());
  const TFieldType Types[] = {TFieldType::Text, TFieldType::Int32, TFieldType::Int64, TFieldType::Float,
                              TFieldType::Boolean, TFieldType::DateTime, TFieldType::Blob,
                              TFieldType::Decimal, TFieldType::Text, TFieldType::Int64, TFieldType::DateTime};
  for (std::size_t R = 0; R < Rows.size(); ++R) {
    ASSERT_EQ(Back[R].size(), Rows[R].size());
    for (std::size_t C = 0; C < Rows[R].size(); ++C) {
      SCOPED_TRACE("row " + std::to_string(R) + " column " + std::to_string(C));
      EXPECT_EQ(Back[R][C].Type(), Types[C]);
      EXPECT_EQ(Back[R][C].IsNull(), Rows[R][C].IsNull());
      if (!Rows[R][C].IsNull()) {
        EXPECT_EQ(Back[R][C].AsString(), Rows[R][C].ConvertTo(Types[C]).AsString());
      }
    }
  }
  EXPECT_EQ(Back[0][5].AsDateTime(), When);  // milliseconds kept
  EXPECT_EQ(Back[1][6].Bytes(), Binary);     // grown buffer, every byte
}

TEST_F(MySQLDriverTest, ParametersBindByTypeInWhereClauses) {
  Exec(CreateAllTypes);
  Exec("INSERT INTO t_all (s, i, ok, dt) VALUES ('a', 1, 1, '2024-03-07 13:45:12.345'), ('b', 2, 0, NULL)");
  const TDateTime When = EncodeDateTime({2024, 3, 7, 13, 45, 12, 345});
  const struct {
    const char* Where;
    TValue Arg;
    const char* Expected;
  } Cases[] = {
      {"i = ?", TValue::Int32(2), "b"},
      {"i = ?", TValue::Text("1"), "a"},
      {"ok = ?", TValue::Boolean(true), "a"},
      {"dt = ?", TValue::DateTime(When), "a"},
      {"dt <=> ?", TValue::Null(), "b"},
      {"i = ?", TValue::Decimal("2"), "b"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Where);
    const auto Rows = Select(std::string("SELECT s FROM t_all WHERE ") + C.Where, {C.Arg});
    ASSERT_EQ(Rows.size(), 1u);
    EXPECT_EQ(Rows[0][0].AsString(), C.Expected);
  }
  EXPECT_THROW(Select("SELECT s FROM t_all WHERE i = ?", {}), EDatabaseError);
}

TEST_F(MySQLDriverTest, ColumnMetadataComesFromTheCatalog) {
  Exec(CreateAllTypes);
  auto Stmt = Engine().Prepare(
      "SELECT t.*, t.i + 1 AS calc, o.s FROM t_all t LEFT JOIN t_all o ON o.id = t.id");
  const auto& Cols = Stmt->Columns();
  const TFieldDef* Id = Find(Cols, "id");
  ASSERT_NE(Id, nullptr);
  EXPECT_TRUE(Id->InKey);
  EXPECT_TRUE(Id->AutoInc);
  EXPECT_FALSE(Id->Nullable);
  EXPECT_EQ(Id->OriginTable, "t_all");
  const TFieldDef* S = Find(Cols, "s");
  ASSERT_NE(S, nullptr);
  EXPECT_EQ(S->Type, TFieldType::Text);
  EXPECT_EQ(S->Size, 20u);  // characters, not utf8mb4 bytes
  EXPECT_FALSE(S->Nullable);
  EXPECT_EQ(S->OriginColumn, "s");
  const TFieldDef* I = Find(Cols, "i");
  ASSERT_NE(I, nullptr);
  EXPECT_TRUE(I->Nullable);
  EXPECT_FALSE(I->InKey);
  const TFieldDef* Calc = Find(Cols, "calc");
  ASSERT_NE(Calc, nullptr);
  EXPECT_EQ(Calc->OriginTable, "");
  EXPECT_NE(Find(Cols, "s_1"), nullptr);  // the joined duplicate
  EXPECT_EQ(Find(Cols, "ok")->Type, TFieldType::Boolean);
  EXPECT_EQ(Find(Cols, "tx")->Type, TFieldType::Text);
  EXPECT_EQ(Find(Cols, "bl")->Type, TFieldType::Blob);
  EXPECT_EQ(Find(Cols, "dec1")->Type, TFieldType::Decimal);
  EXPECT_EQ(Find(Cols, "u")->Type, TFieldType::Int64);

  const auto Table = Engine().TableColumns("t_all");
  ASSERT_EQ(Table.size(), 12u);
  EXPECT_EQ(Table[0].Name, "id");
  EXPECT_TRUE(Table[0].InKey && Table[0].AutoInc && !Table[0].Nullable);
  EXPECT_EQ(Table[1].Size, 20u);
  EXPECT_EQ(Table[4].Type, TFieldType::Float);
  EXPECT_EQ(Table[5].Type, TFieldType::Boolean);
  EXPECT_EQ(Table[10].Type, TFieldType::Int64);
  EXPECT_TRUE(Engine().TableColumns("no_such_table").empty());

  EXPECT_EQ(Engine().QuoteIdentifier("a`b"), "`a``b`");
  EXPECT_STREQ(Engine().NullSafeEqual(), "<=>");
  EXPECT_STREQ(Engine().Dialect(), "MySQL");
}

TEST_F(MySQLDriverTest, ServerErrorTextsArePassedOn) {
  Exec("CREATE TABLE t_key (id INT PRIMARY KEY)");
  Exec("INSERT INTO t_key VALUES (1)");
  try {
    Exec("INSERT INTO t_key VALUES (1)");
    FAIL() << "duplicate key accepted";
  } catch (const EDatabaseError& E) {
    EXPECT_STREQ(E.what(), "Duplicate entry '1' for key 'PRIMARY'");
  }
  try {
    Engine().Prepare("SELECT * FROM no_such_table");
    FAIL() << "missing table accepted";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(std::string(E.what()), "Table '" + FDb->Info().Dbname + ".no_such_table' doesn't exist");
  }

  TConnection Wrong;
  FDb->Open(Wrong);
  Wrong.Close();
  for (auto& P : Wrong.Params())
    if (P.starts_with("Password=")) P = "Password=wrong";
  try {
    Wrong.Open();
    FAIL() << "wrong password accepted";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string(E.what()).find("Access denied"), std::string::npos) << E.what();
  }
}

TEST_F(MySQLDriverTest, FourByteCharactersAndCyrillicSurvive) {
  Exec("CREATE TABLE t_utf (s VARCHAR(10), tx TEXT) DEFAULT CHARSET=utf8mb4");
  const std::string Text = "Привет 😀!";  // 9 characters, 4-byte emoji
  Exec("INSERT INTO t_utf VALUES (?, ?)", {TValue::Text(Text), TValue::Text(Text + Text)});
  const auto Rows = Select("SELECT s, tx, CHAR_LENGTH(s) FROM t_utf WHERE s = ?", {TValue::Text(Text)});
  ASSERT_EQ(Rows.size(), 1u);
  EXPECT_EQ(Rows[0][0].AsString(), Text);
  EXPECT_EQ(Rows[0][1].AsString(), Text + Text);
  EXPECT_EQ(Rows[0][2].AsInt64(), 9);
}

TEST_F(MySQLDriverTest, ResultsAreBufferedTransactionsRollBack) {
  Exec("CREATE TABLE t_n (n INT PRIMARY KEY) ENGINE=InnoDB");
  Exec("INSERT INTO t_n VALUES (1), (2), (3)");
  // A second statement runs while the first result is still being read.
  auto Outer = Engine().Prepare("SELECT n FROM t_n ORDER BY n");
  Outer->Execute({});
  std::vector<TValue> Row;
  ASSERT_TRUE(Outer->Fetch(Row));
  EXPECT_EQ(Select("SELECT COUNT(*) FROM t_n")[0][0].AsInt64(), 3);
  int Count = 1;
  while (Outer->Fetch(Row)) ++Count;
  EXPECT_EQ(Count, 3);

  // An update that matches its row reports it even when nothing changes.
  auto Update = Engine().Prepare("UPDATE t_n SET n = n WHERE n = 2");
  Update->Execute({});
  EXPECT_EQ(Update->RowsAffected(), 1);

  FConn.StartTransaction();
  Exec("INSERT INTO t_n VALUES (4)");
  FConn.Rollback();
  EXPECT_EQ(Select("SELECT COUNT(*) FROM t_n")[0][0].AsInt64(), 3);
}

TEST_F(MySQLDriverTest, StatementsWithoutAPreparedFormRunAsText) {
  // PREPARE and EXECUTE themselves have no prepared form on the server.
  Exec("PREPARE p FROM 'SELECT 7 AS n, ''Ёж'' AS s, NULL AS z, CAST(''2024-03-07 10:11:12'' AS DATETIME) AS d'");
  const auto Rows = Select("EXECUTE p");
  ASSERT_EQ(Rows.size(), 1u);
  EXPECT_EQ(Rows[0][0].AsInt64(), 7);
  EXPECT_EQ(Rows[0][1].AsString(), "Ёж");
  EXPECT_TRUE(Rows[0][2].IsNull());
  EXPECT_EQ(Rows[0][3].Type(), TFieldType::DateTime);
  EXPECT_EQ(Rows[0][3].AsDateTime(), EncodeDateTime({2024, 3, 7, 10, 11, 12}));
  EXPECT_THROW(Exec("EXECUTE p", {TValue::Int32(1)}), EDatabaseError);
}

TEST_F(MySQLDriverTest, ConnectionsOpenOnManyThreads) {
  std::vector<std::string> Failures(4);
  std::vector<std::thread> Threads;
  for (std::size_t T = 0; T < Failures.size(); ++T) {
    Threads.emplace_back([this, T, &Failures] {
      try {
        TConnection Conn;
        FDb->Open(Conn);
        auto Stmt = Conn.Engine().Prepare("SELECT ? + 1");
        Stmt->Execute({TValue::Int64(static_cast<std::int64_t>(T))});
        std::vector<TValue> Row;
        if (!Stmt->Fetch(Row) || Row[0].AsInt64() != static_cast<std::int64_t>(T) + 1)
          Failures[T] = "wrong result";
      } catch (const std::exception& E) {
        Failures[T] = E.what();
      }
    });
  }
  for (auto& T : Threads) T.join();
  for (const auto& F : Failures) EXPECT_EQ(F, "");
}

}  // namespace
}  // namespace ordex::db
