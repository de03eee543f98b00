// The SQLite engine: one database file per connection. Dates are stored as text
// "YYYY-MM-DD HH:MM:SS.mmm"; the MySQL function CONCAT and the schema name
// qxordex (the main database) are provided so the same statements run here.
#include <sqlite3.h>

#include <cstring>
#include <map>

#include "common/qxDateTime.h"
#include "platform/db/DbDriver.h"

namespace ordex::db::detail {

namespace {

struct TSqliteClose {
  void operator()(sqlite3* Db) const noexcept { sqlite3_close_v2(Db); }
};
struct TSqliteFinalize {
  void operator()(sqlite3_stmt* S) const noexcept { sqlite3_finalize(S); }
};
using TSqliteDb = std::unique_ptr<sqlite3, TSqliteClose>;
using TSqliteStmt = std::unique_ptr<sqlite3_stmt, TSqliteFinalize>;

constexpr int kBusyTimeoutMs = 10000;
constexpr std::string_view kSchemaName = "qxordex";

bool IsIdentChar(char C) noexcept {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_' || C == '$';
}

[[noreturn]] void Fail(sqlite3* Db) { throw EDatabaseError(sqlite3_errmsg(Db)); }

// CONCAT(a, b, ...) as MySQL has it: NULL when any argument is NULL, else the
// texts of all arguments joined.
void ConcatFunction(sqlite3_context* Ctx, int Argc, sqlite3_value** Argv) {
  std::string Out;
  for (int I = 0; I < Argc; ++I) {
    if (sqlite3_value_type(Argv[I]) == SQLITE_NULL) {
      sqlite3_result_null(Ctx);
      return;
    }
    if (sqlite3_value_type(Argv[I]) == SQLITE_BLOB) {
      const auto* P = static_cast<const char*>(sqlite3_value_blob(Argv[I]));
      if (P) Out.append(P, static_cast<std::size_t>(sqlite3_value_bytes(Argv[I])));
    } else {
      // Numbers become their text form first.
      const auto* T = reinterpret_cast<const char*>(sqlite3_value_text(Argv[I]));
      if (T) Out.append(T, static_cast<std::size_t>(sqlite3_value_bytes(Argv[I])));
    }
  }
  sqlite3_result_text64(Ctx, Out.data(), Out.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// Removes the schema qualifier "qxordex." (bare, quoted or back-quoted) outside
// texts and comments: on SQLite the document tables live in the main database.
std::string DropSchemaQualifier(std::string_view SQL) {
  std::string Out;
  Out.reserve(SQL.size());
  std::size_t I = 0;
  const auto MatchSchema = [&](std::size_t At, std::size_t& Len) {
    // qxordex.  "qxordex".  `qxordex`.
    const char Q = SQL[At];
    const bool Quoted = Q == '"' || Q == '`';
    const std::size_t NameAt = At + (Quoted ? 1 : 0);
    if (NameAt + kSchemaName.size() > SQL.size()) return false;
    if (!SameName(SQL.substr(NameAt, kSchemaName.size()), kSchemaName)) return false;
    std::size_t End = NameAt + kSchemaName.size();
    if (Quoted) {
      if (End >= SQL.size() || SQL[End] != Q) return false;
      ++End;
    } else if (End < SQL.size() && IsIdentChar(SQL[End])) {
      return false;
    }
    if (End >= SQL.size() || SQL[End] != '.') return false;
    if (At > 0 && (IsIdentChar(SQL[At - 1]) || SQL[At - 1] == '.')) return false;
    Len = End + 1 - At;
    return true;
  };
  while (I < SQL.size()) {
    const char C = SQL[I];
    std::size_t Len = 0;
    if ((C == '"' || C == '`' || C == 'q' || C == 'Q') && MatchSchema(I, Len)) {
      I += Len;
      continue;
    }
    if (C == '\'' || C == '"' || C == '`') {
      const std::size_t End = SQL.find(C, I + 1);
      const std::size_t Stop = End == std::string_view::npos ? SQL.size() : End + 1;
      Out.append(SQL.substr(I, Stop - I));
      I = Stop;
      continue;
    }
    if (C == '-' && I + 1 < SQL.size() && SQL[I + 1] == '-') {
      const std::size_t End = SQL.find('\n', I);
      const std::size_t Stop = End == std::string_view::npos ? SQL.size() : End;
      Out.append(SQL.substr(I, Stop - I));
      I = Stop;
      continue;
    }
    if (C == '/' && I + 1 < SQL.size() && SQL[I + 1] == '*') {
      const std::size_t End = SQL.find("*/", I + 2);
      const std::size_t Stop = End == std::string_view::npos ? SQL.size() : End + 2;
      Out.append(SQL.substr(I, Stop - I));
      I = Stop;
      continue;
    }
    // Identifiers are copied whole so that "myqxordex." stays untouched.
    if (IsIdentChar(C)) {
      std::size_t End = I;
      while (End < SQL.size() && IsIdentChar(SQL[End])) ++End;
      Out.append(SQL.substr(I, End - I));
      I = End;
      continue;
    }
    Out.push_back(C);
    ++I;
  }
  return Out;
}

std::string StripSchema(const std::string& Table) {
  const std::size_t Dot = Table.rfind('.');
  return Dot == std::string::npos ? Table : Table.substr(Dot + 1);
}

// How often SQLite has prepared a statement again after a schema change.
int RepreparedCount(sqlite3_stmt* S) noexcept { return sqlite3_stmt_status(S, SQLITE_STMTSTATUS_REPREPARE, 0); }

class TSQLiteConnection;

class TSQLiteStatement final : public IStatement {
 public:
  TSQLiteStatement(TSQLiteConnection& Conn, sqlite3* Db, TSqliteStmt Stmt);
  const std::vector<TFieldDef>& Columns() override { return FColumns; }
  void Execute(const std::vector<TValue>& Args) override;
  bool Fetch(std::vector<TValue>& Row) override;
  std::int64_t RowsAffected() override { return FChanges; }
  std::int64_t LastInsertId() override { return FLastId; }
  void Reset() noexcept override { sqlite3_reset(FStmt.get()); }

 private:
  void Describe();
  void Step();
  TValue ColumnValue(int I) const;
  TSQLiteConnection& FConn;
  sqlite3* FDb;
  TSqliteStmt FStmt;
  std::vector<TFieldDef> FColumns;
  int FDescribedAt = 0;  // RepreparedCount when FColumns were read
  bool FHasRow = false;
  std::int64_t FChanges = 0;
  std::int64_t FLastId = 0;
};

class TSQLiteConnection final : public IConnection {
 public:
  explicit TSQLiteConnection(TSqliteDb Db) : FDb(std::move(Db)) {}
  const char* Dialect() const noexcept override { return "SQLite"; }
  std::unique_ptr<IStatement> Prepare(const std::string& SQL) override {
    const std::string Text = DropSchemaQualifier(SQL);
    sqlite3_stmt* Raw = nullptr;
    const char* Tail = nullptr;
    if (sqlite3_prepare_v2(FDb.get(), Text.c_str(), static_cast<int>(Text.size()), &Raw, &Tail) != SQLITE_OK)
      Fail(FDb.get());
    TSqliteStmt Stmt(Raw);
    if (!Stmt) throw EDatabaseError("Empty SQL statement");
    // A second statement after the first would silently be ignored: refuse it.
    for (const char* P = Tail; P && *P; ++P) {
      if (*P == ';' || static_cast<unsigned char>(*P) <= 32) continue;
      if (P[0] == '-' && P[1] == '-') {
        while (*P && *P != '\n') ++P;
        if (!*P) break;
        continue;
      }
      if (P[0] == '/' && P[1] == '*') {
        const char* E = std::strstr(P + 2, "*/");
        if (!E) break;
        P = E + 1;
        continue;
      }
      throw EDatabaseError("Only one SQL statement can be run at a time");
    }
    return std::make_unique<TSQLiteStatement>(*this, FDb.get(), std::move(Stmt));
  }

  std::vector<TTableColumn> TableColumns(const std::string& Table) override {
    const std::string Name = StripSchema(Table);
    std::vector<TTableColumn> Cols;
    std::vector<std::string> Declared;
    sqlite3_stmt* Raw = nullptr;
    const char* SQL = "SELECT name, type, \"notnull\", pk FROM pragma_table_info(?) ORDER BY cid";
    if (sqlite3_prepare_v2(FDb.get(), SQL, -1, &Raw, nullptr) != SQLITE_OK) Fail(FDb.get());
    const TSqliteStmt Stmt(Raw);
    sqlite3_bind_text(Raw, 1, Name.c_str(), static_cast<int>(Name.size()), SQLITE_TRANSIENT);
    int KeyCount = 0;
    int Rc = 0;
    while ((Rc = sqlite3_step(Raw)) == SQLITE_ROW) {
      TTableColumn& C = Cols.emplace_back();
      const auto Text = [&](int I) {
        const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(Raw, I));
        return std::string(P ? P : "");
      };
      C.Name = Text(0);
      const std::string Decl = Text(1);
      C.Type = TypeFromDeclaration(Decl, C.Size);
      if (C.Type == TFieldType::Unknown) C.Type = TFieldType::Text;
      C.InKey = sqlite3_column_int(Raw, 3) > 0;
      C.Nullable = sqlite3_column_int(Raw, 2) == 0 && !C.InKey;
      KeyCount += C.InKey ? 1 : 0;
      Declared.push_back(Decl);
    }
    if (Rc != SQLITE_DONE) Fail(FDb.get());
    // A single INTEGER PRIMARY KEY is the rowid: 64 bits, assigned by the database.
    for (std::size_t I = 0; I < Cols.size(); ++I) {
      TTableColumn& C = Cols[I];
      if (C.InKey && KeyCount == 1 && SameName(Declared[I], "INTEGER")) {
        C.Type = TFieldType::Int64;
        C.AutoInc = true;
      }
    }
    return Cols;
  }

  std::string QuoteIdentifier(std::string_view Name) const override {
    std::string Q = "\"";
    for (const char C : Name) {
      if (C == '"') Q.push_back('"');
      Q.push_back(C);
    }
    Q.push_back('"');
    return Q;
  }
  const char* NullSafeEqual() const noexcept override { return "IS"; }
  void Begin() override { Exec("BEGIN"); }
  void Commit() override { Exec("COMMIT"); }
  void Rollback() override { Exec("ROLLBACK"); }
  bool InTransaction() override { return sqlite3_get_autocommit(FDb.get()) == 0; }

  void Exec(const char* SQL) {
    char* Err = nullptr;
    if (sqlite3_exec(FDb.get(), SQL, nullptr, nullptr, &Err) != SQLITE_OK) {
      const std::string Msg = Err ? Err : sqlite3_errmsg(FDb.get());
      sqlite3_free(Err);
      throw EDatabaseError(Msg);
    }
  }

 private:
  TSqliteDb FDb;
};

TSQLiteStatement::TSQLiteStatement(TSQLiteConnection& Conn, sqlite3* Db, TSqliteStmt Stmt)
    : FConn(Conn), FDb(Db), FStmt(std::move(Stmt)) {
  Describe();
}

// Reads the result columns, with key, null and auto-increment marks from the
// catalog of each column's table (read once per table).
void TSQLiteStatement::Describe() {
  FDescribedAt = RepreparedCount(FStmt.get());
  FColumns.clear();
  std::map<std::string, std::vector<TTableColumn>> Catalog;
  const auto TableColumns = [&](const std::string& Table) -> const std::vector<TTableColumn>& {
    auto It = Catalog.find(Table);
    if (It == Catalog.end()) It = Catalog.emplace(Table, FConn.TableColumns(Table)).first;
    return It->second;
  };
  const int N = sqlite3_column_count(FStmt.get());
  FColumns.reserve(static_cast<std::size_t>(N));
  for (int I = 0; I < N; ++I) {
    TFieldDef& F = FColumns.emplace_back();
    const char* Name = sqlite3_column_name(FStmt.get(), I);
    F.Name = Name ? Name : "";
    const char* Table = sqlite3_column_table_name(FStmt.get(), I);
    const char* Origin = sqlite3_column_origin_name(FStmt.get(), I);
    const char* Decl = sqlite3_column_decltype(FStmt.get(), I);
    F.OriginTable = Table ? Table : "";
    F.OriginColumn = Origin ? Origin : "";
    F.Type = TypeFromDeclaration(Decl ? Decl : "", F.Size);
    if (!F.OriginTable.empty() && !F.OriginColumn.empty()) {
      for (const TTableColumn& C : TableColumns(F.OriginTable)) {
        if (!SameName(C.Name, F.OriginColumn)) continue;
        F.Nullable = C.Nullable;
        F.InKey = C.InKey;
        F.AutoInc = C.AutoInc;
        if (C.AutoInc) F.Type = TFieldType::Int64;
        break;
      }
    }
  }
  MakeFieldNamesUnique(FColumns);
}

void TSQLiteStatement::Execute(const std::vector<TValue>& Args) {
  sqlite3_stmt* S = FStmt.get();
  sqlite3_reset(S);
  sqlite3_clear_bindings(S);
  FHasRow = false;
  FChanges = 0;
  if (static_cast<int>(Args.size()) != sqlite3_bind_parameter_count(S))
    throw EDatabaseError("The statement has " + std::to_string(sqlite3_bind_parameter_count(S)) +
                         " parameters, " + std::to_string(Args.size()) + " values were given");
  for (std::size_t K = 0; K < Args.size(); ++K) {
    const int I = static_cast<int>(K) + 1;
    const TValue& V = Args[K];
    int Rc = SQLITE_OK;
    if (V.IsNull()) {
      Rc = sqlite3_bind_null(S, I);
    } else {
      switch (V.Type()) {
        case TFieldType::Text:
        case TFieldType::Decimal:
          Rc = sqlite3_bind_text64(S, I, V.Bytes().data(), V.Bytes().size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
        case TFieldType::Blob:
          // An empty blob must stay a (zero-length) value, not become NULL.
          Rc = V.Bytes().empty() ? sqlite3_bind_zeroblob(S, I, 0)
                                 : sqlite3_bind_blob64(S, I, V.Bytes().data(), V.Bytes().size(), SQLITE_TRANSIENT);
          break;
        case TFieldType::Int32:
        case TFieldType::Int64:
        case TFieldType::Boolean: Rc = sqlite3_bind_int64(S, I, V.AsInt64()); break;
        case TFieldType::Float: Rc = sqlite3_bind_double(S, I, V.AsFloat()); break;
        case TFieldType::DateTime: {
          const std::string T = DateTimeToText(V.AsDateTime(), ' ');
          Rc = sqlite3_bind_text64(S, I, T.data(), T.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
        }
        case TFieldType::Unknown: Rc = sqlite3_bind_null(S, I); break;
      }
    }
    if (Rc != SQLITE_OK) Fail(FDb);
  }
  Step();
  FChanges = sqlite3_changes64(FDb);
  FLastId = sqlite3_last_insert_rowid(FDb);
  // SQLite prepares a kept statement again by itself when the schema changed
  // (also by another connection); its columns may have changed with it.
  if (RepreparedCount(S) != FDescribedAt) Describe();
}

void TSQLiteStatement::Step() {
  const int Rc = sqlite3_step(FStmt.get());
  if (Rc == SQLITE_ROW) {
    FHasRow = true;
  } else if (Rc == SQLITE_DONE) {
    FHasRow = false;
  } else {
    FHasRow = false;
    const std::string Msg = sqlite3_errmsg(FDb);
    sqlite3_reset(FStmt.get());
    throw EDatabaseError(Msg);
  }
}

TValue TSQLiteStatement::ColumnValue(int I) const {
  sqlite3_stmt* S = FStmt.get();
  switch (sqlite3_column_type(S, I)) {
    case SQLITE_INTEGER: return TValue::Int64(sqlite3_column_int64(S, I));
    case SQLITE_FLOAT: return TValue::Float(sqlite3_column_double(S, I));
    case SQLITE_TEXT: {
      const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(S, I));
      return TValue::Text(std::string(P ? P : "", static_cast<std::size_t>(sqlite3_column_bytes(S, I))));
    }
    case SQLITE_BLOB: {
      const auto* P = static_cast<const char*>(sqlite3_column_blob(S, I));
      return TValue::Blob(std::string(P ? P : "", static_cast<std::size_t>(sqlite3_column_bytes(S, I))));
    }
    default: return TValue();
  }
}

bool TSQLiteStatement::Fetch(std::vector<TValue>& Row) {
  if (!FHasRow) return false;
  Row.clear();
  Row.reserve(FColumns.size());
  for (std::size_t I = 0; I < FColumns.size(); ++I) {
    const TFieldDef& F = FColumns[I];
    TValue V = ColumnValue(static_cast<int>(I));
    if (V.IsNull()) {
      Row.push_back(TValue::Null(F.Type));
      continue;
    }
    if (V.Type() == F.Type || F.Type == TFieldType::Unknown) {
      Row.push_back(std::move(V));
      continue;
    }
    try {
      Row.push_back(V.ConvertTo(F.Type));
    } catch (const EConvertError& E) {
      throw EDatabaseError("Column '" + F.Name + "': " + E.what());
    }
  }
  Step();
  return true;
}

}  // namespace

std::unique_ptr<IConnection> OpenSQLite(const TOpenParams& Params) {
  const std::string File = Params.Value("Database");
  if (File.empty()) throw EDatabaseError("No database file given");
  const std::string Mode = Params.Value("OpenMode");
  int Flags = SQLITE_OPEN_READWRITE;
  const bool Create = Mode.size() >= 6 && SameName(std::string_view(Mode).substr(0, 6), "Create");
  if (Create) Flags |= SQLITE_OPEN_CREATE;
  if (SameName(Mode, "ReadOnly")) Flags = SQLITE_OPEN_READONLY;
  // A connection is used by one thread at a time: SQLite need not lock its own
  // mutex around every call.
  Flags |= SQLITE_OPEN_NOMUTEX;
  sqlite3* Raw = nullptr;
  const int Rc = sqlite3_open_v2(File.c_str(), &Raw, Flags, nullptr);
  TSqliteDb Db(Raw);
  if (Rc != SQLITE_OK) {
    const std::string Msg = Raw ? sqlite3_errmsg(Raw) : "out of memory";
    throw EDatabaseError(Msg + ": " + File);
  }
  sqlite3_extended_result_codes(Raw, 0);
  sqlite3_busy_timeout(Raw, kBusyTimeoutMs);
  if (sqlite3_create_function_v2(Raw, "CONCAT", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, ConcatFunction,
                                 nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail(Raw);
  auto Conn = std::make_unique<TSQLiteConnection>(std::move(Db));
  // Only a new, empty file takes the encoding; an existing one keeps its own.
  if (SameName(Mode, "CreateUTF16")) Conn->Exec("PRAGMA encoding = 'UTF-16'");
  const std::string Locking = Params.Value("LockingMode");
  if (SameName(Locking, "Exclusive"))
    Conn->Exec("PRAGMA locking_mode = EXCLUSIVE");
  else if (!Locking.empty() && !SameName(Locking, "Normal"))
    throw EDatabaseError("Unknown locking mode '" + Locking + "'");
  Conn->Exec("PRAGMA foreign_keys = ON");
  if (!(Flags & SQLITE_OPEN_READONLY)) Conn->Exec("PRAGMA journal_mode = WAL");
  return Conn;
}

}  // namespace ordex::db::detail
