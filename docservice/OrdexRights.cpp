// Folder rights of the calling session, and the rights, roles and users
// datasets that clients edit.
#include <string>

#include "common/qxBase.h"
#include "docservice/OrdexInternal.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

namespace {

// The catch-all role: its rows apply to every user without a row of their own.
constexpr const char* CatchAllRole = "1000000";

// A right is granted only by the value 1; NULL and anything else deny it.
bool Granted(const db::TField& F) {
  const db::TValue& V = F.Value();
  if (V.IsNull()) return false;
  switch (V.Type()) {
    case db::TFieldType::Int32:
    case db::TFieldType::Int64:
    case db::TFieldType::Boolean:
      return V.AsInt64() == 1;
    case db::TFieldType::Float:
    case db::TFieldType::Decimal:
      return V.AsFloat() == 1.0;
    default:
      return Trim(V.AsString()) == "1";
  }
}

// The first row (in the database's order) whose column equals Value exactly;
// NULL never matches, not even an empty Value.
bool FindRow(db::TQuery& Q, std::string_view Column, const std::string& Value) {
  for (Q.First(); !Q.Eof(); Q.Next()) {
    const db::TField F = Q.FieldByName(Column);
    if (!F.IsNull() && F.AsString() == Value) return true;
  }
  return false;
}

}  // namespace

bool TOrdexServerClass::IsAdmin() const { return Sess.RoleID == "-1" || Sess.RoleID == "1"; }

TTreeRights TOrdexServerClass::GetTreeRights(const std::string& TreeID) {
  TTreeRights Rights;
  const bool Admin = IsAdmin();
  Rights.RTree = Rights.WTree = Rights.AdmTree = Rights.RFile = Rights.WFile = Admin;
  Rights.RMyFile = false;
  if (Admin) return Rights;

  db::TQuery Q(dmQxSrvConnects->cnQxConn, "iqTreeRights");
  Q.SetSQL(
      "SELECT t.treeid, t.parent_treeid, t.ccount,\r\n"
      "  tr.username, tr.roleid, tr.rtree, tr.wtree, tr.admtree, tr.rfile, tr.wfile, tr.rmyfile, t.kolrights\r\n"
      "FROM oxTree t\r\n"
      "  LEFT JOIN oxTreeRight tr ON t.treeid=tr.treeid\r\n"
      "WHERE (t.treeid=:treeid)");

  // A folder without rows of its own (kolrights 0) takes its parent's rights;
  // the climb stops at the first folder with rows, or at the top. The climb
  // reads one snapshot of the tree, in one transaction.
  const db::TReadTransaction Snapshot(dmQxSrvConnects->cnQxConn);
  detail::TFolderWalk Walk;
  std::string Current = TreeID;
  for (;;) {
    Walk.Visit(Current);
    detail::OpenWith(Q, "treeid", Current);
    const std::int64_t KolRights = Q.IsEmpty() ? 0 : Q.FieldByName("kolrights").AsLargeInt();
    const std::string Parent = Q.IsEmpty() ? std::string() : Trim(Q.FieldByName("parent_treeid").AsString());
    if (KolRights == 0 && !Parent.empty()) {
      Current = Parent;
      continue;
    }
    break;
  }

  const bool Found = FindRow(Q, "username", Trim(Sess.Login)) || FindRow(Q, "roleid", Trim(Sess.RoleID)) ||
                     FindRow(Q, "roleid", CatchAllRole);
  if (Found) {
    Rights.RTree = Granted(Q.FieldByName("rtree"));
    Rights.WTree = Granted(Q.FieldByName("wtree"));
    Rights.AdmTree = Granted(Q.FieldByName("admtree"));
    Rights.RFile = Granted(Q.FieldByName("rfile"));
    Rights.WFile = Granted(Q.FieldByName("wfile"));
    Rights.RMyFile = Granted(Q.FieldByName("rmyfile"));
  }
  return Rights;
}

std::string TOrdexServerClass::GetRights(const std::string& TreeID) { return GetQxTreeRights(GetTreeRights(TreeID)); }

TStreamBytes TOrdexServerClass::GetTreeRight(const std::string& TreeID) {
  detail::OpenWith(iqTreeright, "treeid", TreeID);
  return SaveAdapter(saTreeright);
}

TStreamBytes TOrdexServerClass::GetRoles() {
  iqRoles.SetSQL("select roleid, rolename, commentrole, active, pubrole, order_roles\rfrom qxroles\rorder by order_roles");
  iqRoles.Open();
  return SaveAdapter(saRoles);
}

TStreamBytes TOrdexServerClass::GetUsers() {
  iqUsers.SetSQL("select * from qxusers\rORDER by order_ins desc");
  iqUsers.Open();
  return SaveAdapter(saUsers);
}

}  // namespace ordex
