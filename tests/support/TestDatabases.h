// Test databases on every served engine. SQLite is always there; MySQL/MariaDB
// when ORDEX_TEST_MYSQL names a server as "host:port:user:password" (./test.sh
// starts one and sets it). Database test bodies run once per kind.
#pragma once

#include <string>
#include <vector>

#include "config/qxroot.h"
#include "platform/db/Db.h"

namespace ordex::test {

// "SQLite", plus "MySQL" when ORDEX_TEST_MYSQL is set.
std::vector<std::string> TestKinds();

// A fresh database of one kind, dropped (or its file removed) on destruction.
class TTestDatabase {
 public:
  // Kind "SQLite" or "MySQL". WithSchema installs the document schema (empty
  // tables plus the version row). Name: the MySQL database name (default: a
  // unique "ordex_t_<pid>_<n>"); "qxordex" is allowed for the tests that need it.
  TTestDatabase(const std::string& Kind, bool WithSchema, const std::string& Name = {});
  ~TTestDatabase();
  TTestDatabase(const TTestDatabase&) = delete;
  TTestDatabase& operator=(const TTestDatabase&) = delete;

  const std::string& Kind() const noexcept { return FInfo.TypeDB; }
  // Description ready to be the root object's main connection ("MainDBSrv"),
  // with DirFiles set to a fresh temporary folder.
  const TConnInfo& Info() const noexcept { return FInfo; }
  // Opens Conn on this database with the parameters ConnectDB would set.
  void Open(db::TConnection& Conn) const;

 private:
  TConnInfo FInfo;
  std::string FTempDir;
};

// Parameterised test helper: INSTANTIATE_TEST_SUITE_P(Engines, X, ::testing::ValuesIn(ordex::test::TestKinds()));
}  // namespace ordex::test
