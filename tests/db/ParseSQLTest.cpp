// Statement texts (parameters, base table, declared types) and connection kinds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/qxError.h"
#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"

namespace ordex::db {
namespace {

TEST(ParseSQL, PlaceholdersAndNames) {
  struct TCase {
    std::string SQL, Text;
    std::vector<std::string> Names;
  };
  const TCase Cases[] = {
      {"SELECT * FROM t WHERE a=:a AND b = :B_2", "SELECT * FROM t WHERE a=? AND b = ?", {"a", "B_2"}},
      {"x=:id OR y=:id", "x=? OR y=?", {"id", "id"}},
      {"SELECT a::text FROM t", "SELECT a::text FROM t", {}},
      {"SELECT ':no' FROM t WHERE c=:yes", "SELECT ':no' FROM t WHERE c=?", {"yes"}},
      {"SELECT \"a:b\", `c:d` FROM t", "SELECT \"a:b\", `c:d` FROM t", {}},
      {"SELECT 1 -- :c\nFROM t WHERE x=:p", "SELECT 1 -- :c\nFROM t WHERE x=?", {"p"}},
      {"SELECT /* :c */ 1 WHERE x=:p", "SELECT /* :c */ 1 WHERE x=?", {"p"}},
      {"SELECT 'it''s :x' WHERE y=:y", "SELECT 'it''s :x' WHERE y=?", {"y"}},
      {"SET @a := 1", "SET @a := 1", {}},
      {"a=:1x", "a=?", {"1x"}},
      {"trailing colon :", "trailing colon :", {}},
      {"unterminated ':p", "unterminated ':p", {}},
      {"(:a,:b)", "(?,?)", {"a", "b"}},
  };
  for (const TCase& C : Cases) {
    const TParsedSQL P = ParseSQL(C.SQL);
    EXPECT_EQ(P.Text, C.Text) << C.SQL;
    EXPECT_EQ(P.ParamNames, C.Names) << C.SQL;
  }
}

TEST(ParseSQL, BaseTableIsFirstTopLevelFrom) {
  const std::pair<std::string, std::string> Cases[] = {
      {"SELECT v.treeid FROM oxTree v WHERE x=1", "oxTree"},
      {"SELECT *, (SELECT count(*) from oxHistory h WHERE h.fileid=f.fileid) as cnt FROM oxFiles f", "oxFiles"},
      {"select * from qxordex.qxroles where (1=0)", "qxroles"},
      {"SELECT `from` FROM `my table` t", "my table"},
      {"SELECT 'FROM x' FROM \"quoted\"", "quoted"},
      {"SELECT datefrom FROM\n  /* c */ oxFiles", "oxFiles"},
      {"SELECT 1", ""},
      {"SELECT * FROM (SELECT 1) s", ""},
  };
  TConnection Conn;
  TQuery Q(Conn, "q");
  for (const auto& [SQL, Base] : Cases) {
    Q.SetSQL(SQL);
    EXPECT_EQ(Q.BaseTable(), Base) << SQL;
  }
}

TEST(ParseSQL, SetSQLKeepsKnownParameters) {
  TConnection Conn;
  TQuery Q(Conn, "q");
  Q.SetSQL("SELECT * FROM t WHERE a=:treeid AND b=:other");
  TParam& P = Q.ParamByName("TREEID");
  P.DataType = TFieldType::Text;
  P.Size = 75;
  P.SetText("abc");
  Q.SetSQL("SELECT * FROM t WHERE a=:treeid OR c=:fresh OR d=:treeid");
  ASSERT_EQ(Q.Params().Count(), 2u);
  EXPECT_EQ(Q.ParamByName("treeid").AsString(), "abc");
  EXPECT_EQ(Q.ParamByName("treeid").Size, 75u);
  EXPECT_TRUE(Q.ParamByName("fresh").Value.IsNull());
  EXPECT_EQ(Q.Params().FindParam("other"), nullptr);
  try {
    Q.ParamByName("missing");
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_STREQ(E.what(), "Parameter 'missing' not found");
  }
}

TEST(ParseSQL, DeclaredTypes) {
  struct TCase {
    const char* Decl;
    TFieldType Type;
    std::uint32_t Size;
  };
  const TCase Cases[] = {
      {"VARCHAR(75)", TFieldType::Text, 75},  {"varchar (200)", TFieldType::Text, 200},
      {"CHAR(1)", TFieldType::Text, 1},       {"TEXT", TFieldType::Text, 0},
      {"LONGTEXT", TFieldType::Text, 0},      {"INT", TFieldType::Int32, 0},
      {"INTEGER", TFieldType::Int32, 0},      {"int(11)", TFieldType::Int32, 0},
      {"SMALLINT", TFieldType::Int32, 0},     {"INT UNSIGNED", TFieldType::Int64, 0},
      {"BIGINT", TFieldType::Int64, 0},       {"TINYINT(1)", TFieldType::Boolean, 0},
      {"TINYINT", TFieldType::Int32, 0},      {"BOOLEAN", TFieldType::Boolean, 0},
      {"DOUBLE", TFieldType::Float, 0},       {"REAL", TFieldType::Float, 0},
      {"DECIMAL(15,2)", TFieldType::Decimal, 0}, {"NUMERIC", TFieldType::Decimal, 0},
      {"DATETIME", TFieldType::DateTime, 0},  {"TIMESTAMP", TFieldType::DateTime, 0},
      {"DATE", TFieldType::DateTime, 0},      {"BLOB", TFieldType::Blob, 0},
      {"LONGBLOB", TFieldType::Blob, 0},      {"", TFieldType::Unknown, 0},
  };
  for (const TCase& C : Cases) {
    std::uint32_t Size = 99;
    EXPECT_EQ(detail::TypeFromDeclaration(C.Decl, Size), C.Type) << C.Decl;
    EXPECT_EQ(Size, C.Size) << C.Decl;
  }
}

TEST(Kinds, EighteenKnownTwoServed) {
  const auto& K = KnownKinds();
  ASSERT_EQ(K.size(), 18u);
  EXPECT_EQ(K.front(), "MySQL");
  EXPECT_EQ(K[2], "SQLite");
  EXPECT_EQ(K.back(), "TDBX");
  for (const auto& Kind : K) EXPECT_EQ(IsKindServed(Kind), Kind == "SQLite" || Kind == "MySQL") << Kind;
  EXPECT_FALSE(IsKindServed("sqlite"));
}

TEST(Kinds, OpeningRefusedKindsNamesThem) {
  for (const std::string Kind : {"PG", "IBLite", "TDBX", "Oracle", "sqlite", ""}) {
    TConnection Conn;
    Conn.SetDriverName(Kind);
    Conn.Params().push_back("Database=/tmp/never-made.db");
    int Before = 0;
    Conn.OnBeforeConnect = [&] { ++Before; };
    try {
      Conn.Open();
      FAIL() << Kind;
    } catch (const EDatabaseError& E) {
      EXPECT_NE(std::string(E.what()).find("'" + Kind + "'"), std::string::npos) << E.what();
    }
    EXPECT_EQ(Before, 1);
    EXPECT_FALSE(Conn.Connected());
  }
}

TEST(Kinds, SQLiteNeedsAnExistingFileUnlessCreating) {
  TConnection Conn;
  Conn.SetDriverName("SQLite");
  EXPECT_THROW(
      {
        try {
          Conn.Open();
        } catch (const EDatabaseError& E) {
          EXPECT_STREQ(E.what(), "No database file given");
          throw;
        }
      },
      EDatabaseError);
  Conn.Params() = {"Database=/nonexistent-dir-ordex/x.db", "OpenMode=CreateUTF16"};
  EXPECT_THROW(Conn.Open(), EDatabaseError);
  const std::string File = ::testing::TempDir() + "ordex-kinds-" + std::to_string(::getpid()) + ".db";
  std::remove(File.c_str());
  Conn.Params() = {"Database=" + File};
  EXPECT_THROW(Conn.Open(), EDatabaseError);  // no Create mode: the file is not made
  Conn.Params().push_back("OpenMode=CreateUTF16");
  Conn.Open();
  EXPECT_EQ(Conn.Dialect(), "SQLite");
  Conn.Close();
  std::remove(File.c_str());
  std::remove((File + "-wal").c_str());
  std::remove((File + "-shm").c_str());
}

}  // namespace
}  // namespace ordex::db
