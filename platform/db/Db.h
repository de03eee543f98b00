// The database access layer: connections made from a kind identifier and ordered
// name=value parameters, named statements with bound :name parameters whose
// result sets can be browsed, edited and posted, and exchange groups (schema
// adapters) that write result sets to dataset streams and apply change sets.
//
// Served kinds: "SQLite" (sqlite3) and "MySQL" (MySQL and MariaDB servers). The
// other kind identifiers are known but refused at opening with a clear error.
// Every failure is an EDatabaseError (engine texts passed on) or, for streams,
// an EStreamError. Objects are used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/qxError.h"
#include "platform/db/DataStream.h"
#include "platform/db/DbValue.h"

namespace ordex::db {

namespace detail {
class IConnection;
class IStatement;
class TStatementCache;
}  // namespace detail

// The eighteen kind identifiers, in the order the console offers them.
const std::vector<std::string>& KnownKinds();
// True for the kinds this build can open ("SQLite", "MySQL").
bool IsKindServed(std::string_view Kind);

// ---------------------------------------------------------------------------
// Connection

class TConnection {
 public:
  TConnection();
  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // The kind identifier ("SQLite", "MySQL", ...), compared exactly.
  void SetDriverName(std::string Kind);
  const std::string& DriverName() const noexcept { return FDriverName; }

  // Ordered "Name=Value" texts. Names used: DriverID, Server, Port, Database,
  // User_Name, Password, CharacterSet, LockingMode, OpenMode, StringFormat.
  std::vector<std::string>& Params() noexcept { return FParams; }
  const std::vector<std::string>& Params() const noexcept { return FParams; }
  // Value of the last parameter with that name (case-insensitive), or "".
  std::string ParamValue(std::string_view Name) const;

  // Runs before every opening, also when a statement opens the connection itself.
  std::function<void()> OnBeforeConnect;

  // Opens with the current kind and parameters (OnBeforeConnect first). An
  // unknown or unserved kind, missing parameters or an engine refusal throw
  // EDatabaseError. SQLite: "Database" names the file; it is created only when
  // "OpenMode" is "CreateUTF16" (or another Create mode). MySQL: utf8mb4.
  void Open();
  void Close() noexcept;
  bool Connected() const noexcept { return static_cast<bool>(FImpl); }

  // "SQLite" or "MySQL" once open.
  std::string Dialect() const;

  // Runs one statement that returns no rows, with :name parameters bound from
  // Args (matched case-insensitively); opens the connection when closed.
  // Returns the number of rows affected.
  std::int64_t ExecSQL(std::string_view SQL, const class TParams* Args = nullptr);

  void StartTransaction();
  void Commit();
  void Rollback();

  // The open engine connection; opens the connection when it is closed.
  detail::IConnection& Engine();
  // The prepared statements and table descriptions kept for the open engine
  // connection; opens the connection when it is closed. Close forgets them.
  detail::TStatementCache& Cache();

 private:
  std::string FDriverName;
  std::vector<std::string> FParams;
  std::unique_ptr<detail::IConnection> FImpl;
  std::shared_ptr<detail::TStatementCache> FCache;  // lives inside FImpl's lifetime
};

// Runs the reads of a scope in one transaction of the connection: one
// snapshot for all of them, and on SQLite one lock instead of one per
// statement. Does nothing when the connection is already in a transaction.
// Ends with a commit, or a rollback when the scope is left by an exception.
class TReadTransaction {
 public:
  explicit TReadTransaction(TConnection& Connection);
  ~TReadTransaction();
  TReadTransaction(const TReadTransaction&) = delete;
  TReadTransaction& operator=(const TReadTransaction&) = delete;

 private:
  TConnection& FConnection;
  bool FOwn;
  int FExceptions;
};

// ---------------------------------------------------------------------------
// Parameters

struct TParam {
  std::string Name;
  TFieldType DataType = TFieldType::Unknown;  // Unknown: bound as the value's own type
  std::uint32_t Size = 0;                     // maximal length of a text parameter, 0 = none
  TValue Value;

  void SetText(std::string V) { Value = TValue::Text(std::move(V)); }
  std::string AsString() const { return Value.AsString(); }
};

class TParams {
 public:
  // The parameter with that name (case-insensitive); throws EDatabaseError
  // "Parameter 'NAME' not found" when there is none.
  TParam& ParamByName(std::string_view Name);
  const TParam& ParamByName(std::string_view Name) const;
  TParam* FindParam(std::string_view Name) noexcept;
  const TParam* FindParam(std::string_view Name) const noexcept;
  // Appends a parameter (replacing none); returns it.
  TParam& Add(std::string Name, TFieldType DataType = TFieldType::Unknown, std::uint32_t Size = 0);
  void Clear() noexcept { FItems.clear(); }
  std::size_t Count() const noexcept { return FItems.size(); }
  TParam& operator[](std::size_t I) { return FItems[I]; }
  const TParam& operator[](std::size_t I) const { return FItems[I]; }
  auto begin() noexcept { return FItems.begin(); }
  auto end() noexcept { return FItems.end(); }
  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

 private:
  std::vector<TParam> FItems;
};

// Splits an SQL text into the engine form with '?' placeholders and the names of
// its :name parameters in order of occurrence (a name may occur more than once).
// "::" and colons inside quotes, back-quotes or comments are not parameters.
struct TParsedSQL {
  std::string Text;
  std::vector<std::string> ParamNames;
};
TParsedSQL ParseSQL(std::string_view SQL);

// ---------------------------------------------------------------------------
// Result sets

struct TFieldDef {
  std::string Name;  // unique within the result (_1, _2 suffixes for duplicates)
  TFieldType Type = TFieldType::Text;
  std::uint32_t Size = 0;     // maximal length in characters of a text column
  bool Nullable = true;
  bool InKey = false;         // part of the base table's key
  bool ReadOnly = false;      // not a column of the statement's base table
  bool AutoInc = false;       // assigned by the database
  std::string OriginTable;    // real table name, "" when computed
  std::string OriginColumn;   // real column name, "" when computed
};

enum class TDataSetState { Inactive, Browse, Edit, Insert };

class TQuery;

// A field of the current row of a query (a light handle; valid while the query
// keeps its columns). Setters need the query in Edit or Insert state and convert
// the value to the field's type (EConvertError when impossible).
class TField {
 public:
  TField(TQuery& Query, std::size_t Index) : FQuery(&Query), FIndex(Index) {}
  const TFieldDef& Def() const;
  const std::string& FieldName() const { return Def().Name; }
  std::size_t Index() const noexcept { return FIndex; }

  const TValue& Value() const;
  bool IsNull() const { return Value().IsNull(); }
  std::string AsString() const { return Value().AsString(); }
  std::int64_t AsLargeInt() const { return Value().AsInt64(); }
  std::int32_t AsInteger() const { return static_cast<std::int32_t>(Value().AsInt64()); }
  double AsFloat() const { return Value().AsFloat(); }
  bool AsBoolean() const { return Value().AsBoolean(); }
  double AsDateTime() const { return Value().AsDateTime(); }

  void SetValue(const TValue& V);
  void SetAsString(std::string V);
  void SetAsLargeInt(std::int64_t V);
  void SetAsFloat(double V);
  void SetAsBoolean(bool V);
  void SetAsDateTime(double V);
  void SetBlob(std::string Bytes);
  void Clear();  // NULL

 private:
  TQuery* FQuery;
  std::size_t FIndex;
};

// Explicit statements that write the rows of a query instead of the statements
// derived from its base table. Parameters NEW_col and OLD_col carry a row's new
// and old value of column col.
struct TUpdateSQL {
  std::string InsertSQL, ModifySQL, DeleteSQL, FetchRowSQL, LockSQL, UnlockSQL;
};

// One changed row handed to the row-error hook while a change set is applied:
// its number within its table in the change set (from 0), its state, and per
// column of the query its value before the change (Old) and in the change set
// (New); NULL where the change set holds none.
struct TChangeRow {
  std::int64_t RowID = 0;
  TRowState State = TRowState::Inserted;
  std::vector<TValue> Old;
  std::vector<TValue> New;
};

// A named statement on a connection. The result of Open is fetched whole into
// memory; the statement keeps its SQL text and parameter values between runs.
class TQuery {
 public:
  TQuery(TConnection& Connection, std::string Name);
  ~TQuery();
  TQuery(const TQuery&) = delete;
  TQuery& operator=(const TQuery&) = delete;

  const std::string& Name() const noexcept { return FName; }
  TConnection& Connection() const noexcept { return *FConnection; }
  void SetConnection(TConnection& Connection);

  // Replaces the text (closing the query). The parameter list is rebuilt from
  // the text's :name parameters; a parameter that existed before keeps its type,
  // size and value.
  void SetSQL(std::string Text);
  const std::string& SQL() const noexcept { return FSQL; }
  TParams& Params() noexcept { return FParams; }
  const TParams& Params() const noexcept { return FParams; }
  TParam& ParamByName(std::string_view Name) { return FParams.ParamByName(Name); }

  // Runs the statement and fetches its rows; the first row becomes current.
  // Opens the connection when it is closed. A placeholder without a parameter
  // of that name throws EDatabaseError.
  void Open();
  void Close() noexcept;
  bool Active() const noexcept { return FState != TDataSetState::Inactive; }
  // Runs a statement that returns no rows; returns rows affected.
  std::int64_t ExecSQL();
  // Reads the column descriptions without running the statement.
  void Prepare();

  // Adds a calculated read-only field after the result's own columns, filled
  // for every row after each Open (the row being filled is the current one).
  // It travels in data streams, is never written to the database, and its
  // values in a change set are ignored.
  void AddCalcField(std::string Name, TFieldType Type, std::uint32_t Size,
                    std::function<TValue(TQuery&)> Calc);

  // Columns (after Open or Prepare).
  const std::vector<TFieldDef>& FieldDefs() const noexcept { return FFieldDefs; }
  std::size_t FieldCount() const noexcept { return FFieldDefs.size(); }
  TField Fields(std::size_t Index);
  // Throws EDatabaseError "Field 'NAME' not found" for a name the result lacks.
  TField FieldByName(std::string_view Name);
  std::optional<TField> FindField(std::string_view Name);
  // The base table: the first table named after FROM in the SQL text.
  std::string BaseTable() const;

  // Navigation over the fetched rows.
  std::int64_t RecordCount() const noexcept { return static_cast<std::int64_t>(FRows.size()); }
  bool IsEmpty() const noexcept { return FRows.empty(); }
  bool Eof() const noexcept;
  bool Bof() const noexcept;
  void First();
  void Next();
  void Prior();
  void Last();
  std::int64_t RecNo() const noexcept { return FCurrent; }  // 0-based, -1 when empty

  // Editing. Post writes the row to the base table at once (INSERT of the
  // assigned base-table columns, or UPDATE/DELETE located by the key taken from
  // the database's catalog; all old values, NULL matching NULL, when the table
  // has no key); values the database assigns are read back after an insert.
  TDataSetState State() const noexcept { return FState; }
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();

  // Hooks for rows the server itself writes (not for applied change sets).
  std::function<void(TQuery&)> OnNewRecord;   // after Append made the empty row
  std::function<void(TQuery&)> OnBeforePost;  // before Post writes

  // Row-error hook while a change set is applied: the query, the error, the row.
  std::function<void(TQuery&, const std::exception&, const TChangeRow&)> OnUpdateError;

  void SetUpdateSQL(std::optional<TUpdateSQL> Statements) { FUpdateSQL = std::move(Statements); }
  const std::optional<TUpdateSQL>& UpdateSQL() const noexcept { return FUpdateSQL; }

  // All fetched rows (the current row as edited), for the stream writer.
  const std::vector<std::vector<TValue>>& Rows() const noexcept { return FRows; }

  // Applies one change set table to the base table (or through UpdateSQL). Every
  // change is attempted; a failing one runs OnUpdateError and is counted, later
  // ones still run. Returns the number of failed rows.
  std::int64_t ApplyChanges(const TStreamTable& Table);
  // As above, but stops once more than MaxErrors rows failed (-1: no limit).
  std::int64_t ApplyChanges(const TStreamTable& Table, std::int64_t MaxErrors);

 private:
  friend class TField;
  struct TImpl;
  TConnection* FConnection;
  std::string FName;
  std::string FSQL;
  TParams FParams;
  std::vector<TFieldDef> FFieldDefs;
  std::vector<std::vector<TValue>> FRows;
  std::int64_t FCurrent = -1;
  TDataSetState FState = TDataSetState::Inactive;
  std::vector<TValue> FEditOriginal;  // the row as it was before Edit/Append
  std::vector<bool> FAssigned;         // fields set since Edit/Append
  std::optional<TUpdateSQL> FUpdateSQL;
  struct TCalcField {
    TFieldDef Def;
    std::function<TValue(TQuery&)> Calc;
  };
  std::vector<TCalcField> FCalcFields;
  std::unique_ptr<TImpl> FImpl;        // prepared statements, cached catalog data
};

// ---------------------------------------------------------------------------
// Exchange groups

// A named group of statements whose datasets travel together (saTree, saFiles, ...).
// The group does not own its queries.
class TSchemaAdapter {
 public:
  explicit TSchemaAdapter(std::string Name) : FName(std::move(Name)) {}
  const std::string& Name() const noexcept { return FName; }
  void Add(TQuery& Query) { FQueries.push_back(&Query); }
  const std::vector<TQuery*>& Queries() const noexcept { return FQueries; }

  // Writes the open datasets of the group as a data stream, each under its
  // statement's name, with its columns and rows.
  std::string SaveToStream() const;

  // Loads a change set, replacing what was loaded before. Every table must name
  // a statement of the group and every column a column of that statement (the
  // statement is prepared to learn them); values must fit their columns. Any
  // fault throws EStreamError or EDatabaseError and nothing is kept.
  void LoadFromStream(std::string_view Bytes);

  // Applies the loaded changes table by table with at most MaxErrors failures
  // (-1: no limit); returns the number of failed rows. Clears the loaded changes.
  std::int64_t ApplyUpdates(std::int64_t MaxErrors = -1);

  // The loaded change set (empty before LoadFromStream).
  const TDataStream& Pending() const noexcept { return FPending; }

 private:
  std::string FName;
  std::vector<TQuery*> FQueries;
  TDataStream FPending;
};

}  // namespace ordex::db
