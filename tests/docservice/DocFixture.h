// Fixture for the document-service tests: a root object with the main
// connection "MainDBSrv" pointing at a fresh test database with the document
// schema, and one TOrdexServerClass on it, as a client session would have.
// Every test body runs once per served engine (ordex::test::TestKinds()).
//
// Use: derive a suite per test file and instantiate it once,
//   class TreeTest : public ordex::test::DocFixture {};
//   ORDEX_DOC_INSTANTIATE(TreeTest);
//   TEST_P(TreeTest, Something) { AddFolder("a", "", "A"); ... }
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/qxroot.h"
#include "docservice/dmOrdexServerClass.h"
#include "platform/db/DataStream.h"
#include "platform/db/Db.h"
#include "tests/support/TestDatabases.h"

namespace ordex::test {

// The six rights flags of one oxTreeRight row, in column order.
struct TRightFlags {
  int rtree = 0, wtree = 0, admtree = 0, rfile = 0, wfile = 0, rmyfile = 0;
};

class DocFixture : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Makes the root object, the test database (named DatabaseName when given)
  // as the main connection, and the server object; SetUp runs it unnamed.
  void OpenService(const std::string& DatabaseName = {});

  // The session's server object (created in SetUp).
  TOrdexServerClass& Srv() { return *FSrv; }
  // The service's own connection.
  db::TConnection& Conn() { return FSrv->dmQxSrvConnects->cnQxConn; }
  // "SQLite" or "MySQL".
  const std::string& Kind() const { return GetParam(); }

  // Runs one statement without rows on the service's connection; Args bind :names.
  std::int64_t Exec(std::string_view Sql, const db::TParams* Args = nullptr);
  // First column of the first row as text ("" when there is no row).
  std::string Scalar(const std::string& Sql);

  // A user with MD5Hex(Password) and a role (the role row is added once).
  void SeedUser(const std::string& Login, const std::string& Password, const std::string& RoleID,
                const std::string& RoleName);
  // Logs in through Hello; returns its result. Sess holds what Hello left.
  bool LoginAs(const std::string& Login, const std::string& Password);
  // Sets the session directly (for role ids no user row needs to carry).
  void SetSess(const std::string& Login, const std::string& RoleID);

  // A folder row with ccount 0, kolrights 0; Del NULL unless given.
  void AddFolder(const std::string& ID, const std::string& Parent, const std::string& Name,
                 std::optional<int> Del = std::nullopt);
  // A rights row (NULL username/roleid when not given); recounts the folder's kolrights.
  void AddRight(const std::string& TreeID, std::optional<std::string> UserName,
                std::optional<std::string> RoleID, const TRightFlags& Flags);
  // A file row; Del NULL unless given; SizeKB into size_file.
  void AddFile(const std::string& FileID, const std::string& TreeID, const std::string& FileName,
               const std::string& Ext, const std::string& UserCreate, std::optional<int> Del = std::nullopt,
               double SizeKB = 0);

 public:
  // Parses a stream returned by the service (throws on a broken stream).
  static db::TDataStream ReadStream(const std::string& Bytes);
  // The table of that name in a stream (fails the test when absent).
  static const db::TStreamTable& Table(const db::TDataStream& Stream, const std::string& Name);
  // Index of a column, or -1.
  static int ColumnIndex(const db::TStreamTable& Table, const std::string& Column);
  // The values of one column as text, row by row.
  static std::vector<std::string> Column(const db::TStreamTable& Table, const std::string& Column);

 protected:

  std::unique_ptr<Tqxroot> FRoot;
  std::unique_ptr<TTestDatabase> FDb;
  std::unique_ptr<TOrdexServerClass> FSrv;
};

// "SQLite" / "MySQL" as the instance name of parameterised tests.
std::string KindName(const ::testing::TestParamInfo<std::string>& Info);

}  // namespace ordex::test

#define ORDEX_DOC_INSTANTIATE(Suite)                                                                   \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::ValuesIn(::ordex::test::TestKinds()), \
                           ::ordex::test::KindName)
