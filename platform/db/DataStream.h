// Dataset streams and change sets in the "ODS1" binary layout shared with every
// client (see docs/protocol.md): a list of named tables, each with its column
// descriptions and either its rows (data) or its changed rows (change set).
// This unit knows nothing of databases, so the client library uses it too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/DbValue.h"

namespace ordex::db {

enum class TStreamKind : std::uint8_t { Data = 1, ChangeSet = 2 };

// Column flag bits.
enum : std::uint8_t {
  cfNullable = 1,   // may be NULL
  cfKey = 2,        // part of the base table's key
  cfReadOnly = 4,   // not a column of the base table (joined, computed, aliased)
  cfAutoInc = 8,    // assigned by the database
};

struct TStreamColumn {
  std::string Name;
  TFieldType Type = TFieldType::Text;
  std::uint8_t Flags = 0;
  std::uint32_t Size = 0;  // maximal length in characters of a text column, else 0
  std::string OriginTable;
  std::string OriginColumn;
};

enum class TRowState : std::uint8_t { Inserted = 1, Modified = 2, Deleted = 3 };

// One changed row of a change set. Old holds a value per column for Modified and
// Deleted rows, New for Inserted and Modified rows; the other vector is empty.
struct TStreamChange {
  TRowState State = TRowState::Inserted;
  std::vector<TValue> Old;
  std::vector<TValue> New;
};

struct TStreamTable {
  std::string Name;
  std::vector<TStreamColumn> Columns;
  std::vector<std::vector<TValue>> Rows;  // Data streams
  std::vector<TStreamChange> Changes;     // change sets
};

struct TDataStream {
  TStreamKind Kind = TStreamKind::Data;
  std::vector<TStreamTable> Tables;
};

// Serialises a stream. Every row must have one value per column, typed as its
// column or NULL; throws EStreamError otherwise.
std::string WriteDataStream(const TDataStream& Stream);

// A table of a data stream whose rows are kept elsewhere (by a query), so that
// they are written without being copied first. Rows may be null: no rows.
struct TStreamTableRef {
  std::string Name;
  std::vector<TStreamColumn> Columns;
  const std::vector<std::vector<TValue>>* Rows = nullptr;
};

// Serialises a data stream of such tables, exactly as WriteDataStream does a
// TDataStream of kind Data with the same tables.
std::string WriteDataStream(const std::vector<TStreamTableRef>& Tables);

// Parses a stream. Anything that breaks the layout (bad magic or kind, unknown
// type, lengths beyond the data, trailing bytes, values that do not match their
// column's type) throws EStreamError naming the problem; nothing is returned.
TDataStream ReadDataStream(std::string_view Bytes);

// Gives duplicate column names the suffixes _1, _2, ... in the order they occur.
void MakeColumnNamesUnique(std::vector<TStreamColumn>& Columns);

}  // namespace ordex::db
