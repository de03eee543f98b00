// Helpers shared by the units of the access layer (not used outside platform/db).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db/Db.h"
#include "platform/db/StatementCache.h"

namespace ordex::db::detail {

// The first table named after the first top-level FROM of a statement, without
// its schema qualifier and quotes; "" when there is none.
std::string BaseTableOf(std::string_view SQL);

// One value per placeholder of Parsed, taken by name from Params. A parameter
// typed Text with a size binds its value as text; another typed parameter binds
// its value converted to its type. Throws EDatabaseError "Parameter 'X' not found".
std::vector<TValue> BindArgs(const TParsedSQL& Parsed, const TParams& Params);

// Runs one statement on Conn (a cached one when the connection has it idle);
// returns it checked out, for its rows, counts or insert id.
TStatementLease RunStatement(TConnection& Conn, const std::string& EngineSQL, const std::vector<TValue>& Args);

// The transaction of one change-set batch, so that its rows are committed once.
// It begins one unless the connection is already inside a transaction, which
// then stays the caller's. Each row runs between Savepoint and Release, or
// RollbackRow when it failed, which undoes what the row wrote.
class TChangeBatch {
 public:
  explicit TChangeBatch(TConnection& Conn);
  // When neither Commit ran nor the batch was abandoned by a failure of its
  // own statements, what was written is committed (as the rows would have been
  // one by one); errors are swallowed, as the caller is unwinding already.
  ~TChangeBatch();
  TChangeBatch(const TChangeBatch&) = delete;
  TChangeBatch& operator=(const TChangeBatch&) = delete;

  void Savepoint();
  void Release();
  void RollbackRow();
  // Commits a transaction begun here; a failure rolls it back and throws.
  void Commit();

 private:
  void Run(const std::string& SQL);
  TConnection& FConn;
  bool FOwn = false;   // the transaction was begun here
  bool FDone = false;  // committed, or rolled back after its own failure
};

}  // namespace ordex::db::detail
