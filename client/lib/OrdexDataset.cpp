#include "client/lib/OrdexDataset.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/qxError.h"

namespace ordex::client {

using db::TFieldType;
using db::TStreamTable;
using db::TValue;

namespace {

// Values of a loaded row, typed as their columns.
std::vector<TValue> TypedRow(const std::vector<TValue>& Values, const TStreamTable& Table, std::size_t RowNo) {
  if (Values.size() != Table.Columns.size())
    throw EStreamError("Dataset '" + Table.Name + "', row " + std::to_string(RowNo) + " has " +
                       std::to_string(Values.size()) + " values for " + std::to_string(Table.Columns.size()) +
                       " columns");
  std::vector<TValue> Out;
  Out.reserve(Values.size());
  for (std::size_t I = 0; I < Values.size(); ++I) {
    try {
      Out.push_back(Values[I].ConvertTo(Table.Columns[I].Type));
    } catch (const EConvertError& E) {
      throw EStreamError("Dataset '" + Table.Name + "', row " + std::to_string(RowNo) + ", column '" +
                         Table.Columns[I].Name + "': " + E.what());
    }
  }
  return Out;
}

// A report field as text: strings as they are, other scalars in JSON notation.
std::string ReportText(const nlohmann::json& Object, const char* Key) {
  const auto It = Object.find(Key);
  if (It == Object.end() || It->is_null()) return {};
  if (It->is_string()) return It->get<std::string>();
  if (It->is_primitive()) return It->dump();
  return {};
}

// The JSON object after the report prefix, or a discarded value when Message is no report.
nlohmann::json ReportObject(std::string_view Message) {
  if (!Message.starts_with(kApplyErrorPrefix)) return nlohmann::json(nlohmann::json::value_t::discarded);
  const std::string_view Body = Message.substr(kApplyErrorPrefix.size());
  nlohmann::json Report = nlohmann::json::parse(Body.begin(), Body.end(), nullptr, /*allow_exceptions=*/false);
  if (Report.is_discarded() || !Report.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
  const auto Errors = Report.find("Errors");
  if (Errors == Report.end() || !Errors->is_array()) return nlohmann::json(nlohmann::json::value_t::discarded);
  return Report;
}

}  // namespace

// ---------------------------------------------------------------------------
// TRemoteDataset

TRemoteDataset::TRemoteDataset(TStreamTable Table) {
  if (!Table.Changes.empty()) throw EStreamError("Dataset '" + Table.Name + "' is a change set, not data");
  FRows.reserve(Table.Rows.size());
  for (std::size_t I = 0; I < Table.Rows.size(); ++I) {
    TRow& Row = FRows.emplace_back();
    Row.Old = TypedRow(Table.Rows[I], Table, I);
    Row.Cur = Row.Old;
    Row.LoadedPos = I;
  }
  FName = std::move(Table.Name);
  FColumns = std::move(Table.Columns);
  FNulls.reserve(FColumns.size());
  for (const db::TStreamColumn& C : FColumns) FNulls.push_back(TValue::Null(C.Type));
}

TRemoteDataset TRemoteDataset::FromStream(std::string_view Bytes, std::string_view TableName) {
  db::TDataStream Stream = db::ReadDataStream(Bytes);
  if (Stream.Kind != db::TStreamKind::Data) throw EStreamError("The stream holds a change set, not data");
  for (TStreamTable& T : Stream.Tables)
    if (T.Name == TableName) return TRemoteDataset(std::move(T));
  throw EStreamError("The stream holds no dataset '" + std::string(TableName) + "'");
}

int TRemoteDataset::FindField(std::string_view Field) const noexcept {
  for (std::size_t I = 0; I < FColumns.size(); ++I)
    if (db::SameName(FColumns[I].Name, Field)) return static_cast<int>(I);
  return -1;
}

std::size_t TRemoteDataset::FieldNo(std::string_view Field) const {
  const int I = FindField(Field);
  if (I < 0) throw EArgumentError("Dataset '" + FName + "' has no field '" + std::string(Field) + "'");
  return static_cast<std::size_t>(I);
}

void TRemoteDataset::First() noexcept { FCur = 0; }
void TRemoteDataset::Next() noexcept {
  if (FCur < FRows.size()) ++FCur;
}
void TRemoteDataset::Prior() noexcept {
  if (FCur > 0) --FCur;
}
void TRemoteDataset::Last() noexcept { FCur = FRows.empty() ? 0 : FRows.size() - 1; }

void TRemoteDataset::MoveTo(std::size_t Row) {
  if (Row >= FRows.size())
    throw EArgumentError("Dataset '" + FName + "' has no row " + std::to_string(Row) + " (" +
                         std::to_string(FRows.size()) + " rows)");
  FCur = Row;
}

bool TRemoteDataset::Locate(std::string_view Field, const TValue& Value) {
  const std::size_t F = FieldNo(Field);
  TValue Wanted;
  try {
    Wanted = Value.ConvertTo(FColumns[F].Type);
  } catch (const EConvertError&) {
    return false;  // a value the column cannot hold matches no row
  }
  for (std::size_t I = 0; I < FRows.size(); ++I)
    if (FRows[I].Cur[F] == Wanted) {
      FCur = I;
      return true;
    }
  return false;
}

TRemoteDataset::TRow& TRemoteDataset::CurrentRow() {
  if (FCur >= FRows.size()) throw EArgumentError("Dataset '" + FName + "' has no current row");
  return FRows[FCur];
}
const TRemoteDataset::TRow& TRemoteDataset::CurrentRow() const {
  if (FCur >= FRows.size()) throw EArgumentError("Dataset '" + FName + "' has no current row");
  return FRows[FCur];
}

const TValue& TRemoteDataset::Value(std::string_view Field) const {
  const std::size_t F = FieldNo(Field);
  return CurrentRow().Cur[F];
}

const TValue& TRemoteDataset::OldValue(std::string_view Field) const {
  const std::size_t F = FieldNo(Field);
  const TRow& Row = CurrentRow();
  return Row.Origin == TOrigin::Appended ? FNulls[F] : Row.Old[F];
}

void TRemoteDataset::SetField(std::string_view Field, const TValue& V) {
  const std::size_t F = FieldNo(Field);
  TRow& Row = CurrentRow();
  TValue Converted = V.ConvertTo(FColumns[F].Type);  // throws before anything changes
  Row.Cur[F] = std::move(Converted);
  if (Row.Seq == 0) Row.Seq = FNextSeq++;
}

void TRemoteDataset::Append() {
  TRow Row;
  Row.Origin = TOrigin::Appended;
  Row.Cur = FNulls;
  Row.Seq = FNextSeq++;
  FRows.push_back(std::move(Row));
  FCur = FRows.size() - 1;
}

void TRemoteDataset::Delete() {
  TRow& Row = CurrentRow();
  if (Row.Origin == TOrigin::Loaded) {
    if (Row.Seq == 0) Row.Seq = FNextSeq++;
    FDeleted.push_back(std::move(Row));
  }
  FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(FCur));
  // The cursor now names the row that followed; past the end it goes to the new last row.
  if (FCur >= FRows.size() && !FRows.empty()) FCur = FRows.size() - 1;
}

bool TRemoteDataset::Differs(const TRow& Row) {
  return Row.Origin == TOrigin::Appended || Row.Cur != Row.Old;
}

std::vector<TRemoteDataset::TChangeRef> TRemoteDataset::Changes() const {
  std::vector<TChangeRef> Out;
  for (const TRow& Row : FRows)
    if (Row.Seq != 0 && Differs(Row)) Out.push_back({&Row, false});
  for (const TRow& Row : FDeleted) Out.push_back({&Row, true});
  std::stable_sort(Out.begin(), Out.end(), [](const TChangeRef& A, const TChangeRef& B) { return A.Row->Seq < B.Row->Seq; });
  return Out;
}

bool TRemoteDataset::HasChanges() const { return !Changes().empty(); }

TStreamTable TRemoteDataset::ChangeSet() const {
  TStreamTable T;
  T.Name = FName;
  T.Columns = FColumns;
  for (const TChangeRef& Ref : Changes()) {
    db::TStreamChange& Ch = T.Changes.emplace_back();
    if (Ref.Deleted) {
      Ch.State = db::TRowState::Deleted;
      Ch.Old = Ref.Row->Old;
    } else if (Ref.Row->Origin == TOrigin::Appended) {
      Ch.State = db::TRowState::Inserted;
      Ch.New = Ref.Row->Cur;
    } else {
      Ch.State = db::TRowState::Modified;
      Ch.Old = Ref.Row->Old;
      Ch.New = Ref.Row->Cur;
    }
  }
  return T;
}

std::int64_t TRemoteDataset::RowOfChange(std::size_t ChangeRow) const {
  const std::vector<TChangeRef> List = Changes();
  if (ChangeRow >= List.size() || List[ChangeRow].Deleted) return -1;
  return static_cast<std::int64_t>(List[ChangeRow].Row - FRows.data());
}

void TRemoteDataset::MergeChangeLog() {
  FDeleted.clear();
  for (std::size_t I = 0; I < FRows.size(); ++I) {
    TRow& Row = FRows[I];
    Row.Origin = TOrigin::Loaded;
    Row.Old = Row.Cur;
    Row.Seq = 0;
    Row.LoadedPos = I;
  }
  FNextSeq = 1;
}

void TRemoteDataset::CancelChanges() {
  std::vector<TRow> Loaded;
  Loaded.reserve(FRows.size() + FDeleted.size());
  for (TRow& Row : FRows)
    if (Row.Origin == TOrigin::Loaded) Loaded.push_back(std::move(Row));
  for (TRow& Row : FDeleted) Loaded.push_back(std::move(Row));
  std::sort(Loaded.begin(), Loaded.end(), [](const TRow& A, const TRow& B) { return A.LoadedPos < B.LoadedPos; });
  for (TRow& Row : Loaded) {
    Row.Cur = Row.Old;
    Row.Seq = 0;
  }
  FRows = std::move(Loaded);
  FDeleted.clear();
  FNextSeq = 1;
  if (FCur >= FRows.size()) FCur = FRows.empty() ? 0 : FRows.size() - 1;
}

// ---------------------------------------------------------------------------

std::string BuildChangeSet(const std::vector<const TRemoteDataset*>& DataSets) {
  db::TDataStream Stream;
  Stream.Kind = db::TStreamKind::ChangeSet;
  for (const TRemoteDataset* DS : DataSets) {
    if (DS == nullptr) throw EArgumentError("BuildChangeSet: no dataset given");
    for (const TStreamTable& T : Stream.Tables)
      if (T.Name == DS->Name()) throw EArgumentError("BuildChangeSet: dataset '" + DS->Name() + "' given twice");
    Stream.Tables.push_back(DS->ChangeSet());
  }
  return db::WriteDataStream(Stream);
}

std::vector<TApplyError> ParseApplyErrors(std::string_view Message) {
  const nlohmann::json Report = ReportObject(Message);
  std::vector<TApplyError> Out;
  if (Report.is_discarded()) return Out;
  for (const nlohmann::json& E : Report.at("Errors")) {
    if (!E.is_object()) continue;
    TApplyError& Err = Out.emplace_back();
    Err.ErrorMessage = ReportText(E, "ErrorMessage");
    Err.DataSource = ReportText(E, "DataSource");
    const auto Changes = E.find("Changes");
    if (Changes == E.end() || !Changes->is_array()) continue;
    for (const nlohmann::json& C : *Changes) {
      if (!C.is_object()) continue;
      Err.Changes.push_back(
          {ReportText(C, "RowID"), ReportText(C, "FieldName"), ReportText(C, "OldValue"), ReportText(C, "NewValue")});
    }
  }
  return Out;
}

bool IsApplyErrorReport(std::string_view Message) { return !ReportObject(Message).is_discarded(); }

}  // namespace ordex::client
