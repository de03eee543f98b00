#include "platform/db/RowWriter.h"

#include "platform/db/DbInternal.h"

namespace ordex::db::detail {

namespace {
constexpr const char* kNotFound = "Record not found or changed by another user";
}

namespace {

// The engine's own spelling of the table, when a column reports it.
std::string EngineTableName(const std::vector<TFieldDef>& Fields, const std::string& BaseTable) {
  if (BaseTable.empty()) throw EDatabaseError("The statement names no table to write to");
  for (const TFieldDef& F : Fields)
    if (SameName(F.OriginTable, BaseTable)) return F.OriginTable;
  return BaseTable;
}

}  // namespace

TRowWriter::TRowWriter(TConnection& Conn, const std::vector<TFieldDef>& Fields, const std::string& BaseTable)
    : FConnection(Conn),
      FConn(Conn.Engine()),
      FFields(Fields),
      FCatalogStore(Conn.Cache().TableColumns(EngineTableName(Fields, BaseTable))),
      FCatalog(*FCatalogStore),
      FCatalogIndex(Fields.size(), -1) {
  if (FCatalog.empty()) throw EDatabaseError("Table '" + BaseTable + "' not found");
  FTable = FConn.QuoteIdentifier(EngineTableName(Fields, BaseTable));
  for (std::size_t I = 0; I < Fields.size(); ++I) {
    const TFieldDef& F = Fields[I];
    if (F.ReadOnly || F.OriginColumn.empty()) continue;
    for (std::size_t K = 0; K < FCatalog.size(); ++K)
      if (SameName(FCatalog[K].Name, F.OriginColumn)) {
        // A column shown twice is written through its first field only.
        bool Taken = false;
        for (std::size_t J = 0; J < I; ++J) Taken = Taken || FCatalogIndex[J] == static_cast<int>(K);
        if (!Taken) FCatalogIndex[I] = static_cast<int>(K);
        break;
      }
  }
  for (std::size_t K = 0; K < FCatalog.size(); ++K) {
    if (!FCatalog[K].InKey) continue;
    ++FKeyColumns;
    for (std::size_t I = 0; I < Fields.size(); ++I)
      if (FCatalogIndex[I] == static_cast<int>(K)) FKeyFields.push_back(I);
  }
}

bool TRowWriter::AutoInc(std::size_t I) const noexcept {
  return FCatalogIndex[I] >= 0 && FCatalog[static_cast<std::size_t>(FCatalogIndex[I])].AutoInc;
}

bool TRowWriter::HasWholeKey() const noexcept { return FKeyColumns > 0 && FKeyFields.size() == FKeyColumns; }

std::string TRowWriter::Where(const std::vector<TValue>& Old, const std::vector<bool>& Known,
                              std::vector<TValue>& Args) const {
  std::string W;
  const auto Add = [&](std::size_t I, const char* Op) {
    W += W.empty() ? " WHERE " : " AND ";
    W += FConn.QuoteIdentifier(FCatalog[static_cast<std::size_t>(FCatalogIndex[I])].Name);
    W += ' ';
    W += Op;
    W += " ?";
    Args.push_back(Old[I]);
  };
  if (HasWholeKey()) {
    for (const std::size_t I : FKeyFields) {
      if (!Known[I]) throw EDatabaseError("The key column '" + FFields[I].Name + "' has no value");
      Add(I, "=");
    }
  } else {
    for (std::size_t I = 0; I < FFields.size(); ++I)
      if (Writable(I) && Known[I]) Add(I, FConn.NullSafeEqual());
    if (W.empty()) throw EDatabaseError("The row cannot be located: no column of its table has a value");
  }
  return W;
}

TStatementLease TRowWriter::Run(const std::string& EngineSQL, const std::vector<TValue>& Args) {
  return RunStatement(FConnection, EngineSQL, Args);
}

void TRowWriter::Insert(const std::vector<std::size_t>& Columns, std::vector<TValue>& Row, bool ReRead) {
  std::string Names, Marks;
  std::vector<TValue> Args;
  for (const std::size_t I : Columns) {
    if (!Writable(I)) continue;
    if (!Names.empty()) Names += ", ", Marks += ", ";
    Names += FConn.QuoteIdentifier(FCatalog[static_cast<std::size_t>(FCatalogIndex[I])].Name);
    Marks += '?';
    Args.push_back(Row[I]);
  }
  std::string SQL = "INSERT INTO " + FTable;
  if (Names.empty())
    SQL += std::string(FConn.Dialect()) == "MySQL" ? " () VALUES ()" : " DEFAULT VALUES";
  else
    SQL += " (" + Names + ") VALUES (" + Marks + ")";
  const TStatementLease Stmt = Run(SQL, Args);
  if (!ReRead) return;

  // Locate the new row: by its key values, or by the value the database gave
  // its single auto-increment key.
  std::vector<TValue> KeyArgs;
  std::string W;
  if (HasWholeKey()) {
    bool AllSet = true;
    for (const std::size_t I : FKeyFields) AllSet = AllSet && !Row[I].IsNull();
    if (AllSet) {
      const std::vector<bool> Known(FFields.size(), true);
      W = Where(Row, Known, KeyArgs);
    } else if (FKeyFields.size() == 1 && AutoInc(FKeyFields[0])) {
      W = " WHERE " + FConn.QuoteIdentifier(FCatalog[static_cast<std::size_t>(FCatalogIndex[FKeyFields[0]])].Name) +
          " = ?";
      KeyArgs.push_back(TValue::Int64(Stmt->LastInsertId()));
    }
  }
  if (W.empty()) return;
  std::string List;
  std::vector<std::size_t> Read;
  for (std::size_t I = 0; I < FFields.size(); ++I) {
    if (!Writable(I)) continue;
    if (!List.empty()) List += ", ";
    List += FConn.QuoteIdentifier(FCatalog[static_cast<std::size_t>(FCatalogIndex[I])].Name);
    Read.push_back(I);
  }
  const TStatementLease Select = Run("SELECT " + List + " FROM " + FTable + W, KeyArgs);
  std::vector<TValue> Values;
  if (!Select->Fetch(Values) || Values.size() != Read.size()) return;
  for (std::size_t K = 0; K < Read.size(); ++K) Row[Read[K]] = Values[K].ConvertTo(FFields[Read[K]].Type);
}

void TRowWriter::Update(const std::vector<std::size_t>& Columns, const std::vector<TValue>& New,
                        const std::vector<TValue>& Old, const std::vector<bool>& Known) {
  std::string Set;
  std::vector<TValue> Args;
  for (const std::size_t I : Columns) {
    if (!Writable(I)) continue;
    Set += Set.empty() ? " SET " : ", ";
    Set += FConn.QuoteIdentifier(FCatalog[static_cast<std::size_t>(FCatalogIndex[I])].Name) + " = ?";
    Args.push_back(New[I]);
  }
  if (Set.empty()) return;
  const std::string W = Where(Old, Known, Args);
  if (Run("UPDATE " + FTable + Set + W, Args)->RowsAffected() == 0) throw EDatabaseError(kNotFound);
}

void TRowWriter::Delete(const std::vector<TValue>& Old, const std::vector<bool>& Known) {
  std::vector<TValue> Args;
  const std::string W = Where(Old, Known, Args);
  if (Run("DELETE FROM " + FTable + W, Args)->RowsAffected() == 0) throw EDatabaseError(kNotFound);
}

}  // namespace ordex::db::detail
