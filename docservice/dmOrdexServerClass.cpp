// The server-method class itself: creation and destruction of a session's
// instance, and the named statements with their texts, parameters, exchange
// groups and row hooks.
#include "docservice/dmOrdexServerClass.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "common/qxBase.h"

namespace ordex {

namespace {

using db::TFieldType;
using db::TQuery;

// Joins the lines of a statement the way the statements are stored: CR LF.
std::string Lines(std::initializer_list<std::string_view> Parts) {
  std::string Out;
  bool First = true;
  for (const auto P : Parts) {
    if (!First) Out += "\r\n";
    Out += P;
    First = false;
  }
  return Out;
}

// Sets a statement's text and declares its parameters as texts (with a maximal
// length where one is given).
void SetText(TQuery& Q, std::string Sql, std::initializer_list<std::pair<std::string_view, std::uint32_t>> Params = {}) {
  Q.SetSQL(std::move(Sql));
  for (const auto& [Name, Size] : Params) {
    auto& P = Q.ParamByName(Name);
    P.DataType = TFieldType::Text;
    P.Size = Size;
  }
}

// Assigns a field when the row has it; tables without the column stay untouched.
void SetIfPresent(TQuery& Q, std::string_view Name, const db::TValue& V) {
  if (auto F = Q.FindField(Name)) F->SetValue(V);
}

}  // namespace

TOrdexServerClass::TOrdexServerClass()
    : dmQxSrvConnects(std::make_unique<TdmQxSrvConnects>()),
      iqTree(dmQxSrvConnects->cnQxConn, "iqTree"),
      iqTreeEdit(dmQxSrvConnects->cnQxConn, "iqTreeEdit"),
      iqTreeCount(dmQxSrvConnects->cnQxConn, "iqTreeCount"),
      iqFindTree(dmQxSrvConnects->cnQxConn, "iqFindTree"),
      iqSearchNode(dmQxSrvConnects->cnQxConn, "iqSearchNode"),
      iqGetParentTreeID(dmQxSrvConnects->cnQxConn, "iqGetParentTreeID"),
      iqTreeright(dmQxSrvConnects->cnQxConn, "iqTreeright"),
      iqRoles(dmQxSrvConnects->cnQxConn, "iqRoles"),
      iqUsers(dmQxSrvConnects->cnQxConn, "iqUsers"),
      iqFiles(dmQxSrvConnects->cnQxConn, "iqFiles"),
      iqFileList(dmQxSrvConnects->cnQxConn, "iqFileList"),
      iqKolFiles(dmQxSrvConnects->cnQxConn, "iqKolFiles"),
      iqFileInfo(dmQxSrvConnects->cnQxConn, "iqFileInfo"),
      iqFileTreeID(dmQxSrvConnects->cnQxConn, "iqFileTreeID"),
      iqFileRow(dmQxSrvConnects->cnQxConn, "iqFileRow"),
      iqHistory(dmQxSrvConnects->cnQxConn, "iqHistory"),
      iqGetLastHistory(dmQxSrvConnects->cnQxConn, "iqGetLastHistory"),
      iqAddHistory(dmQxSrvConnects->cnQxConn, "iqAddHistory"),
      iqCntHistory(dmQxSrvConnects->cnQxConn, "iqCntHistory"),
      iqTabuFiles(dmQxSrvConnects->cnQxConn, "iqTabuFiles"),
      iqPreview(dmQxSrvConnects->cnQxConn, "iqPreview"),
      saTree("saTree"),
      saTreeEdit("saTreeEdit"),
      saTreeright("saTreeright"),
      saRoles("saRoles"),
      saUsers("saUsers"),
      saFiles("saFiles"),
      saFileList("saFileList"),
      saHistory("saHistory"),
      saTabuFiles("saTabuFiles") {
  FErrorsList.clear();
  dmQxSrvConnects->ConnectDB();
  SetupStatements();
}

// Members go in reverse order of declaration: the groups and statements, the
// error list, then the connection module with its connection.
TOrdexServerClass::~TOrdexServerClass() = default;

void TOrdexServerClass::SetupStatements() {
  // --- Folder tree
  SetText(iqTree,
          "SELECT v.treeid, v.treename, v.parent_treeid, v.ccount, v.kolrights FROM oxTree v "
          "WHERE ((parent_treeid='')or(parent_treeid='0')) ORDER BY v.treename");
  SetText(iqTreeEdit, "SELECT v.* FROM oxTree v WHERE (treeid=:treeid)", {{"treeid", 0}});
  SetText(iqTreeCount,
          "select count(*) as cnt from oxTree v WHERE (v.parent_treeid=:parent_treeid) "
          "AND((v.del is null)or(v.del=0))",
          {{"parent_treeid", 0}});
  SetText(iqFindTree,
          "SELECT v.treeid, v.treename, v.parent_treeid, v.ccount, v.kolrights FROM oxTree v "
          "WHERE (treeid=:treeid)",
          {{"treeid", 0}});
  SetText(iqSearchNode,
          "SELECT v.treeid as treeid FROM oxTree v WHERE (parent_treeid=:parent_treeid) and(treename=:treename)",
          {{"parent_treeid", 0}, {"treename", 0}});
  SetText(iqGetParentTreeID,
          "SELECT t.treeid, t.parent_treeid, t.treename, t.ccount from oxTree t WHERE t.treeid=:treeid",
          {{"treeid", 75}});

  // --- Rights, roles, users
  SetText(iqTreeright,
          "SELECT *, u.login, CONCAT(u.name,' ',u.middlename,' ',u.lastname) as fio, r.rolename "
          "FROM oxTreeRight tr LEFT JOIN qxusers u ON tr.username=u.login "
          "LEFT JOIN qxroles r ON tr.roleid=r.roleid WHERE (tr.treeid=:treeid)",
          {{"treeid", 75}});
  SetText(iqRoles,
          "select roleid, rolename, commentrole, active, pubrole, order_roles from qxroles "
          "where (1=0) order by order_roles");
  iqRoles.SetUpdateSQL(db::TUpdateSQL{
      .InsertSQL = "INSERT INTO qxordex.qxroles (roleid, commentrole, active, pubrole, rolename, order_roles) "
                   "VALUES (:NEW_roleid, :NEW_commentrole, :NEW_active, :NEW_pubrole, :NEW_rolename, "
                   ":NEW_order_roles)",
      .ModifySQL = "UPDATE qxordex.qxroles SET roleid = :NEW_roleid, commentrole = :NEW_commentrole, "
                   "active = :NEW_active, pubrole = :NEW_pubrole, rolename = :NEW_rolename, "
                   "order_roles = :NEW_order_roles WHERE roleid = :OLD_roleid",
      .DeleteSQL = "DELETE FROM qxordex.qxroles WHERE roleid = :OLD_roleid",
      .FetchRowSQL = "SELECT roleid, commentrole, active, pubrole, rolename, order_roles "
                     "FROM qxordex.qxroles WHERE roleid = :OLD_roleid",
      .LockSQL = {},
      .UnlockSQL = {}});
  SetText(iqUsers, "select * from qxusers where (1=0) ORDER by order_ins desc");

  // --- Files and versions
  SetText(iqFiles, Lines({"SELECT f.*, p.blob_pic ", "FROM oxFiles f", "  LEFT JOIN qxpreview p",
                          "  ON p.idobj=f.fileid", "WHERE (f.treeid=:treeid)", "ORDER BY f.filename"}));
  iqFiles.Params().Clear();
  iqFiles.Params().Add("TREEID", TFieldType::Text).SetText(" ");
  SetText(iqFileList, "SELECT * FROM oxFiles f WHERE (f.treeid=:treeid) ORDER BY f.filename", {{"treeid", 0}});
  SetText(iqKolFiles,
          "SELECT *, (SELECT count(*) from oxHistory h WHERE (h.fileid=f.fileid)) as cnt FROM oxFiles f "
          "WHERE (f.treeid=:treeid) ORDER BY f.filename",
          {{"treeid", 0}});
  SetText(iqFileInfo, Lines({"SELECT *", "FROM oxFiles f", "WHERE (f.fileid=:fileid)"}), {{"fileid", 0}});
  SetText(iqFileTreeID, "SELECT f.treeid FROM oxFiles f WHERE (f.fileid=:fileid)", {{"fileid", 0}});
  SetText(iqFileRow, Lines({"SELECT * ", "FROM oxFiles f", "WHERE (f.fileid=:fileid)"}), {{"fileid", 0}});
  SetText(iqHistory, Lines({"SELECT * ", "FROM oxHistory h", "WHERE h.fileid=:fileid", "ORDER BY ordnum DESC"}),
          {{"fileid", 0}});
  SetText(iqGetLastHistory,
          Lines({"SELECT * ", "FROM oxHistory h", "WHERE (h.fileid=:fileid)", "ORDER BY ordnum DESC", "LIMIT 1"}),
          {{"fileid", 0}});
  SetText(iqAddHistory, Lines({"SELECT * ", "FROM oxHistory h", "WHERE h.histid=:histid"}), {{"histid", 0}});
  SetText(iqCntHistory, "SELECT COUNT(*) as cnt FROM oxHistory  WHERE fileid=:fileid", {{"fileid", 0}});
  SetText(iqTabuFiles, Lines({"SELECT * ", "FROM oxTabuFiles "}));
  SetText(iqPreview, Lines({"SELECT * ", "FROM qxpreview p", "WHERE (p.idobj=:idobj)"}));
  iqPreview.Params().Clear();
  iqPreview.Params().Add("IDOBJ", TFieldType::Text);

  // --- Exchange groups
  saTree.Add(iqTree);
  saTreeEdit.Add(iqTreeEdit);
  saTreeEdit.Add(iqTreeCount);
  saTreeEdit.Add(iqFindTree);
  saTreeEdit.Add(iqSearchNode);
  saTreeright.Add(iqTreeright);
  saRoles.Add(iqRoles);
  saUsers.Add(iqUsers);
  saFiles.Add(iqFiles);
  saFileList.Add(iqFileList);
  saHistory.Add(iqHistory);
  saTabuFiles.Add(iqTabuFiles);

  // --- Row hooks for rows the server writes itself.
  // Folders: creation and post audit columns.
  for (TQuery* Q : {&iqTree, &iqTreeEdit, &iqSearchNode}) {
    Q->OnNewRecord = [this](TQuery& DataSet) { NewRecord(DataSet); };
    Q->OnBeforePost = [this](TQuery& DataSet) { UpdateBefore(DataSet); };
  }
  // Files: a fresh id and the creation columns; on post the audit columns and
  // the number of stored versions of the file.
  for (TQuery* Q : {&iqFiles, &iqFileRow, &iqFileList}) {
    Q->OnNewRecord = [this](TQuery& DataSet) {
      SetIfPresent(DataSet, "fileid", db::TValue::Text(NewID()));
      NewRecord(DataSet);
    };
    Q->OnBeforePost = [this](TQuery& DataSet) {
      UpdateBefore(DataSet);
      iqCntHistory.Close();
      iqCntHistory.ParamByName("fileid").SetText(DataSet.FieldByName("fileid").AsString());
      iqCntHistory.Open();
      const std::string Cnt = iqCntHistory.FieldByName("cnt").AsString();
      iqCntHistory.Close();
      if (auto F = DataSet.FindField("count_history")) F->SetAsString(Cnt);
    };
  }
  // Versions: the creation columns are stamped again on every post.
  iqAddHistory.OnNewRecord = [this](TQuery& DataSet) { NewRecord(DataSet); };
  iqAddHistory.OnBeforePost = [this](TQuery& DataSet) {
    NewRecord(DataSet);
    UpdateBefore(DataSet);
  };
  iqPreview.OnNewRecord = [](TQuery& DataSet) { SetIfPresent(DataSet, "previewid", db::TValue::Text(NewID())); };
  iqRoles.OnNewRecord = [](TQuery& DataSet) {
    SetIfPresent(DataSet, "roleid", db::TValue::Text(NewID()));
    SetIfPresent(DataSet, "active", db::TValue::Int32(1));
    SetIfPresent(DataSet, "pubrole", db::TValue::Int32(0));
  };
  iqUsers.OnNewRecord = [](TQuery& DataSet) {
    SetIfPresent(DataSet, "user_id", db::TValue::Text(NewID()));
    SetIfPresent(DataSet, "active", db::TValue::Int32(1));
  };
  // A rights row belongs to the folder whose rights were read last.
  iqTreeright.OnBeforePost = [](TQuery& DataSet) {
    SetIfPresent(DataSet, "treeid", DataSet.ParamByName("treeid").Value);
  };

  // The role name shown beside each user. The role names are read once per
  // opening of the users (when the first row is filled) and shared by the rows.
  auto RoleNames = std::make_shared<std::map<std::string, std::string>>();
  iqUsers.AddCalcField("RoleLook", TFieldType::Text, 150, [RoleNames](TQuery& Users) -> db::TValue {
    if (Users.RecNo() <= 0) {
      RoleNames->clear();
      TQuery Roles(Users.Connection(), "iqRoleLook");
      Roles.SetSQL("SELECT roleid, rolename FROM qxroles");
      Roles.Open();
      for (Roles.First(); !Roles.Eof(); Roles.Next())
        RoleNames->emplace(Roles.Fields(0).AsString(), Roles.Fields(1).AsString());
    }
    const auto Role = Users.FindField("roleid");
    if (!Role || Role->IsNull()) return db::TValue::Null(TFieldType::Text);
    const auto It = RoleNames->find(Role->AsString());
    return It == RoleNames->end() ? db::TValue::Null(TFieldType::Text) : db::TValue::Text(It->second);
  });

  // Row errors of applied change sets are collected for the error report; the
  // rights, roles and users report failed rows without details.
  for (TQuery* Q : {&iqTree, &iqTreeEdit, &iqTreeCount, &iqFindTree, &iqSearchNode, &iqFiles, &iqFileList,
                    &iqHistory, &iqTabuFiles}) {
    Q->OnUpdateError = [this](TQuery& DataSet, const std::exception& E, const db::TChangeRow& Row) {
      iqFilesUpdateError(DataSet, E, Row);
    };
  }
}

std::vector<db::TQuery*> TOrdexServerClass::Statements() {
  return {&iqTree,      &iqTreeEdit,  &iqTreeCount, &iqFindTree,       &iqSearchNode, &iqGetParentTreeID,
          &iqTreeright, &iqRoles,     &iqUsers,     &iqFiles,          &iqFileList,   &iqKolFiles,
          &iqFileInfo,  &iqFileTreeID, &iqFileRow,  &iqHistory,        &iqGetLastHistory, &iqAddHistory,
          &iqCntHistory, &iqTabuFiles, &iqPreview};
}

TStreamBytes TOrdexServerClass::SaveAdapter(const db::TSchemaAdapter& Adapter) const {
  return Adapter.SaveToStream();
}

}  // namespace ordex
