// File versions: opening and closing a change of a file, the version list, and
// the row hooks that stamp creation and update columns on rows the server
// itself writes. Sizes are stored in KiB with three decimals (half to even).
#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/OrdexInternal.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

namespace {

// Sets the date column and the user column of the current row when the row has them.
void StampColumns(db::TQuery& DataSet, const char* DateColumn, const char* UserColumn, TDateTime Now,
                  const std::string& Login) {
  if (auto Date = DataSet.FindField(DateColumn)) Date->SetAsDateTime(Now);
  if (auto User = DataSet.FindField(UserColumn)) User->SetAsString(Login);
}

}  // namespace

void TOrdexServerClass::NewRecord(db::TQuery& DataSet) {
  StampColumns(DataSet, "datecreate", "usercreate", GetNow(), Sess.Login);
}

void TOrdexServerClass::UpdateBefore(db::TQuery& DataSet) {
  StampColumns(DataSet, "dateupdate", "userupdate", GetNow(), Sess.Login);
}

void TOrdexServerClass::OpenHistory(const std::string& FileID) {
  iqHistory.Close();
  iqHistory.ParamByName("fileid").SetText(FileID);
  iqHistory.Open();
}

void TOrdexServerClass::OpenFileRow(const std::string& FileID) {
  iqFileRow.Close();
  iqFileRow.ParamByName("fileid").SetText(FileID);
  iqFileRow.Open();
}

std::string TOrdexServerClass::NewChange(const std::string& FileHistInfo) {
  const TOrdexHistoryInfo Info = DecodeOrdexHistoryInfo(FileHistInfo);
  iqAddHistory.Close();
  iqAddHistory.ParamByName("histid").SetText(Info.histid);
  iqAddHistory.Open();
  if (!iqAddHistory.IsEmpty())
    throw Exception("NewChange. Ошибка добавления\rТакой ID уже есть: " + Info.histid);
  const detail::TEditScope Editing(iqAddHistory);
  iqAddHistory.Append();  // the new-row hook stamps the creation columns
  iqAddHistory.FieldByName("histid").SetAsString(Info.histid);
  iqAddHistory.FieldByName("fileid").SetAsString(Info.fileid);
  iqAddHistory.FieldByName("md5_file").SetAsString(Info.md5_file);
  iqAddHistory.FieldByName("size_file").SetAsFloat(BytesToKB(Info.size_file));
  iqAddHistory.Post();
  return {};
}

std::string TOrdexServerClass::EndChange(const std::string& FileHistInfo) {
  const TOrdexHistoryInfo Info = DecodeOrdexHistoryInfo(FileHistInfo);
  OpenFileRow(Info.fileid);
  // Editing an empty result would start a new, unrelated file row; refuse instead.
  if (iqFileRow.IsEmpty()) throw EArgumentError("EndChange. Файл не найден: fileid=\"" + Info.fileid + "\"");
  {
    const detail::TEditScope Editing(iqFileRow);
    if (iqFileRow.State() != db::TDataSetState::Edit && iqFileRow.State() != db::TDataSetState::Insert)
      iqFileRow.Edit();
    iqFileRow.FieldByName("size_file").SetAsFloat(BytesToKB(Info.size_file));
    iqFileRow.FieldByName("md5_file").SetAsString(Info.md5_file);
    iqFileRow.FieldByName("working_user").SetAsString("");
    iqFileRow.FieldByName("date_working").Clear();
    iqFileRow.Post();  // the write hook stamps the update columns and recounts count_history
  }
  CreatePreview(Info.fileid);
  return {};
}

TStreamBytes TOrdexServerClass::GetHistory(const std::string& fileid) {
  OpenHistory(fileid);
  return SaveAdapter(saHistory);
}

void TOrdexServerClass::FizDelFile(const std::string& FileID) {
  if (!IsAdmin()) throw Exception("Данную операцию имеет право делать только администратор! ");
  // Reads the versions newest first and then the file row; nothing is removed yet.
  OpenHistory(FileID);
  for (iqHistory.First(); !iqHistory.Eof(); iqHistory.Next()) {
  }
  OpenFileRow(FileID);
}

}  // namespace ordex
