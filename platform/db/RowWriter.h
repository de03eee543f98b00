// Writes the rows of a query to its base table with statements built from the
// database's catalog (internal to the access layer). Identifiers come from the
// catalog and are quoted by the engine; every value is a bound parameter.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/db/DbDriver.h"
#include "platform/db/StatementCache.h"

namespace ordex::db::detail {

class TRowWriter {
 public:
  // Fields: the query's columns (ReadOnly already decided); BaseTable: the table
  // named in its SQL. Throws EDatabaseError when the catalog does not know it.
  TRowWriter(TConnection& Conn, const std::vector<TFieldDef>& Fields, const std::string& BaseTable);

  // True when field I is a column of the base table (not read-only, not computed).
  bool Writable(std::size_t I) const noexcept { return FCatalogIndex[I] >= 0; }
  // True when field I is assigned by the database (auto-increment).
  bool AutoInc(std::size_t I) const noexcept;

  // Inserts the fields Columns with their values from Row. When ReRead, the
  // row is read back (by key, or by the new auto-increment value) and Row's
  // writable fields receive what the database stored.
  void Insert(const std::vector<std::size_t>& Columns, std::vector<TValue>& Row, bool ReRead);
  // Sets Columns to their New values in the row located by its Old values;
  // Known marks the fields whose old values are known. 0 rows: EDatabaseError.
  void Update(const std::vector<std::size_t>& Columns, const std::vector<TValue>& New,
              const std::vector<TValue>& Old, const std::vector<bool>& Known);
  // Deletes the row located by its Old values. 0 rows: EDatabaseError.
  void Delete(const std::vector<TValue>& Old, const std::vector<bool>& Known);

  // Runs an engine statement (cached by the connection) and returns it.
  TStatementLease Run(const std::string& EngineSQL, const std::vector<TValue>& Args);

 private:
  // " WHERE ..." locating a row: by the key when the query holds every key
  // column, else by every known base-table value with NULL matching NULL.
  std::string Where(const std::vector<TValue>& Old, const std::vector<bool>& Known, std::vector<TValue>& Args) const;
  bool HasWholeKey() const noexcept;

  TConnection& FConnection;
  IConnection& FConn;
  const std::vector<TFieldDef>& FFields;
  std::string FTable;                       // quoted table name
  std::shared_ptr<const std::vector<TTableColumn>> FCatalogStore;
  const std::vector<TTableColumn>& FCatalog;
  std::vector<int> FCatalogIndex;           // per field: its catalog column, or -1
  std::vector<std::size_t> FKeyFields;      // fields of the key columns, in catalog order
  std::size_t FKeyColumns = 0;              // key columns in the catalog
};

}  // namespace ordex::db::detail
