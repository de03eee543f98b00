// The MySQL / MariaDB engine on MariaDB Connector/C: connections in utf8mb4,
// server-side prepared statements with typed parameter and result bindings,
// and the catalog read from information_schema.
#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/qxDateTime.h"
#include "common/qxError.h"
#include "platform/db/DbDriver.h"

namespace ordex::db::detail {

namespace {

// ---------------------------------------------------------------------------
// Library and thread set-up

// The client library is initialised once per process, before the first
// connection; concurrent first connections wait for each other here.
void EnsureLibrary() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    if (mysql_library_init(0, nullptr, nullptr) != 0)
      throw EDatabaseError("MySQL client library could not be initialised");
  });
}

// Per-thread state of the client library: set up on a thread's first use,
// released when the thread ends. Worker threads open connections freely.
struct TThreadInit {
  TThreadInit() { mysql_thread_init(); }
  ~TThreadInit() { mysql_thread_end(); }
  TThreadInit(const TThreadInit&) = delete;
  TThreadInit& operator=(const TThreadInit&) = delete;
};

void EnsureThread() {
  EnsureLibrary();
  thread_local TThreadInit Init;
  (void)Init;
}

// ---------------------------------------------------------------------------
// Handles

struct TMysqlCloser {
  void operator()(MYSQL* M) const noexcept { mysql_close(M); }
};
struct TStmtCloser {
  void operator()(MYSQL_STMT* S) const noexcept { mysql_stmt_close(S); }
};
struct TResultFree {
  void operator()(MYSQL_RES* R) const noexcept { mysql_free_result(R); }
};
using TMysqlPtr = std::unique_ptr<MYSQL, TMysqlCloser>;
using TStmtPtr = std::unique_ptr<MYSQL_STMT, TStmtCloser>;
using TResultPtr = std::unique_ptr<MYSQL_RES, TResultFree>;

[[noreturn]] void ThrowConn(MYSQL* M) { throw EDatabaseError(mysql_error(M)); }
[[noreturn]] void ThrowStmt(MYSQL_STMT* S) { throw EDatabaseError(mysql_stmt_error(S)); }

constexpr unsigned BinaryCharset = 63;

// ---------------------------------------------------------------------------
// Column descriptions

bool IsIntegerType(enum_field_types T) noexcept {
  switch (T) {
    case MYSQL_TYPE_TINY: case MYSQL_TYPE_SHORT: case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24: case MYSQL_TYPE_LONGLONG: case MYSQL_TYPE_YEAR:
      return true;
    default:
      return false;
  }
}

bool IsTemporalType(enum_field_types T) noexcept {
  switch (T) {
    case MYSQL_TYPE_DATE: case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME: case MYSQL_TYPE_TIMESTAMP:
      return true;
    default:
      return false;
  }
}

TFieldType MapFieldType(const MYSQL_FIELD& F) noexcept {
  const bool Unsigned = (F.flags & UNSIGNED_FLAG) != 0;
  switch (F.type) {
    case MYSQL_TYPE_TINY:
      return F.length == 1 ? TFieldType::Boolean : TFieldType::Int32;
    case MYSQL_TYPE_SHORT: case MYSQL_TYPE_INT24: case MYSQL_TYPE_YEAR:
      return TFieldType::Int32;
    case MYSQL_TYPE_LONG:  // an unsigned 32-bit value does not fit Int32
      return Unsigned ? TFieldType::Int64 : TFieldType::Int32;
    case MYSQL_TYPE_LONGLONG:
      return TFieldType::Int64;
    case MYSQL_TYPE_BIT:  // sent as raw bytes
      return TFieldType::Blob;
    case MYSQL_TYPE_FLOAT: case MYSQL_TYPE_DOUBLE:
      return TFieldType::Float;
    case MYSQL_TYPE_DECIMAL: case MYSQL_TYPE_NEWDECIMAL:
      return TFieldType::Decimal;
    case MYSQL_TYPE_DATE: case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME: case MYSQL_TYPE_TIMESTAMP:
      return TFieldType::DateTime;
    case MYSQL_TYPE_TINY_BLOB: case MYSQL_TYPE_MEDIUM_BLOB: case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB: case MYSQL_TYPE_GEOMETRY:
    case MYSQL_TYPE_STRING: case MYSQL_TYPE_VAR_STRING: case MYSQL_TYPE_VARCHAR:
      return F.charsetnr == BinaryCharset ? TFieldType::Blob : TFieldType::Text;
    default:  // TIME (a duration, not a date-time), ENUM, SET, JSON, NULL, ...
      return TFieldType::Text;
  }
}

// Maximal length in characters of a VARCHAR/CHAR column; 0 for other types.
std::uint32_t TextSize(const MYSQL_FIELD& F, unsigned MaxBytesPerChar) noexcept {
  switch (F.type) {
    case MYSQL_TYPE_STRING: case MYSQL_TYPE_VAR_STRING: case MYSQL_TYPE_VARCHAR:
      if (F.charsetnr == BinaryCharset) return 0;
      return static_cast<std::uint32_t>(F.length / (MaxBytesPerChar == 0 ? 1 : MaxBytesPerChar));
    default:
      return 0;
  }
}

std::vector<TFieldDef> DescribeFields(MYSQL_RES* Meta, unsigned MaxBytesPerChar) {
  std::vector<TFieldDef> Defs;
  if (Meta == nullptr) return Defs;
  const unsigned N = mysql_num_fields(Meta);
  const MYSQL_FIELD* Fields = mysql_fetch_fields(Meta);
  for (unsigned I = 0; I < N; ++I) {
    const MYSQL_FIELD& F = Fields[I];
    TFieldDef D;
    D.Name.assign(F.name, F.name_length);
    D.Type = MapFieldType(F);
    D.Size = D.Type == TFieldType::Text ? TextSize(F, MaxBytesPerChar) : 0;
    D.Nullable = (F.flags & NOT_NULL_FLAG) == 0;
    D.InKey = (F.flags & PRI_KEY_FLAG) != 0;
    D.AutoInc = (F.flags & AUTO_INCREMENT_FLAG) != 0;
    D.OriginTable.assign(F.org_table, F.org_table_length);
    D.OriginColumn.assign(F.org_name, F.org_name_length);
    Defs.push_back(std::move(D));
  }
  MakeFieldNamesUnique(Defs);
  return Defs;
}

// ---------------------------------------------------------------------------
// Value conversions

// The parts a MYSQL_TIME and a TDateTimeParts hold alike, from the year to the
// second (the fraction differs: microseconds there, milliseconds here).
struct TTimePart {
  unsigned MYSQL_TIME::*Mysql;
  int TDateTimeParts::*Parts;
};
constexpr TTimePart kTimeParts[] = {
    {&MYSQL_TIME::year, &TDateTimeParts::Year},     {&MYSQL_TIME::month, &TDateTimeParts::Month},
    {&MYSQL_TIME::day, &TDateTimeParts::Day},       {&MYSQL_TIME::hour, &TDateTimeParts::Hour},
    {&MYSQL_TIME::minute, &TDateTimeParts::Minute}, {&MYSQL_TIME::second, &TDateTimeParts::Second}};

MYSQL_TIME ToMysqlTime(double Value) {
  if (!std::isfinite(Value)) throw EConvertError("Date-time value is not a finite number");
  const TDateTimeParts P = DecodeDateTime(Value);
  if (P.Year < 1 || P.Year > 9999)
    throw EConvertError("Date-time " + DateTimeToText(Value) + " is outside the years 1 to 9999");
  MYSQL_TIME T{};
  for (const TTimePart& Part : kTimeParts) T.*Part.Mysql = static_cast<unsigned>(P.*Part.Parts);
  T.second_part = static_cast<unsigned long>(P.Millisecond) * 1000UL;
  T.time_type = MYSQL_TIMESTAMP_DATETIME;
  return T;
}

// NULL for the zero date ("0000-00-00"), which no date-time can represent.
TValue FromMysqlTime(const MYSQL_TIME& T) {
  if (T.year == 0 && T.month == 0 && T.day == 0) return TValue::Null(TFieldType::DateTime);
  TDateTimeParts P;
  for (const TTimePart& Part : kTimeParts) P.*Part.Parts = static_cast<int>(T.*Part.Mysql);
  P.Millisecond = static_cast<int>(T.second_part / 1000UL);
  return TValue::DateTime(EncodeDateTime(P));
}

TValue IntegerValue(TFieldType Type, std::int64_t V) {
  switch (Type) {
    case TFieldType::Boolean: return TValue::Boolean(V != 0);
    case TFieldType::Int32: return TValue::Int32(static_cast<std::int32_t>(V));
    default: return TValue::Int64(V);
  }
}

// A value of a result in the text protocol (statements that cannot be prepared).
TValue FromText(TFieldType Type, const MYSQL_FIELD& F, std::string_view Text) {
  switch (Type) {
    case TFieldType::Boolean: case TFieldType::Int32: case TFieldType::Int64: {
      std::int64_t V = 0;
      if ((F.flags & UNSIGNED_FLAG) != 0) {
        std::uint64_t U = 0;
        std::from_chars(Text.data(), Text.data() + Text.size(), U);
        V = static_cast<std::int64_t>(U);
      } else {
        std::from_chars(Text.data(), Text.data() + Text.size(), V);
      }
      return IntegerValue(Type, V);
    }
    case TFieldType::Float: {
      double D = 0;
      std::from_chars(Text.data(), Text.data() + Text.size(), D);
      return TValue::Float(D);
    }
    case TFieldType::DateTime:
      if (Text.starts_with("0000-00-00")) return TValue::Null(TFieldType::DateTime);
      return TValue::DateTime(TextToDateTime(Text));
    case TFieldType::Blob: return TValue::Blob(std::string(Text));
    case TFieldType::Decimal: return TValue::Decimal(std::string(Text));
    default: return TValue::Text(std::string(Text));
  }
}

// ---------------------------------------------------------------------------
// Parameter and result buffers

// Storage behind one bound parameter; kept in a vector sized before binding,
// so the pointers in the MYSQL_BIND array stay valid during the execution.
struct TParamSlot {
  std::int64_t Int = 0;
  double Float = 0;
  signed char Bool = 0;
  MYSQL_TIME Time{};
  unsigned long Length = 0;
};

void BindParam(MYSQL_BIND& B, TParamSlot& S, const TValue& V) {
  B = MYSQL_BIND{};
  if (V.IsNull()) {
    B.buffer_type = MYSQL_TYPE_NULL;
    return;
  }
  switch (V.Type()) {
    case TFieldType::Int32:
    case TFieldType::Int64:
      S.Int = V.AsInt64();
      B.buffer_type = MYSQL_TYPE_LONGLONG;
      B.buffer = &S.Int;
      return;
    case TFieldType::Float:
      S.Float = V.AsFloat();
      B.buffer_type = MYSQL_TYPE_DOUBLE;
      B.buffer = &S.Float;
      return;
    case TFieldType::Boolean:
      S.Bool = V.AsBoolean() ? 1 : 0;
      B.buffer_type = MYSQL_TYPE_TINY;
      B.buffer = &S.Bool;
      return;
    case TFieldType::DateTime:
      S.Time = ToMysqlTime(V.AsDateTime());
      B.buffer_type = MYSQL_TYPE_DATETIME;
      B.buffer = &S.Time;
      return;
    case TFieldType::Blob:
    case TFieldType::Text:
    case TFieldType::Decimal:  // decimals travel as their text; the server converts
    default:
      S.Length = static_cast<unsigned long>(V.Bytes().size());
      B.buffer_type = V.Type() == TFieldType::Blob ? MYSQL_TYPE_BLOB : MYSQL_TYPE_STRING;
      B.buffer = const_cast<char*>(V.Bytes().data());  // read only by the library
      B.buffer_length = S.Length;
      B.length = &S.Length;
      return;
  }
}

// Storage behind one result column.
struct TResultSlot {
  std::vector<char> Bytes = std::vector<char>(256);
  std::int64_t Int = 0;
  double Float = 0;
  MYSQL_TIME Time{};
  unsigned long Length = 0;
  my_bool IsNull = 0;
  my_bool Error = 0;
};

// ---------------------------------------------------------------------------
// Statement

class TMySQLStatement final : public IStatement {
 public:
  TMySQLStatement(MYSQL* Conn, std::string SQL, unsigned MaxBytesPerChar)
      : FConn(Conn), FSQL(std::move(SQL)), FMaxBytesPerChar(MaxBytesPerChar) {
    PrepareHandle();
  }

  const std::vector<TFieldDef>& Columns() override { return FColumns; }

  void Execute(const std::vector<TValue>& Args) override {
    EnsureThread();
    if (!FStmt) return ExecuteText(Args);
    if (ExecutePrepared(Args)) return;
    // The statement is kept between runs; when its tables changed meanwhile
    // (also by another connection) its result has other columns now. The
    // handle is prepared anew for them, and the statement (one that returns
    // rows, so running it again changes nothing) runs once more.
    FSlots.clear();
    FResultBinds.clear();
    PrepareHandle();
    if (!FStmt) return ExecuteText(Args);
    if (!ExecutePrepared(Args)) throw EDatabaseError("The columns of the statement's result keep changing");
  }

 private:
  void PrepareHandle() {
    FStmt.reset(mysql_stmt_init(FConn));
    if (!FStmt) ThrowConn(FConn);
    if (mysql_stmt_prepare(FStmt.get(), FSQL.data(), static_cast<unsigned long>(FSQL.size())) != 0) {
      // A few statements have no prepared form; they run through the text
      // protocol, which cannot carry parameters.
      if (mysql_stmt_errno(FStmt.get()) != ER_UNSUPPORTED_PS) ThrowStmt(FStmt.get());
      FStmt.reset();
      return;
    }
    const TResultPtr Meta(mysql_stmt_result_metadata(FStmt.get()));
    FColumns = DescribeFields(Meta.get(), FMaxBytesPerChar);
  }

  // Runs the prepared handle; false when its result no longer has the columns
  // it was prepared with (nothing is read then).
  bool ExecutePrepared(const std::vector<TValue>& Args) {
    MYSQL_STMT* S = FStmt.get();
    mysql_stmt_free_result(S);
    FHaveRows = false;
    const unsigned long Expected = mysql_stmt_param_count(S);
    if (Args.size() != Expected)
      throw EDatabaseError("The statement expects " + std::to_string(Expected) + " parameters, " +
                           std::to_string(Args.size()) + " given");
    std::vector<TParamSlot> Slots(Args.size());
    std::vector<MYSQL_BIND> Binds(Args.size());
    for (std::size_t I = 0; I < Args.size(); ++I) BindParam(Binds[I], Slots[I], Args[I]);
    if (!Binds.empty() && mysql_stmt_bind_param(S, Binds.data()) != 0) ThrowStmt(S);
    if (mysql_stmt_execute(S) != 0) {
      if (mysql_stmt_errno(S) == CR_NEW_STMT_METADATA) return false;
      ThrowStmt(S);
    }
    FAffected = static_cast<std::int64_t>(mysql_stmt_affected_rows(S));
    FInsertId = static_cast<std::int64_t>(mysql_stmt_insert_id(S));
    if (mysql_stmt_field_count(S) == 0) return true;
    if (FColumns.size() != mysql_stmt_field_count(S)) return false;
    // The rows are buffered on the client so that other statements can run on
    // the connection while this result is read.
    if (mysql_stmt_store_result(S) != 0) ThrowStmt(S);
    FSlots.assign(FColumns.size(), TResultSlot{});
    FResultBinds.assign(FColumns.size(), MYSQL_BIND{});
    {
      const TResultPtr Meta(mysql_stmt_result_metadata(S));
      const MYSQL_FIELD* Fields = Meta ? mysql_fetch_fields(Meta.get()) : nullptr;
      for (std::size_t I = 0; I < FColumns.size(); ++I) {
        MYSQL_BIND& B = FResultBinds[I];
        TResultSlot& Slot = FSlots[I];
        B.is_null = &Slot.IsNull;
        B.error = &Slot.Error;
        B.length = &Slot.Length;
        const enum_field_types FieldType = Fields ? Fields[I].type : MYSQL_TYPE_STRING;
        if (IsIntegerType(FieldType)) {
          B.buffer_type = MYSQL_TYPE_LONGLONG;
          B.buffer = &Slot.Int;
          B.is_unsigned = Fields && (Fields[I].flags & UNSIGNED_FLAG) != 0;
        } else if (FColumns[I].Type == TFieldType::Float) {
          B.buffer_type = MYSQL_TYPE_DOUBLE;
          B.buffer = &Slot.Float;
        } else if (IsTemporalType(FieldType)) {
          B.buffer_type = FieldType;
          B.buffer = &Slot.Time;
        } else {
          B.buffer_type = FColumns[I].Type == TFieldType::Blob ? MYSQL_TYPE_BLOB : MYSQL_TYPE_STRING;
          B.buffer = Slot.Bytes.data();
          B.buffer_length = static_cast<unsigned long>(Slot.Bytes.size());
        }
      }
    }
    if (!FResultBinds.empty() && mysql_stmt_bind_result(S, FResultBinds.data()) != 0) ThrowStmt(S);
    FHaveRows = true;
    return true;
  }

 public:

  bool Fetch(std::vector<TValue>& Row) override {
    if (!FStmt) return FetchText(Row);
    if (!FHaveRows) return false;
    MYSQL_STMT* S = FStmt.get();
    const int Rc = mysql_stmt_fetch(S);
    if (Rc == MYSQL_NO_DATA) {
      FHaveRows = false;
      return false;
    }
    if (Rc != 0 && Rc != MYSQL_DATA_TRUNCATED) ThrowStmt(S);
    bool Grown = false;
    Row.assign(FColumns.size(), TValue());
    for (std::size_t I = 0; I < FColumns.size(); ++I) {
      TResultSlot& Slot = FSlots[I];
      MYSQL_BIND& B = FResultBinds[I];
      const TFieldType Type = FColumns[I].Type;
      if (Slot.IsNull) {
        Row[I] = TValue::Null(Type);
      } else if (B.buffer_type == MYSQL_TYPE_LONGLONG) {
        Row[I] = IntegerValue(Type, Slot.Int);
      } else if (B.buffer_type == MYSQL_TYPE_DOUBLE) {
        Row[I] = TValue::Float(Slot.Float);
      } else if (B.buffer == &Slot.Time) {
        Row[I] = FromMysqlTime(Slot.Time);
      } else {
        if (Slot.Length > Slot.Bytes.size()) {
          // Longer than the buffer: grow it and read the whole column again.
          Slot.Bytes.resize(Slot.Length);
          B.buffer = Slot.Bytes.data();
          B.buffer_length = Slot.Length;
          if (mysql_stmt_fetch_column(S, &B, static_cast<unsigned>(I), 0) != 0) ThrowStmt(S);
          Grown = true;
        }
        std::string Bytes(Slot.Bytes.data(), Slot.Length);
        switch (Type) {
          case TFieldType::Blob: Row[I] = TValue::Blob(std::move(Bytes)); break;
          case TFieldType::Decimal: Row[I] = TValue::Decimal(std::move(Bytes)); break;
          default: Row[I] = TValue::Text(std::move(Bytes)); break;
        }
      }
    }
    // The library keeps its own copy of the bindings: hand it the grown buffers.
    if (Grown && mysql_stmt_bind_result(S, FResultBinds.data()) != 0) ThrowStmt(S);
    return true;
  }

  std::int64_t RowsAffected() override { return FAffected; }
  std::int64_t LastInsertId() override { return FInsertId; }
  void Reset() noexcept override {
    FHaveRows = false;
    FTextResult.reset();
    if (FStmt) mysql_stmt_free_result(FStmt.get());
  }

 private:
  void ExecuteText(const std::vector<TValue>& Args) {
    if (!Args.empty()) throw EDatabaseError("This statement cannot take parameters on MySQL");
    FTextResult.reset();
    if (mysql_real_query(FConn, FSQL.data(), static_cast<unsigned long>(FSQL.size())) != 0) ThrowConn(FConn);
    FAffected = static_cast<std::int64_t>(mysql_affected_rows(FConn));
    FInsertId = static_cast<std::int64_t>(mysql_insert_id(FConn));
    FTextResult.reset(mysql_store_result(FConn));
    if (!FTextResult) {
      if (mysql_field_count(FConn) != 0) ThrowConn(FConn);
      return;
    }
    FColumns = DescribeFields(FTextResult.get(), FMaxBytesPerChar);
  }

  bool FetchText(std::vector<TValue>& Row) {
    if (!FTextResult) return false;
    MYSQL_ROW Data = mysql_fetch_row(FTextResult.get());
    if (Data == nullptr) {
      FTextResult.reset();
      return false;
    }
    const unsigned long* Lengths = mysql_fetch_lengths(FTextResult.get());
    const MYSQL_FIELD* Fields = mysql_fetch_fields(FTextResult.get());
    Row.assign(FColumns.size(), TValue());
    for (std::size_t I = 0; I < FColumns.size(); ++I) {
      const TFieldType Type = FColumns[I].Type;
      Row[I] = Data[I] == nullptr ? TValue::Null(Type)
                                  : FromText(Type, Fields[I], std::string_view(Data[I], Lengths[I]));
    }
    return true;
  }

  MYSQL* FConn;  // owned by the connection, which outlives its statements
  std::string FSQL;
  unsigned FMaxBytesPerChar;
  TStmtPtr FStmt;  // empty for statements run through the text protocol
  std::vector<TFieldDef> FColumns;
  std::vector<TResultSlot> FSlots;
  std::vector<MYSQL_BIND> FResultBinds;
  bool FHaveRows = false;
  TResultPtr FTextResult;
  std::int64_t FAffected = 0;
  std::int64_t FInsertId = 0;
};

// ---------------------------------------------------------------------------
// Connection

class TMySQLConnection final : public IConnection {
 public:
  explicit TMySQLConnection(const TOpenParams& Params) {
    EnsureThread();
    const std::string Server = Params.Value("Server").empty() ? "127.0.0.1" : Params.Value("Server");
    const std::string PortText = Params.Value("Port");
    unsigned Port = 3306;
    if (!PortText.empty()) {
      const auto [End, Ec] = std::from_chars(PortText.data(), PortText.data() + PortText.size(), Port);
      if (Ec != std::errc() || End != PortText.data() + PortText.size() || Port == 0 || Port > 65535)
        throw EDatabaseError("Bad MySQL port \"" + PortText + "\"");
    }
    const std::string Database = Params.Value("Database");
    const std::string User = Params.Value("User_Name");
    const std::string Password = Params.Value("Password");

    FConn.reset(mysql_init(nullptr));
    if (!FConn) throw EDatabaseError("MySQL client: out of memory");
    MYSQL* M = FConn.get();
    // The character set is always utf8mb4, whatever the parameters say: every
    // text of the server is UTF-8 and may hold 4-byte characters.
    mysql_options(M, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const unsigned ConnectTimeout = 15;
    mysql_options(M, MYSQL_OPT_CONNECT_TIMEOUT, &ConnectTimeout);
    // The server must not be able to ask for files of this machine.
    const my_bool NoLocalInfile = 0;
    mysql_options(M, MYSQL_OPT_LOCAL_INFILE, &NoLocalInfile);
    // Rows affected count the rows matched, as on SQLite, so that an update
    // that changes nothing still reports that it found its row.
    if (mysql_real_connect(M, Server.c_str(), User.c_str(), Password.c_str(),
                           Database.empty() ? nullptr : Database.c_str(), Port, nullptr,
                           CLIENT_FOUND_ROWS) == nullptr)
      ThrowConn(M);
    MY_CHARSET_INFO Info{};
    mysql_get_character_set_info(M, &Info);
    FMaxBytesPerChar = Info.mbmaxlen == 0 ? 4 : Info.mbmaxlen;
  }

  const char* Dialect() const noexcept override { return "MySQL"; }

  std::unique_ptr<IStatement> Prepare(const std::string& SQL) override {
    EnsureThread();
    return std::make_unique<TMySQLStatement>(FConn.get(), SQL, FMaxBytesPerChar);
  }

  std::vector<TTableColumn> TableColumns(const std::string& Table) override {
    auto Stmt = Prepare(
        "SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_KEY, EXTRA FROM information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ? ORDER BY ORDINAL_POSITION");
    Stmt->Execute({TValue::Text(Table)});
    std::vector<TTableColumn> Out;
    std::vector<TValue> Row;
    while (Stmt->Fetch(Row)) {
      TTableColumn C;
      C.Name = Row[0].AsString();
      // COLUMN_TYPE is the full declaration ("varchar(100)", "int(10) unsigned",
      // "tinyint(1)"), read the same way as SQLite's declared types.
      C.Type = TypeFromDeclaration(Row[1].AsString(), C.Size);
      if (C.Type == TFieldType::Unknown) C.Type = TFieldType::Text;
      C.Nullable = SameName(Row[2].AsString(), "YES");
      C.InKey = SameName(Row[3].AsString(), "PRI");
      C.AutoInc = Row[4].AsString().find("auto_increment") != std::string::npos;
      Out.push_back(std::move(C));
    }
    return Out;
  }

  std::string QuoteIdentifier(std::string_view Name) const override {
    std::string Out = "`";
    for (const char C : Name) {
      if (C == '`') Out += '`';
      Out += C;
    }
    Out += '`';
    return Out;
  }

  const char* NullSafeEqual() const noexcept override { return "<=>"; }

  void Begin() override { Query("START TRANSACTION"); }
  void Commit() override {
    EnsureThread();
    if (mysql_commit(FConn.get()) != 0) ThrowConn(FConn.get());
  }
  void Rollback() override {
    EnsureThread();
    if (mysql_rollback(FConn.get()) != 0) ThrowConn(FConn.get());
  }
  bool InTransaction() override {
    unsigned Status = 0;
    if (mariadb_get_infov(FConn.get(), MARIADB_CONNECTION_SERVER_STATUS, &Status) != 0) return false;
    return (Status & SERVER_STATUS_IN_TRANS) != 0;
  }

 private:
  void Query(const char* SQL) {
    EnsureThread();
    if (mysql_real_query(FConn.get(), SQL, static_cast<unsigned long>(std::strlen(SQL))) != 0)
      ThrowConn(FConn.get());
  }

  TMysqlPtr FConn;
  unsigned FMaxBytesPerChar = 4;
};

}  // namespace

std::unique_ptr<IConnection> OpenMySQL(const TOpenParams& Params) {
  return std::make_unique<TMySQLConnection>(Params);
}

}  // namespace ordex::db::detail
