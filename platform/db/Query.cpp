// Named statements: running, fetching into memory, browsing and editing rows,
// and applying change-set tables to the base table.
#include <algorithm>
#include <unordered_map>

#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"
#include "platform/db/DbInternal.h"
#include "platform/db/RowWriter.h"

namespace ordex::db {

namespace {

const TValue& NullValue() {
  static const TValue Null;
  return Null;
}

// The type of a computed column, settled from its fetched values: integers,
// floats (integers mixed with floats too), texts or blobs; text otherwise and
// when every value is NULL.
TFieldType SettleType(const std::vector<std::vector<TValue>>& Rows, std::size_t Col) {
  bool Int = false, Real = false, Text = false, Blob = false;
  for (const auto& Row : Rows) {
    const TValue& V = Row[Col];
    if (V.IsNull()) continue;
    switch (V.Type()) {
      case TFieldType::Int64: Int = true; break;
      case TFieldType::Float: Real = true; break;
      case TFieldType::Blob: Blob = true; break;
      default: Text = true; break;
    }
  }
  if (Text) return TFieldType::Text;
  if (Blob) return (Int || Real) ? TFieldType::Text : TFieldType::Blob;
  if (Real) return TFieldType::Float;
  if (Int) return TFieldType::Int64;
  return TFieldType::Text;
}

bool StartsWithName(std::string_view S, std::string_view Prefix) {
  return S.size() > Prefix.size() && SameName(S.substr(0, Prefix.size()), Prefix);
}

bool IsBlankText(const std::string& S) {
  return std::all_of(S.begin(), S.end(), [](char C) { return static_cast<unsigned char>(C) <= 32; });
}

// Case-insensitive hashing and comparison of field names, for lookups by any
// spelling without building a lower-case copy.
struct TNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view Name) const noexcept {
    std::size_t H = 14695981039346656037ull;
    for (char C : Name) {
      if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
      H = (H ^ static_cast<unsigned char>(C)) * 1099511628211ull;
    }
    return H;
  }
};
struct TNameEqual {
  using is_transparent = void;
  bool operator()(std::string_view A, std::string_view B) const noexcept { return SameName(A, B); }
};

}  // namespace

struct TQuery::TImpl {
  bool Eof = true;
  bool Bof = true;
  // The SQL text split once per SetSQL, and its base table.
  TParsedSQL Parsed;
  std::string BaseTable;
  // The prepared statement, kept while the text and the connection stay.
  detail::TStatementLease Stmt;
  // Field name -> index, for the current field list (first of equal names).
  std::unordered_map<std::string, std::size_t, TNameHash, TNameEqual> FieldIndex;
  // The statement's columns the field list was built from, and the field list
  // put aside by SetSQL of the same text: the next run that reports the same
  // columns takes it back instead of building it again.
  std::vector<TFieldDef> StmtColumns;
  std::vector<TFieldDef> Parked;

  // The statement for the current text on the current connection: the one
  // held since the last run when it still fits, else one from the cache.
  static detail::TStatementLease& Statement(TQuery& Q) {
    detail::TStatementCache& Cache = Q.FConnection->Cache();
    detail::TStatementLease& Stmt = Q.FImpl->Stmt;
    if (!Stmt.Fits(Cache, Q.FImpl->Parsed.Text)) {
      Stmt.Release();
      Stmt = Cache.Acquire(Q.FImpl->Parsed.Text);
    }
    return Stmt;
  }

  // Fills the columns from a prepared statement: read-only marks from the base
  // table, then the calculated fields.
  static void SetColumns(TQuery& Q, std::vector<TFieldDef> Columns) {
    const std::string& Base = Q.FImpl->BaseTable;
    for (TFieldDef& F : Columns) F.ReadOnly = !(SameName(F.OriginTable, Base) && !F.OriginColumn.empty());
    for (const TCalcField& C : Q.FCalcFields) Columns.push_back(C.Def);
    Q.FFieldDefs = std::move(Columns);
    auto& Index = Q.FImpl->FieldIndex;
    Index.clear();
    for (std::size_t I = 0; I < Q.FFieldDefs.size(); ++I) Index.emplace(Q.FFieldDefs[I].Name, I);
  }

  static bool SameColumns(const std::vector<TFieldDef>& A, const std::vector<TFieldDef>& B) noexcept {
    return std::equal(A.begin(), A.end(), B.begin(), B.end(), [](const TFieldDef& X, const TFieldDef& Y) {
      return X.Name == Y.Name && X.Type == Y.Type && X.Size == Y.Size && X.Nullable == Y.Nullable &&
             X.InKey == Y.InKey && X.AutoInc == Y.AutoInc && X.OriginTable == Y.OriginTable &&
             X.OriginColumn == Y.OriginColumn;
    });
  }

  // Sets the field list for the statement's columns, keeping the current (or
  // parked) one when it was built from the same columns.
  static void UseColumns(TQuery& Q, const std::vector<TFieldDef>& Columns) {
    TImpl& I = *Q.FImpl;
    std::vector<TFieldDef>& Built = Q.FFieldDefs.empty() ? I.Parked : Q.FFieldDefs;
    if (!Built.empty() && Built.size() == Columns.size() + Q.FCalcFields.size() && SameColumns(I.StmtColumns, Columns)) {
      if (&Built == &I.Parked) Q.FFieldDefs = std::move(I.Parked);
      I.Parked.clear();
      return;
    }
    I.Parked.clear();
    I.StmtColumns = Columns;
    SetColumns(Q, Columns);
  }

  // Forgets the columns the field list was built from.
  static void ForgetColumns(TQuery& Q) noexcept {
    Q.FImpl->StmtColumns.clear();
    Q.FImpl->Parked.clear();
  }

  static std::size_t OwnColumns(const TQuery& Q) noexcept { return Q.FFieldDefs.size() - Q.FCalcFields.size(); }

  static void RequireEditing(const TQuery& Q) {
    if (Q.FState != TDataSetState::Edit && Q.FState != TDataSetState::Insert)
      throw EDatabaseError("Query '" + Q.FName + "' is not in edit or insert mode");
  }

  static void RequireActive(const TQuery& Q) {
    if (!Q.Active()) throw EDatabaseError("Query '" + Q.FName + "' is not open");
  }

  // Leaves Edit or Insert by posting, as moving to another row does.
  static void CheckBrowse(TQuery& Q) {
    if (Q.FState == TDataSetState::Edit || Q.FState == TDataSetState::Insert) Q.Post();
  }

  // Binds the parameters of an UpdateSQL text: NEW_col and OLD_col from the row,
  // other names from the query's parameters.
  static std::vector<TValue> BindRow(TQuery& Q, const TParsedSQL& Parsed, const TChangeRow& Row) {
    std::vector<TValue> Args;
    for (const std::string& Name : Parsed.ParamNames) {
      const bool New = StartsWithName(Name, "NEW_");
      const bool Old = StartsWithName(Name, "OLD_");
      if (New || Old) {
        const std::string_view Col = std::string_view(Name).substr(4);
        const auto It = std::find_if(Q.FFieldDefs.begin(), Q.FFieldDefs.end(),
                                     [&](const TFieldDef& F) { return SameName(F.Name, Col); });
        if (It != Q.FFieldDefs.end()) {
          const auto I = static_cast<std::size_t>(It - Q.FFieldDefs.begin());
          Args.push_back(New ? Row.New[I] : Row.Old[I]);
          continue;
        }
      }
      const TParsedSQL One{{}, {Name}};
      Args.push_back(detail::BindArgs(One, Q.FParams).front());
    }
    return Args;
  }

  // Writes one change; throws on failure.
  static void ApplyOne(TQuery& Q, detail::TRowWriter*& Writer, std::unique_ptr<detail::TRowWriter>& WriterStore,
                       const TChangeRow& Row, const std::vector<bool>& InStream) {
    if (Q.FUpdateSQL) {
      const std::string& Text = Row.State == TRowState::Inserted   ? Q.FUpdateSQL->InsertSQL
                                : Row.State == TRowState::Modified ? Q.FUpdateSQL->ModifySQL
                                                                   : Q.FUpdateSQL->DeleteSQL;
      if (!IsBlankText(Text)) {
        const TParsedSQL Parsed = ParseSQL(Text);
        const auto Stmt = detail::RunStatement(*Q.FConnection, Parsed.Text, BindRow(Q, Parsed, Row));
        if (Row.State != TRowState::Inserted && Stmt->RowsAffected() == 0)
          throw EDatabaseError("Record not found or changed by another user");
        return;
      }
    }
    if (!Writer) {
      WriterStore = std::make_unique<detail::TRowWriter>(*Q.FConnection, Q.FFieldDefs, Q.BaseTable());
      Writer = WriterStore.get();
    }
    std::vector<std::size_t> Columns;
    switch (Row.State) {
      case TRowState::Inserted: {
        // NULLs are left out so that the table's defaults apply.
        for (std::size_t I = 0; I < Row.New.size(); ++I)
          if (InStream[I] && Writer->Writable(I) && !Writer->AutoInc(I) && !Row.New[I].IsNull()) Columns.push_back(I);
        std::vector<TValue> Values = Row.New;
        Writer->Insert(Columns, Values, false);
        break;
      }
      case TRowState::Modified:
        for (std::size_t I = 0; I < Row.New.size(); ++I)
          if (InStream[I] && Writer->Writable(I) && !Writer->AutoInc(I) && !(Row.New[I] == Row.Old[I]))
            Columns.push_back(I);
        if (!Columns.empty()) Writer->Update(Columns, Row.New, Row.Old, InStream);
        break;
      case TRowState::Deleted: Writer->Delete(Row.Old, InStream); break;
    }
  }
};

TQuery::TQuery(TConnection& Connection, std::string Name)
    : FConnection(&Connection), FName(std::move(Name)), FImpl(std::make_unique<TImpl>()) {}

TQuery::~TQuery() = default;

void TQuery::SetConnection(TConnection& Connection) {
  Close();
  FConnection = &Connection;
}

void TQuery::SetSQL(std::string Text) {
  Close();
  // The same text again keeps its parsed form, its prepared statement and
  // (put aside until the next run) its field list.
  if (Text != FSQL || FImpl->Parsed.Text.empty()) {
    FSQL = std::move(Text);
    FImpl->Parsed = ParseSQL(FSQL);
    FImpl->BaseTable = detail::BaseTableOf(FSQL);
    FImpl->Stmt.Release();
    TImpl::ForgetColumns(*this);
    FFieldDefs.clear();
    FImpl->FieldIndex.clear();
  } else if (!FFieldDefs.empty()) {
    FImpl->Parked = std::move(FFieldDefs);
    FFieldDefs.clear();
  }
  TParams Old = std::move(FParams);
  FParams = TParams();
  for (const std::string& Name : FImpl->Parsed.ParamNames) {
    if (FParams.FindParam(Name)) continue;
    if (const TParam* P = Old.FindParam(Name)) {
      TParam& N = FParams.Add(Name, P->DataType, P->Size);
      N.Value = P->Value;
    } else {
      FParams.Add(Name);
    }
  }
}

void TQuery::Open() {
  Close();
  const std::vector<TValue> Args = detail::BindArgs(FImpl->Parsed, FParams);
  detail::TStatementLease& Stmt = TImpl::Statement(*this);
  Stmt.Execute(Args);
  const std::vector<TFieldDef>& Columns = Stmt->Columns();
  std::vector<std::vector<TValue>> Rows;
  try {
    std::vector<TValue> Row;
    while (Stmt->Fetch(Row)) Rows.push_back(std::move(Row));
  } catch (...) {
    Stmt->Reset();
    throw;
  }
  // The rows are all in memory: the engine need not keep the result.
  Stmt->Reset();
  const bool Settled = std::none_of(Columns.begin(), Columns.end(),
                                    [](const TFieldDef& F) { return F.Type == TFieldType::Unknown; });
  if (Settled) {
    TImpl::UseColumns(*this, Columns);
  } else {
    // Columns typed by their values: settled anew for every result.
    std::vector<TFieldDef> Typed = Columns;
    for (std::size_t C = 0; C < Typed.size(); ++C) {
      if (Typed[C].Type != TFieldType::Unknown) continue;
      Typed[C].Type = SettleType(Rows, C);
      for (auto& R : Rows) R[C] = R[C].ConvertTo(Typed[C].Type);
    }
    TImpl::ForgetColumns(*this);
    TImpl::SetColumns(*this, std::move(Typed));
  }
  if (!FCalcFields.empty())
    for (auto& R : Rows)
      for (const TCalcField& Calc : FCalcFields) R.push_back(TValue::Null(Calc.Def.Type));
  FRows = std::move(Rows);
  FState = TDataSetState::Browse;
  if (!FCalcFields.empty()) {
    try {
      const std::size_t Own = TImpl::OwnColumns(*this);
      for (std::size_t I = 0; I < FRows.size(); ++I) {
        FCurrent = static_cast<std::int64_t>(I);
        for (std::size_t K = 0; K < FCalcFields.size(); ++K)
          FRows[I][Own + K] = FCalcFields[K].Calc(*this).ConvertTo(FCalcFields[K].Def.Type);
      }
    } catch (...) {
      Close();
      throw;
    }
  }
  First();
}

void TQuery::Close() noexcept {
  FRows.clear();
  FCurrent = -1;
  FState = TDataSetState::Inactive;
  FEditOriginal.clear();
  FAssigned.clear();
  FImpl->Eof = FImpl->Bof = true;
}

std::int64_t TQuery::ExecSQL() {
  const std::vector<TValue> Args = detail::BindArgs(FImpl->Parsed, FParams);
  detail::TStatementLease& Stmt = TImpl::Statement(*this);
  Stmt.Execute(Args);
  const std::int64_t Affected = Stmt->RowsAffected();
  Stmt->Reset();
  return Affected;
}

void TQuery::Prepare() {
  if (Active()) return;
  TImpl::UseColumns(*this, TImpl::Statement(*this)->Columns());
}

void TQuery::AddCalcField(std::string Name, TFieldType Type, std::uint32_t Size, std::function<TValue(TQuery&)> Calc) {
  TCalcField C;
  C.Def.Name = std::move(Name);
  C.Def.Type = Type;
  C.Def.Size = Size;
  C.Def.ReadOnly = true;
  FCalcFields.push_back(std::move(C));
  FCalcFields.back().Calc = std::move(Calc);
}

TField TQuery::Fields(std::size_t Index) {
  if (Index >= FFieldDefs.size())
    throw EDatabaseError("Field index " + std::to_string(Index) + " out of range in query '" + FName + "'");
  return TField(*this, Index);
}

TField TQuery::FieldByName(std::string_view Name) {
  if (auto F = FindField(Name)) return *F;
  throw EDatabaseError("Field '" + std::string(Name) + "' not found");
}

std::optional<TField> TQuery::FindField(std::string_view Name) {
  if (FFieldDefs.empty()) return std::nullopt;
  const auto It = FImpl->FieldIndex.find(Name);
  if (It == FImpl->FieldIndex.end()) return std::nullopt;
  return TField(*this, It->second);
}

std::string TQuery::BaseTable() const { return FImpl->BaseTable; }

// ---------------------------------------------------------------------------
// Navigation

bool TQuery::Eof() const noexcept { return FImpl->Eof; }
bool TQuery::Bof() const noexcept { return FImpl->Bof; }

void TQuery::First() {
  TImpl::CheckBrowse(*this);
  FCurrent = FRows.empty() ? -1 : 0;
  FImpl->Bof = true;
  FImpl->Eof = FRows.empty();
}

void TQuery::Next() {
  TImpl::CheckBrowse(*this);
  if (FCurrent + 1 < RecordCount()) {
    ++FCurrent;
    FImpl->Bof = false;
  } else {
    FImpl->Eof = true;
  }
}

void TQuery::Prior() {
  TImpl::CheckBrowse(*this);
  if (FCurrent > 0) {
    --FCurrent;
    FImpl->Eof = false;
  } else {
    FImpl->Bof = true;
  }
}

void TQuery::Last() {
  TImpl::CheckBrowse(*this);
  FCurrent = RecordCount() - 1;
  FImpl->Eof = true;
  FImpl->Bof = FRows.empty();
}

// ---------------------------------------------------------------------------
// Editing

void TQuery::Append() {
  TImpl::RequireActive(*this);
  TImpl::CheckBrowse(*this);
  std::vector<TValue> Row;
  Row.reserve(FFieldDefs.size());
  for (const TFieldDef& F : FFieldDefs) Row.push_back(TValue::Null(F.Type));
  FRows.push_back(Row);
  FCurrent = RecordCount() - 1;
  FImpl->Eof = FImpl->Bof = false;
  FEditOriginal = std::move(Row);
  FAssigned.assign(FFieldDefs.size(), false);
  FState = TDataSetState::Insert;
  if (OnNewRecord) {
    try {
      OnNewRecord(*this);
    } catch (...) {
      Cancel();
      throw;
    }
  }
}

void TQuery::Edit() {
  TImpl::RequireActive(*this);
  if (FState == TDataSetState::Edit || FState == TDataSetState::Insert) return;
  if (FCurrent < 0) throw EDatabaseError("Query '" + FName + "' has no current row to edit");
  FEditOriginal = FRows[static_cast<std::size_t>(FCurrent)];
  FAssigned.assign(FFieldDefs.size(), false);
  FState = TDataSetState::Edit;
}

void TQuery::Post() {
  TImpl::RequireEditing(*this);
  if (OnBeforePost) OnBeforePost(*this);
  std::vector<TValue>& Row = FRows[static_cast<std::size_t>(FCurrent)];
  detail::TRowWriter Writer(*FConnection, FFieldDefs, BaseTable());
  std::vector<std::size_t> Columns;
  if (FState == TDataSetState::Insert) {
    for (std::size_t I = 0; I < Row.size(); ++I)
      if (FAssigned[I] && Writer.Writable(I)) Columns.push_back(I);
    std::vector<TValue> Stored = Row;
    Writer.Insert(Columns, Stored, true);
    Row = std::move(Stored);
  } else {
    for (std::size_t I = 0; I < Row.size(); ++I)
      if (Writer.Writable(I) && !(Row[I] == FEditOriginal[I])) Columns.push_back(I);
    if (!Columns.empty()) Writer.Update(Columns, Row, FEditOriginal, std::vector<bool>(Row.size(), true));
  }
  FState = TDataSetState::Browse;
  FEditOriginal.clear();
  FAssigned.clear();
}

void TQuery::Cancel() {
  if (FState == TDataSetState::Insert) {
    FRows.erase(FRows.begin() + FCurrent);
    FState = TDataSetState::Browse;
    if (FCurrent >= RecordCount()) FCurrent = RecordCount() - 1;
    FImpl->Eof = FRows.empty();
    FImpl->Bof = FRows.empty();
  } else if (FState == TDataSetState::Edit) {
    FRows[static_cast<std::size_t>(FCurrent)] = FEditOriginal;
    FState = TDataSetState::Browse;
  }
  FEditOriginal.clear();
  FAssigned.clear();
}

void TQuery::Delete() {
  TImpl::RequireActive(*this);
  if (FState == TDataSetState::Insert) {
    Cancel();
    return;
  }
  if (FState == TDataSetState::Edit) Cancel();
  if (FCurrent < 0) throw EDatabaseError("Query '" + FName + "' has no row to delete");
  const std::vector<TValue>& Row = FRows[static_cast<std::size_t>(FCurrent)];
  detail::TRowWriter Writer(*FConnection, FFieldDefs, BaseTable());
  Writer.Delete(Row, std::vector<bool>(Row.size(), true));
  FRows.erase(FRows.begin() + FCurrent);
  if (FCurrent >= RecordCount()) FCurrent = RecordCount() - 1;
  FImpl->Eof = FRows.empty() || FImpl->Eof;
  FImpl->Bof = FRows.empty() || FImpl->Bof;
}

// ---------------------------------------------------------------------------
// Change sets

std::int64_t TQuery::ApplyChanges(const TStreamTable& Table) { return ApplyChanges(Table, -1); }

std::int64_t TQuery::ApplyChanges(const TStreamTable& Table, std::int64_t MaxErrors) {
  if (FFieldDefs.empty()) Prepare();
  const std::size_t Count = FFieldDefs.size();
  // Stream column -> field; calculated fields take no values from a change set.
  const std::size_t Own = TImpl::OwnColumns(*this);
  std::vector<std::size_t> FieldOf(Table.Columns.size(), Count);
  std::vector<bool> InStream(Count, false);
  for (std::size_t C = 0; C < Table.Columns.size(); ++C) {
    for (std::size_t I = 0; I < Count; ++I)
      if (SameName(FFieldDefs[I].Name, Table.Columns[C].Name)) {
        FieldOf[C] = I;
        break;
      }
    if (FieldOf[C] == Count)
      throw EDatabaseError("Unknown column '" + Table.Columns[C].Name + "' in table '" + Table.Name + "'");
    if (FieldOf[C] < Own) InStream[FieldOf[C]] = true;
  }

  std::unique_ptr<detail::TRowWriter> WriterStore;
  detail::TRowWriter* Writer = nullptr;
  std::int64_t Failed = 0;
  // One transaction for the whole table, one savepoint per row: a failed row
  // is undone alone and the others are committed together at the end.
  detail::TChangeBatch Batch(*FConnection);
  for (std::size_t R = 0; R < Table.Changes.size(); ++R) {
    const TStreamChange& Ch = Table.Changes[R];
    TChangeRow Row;
    Row.RowID = static_cast<std::int64_t>(R);
    Row.State = Ch.State;
    Row.Old.reserve(Count);
    for (const TFieldDef& F : FFieldDefs) Row.Old.push_back(TValue::Null(F.Type));
    Row.New = Row.Old;
    // Runs the row-error hook; true when the batch must stop.
    const auto RowFailed = [&](const std::exception& E) {
      ++Failed;
      if (OnUpdateError) OnUpdateError(*this, E, Row);
      return MaxErrors >= 0 && Failed > MaxErrors;
    };
    try {
      // Values are taken as they come; a value that does not fit its field fails the row.
      const auto Fill = [&](std::vector<TValue>& To, const std::vector<TValue>& From) {
        if (From.size() != Table.Columns.size())
          throw EDatabaseError("Row " + std::to_string(R) + " of table '" + Table.Name + "' has " +
                               std::to_string(From.size()) + " values for " + std::to_string(Table.Columns.size()) +
                               " columns");
        for (std::size_t C = 0; C < From.size(); ++C) To[FieldOf[C]] = From[C];
        for (std::size_t C = 0; C < From.size(); ++C)
          To[FieldOf[C]] = From[C].ConvertTo(FFieldDefs[FieldOf[C]].Type);
      };
      switch (Ch.State) {
        case TRowState::Inserted: Fill(Row.New, Ch.New); break;
        case TRowState::Modified:
          Fill(Row.Old, Ch.Old);
          Fill(Row.New, Ch.New);
          break;
        case TRowState::Deleted:
          Fill(Row.Old, Ch.Old);
          Row.New = Row.Old;
          break;
      }
    } catch (const std::exception& E) {
      if (RowFailed(E)) break;
      continue;
    }
    Batch.Savepoint();
    try {
      TImpl::ApplyOne(*this, Writer, WriterStore, Row, InStream);
    } catch (const std::exception& E) {
      Batch.RollbackRow();
      if (RowFailed(E)) break;
      continue;
    }
    Batch.Release();
  }
  Batch.Commit();
  return Failed;
}

// ---------------------------------------------------------------------------
// Fields

const TFieldDef& TField::Def() const {
  if (FIndex >= FQuery->FFieldDefs.size())
    throw EDatabaseError("Field index " + std::to_string(FIndex) + " out of range in query '" + FQuery->FName + "'");
  return FQuery->FFieldDefs[FIndex];
}

const TValue& TField::Value() const {
  const TQuery& Q = *FQuery;
  if (Q.FCurrent < 0 || static_cast<std::size_t>(Q.FCurrent) >= Q.FRows.size()) return NullValue();
  const auto& Row = Q.FRows[static_cast<std::size_t>(Q.FCurrent)];
  return FIndex < Row.size() ? Row[FIndex] : NullValue();
}

void TField::SetValue(const TValue& V) {
  TQuery& Q = *FQuery;
  TQuery::TImpl::RequireEditing(Q);
  TValue Typed = V.ConvertTo(Def().Type);
  Q.FRows[static_cast<std::size_t>(Q.FCurrent)][FIndex] = std::move(Typed);
  Q.FAssigned[FIndex] = true;
}

void TField::SetAsString(std::string V) {
  const TFieldType T = Def().Type;
  // An empty text clears a field that is not a text.
  if (V.empty() && T != TFieldType::Text && T != TFieldType::Blob)
    SetValue(TValue::Null(T));
  else
    SetValue(TValue::Text(std::move(V)));
}
void TField::SetAsLargeInt(std::int64_t V) { SetValue(TValue::Int64(V)); }
void TField::SetAsFloat(double V) { SetValue(TValue::Float(V)); }
void TField::SetAsBoolean(bool V) { SetValue(TValue::Boolean(V)); }
void TField::SetAsDateTime(double V) { SetValue(TValue::DateTime(V)); }
void TField::SetBlob(std::string Bytes) { SetValue(TValue::Blob(std::move(Bytes))); }
void TField::Clear() { SetValue(TValue::Null(Def().Type)); }

}  // namespace ordex::db
