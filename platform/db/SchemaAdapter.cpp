// Exchange groups: the open datasets of a group written as one data stream,
// and change sets checked against the group's statements and applied.
#include "platform/db/Db.h"

#include <optional>

#include "platform/db/DbInternal.h"

namespace ordex::db {

namespace {

std::uint8_t ColumnFlags(const TFieldDef& F) noexcept {
  std::uint8_t Flags = 0;
  if (F.Nullable) Flags |= cfNullable;
  if (F.InKey && !F.ReadOnly) Flags |= cfKey;  // the key of the base table only
  if (F.ReadOnly) Flags |= cfReadOnly;
  if (F.AutoInc) Flags |= cfAutoInc;
  return Flags;
}

}  // namespace

std::string TSchemaAdapter::SaveToStream() const {
  // The rows are written straight from the queries.
  std::vector<TStreamTableRef> Tables;
  for (const TQuery* Q : FQueries) {
    if (!Q->Active()) continue;
    TStreamTableRef& T = Tables.emplace_back();
    T.Name = Q->Name();
    T.Columns.reserve(Q->FieldDefs().size());
    for (const TFieldDef& F : Q->FieldDefs()) {
      TStreamColumn& C = T.Columns.emplace_back();
      C.Name = F.Name;
      C.Type = F.Type;
      C.Flags = ColumnFlags(F);
      C.Size = F.Type == TFieldType::Text ? F.Size : 0;
      C.OriginTable = F.OriginTable;
      C.OriginColumn = F.OriginColumn;
    }
    T.Rows = &Q->Rows();
  }
  return WriteDataStream(Tables);
}

void TSchemaAdapter::LoadFromStream(std::string_view Bytes) {
  FPending = TDataStream();
  TDataStream S = ReadDataStream(Bytes);
  if (S.Kind != TStreamKind::ChangeSet) throw EStreamError("The stream is not a change set");
  for (std::size_t TI = 0; TI < S.Tables.size(); ++TI) {
    TStreamTable& T = S.Tables[TI];
    for (std::size_t J = 0; J < TI; ++J)
      if (S.Tables[J].Name == T.Name) throw EStreamError("Table '" + T.Name + "' occurs twice in the change set");
    TQuery* Q = nullptr;
    for (TQuery* Candidate : FQueries)
      if (Candidate->Name() == T.Name) Q = Candidate;
    if (!Q) throw EStreamError("Table '" + T.Name + "' is not a dataset of '" + FName + "'");
    Q->Prepare();
    const auto& Fields = Q->FieldDefs();

    std::vector<std::size_t> FieldOf(T.Columns.size());
    for (std::size_t C = 0; C < T.Columns.size(); ++C) {
      TStreamColumn& Col = T.Columns[C];
      std::size_t I = 0;
      while (I < Fields.size() && !SameName(Fields[I].Name, Col.Name)) ++I;
      if (I == Fields.size())
        throw EStreamError("Unknown column '" + Col.Name + "' in table '" + T.Name + "'");
      for (std::size_t D = 0; D < C; ++D)
        if (FieldOf[D] == I) throw EStreamError("Column '" + Col.Name + "' occurs twice in table '" + T.Name + "'");
      FieldOf[C] = I;
    }
    // Values are converted to their fields' types; one that does not convert
    // refuses the whole change set.
    const auto Convert = [&](std::vector<TValue>& Values, std::size_t Row) {
      for (std::size_t C = 0; C < Values.size(); ++C) {
        const TFieldType Target = Fields[FieldOf[C]].Type;
        try {
          Values[C] = Values[C].ConvertTo(Target);
        } catch (const EConvertError& E) {
          throw EStreamError("Table '" + T.Name + "', row " + std::to_string(Row) + ", column '" + T.Columns[C].Name +
                             "': " + E.what());
        }
      }
    };
    for (std::size_t R = 0; R < T.Changes.size(); ++R) {
      Convert(T.Changes[R].Old, R);
      Convert(T.Changes[R].New, R);
    }
    for (std::size_t C = 0; C < T.Columns.size(); ++C)
      if (Fields[FieldOf[C]].Type != TFieldType::Unknown) T.Columns[C].Type = Fields[FieldOf[C]].Type;
  }
  FPending = std::move(S);
}

std::int64_t TSchemaAdapter::ApplyUpdates(std::int64_t MaxErrors) {
  TDataStream Pending = std::move(FPending);
  FPending = TDataStream();
  std::int64_t Failed = 0;
  // The tables of one change set are committed together.
  std::optional<detail::TChangeBatch> Batch;
  for (const TStreamTable& T : Pending.Tables) {
    if (MaxErrors >= 0 && Failed > MaxErrors) break;
    TQuery* Q = nullptr;
    for (TQuery* Candidate : FQueries)
      if (Candidate->Name() == T.Name) Q = Candidate;
    if (!Q) throw EDatabaseError("Table '" + T.Name + "' is not a dataset of '" + FName + "'");
    if (!Batch) Batch.emplace(Q->Connection());
    Failed += Q->ApplyChanges(T, MaxErrors < 0 ? -1 : MaxErrors - Failed);
  }
  if (Batch) Batch->Commit();
  return Failed;
}

}  // namespace ordex::db
