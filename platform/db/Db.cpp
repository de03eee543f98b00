// Connections, parameters, SQL parameter parsing and the helpers the engines share.
#include "platform/db/Db.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "platform/db/DbDriver.h"
#include "platform/db/DbInternal.h"

namespace ordex::db {

namespace {

bool IsIdentChar(char C) noexcept {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_';
}

std::string Upper(std::string_view S) {
  std::string R(S);
  for (char& C : R)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return R;
}

// Length of a quoted text, comment or back-quoted name that starts at I, or 0
// when none starts there. An unterminated one runs to the end of the text.
std::size_t SkipQuotedOrComment(std::string_view S, std::size_t I) noexcept {
  const char C = S[I];
  if (C == '\'' || C == '"' || C == '`') {
    const std::size_t End = S.find(C, I + 1);
    return (End == std::string_view::npos ? S.size() : End + 1) - I;
  }
  if (C == '-' && I + 1 < S.size() && S[I + 1] == '-') {
    const std::size_t End = S.find('\n', I + 2);
    return (End == std::string_view::npos ? S.size() : End) - I;
  }
  if (C == '/' && I + 1 < S.size() && S[I + 1] == '*') {
    const std::size_t End = S.find("*/", I + 2);
    return (End == std::string_view::npos ? S.size() : End + 2) - I;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Kinds

const std::vector<std::string>& KnownKinds() {
  static const std::vector<std::string> Kinds = {"MySQL", "Mongo", "SQLite", "PG",  "FB",  "IB",
                                                 "IBLite", "MSSQL", "Ora",   "MSAcc", "DB2", "ODBC",
                                                 "Infx",  "DS",    "ADS",   "ASA",  "TData", "TDBX"};
  return Kinds;
}

bool IsKindServed(std::string_view Kind) { return Kind == "SQLite" || Kind == "MySQL"; }

// ---------------------------------------------------------------------------
// Connection

std::string detail::TOpenParams::Value(std::string_view Name) const {
  for (auto It = Params.rbegin(); It != Params.rend(); ++It) {
    const std::size_t Eq = It->find('=');
    if (Eq != std::string::npos && SameName(std::string_view(*It).substr(0, Eq), Name)) return It->substr(Eq + 1);
  }
  return {};
}

TConnection::TConnection() = default;
TConnection::~TConnection() { Close(); }

void TConnection::SetDriverName(std::string Kind) { FDriverName = std::move(Kind); }

std::string TConnection::ParamValue(std::string_view Name) const { return detail::TOpenParams{FParams}.Value(Name); }

void TConnection::Open() {
  if (FImpl) return;
  if (OnBeforeConnect) OnBeforeConnect();
  const auto& Kinds = KnownKinds();
  if (std::find(Kinds.begin(), Kinds.end(), FDriverName) == Kinds.end())
    throw EDatabaseError("Unknown database kind '" + FDriverName + "'");
  const detail::TOpenParams P{FParams};
  if (FDriverName == "SQLite")
    FImpl = detail::OpenSQLite(P);
  else if (FDriverName == "MySQL")
    FImpl = detail::OpenMySQL(P);
  else
    throw EDatabaseError("Database kind '" + FDriverName + "' is not supported by this server");
  FCache = std::make_shared<detail::TStatementCache>(*FImpl);
}

void TConnection::Close() noexcept {
  // Statements first: they belong to the engine connection.
  FCache.reset();
  FImpl.reset();
}

std::string TConnection::Dialect() const { return FImpl ? FImpl->Dialect() : std::string(); }

detail::IConnection& TConnection::Engine() {
  if (!FImpl) Open();
  return *FImpl;
}

detail::TStatementCache& TConnection::Cache() {
  if (!FImpl) Open();
  return *FCache;
}

std::int64_t TConnection::ExecSQL(std::string_view SQL, const TParams* Args) {
  const TParsedSQL Parsed = ParseSQL(SQL);
  const TParams None;
  const auto Stmt = detail::RunStatement(*this, Parsed.Text, detail::BindArgs(Parsed, Args ? *Args : None));
  return Stmt->RowsAffected();
}

void TConnection::StartTransaction() { Engine().Begin(); }
TReadTransaction::TReadTransaction(TConnection& Connection)
    : FConnection(Connection), FOwn(!Connection.Engine().InTransaction()), FExceptions(std::uncaught_exceptions()) {
  if (FOwn) FConnection.StartTransaction();
}

TReadTransaction::~TReadTransaction() {
  if (!FOwn) return;
  try {
    if (std::uncaught_exceptions() > FExceptions)
      FConnection.Rollback();
    else
      FConnection.Commit();
  } catch (...) {
    // Nothing was written in the scope; a failed end of a read transaction
    // changes no data, and a destructor must not throw.
  }
}

void TConnection::Commit() { Engine().Commit(); }
void TConnection::Rollback() { Engine().Rollback(); }

// ---------------------------------------------------------------------------
// Parameters

TParam& TParams::ParamByName(std::string_view Name) {
  if (TParam* P = FindParam(Name)) return *P;
  throw EDatabaseError("Parameter '" + std::string(Name) + "' not found");
}

const TParam& TParams::ParamByName(std::string_view Name) const {
  if (const TParam* P = FindParam(Name)) return *P;
  throw EDatabaseError("Parameter '" + std::string(Name) + "' not found");
}

TParam* TParams::FindParam(std::string_view Name) noexcept {
  for (TParam& P : FItems)
    if (SameName(P.Name, Name)) return &P;
  return nullptr;
}

const TParam* TParams::FindParam(std::string_view Name) const noexcept {
  for (const TParam& P : FItems)
    if (SameName(P.Name, Name)) return &P;
  return nullptr;
}

TParam& TParams::Add(std::string Name, TFieldType DataType, std::uint32_t Size) {
  TParam& P = FItems.emplace_back();
  P.Name = std::move(Name);
  P.DataType = DataType;
  P.Size = Size;
  P.Value = TValue::Null(DataType);
  return P;
}

TParsedSQL ParseSQL(std::string_view SQL) {
  TParsedSQL R;
  R.Text.reserve(SQL.size());
  std::size_t I = 0;
  while (I < SQL.size()) {
    if (const std::size_t Skip = SkipQuotedOrComment(SQL, I)) {
      R.Text.append(SQL.substr(I, Skip));
      I += Skip;
      continue;
    }
    const char C = SQL[I];
    if (C == ':' && I + 1 < SQL.size() && SQL[I + 1] == ':') {
      R.Text.append("::");
      I += 2;
      continue;
    }
    if (C == ':' && I + 1 < SQL.size() && IsIdentChar(SQL[I + 1])) {
      std::size_t End = I + 1;
      while (End < SQL.size() && IsIdentChar(SQL[End])) ++End;
      R.ParamNames.emplace_back(SQL.substr(I + 1, End - I - 1));
      R.Text.push_back('?');
      I = End;
      continue;
    }
    R.Text.push_back(C);
    ++I;
  }
  return R;
}

// ---------------------------------------------------------------------------
// Helpers shared with the query and the engines

namespace detail {

std::string BaseTableOf(std::string_view SQL) {
  int Depth = 0;
  std::size_t I = 0;
  const auto SkipSpace = [&] {
    while (I < SQL.size()) {
      if (std::isspace(static_cast<unsigned char>(SQL[I]))) {
        ++I;
      } else if ((SQL[I] == '-' || SQL[I] == '/') && SkipQuotedOrComment(SQL, I) > 0) {
        I += SkipQuotedOrComment(SQL, I);
      } else {
        break;
      }
    }
  };
  // One name part: quoted, back-quoted, bracketed or bare.
  const auto ReadName = [&]() -> std::string {
    if (I >= SQL.size()) return {};
    const char Q = SQL[I];
    if (Q == '"' || Q == '`' || Q == '[') {
      const char Close = Q == '[' ? ']' : Q;
      const std::size_t End = SQL.find(Close, I + 1);
      if (End == std::string_view::npos) return {};
      std::string N(SQL.substr(I + 1, End - I - 1));
      I = End + 1;
      return N;
    }
    const std::size_t Start = I;
    while (I < SQL.size() && (IsIdentChar(SQL[I]) || SQL[I] == '$')) ++I;
    return std::string(SQL.substr(Start, I - Start));
  };
  while (I < SQL.size()) {
    const char C = SQL[I];
    if (C == '\'' || C == '"' || C == '`' || C == '-' || C == '/') {
      if (const std::size_t Skip = SkipQuotedOrComment(SQL, I)) {
        I += Skip;
        continue;
      }
    }
    if (C == '(') ++Depth;
    if (C == ')' && Depth > 0) --Depth;
    if (Depth == 0 && (C == 'f' || C == 'F') && (I == 0 || !IsIdentChar(SQL[I - 1])) && I + 4 <= SQL.size() &&
        Upper(SQL.substr(I, 4)) == "FROM" && (I + 4 == SQL.size() || !IsIdentChar(SQL[I + 4]))) {
      I += 4;
      SkipSpace();
      std::string Name = ReadName();
      while (I < SQL.size() && SQL[I] == '.') {
        ++I;
        Name = ReadName();
      }
      return Name;
    }
    ++I;
  }
  return {};
}

std::vector<TValue> BindArgs(const TParsedSQL& Parsed, const TParams& Params) {
  std::vector<TValue> Args;
  Args.reserve(Parsed.ParamNames.size());
  for (const std::string& Name : Parsed.ParamNames) {
    const TParam& P = Params.ParamByName(Name);
    if (P.DataType == TFieldType::Text && P.Size > 0)
      Args.push_back(P.Value.ConvertTo(TFieldType::Text));
    else if (P.DataType != TFieldType::Unknown)
      Args.push_back(P.Value.ConvertTo(P.DataType));
    else
      Args.push_back(P.Value);
  }
  return Args;
}

TStatementLease RunStatement(TConnection& Conn, const std::string& EngineSQL, const std::vector<TValue>& Args) {
  TStatementLease Stmt = Conn.Cache().Acquire(EngineSQL);
  Stmt.Execute(Args);
  return Stmt;
}

// The savepoint of the row being applied. Batches do not nest within one
// another, so one name serves.
const std::string kSavepoint = "SAVEPOINT ordex_row";
const std::string kReleaseSavepoint = "RELEASE SAVEPOINT ordex_row";
const std::string kRollbackToSavepoint = "ROLLBACK TO SAVEPOINT ordex_row";

namespace {

// Rolls back what Conn's transaction wrote; a failure of the rollback itself is
// swallowed, as every caller is already handling another failure.
void RollbackQuietly(TConnection& Conn) noexcept {
  try {
    Conn.Rollback();
  } catch (...) {
  }
}

// Commits Conn's transaction; when the commit fails, rolls it back and rethrows.
void CommitOrRollback(TConnection& Conn) {
  try {
    Conn.Commit();
  } catch (...) {
    RollbackQuietly(Conn);
    throw;
  }
}

}  // namespace

TChangeBatch::TChangeBatch(TConnection& Conn) : FConn(Conn), FOwn(!Conn.Engine().InTransaction()) {
  if (FOwn) FConn.StartTransaction();
}

TChangeBatch::~TChangeBatch() {
  if (!FOwn || FDone) return;
  try {
    CommitOrRollback(FConn);
  } catch (...) {
  }
}

void TChangeBatch::Run(const std::string& SQL) {
  try {
    RunStatement(FConn, SQL, {});
  } catch (...) {
    // The transaction is in an unknown state: nothing of it is kept.
    if (FOwn && !FDone) {
      FDone = true;
      RollbackQuietly(FConn);
    }
    throw;
  }
}

void TChangeBatch::Savepoint() { Run(kSavepoint); }
void TChangeBatch::Release() { Run(kReleaseSavepoint); }
void TChangeBatch::RollbackRow() {
  Run(kRollbackToSavepoint);
  Run(kReleaseSavepoint);
}

void TChangeBatch::Commit() {
  if (!FOwn || FDone) return;
  FDone = true;
  CommitOrRollback(FConn);
}

TFieldType TypeFromDeclaration(std::string_view Declared, std::uint32_t& Size) {
  Size = 0;
  const std::string D = Upper(Declared);
  std::size_t B = 0;
  while (B < D.size() && std::isspace(static_cast<unsigned char>(D[B]))) ++B;
  if (B == D.size()) return TFieldType::Unknown;
  std::size_t E = B;
  while (E < D.size() && (std::isalpha(static_cast<unsigned char>(D[E])) || D[E] == '_')) ++E;
  const std::string Base = D.substr(B, E - B);
  // First number in parentheses: a length or a precision.
  std::uint64_t Arg = 0;
  bool HasArg = false;
  if (const std::size_t Open = D.find('(', E); Open != std::string::npos) {
    std::size_t K = Open + 1;
    while (K < D.size() && D[K] == ' ') ++K;
    while (K < D.size() && std::isdigit(static_cast<unsigned char>(D[K])) && Arg < 0xFFFFFFFFull)
      Arg = Arg * 10 + static_cast<unsigned>(D[K++] - '0'), HasArg = true;
  }
  const bool Unsigned = D.find("UNSIGNED") != std::string::npos;
  const auto Is = [&](std::initializer_list<const char*> Names) {
    return std::any_of(Names.begin(), Names.end(), [&](const char* N) { return Base == N; });
  };
  if (Is({"BOOL", "BOOLEAN"}) || (Is({"TINYINT", "BIT"}) && HasArg && Arg == 1)) return TFieldType::Boolean;
  if (Is({"BIGINT"})) return TFieldType::Int64;
  if (Is({"INT", "INTEGER", "MEDIUMINT"})) return Unsigned ? TFieldType::Int64 : TFieldType::Int32;
  if (Is({"SMALLINT", "TINYINT", "YEAR"})) return TFieldType::Int32;
  if (Is({"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "CHARACTER", "VARCHAR2", "NVARCHAR2"})) {
    Size = HasArg ? static_cast<std::uint32_t>(Arg) : (Is({"CHAR", "NCHAR", "CHARACTER"}) ? 1 : 0);
    return TFieldType::Text;
  }
  if (Is({"TEXT", "TINYTEXT", "MEDIUMTEXT", "LONGTEXT", "CLOB", "JSON", "ENUM", "SET", "TIME", "STRING"}))
    return TFieldType::Text;
  if (Is({"REAL", "DOUBLE", "FLOAT"})) return TFieldType::Float;
  if (Is({"DECIMAL", "NUMERIC", "DEC", "NUMBER"})) return TFieldType::Decimal;
  if (Is({"DATETIME", "TIMESTAMP", "DATE"})) return TFieldType::DateTime;
  if (Is({"BLOB", "TINYBLOB", "MEDIUMBLOB", "LONGBLOB", "BINARY", "VARBINARY", "BYTEA"})) return TFieldType::Blob;
  // Other declarations follow the affinity rules of SQLite.
  if (D.find("INT") != std::string::npos) return TFieldType::Int64;
  if (D.find("CHAR") != std::string::npos || D.find("CLOB") != std::string::npos || D.find("TEXT") != std::string::npos)
    return TFieldType::Text;
  if (D.find("BLOB") != std::string::npos) return TFieldType::Blob;
  if (D.find("REAL") != std::string::npos || D.find("FLOA") != std::string::npos || D.find("DOUB") != std::string::npos)
    return TFieldType::Float;
  return TFieldType::Text;
}

void MakeFieldNamesUnique(std::vector<TFieldDef>& Fields) {
  std::vector<TStreamColumn> Names(Fields.size());
  for (std::size_t I = 0; I < Fields.size(); ++I) Names[I].Name = Fields[I].Name;
  MakeColumnNamesUnique(Names);
  for (std::size_t I = 0; I < Fields.size(); ++I) Fields[I].Name = std::move(Names[I].Name);
}

}  // namespace detail

}  // namespace ordex::db
