// Change sets posted back by clients, the row-error report, the session
// greeting and the small service methods.
#include <nlohmann/json.hpp>

#include <string>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

void ApplyAdapterStream(db::TSchemaAdapter& Adapter, std::string_view AStream,
                        const std::function<std::string()>& Report) {
  // The change set already lies in memory as one block for this call, so it is
  // loaded from there directly; LoadFromStream keeps nothing of a broken stream.
  Adapter.LoadFromStream(AStream);
  const std::int64_t Failed = Adapter.ApplyUpdates(-1);
  if (Failed > 0) throw EDatabaseError("Ошибка применения изменений\r" + Report());
}

void TOrdexServerClass::MyStreamPost(db::TSchemaAdapter& Adapter, std::string_view AStream) {
  try {
    ApplyAdapterStream(Adapter, AStream, [this] { return ErrorsToJSON(); });
  } catch (...) {
    // A post that ended otherwise than with its report (a lost connection, a
    // failed commit) leaves no row errors behind for the next post's report.
    FErrorsList.clear();
    throw;
  }
}

void TOrdexServerClass::StreamPost(std::string_view AStream) { MyStreamPost(saTree, AStream); }
void TOrdexServerClass::StreamTreeEdit(std::string_view AStream) { MyStreamPost(saTreeEdit, AStream); }
void TOrdexServerClass::StreamPostFiles(std::string_view AStream) { MyStreamPost(saFiles, AStream); }
void TOrdexServerClass::StreamPostFileList(std::string_view AStream) { MyStreamPost(saFileList, AStream); }
void TOrdexServerClass::StreamPostHistory(std::string_view AStream) { MyStreamPost(saHistory, AStream); }
void TOrdexServerClass::StreamTabuFiles(std::string_view AStream) { MyStreamPost(saTabuFiles, AStream); }
void TOrdexServerClass::StreamPostTreeright(std::string_view AStream) { MyStreamPost(saTreeright, AStream); }
void TOrdexServerClass::StreamPostRole(std::string_view AStream) { MyStreamPost(saRoles, AStream); }
void TOrdexServerClass::StreamPostUsers(std::string_view AStream) { MyStreamPost(saUsers, AStream); }

void TOrdexServerClass::iqFilesUpdateError(db::TQuery& DataSet, const std::exception& E, const db::TChangeRow& Row) {
  nlohmann::ordered_json Error;
  Error["ErrorMessage"] = E.what();
  Error["DataSource"] = DataSet.Name();
  nlohmann::ordered_json Changes = nlohmann::ordered_json::array();
  // A deleted row carries only its old values: they are also its values in the change set.
  const std::vector<db::TValue>& NewValues = Row.New.empty() ? Row.Old : Row.New;
  const auto& Defs = DataSet.FieldDefs();
  for (std::size_t I = 0; I < Defs.size(); ++I) {
    const std::string NewText = I < NewValues.size() ? NewValues[I].AsString() : std::string();
    const std::string OldText = I < Row.Old.size() ? Row.Old[I].AsString() : std::string();
    if (NewText == OldText) continue;
    nlohmann::ordered_json Change;
    Change["RowID"] = std::to_string(Row.RowID);
    Change["FieldName"] = Defs[I].Name;
    Change["OldValue"] = OldText;
    Change["NewValue"] = NewText;
    Changes.push_back(std::move(Change));
  }
  Error["Changes"] = std::move(Changes);
  // Binary columns (blob_pic) are not UTF-8: such bytes are replaced, never a failure here.
  FErrorsList.push_back(Error.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

std::string TOrdexServerClass::ErrorsToJSON() {
  // The list holds compact JSON objects; the report lists them newest first.
  std::string Out = "{\"Errors\":[";
  for (auto It = FErrorsList.rbegin(); It != FErrorsList.rend(); ++It) {
    if (It != FErrorsList.rbegin()) Out += ',';
    Out += *It;
  }
  Out += "]}";
  FErrorsList.clear();
  return Out;
}

bool TOrdexServerClass::Hello(std::string& ConnectInfo) {
  Sess = DecodeQxSessionInfo(ConnectInfo);
  const bool Accepted = dmQxSrvConnects->Auth(Sess.Login, Sess.PasswdMd5, Sess);
  if (!Accepted) {
    // A refused greeting keeps the login it was sent but never the identity it
    // claimed: rights and the administrator test read these fields.
    Sess.UserID.clear();
    Sess.RoleID.clear();
    Sess.RoleName.clear();
  }
  ConnectInfo = GetQxSessionInfo(Sess);
  return Accepted;
}

std::string TOrdexServerClass::getVersion() const { return qxroot().Ver.Version(); }

TDateTime TOrdexServerClass::GetNow() const { return qxroot().GetNow(); }

std::string TOrdexServerClass::GetSQL(const std::string& ObjName) {
  const std::string Wanted = Trim(ObjName);
  for (db::TQuery* Q : Statements()) {
    if (Trim(Q->Name()) != Wanted) continue;
    std::string Out = Q->SQL() + "\r\r=== Значение входных параметров: ===\r\r";
    for (const db::TParam& P : Q->Params()) Out += P.Name + "=" + P.AsString() + "\r";
    if (const auto& Upd = Q->UpdateSQL()) {
      Out += "\r\r=== SQL Update: ===\r\r";
      const std::pair<const char*, const std::string*> Items[] = {
          {"Insert: ", &Upd->InsertSQL},     {"Update: ", &Upd->ModifySQL}, {"Delete: ", &Upd->DeleteSQL},
          {"FetchRow: ", &Upd->FetchRowSQL}, {"LockSQL: ", &Upd->LockSQL},  {"UnLockSQL: ", &Upd->UnlockSQL}};
      for (const auto& [Label, Text] : Items) {
        const std::string T = Trim(*Text);
        if (!T.empty()) Out += std::string("\r") + Label + "\r" + T + "\r\r";
      }
    }
    return Out;
  }
  return {};
}

std::string TOrdexServerClass::GetCountConnectins() { return {}; }

std::string TOrdexServerClass::TestJSonObject(const std::string& /*ParamInp*/) { return {}; }

std::optional<TStreamBytes> TOrdexServerClass::TestStreamObject(const std::string& /*ParamInp*/) {
  return std::nullopt;
}

}  // namespace ordex
