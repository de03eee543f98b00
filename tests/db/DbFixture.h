// A fresh, empty test database per test, once per served engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/db/Db.h"
#include "tests/support/TestDatabases.h"

namespace ordex::db::testing {

class DbTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    FDb = std::make_unique<test::TTestDatabase>(GetParam(), false);
    FDb->Open(Conn);
  }

  bool IsSQLite() const { return GetParam() == "SQLite"; }
  // A 64-bit key the database assigns.
  std::string AutoIncKey() const {
    return IsSQLite() ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY";
  }
  void Exec(const std::string& SQL) { Conn.ExecSQL(SQL); }

  // All rows of a statement as texts (NULL as "<null>"), for compact comparisons.
  std::vector<std::vector<std::string>> Rows(const std::string& SQL) {
    TQuery Q(Conn, "check");
    Q.SetSQL(SQL);
    Q.Open();
    std::vector<std::vector<std::string>> Out;
    for (const auto& Row : Q.Rows()) {
      auto& R = Out.emplace_back();
      for (const TValue& V : Row) R.push_back(V.IsNull() ? "<null>" : V.AsString());
    }
    return Out;
  }

  std::unique_ptr<test::TTestDatabase> FDb;  // outlives Conn
  TConnection Conn;
};

inline std::string EngineName(const ::testing::TestParamInfo<std::string>& Info) { return Info.param; }

}  // namespace ordex::db::testing
