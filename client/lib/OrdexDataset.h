// Client-side datasets: one table of a dataset stream that a server method
// returned, walked and edited in memory, whose pending changes are posted back
// as a change set (StreamPost, StreamPostFiles, ...). Also the reader of the
// error report that a failed post carries in its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/DataStream.h"
#include "platform/db/DbValue.h"

namespace ordex::client {

// The rows of one table with their pending changes, and a cursor over the rows
// that are not deleted. Field names are matched without regard to ASCII case.
// Errors: an unknown field or a missing current row throws EArgumentError; a
// value that does not convert to its column's type throws EConvertError.
class TRemoteDataset {
 public:
  // Takes a table of a data stream (Rows filled, one value per column).
  // Throws EStreamError when a row's width does not match the columns.
  explicit TRemoteDataset(db::TStreamTable Table);
  // Reads a data stream and takes its table named TableName (exact name, e.g.
  // "iqFiles"); throws EStreamError for a broken stream, a change set, or when
  // no table has that name.
  static TRemoteDataset FromStream(std::string_view Bytes, std::string_view TableName);

  // The statement name the table travels under.
  const std::string& Name() const noexcept { return FName; }
  const std::vector<db::TStreamColumn>& Columns() const noexcept { return FColumns; }
  // Position of a column, or -1 when there is none of that name.
  int FindField(std::string_view Field) const noexcept;

  // Cursor over the rows that are not deleted, in their order.
  std::size_t RowCount() const noexcept { return FRows.size(); }
  void First() noexcept;
  void Next() noexcept;
  void Prior() noexcept;
  void Last() noexcept;
  // True when the cursor went past the last row (or there are no rows).
  bool Eof() const noexcept { return FCur >= FRows.size(); }
  // Current row number from 0; RowCount() when at Eof.
  std::size_t RecNo() const noexcept { return FCur; }
  // Moves to row Row; throws EArgumentError when out of range.
  void MoveTo(std::size_t Row);
  // Moves to the first row whose Field equals Value after conversion to the
  // column's type; false (cursor unchanged) when none does.
  bool Locate(std::string_view Field, const db::TValue& Value);

  // Fields of the current row.
  const db::TValue& Value(std::string_view Field) const;
  bool IsNull(std::string_view Field) const { return Value(Field).IsNull(); }
  std::string AsString(std::string_view Field) const { return Value(Field).AsString(); }  // NULL gives ""
  std::int64_t AsInt64(std::string_view Field) const { return Value(Field).AsInt64(); }   // NULL gives 0
  double AsFloat(std::string_view Field) const { return Value(Field).AsFloat(); }         // NULL gives 0
  bool AsBoolean(std::string_view Field) const { return Value(Field).AsBoolean(); }       // NULL gives false
  double AsDateTime(std::string_view Field) const { return Value(Field).AsDateTime(); }   // NULL gives 0
  // The value the current row had when it was loaded (NULL for an appended row).
  const db::TValue& OldValue(std::string_view Field) const;

  // Stores a value into a field of the current row, converted to the column's
  // type (a NULL value makes the field NULL). The row becomes changed; its
  // loaded values are kept as the old values however often it is edited.
  void SetField(std::string_view Field, const db::TValue& V);
  void SetText(std::string_view Field, std::string V) { SetField(Field, db::TValue::Text(std::move(V))); }
  void SetInt64(std::string_view Field, std::int64_t V) { SetField(Field, db::TValue::Int64(V)); }
  void SetFloat(std::string_view Field, double V) { SetField(Field, db::TValue::Float(V)); }
  void SetBoolean(std::string_view Field, bool V) { SetField(Field, db::TValue::Boolean(V)); }
  void SetDateTime(std::string_view Field, double V) { SetField(Field, db::TValue::DateTime(V)); }
  void SetNull(std::string_view Field) { SetField(Field, db::TValue::Null()); }

  // Adds a row with every field NULL at the end and makes it current.
  void Append();
  // Deletes the current row; the cursor stays on the row that followed it.
  // A row appended since loading simply disappears.
  void Delete();

  // Whether any row is inserted, deleted or holds a value that differs from its loaded one.
  bool HasChanges() const;
  // The pending changes as a change-set table named Name(), with the columns of
  // the dataset: inserted rows with their new values, modified rows with their
  // loaded and current values, deleted rows with their loaded values. Rows come
  // in the order they were first changed; a row edited back to its loaded
  // values is not a change.
  db::TStreamTable ChangeSet() const;
  // The current row number of the change at position ChangeRow of ChangeSet()
  // (the RowID of an error report), or -1 for a deleted row or no such change.
  std::int64_t RowOfChange(std::size_t ChangeRow) const;
  // After a successful post: current values become the loaded ones, no changes remain.
  void MergeChangeLog();
  // Drops every pending change: deleted rows come back, appended rows go.
  void CancelChanges();

 private:
  enum class TOrigin : std::uint8_t { Loaded, Appended };
  struct TRow {
    TOrigin Origin = TOrigin::Loaded;
    std::vector<db::TValue> Old;  // values as loaded (empty for appended rows)
    std::vector<db::TValue> Cur;
    std::uint64_t Seq = 0;        // order of the first change; 0 = never changed
    std::size_t LoadedPos = 0;    // position among the loaded rows (for CancelChanges)
  };
  struct TChangeRef {
    const TRow* Row;
    bool Deleted;
  };

  std::size_t FieldNo(std::string_view Field) const;
  TRow& CurrentRow();
  const TRow& CurrentRow() const;
  std::vector<TChangeRef> Changes() const;
  static bool Differs(const TRow& Row);

  std::string FName;
  std::vector<db::TStreamColumn> FColumns;
  std::vector<TRow> FRows;     // rows not deleted, in order
  std::vector<TRow> FDeleted;  // loaded rows that were deleted
  std::vector<db::TValue> FNulls;  // a typed NULL per column: old values of appended rows
  std::size_t FCur = 0;
  std::uint64_t FNextSeq = 1;
};

// A change-set stream with one table per dataset, named as the dataset, in the
// order given; ready to be posted. Throws EArgumentError for a null pointer or
// two datasets of the same name.
std::string BuildChangeSet(const std::vector<const TRemoteDataset*>& DataSets);

// One column of a failed row in an error report.
struct TApplyChange {
  std::string RowID;  // the row's number within its table of the change set, as text
  std::string FieldName;
  std::string OldValue;
  std::string NewValue;
};
// One failed row of a posted change set.
struct TApplyError {
  std::string ErrorMessage;
  std::string DataSource;  // statement name, e.g. "iqFiles"
  std::vector<TApplyChange> Changes;
};

// The message prefix of a post whose rows failed ("\r" is one carriage return).
inline constexpr std::string_view kApplyErrorPrefix = "Ошибка применения изменений\r";

// Reads the error report of a failed post's message: the prefix followed by
// {"Errors":[...]}. Returns the errors, most recent first as the server lists
// them; empty when the message is not such a report or its JSON is malformed.
std::vector<TApplyError> ParseApplyErrors(std::string_view Message);
// Whether Message is such a report; some posting methods report failed rows
// with an empty "Errors" array, which ParseApplyErrors cannot tell apart.
bool IsApplyErrorReport(std::string_view Message);

}  // namespace ordex::client
