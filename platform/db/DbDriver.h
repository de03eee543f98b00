// The engine interface behind TConnection and TQuery: one implementation per
// served kind (SQLite in SQLiteDriver.cpp, MySQL/MariaDB in MySQLDriver.cpp).
// Internal to the access layer; the rest of the server uses Db.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/Db.h"

namespace ordex::db::detail {

// One column of a table as the database's catalog describes it.
struct TTableColumn {
  std::string Name;
  TFieldType Type = TFieldType::Text;
  std::uint32_t Size = 0;
  bool Nullable = true;
  bool InKey = false;    // part of the primary key
  bool AutoInc = false;  // assigned by the database
};

// A prepared statement with positional '?' placeholders.
class IStatement {
 public:
  virtual ~IStatement() = default;
  // Descriptions of the result columns (empty for statements without rows),
  // available right after preparing. Names are made unique with _1, _2, ...;
  // InKey/AutoInc/Nullable come from the catalog of the column's origin table;
  // ReadOnly is left false (the query decides it from its base table). A
  // computed column whose type shows only in its values may have Type Unknown:
  // Fetch then gives the values' own types and the query settles the type.
  virtual const std::vector<TFieldDef>& Columns() = 0;
  // Binds one value per placeholder, in order, and runs the statement. A
  // previous result is discarded. Throws EDatabaseError with the engine's text.
  virtual void Execute(const std::vector<TValue>& Args) = 0;
  // Reads the next row of the last Execute into Row (one value per column,
  // typed as the column, NULL as TValue::Null); false at the end.
  virtual bool Fetch(std::vector<TValue>& Row) = 0;
  virtual std::int64_t RowsAffected() = 0;
  virtual std::int64_t LastInsertId() = 0;
  // Ends the last execution: frees a buffered result and whatever the engine
  // holds for it (read locks), so the statement can wait idle for its next run.
  virtual void Reset() noexcept {}
};

class IConnection {
 public:
  virtual ~IConnection() = default;
  virtual const char* Dialect() const noexcept = 0;  // "SQLite" or "MySQL"
  // Prepares an SQL text in engine form ('?' placeholders); EDatabaseError on failure.
  virtual std::unique_ptr<IStatement> Prepare(const std::string& SQL) = 0;
  // The catalog's description of a table's columns, in table order; empty when
  // there is no such table. Table names are matched as the engine matches them.
  virtual std::vector<TTableColumn> TableColumns(const std::string& Table) = 0;
  // The identifier quoted for this engine ("name" or `name`).
  virtual std::string QuoteIdentifier(std::string_view Name) const = 0;
  // The operator that compares two values with NULL equal to NULL ("IS" / "<=>").
  virtual const char* NullSafeEqual() const noexcept = 0;
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // True while a transaction is open on the connection (begun here or by a
  // statement such as START TRANSACTION / BEGIN / SAVEPOINT).
  virtual bool InTransaction() = 0;
};

// The connection parameters as TConnection holds them.
struct TOpenParams {
  std::vector<std::string> Params;  // "Name=Value", in order
  std::string Value(std::string_view Name) const;  // last match, case-insensitive
};

// The field type of a declared SQL column type ("VARCHAR(75)", "BIGINT",
// "TINYINT(1)", "DECIMAL(15,2)", "DATETIME", ...); Size receives the length of a
// text type (0 for TEXT). Unknown for an empty declaration (an expression).
TFieldType TypeFromDeclaration(std::string_view Declared, std::uint32_t& Size);
// Gives duplicate field names the suffixes _1, _2, ... in the order they occur.
void MakeFieldNamesUnique(std::vector<TFieldDef>& Fields);

std::unique_ptr<IConnection> OpenSQLite(const TOpenParams& Params);
std::unique_ptr<IConnection> OpenMySQL(const TOpenParams& Params);

}  // namespace ordex::db::detail
