// Folder tree: listing, creating, renaming, moving, deleting folders, keeping
// the child counters right, and the walks up and down the tree.
#include <string>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/OrdexInternal.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

using detail::IsTopParent;
using detail::OpenWith;

namespace {

constexpr const char* AdminOnlyMessage = "Данную операцию имеет право делать только администратор! ";

// Appends the ids of the readable folders below TreeID (TreeID itself
// included, already known to be readable) to Out; Walk refuses a folder met
// twice, so a cycle in the data ends with an error.
void AppendReadableSubtree(TOrdexServerClass& Srv, const std::string& TreeID, std::string& Out,
                           detail::TFolderWalk& Walk) {
  Walk.Visit(TreeID);
  db::TConnection& Conn = Srv.dmQxSrvConnects->cnQxConn;
  Out += "'" + detail::EscapeSqlText(Conn, TreeID) + "'";

  db::TQuery Children(Conn, "iqTreeChildren");
  Children.SetSQL("SELECT t.treeid, t.parent_treeid, t.treename, t.ccount from oxTree t WHERE t.parent_treeid=:treeid ");
  OpenWith(Children, "treeid", TreeID);
  for (Children.First(); !Children.Eof(); Children.Next()) {
    const std::string ChildID = Children.FieldByName("treeid").AsString();
    if (!Srv.GetTreeRights(ChildID).RFile) continue;
    Out += ",";
    if (Children.FieldByName("ccount").AsLargeInt() == 0) {
      Walk.Visit(ChildID);
      Out += "'" + detail::EscapeSqlText(Conn, ChildID) + "'";
    } else {
      AppendReadableSubtree(Srv, ChildID, Out, Walk);
    }
  }
}

}  // namespace

TStreamBytes TOrdexServerClass::GetTree(const std::string& ParentID, bool IsShowDel) {
  const bool BelowFolder = !IsTopParent(ParentID);
  std::string Sql = "SELECT v.treeid, v.treename, v.parent_treeid, v.ccount, v.kolrights, v.del FROM oxTree v ";
  if (BelowFolder) {
    Sql += GetTreeRights(ParentID).RTree ? "\r WHERE (v.parent_treeid=:parent_treeid) " : "\r WHERE (1=0) ";
  } else {
    Sql += "\r WHERE ((v.parent_treeid='')or(v.parent_treeid='0')) ";
    // The session's role and login are bound, never pasted into the text.
    if (!IsAdmin())
      Sql += "\rand(exists(select rtree from oxTreeRight r where (r.treeid=v.treeid)and(rtree=1)"
             "and((r.roleid=:sess_roleid)or(r.username=:sess_login))) )";
  }
  if (!IsShowDel) Sql += "\r AND((v.del is null)or(v.del=0)) ";
  Sql += "\r ORDER BY v.treename ";

  iqTree.Close();
  iqTree.SetSQL(std::move(Sql));
  if (auto* P = iqTree.Params().FindParam("sess_roleid")) {
    P->DataType = db::TFieldType::Text;
    P->SetText(Trim(Sess.RoleID));
  }
  if (auto* P = iqTree.Params().FindParam("sess_login")) {
    P->DataType = db::TFieldType::Text;
    P->SetText(Trim(Sess.Login));
  }
  if (BelowFolder) {
    if (auto* P = iqTree.Params().FindParam("parent_treeid")) {
      P->DataType = db::TFieldType::Text;
      P->SetText(ParentID);
    }
  }
  iqTree.Open();
  return SaveAdapter(saTree);
}

TStreamBytes TOrdexServerClass::StreamGet() {
  iqTree.Close();
  iqTree.Open();
  return SaveAdapter(saTree);
}

void TOrdexServerClass::InsNode(const std::string& NewTreeID, const std::string& ParentTreeID,
                                const std::string& NodeText) {
  // A folder that is its own parent would make every upward walk endless.
  if (!IsTopParent(Trim(ParentTreeID)) && Trim(NewTreeID) == Trim(ParentTreeID))
    throw EArgumentError("Папка не может быть собственной родительской папкой: '" + NewTreeID + "'");
  OpenWith(iqTreeEdit, "treeid", NewTreeID);
  {
    const detail::TEditScope Editing(iqTreeEdit);
    iqTreeEdit.Append();
    iqTreeEdit.FieldByName("treeid").SetAsString(NewTreeID);
    iqTreeEdit.FieldByName("treename").SetAsString(NodeText);
    iqTreeEdit.FieldByName("parent_treeid").SetAsString(ParentTreeID);
    iqTreeEdit.FieldByName("ccount").SetAsLargeInt(0);
    iqTreeEdit.Post();
  }
  iqTreeEdit.Close();
  if (!IsTopParent(Trim(ParentTreeID))) RecalcTreeCount(ParentTreeID);
}

void TOrdexServerClass::InsChildNode(const std::string&, const std::string&, const std::string&) {}

void TOrdexServerClass::DelNode(const std::string& TreeID, std::int32_t Del) {
  OpenWith(iqTreeEdit, "treeid", TreeID);
  if (iqTreeEdit.IsEmpty()) {
    iqTreeEdit.Close();
    return;
  }
  const std::string Parent = iqTreeEdit.FieldByName("parent_treeid").AsString();
  {
    const detail::TEditScope Editing(iqTreeEdit);
    iqTreeEdit.Edit();
    iqTreeEdit.FieldByName("del").SetAsLargeInt(Del);
    iqTreeEdit.Post();
  }
  RecalcTreeCount(Parent);
  iqTreeEdit.Close();
}

void TOrdexServerClass::DelNodeFull(const std::string& TreeID) {
  if (!IsAdmin()) throw Exception(AdminOnlyMessage);
  OpenWith(iqTreeEdit, "treeid", TreeID);
  if (iqTreeEdit.IsEmpty()) {
    iqTreeEdit.Close();
    return;
  }
  const std::string Parent = iqTreeEdit.FieldByName("parent_treeid").AsString();
  iqTreeEdit.Delete();
  RecalcTreeCount(Parent);
  iqTreeEdit.Close();
}

void TOrdexServerClass::MoveNode(const std::string& TreeID, const std::string& NewParentID) {
  OpenWith(iqTreeEdit, "treeid", TreeID);
  if (iqTreeEdit.IsEmpty()) {
    iqTreeEdit.Close();
    return;
  }
  const std::string Moved = Trim(iqTreeEdit.FieldByName("treeid").AsString());
  const std::string OldParent = iqTreeEdit.FieldByName("parent_treeid").AsString();

  // Refuse a move onto the folder itself or below it: walk up from the new
  // parent and make sure the moved folder is not met on the way.
  detail::TFolderWalk Walk;
  for (std::string C = Trim(NewParentID); !IsTopParent(C);) {
    if (C == Moved || C == Trim(TreeID)) {
      iqTreeEdit.Close();
      throw EArgumentError("Нельзя переместить папку '" + TreeID + "' в саму себя или в свою вложенную папку '" +
                           NewParentID + "'");
    }
    Walk.Visit(C);
    OpenWith(iqGetParentTreeID, "treeid", C);
    if (iqGetParentTreeID.IsEmpty()) break;
    C = Trim(iqGetParentTreeID.FieldByName("parent_treeid").AsString());
  }
  iqGetParentTreeID.Close();

  {
    const detail::TEditScope Editing(iqTreeEdit);
    iqTreeEdit.Edit();
    iqTreeEdit.FieldByName("parent_treeid").SetAsString(NewParentID);
    iqTreeEdit.Post();
  }
  iqTreeEdit.Close();
  RecalcTreeCount(OldParent);
  RecalcTreeCount(NewParentID);
}

void TOrdexServerClass::SetNodeText(const std::string& TreeID, const std::string& NewText) {
  OpenWith(iqTreeEdit, "treeid", TreeID);
  if (!iqTreeEdit.IsEmpty()) {
    const detail::TEditScope Editing(iqTreeEdit);
    iqTreeEdit.Edit();
    iqTreeEdit.FieldByName("treename").SetAsString(NewText);
    iqTreeEdit.Post();
  }
  iqTreeEdit.Close();
}

void TOrdexServerClass::RecalcTreeCount(const std::string& ParentTreeID) {
  if (IsTopParent(Trim(ParentTreeID))) return;
  OpenWith(iqTreeCount, "parent_treeid", ParentTreeID);
  const std::int64_t Count = iqTreeCount.FieldByName("cnt").AsLargeInt();
  OpenWith(iqTreeEdit, "treeid", ParentTreeID);
  if (!iqTreeEdit.IsEmpty()) {
    const detail::TEditScope Editing(iqTreeEdit);
    iqTreeEdit.Edit();
    iqTreeEdit.FieldByName("ccount").SetAsLargeInt(Count);
    iqTreeEdit.Post();
  }
  iqTreeEdit.Close();
}

std::string TOrdexServerClass::SearchNode(const std::string& ParentID, const std::string& NodeName) {
  iqSearchNode.Close();
  iqSearchNode.ParamByName("parent_treeid").SetText(Trim(ParentID));
  iqSearchNode.ParamByName("treename").SetText(Trim(NodeName));
  iqSearchNode.Open();
  return iqSearchNode.IsEmpty() ? std::string() : Trim(iqSearchNode.FieldByName("treeid").AsString());
}

std::string TOrdexServerClass::FindTree(const std::string& TreeID) {
  std::string Result = TreeID;
  detail::TFolderWalk Walk;
  for (std::string C = TreeID;;) {
    Walk.Visit(C);
    OpenWith(iqFindTree, "treeid", C);
    if (iqFindTree.IsEmpty()) break;
    const std::string Parent = iqFindTree.FieldByName("parent_treeid").AsString();
    if (IsTopParent(Parent)) break;
    C = Trim(Parent);
    Result += ", " + C;
  }
  return Result;
}

std::string TOrdexServerClass::GetCliTree(const std::string& TreeID) {
  // Names from the folder up to the top, then joined top first.
  std::vector<std::string> Names;
  detail::TFolderWalk Walk;
  for (std::string C = TreeID;;) {
    Walk.Visit(C);
    OpenWith(iqGetParentTreeID, "treeid", C);
    std::string Parent, Name;
    if (!iqGetParentTreeID.IsEmpty()) {
      Parent = Trim(iqGetParentTreeID.FieldByName("parent_treeid").AsString());
      Name = Trim(iqGetParentTreeID.FieldByName("treename").AsString());
    }
    Names.push_back(std::move(Name));
    if (IsTopParent(Parent)) break;
    C = Parent;
  }
  std::string Result;
  for (auto It = Names.rbegin(); It != Names.rend(); ++It) {
    if (!Trim(Result).empty()) Result += "\\";
    Result += *It;
  }
  return Result;
}

std::string TOrdexServerClass::GetTreeID(const std::string& FileID) {
  OpenWith(iqFileTreeID, "fileid", FileID);
  return iqFileTreeID.IsEmpty() ? std::string() : iqFileTreeID.FieldByName("treeid").AsString();
}

std::string TOrdexServerClass::GetTreeListRecurse(const std::string& TreeID) {
  if (!GetTreeRights(TreeID).RFile) return "'access_denier'";
  std::string Result;
  detail::TFolderWalk Walk;
  AppendReadableSubtree(*this, TreeID, Result, Walk);
  return Result;
}

std::string TOrdexServerClass::GetMainFolderID(const std::string& TreeIDInp) {
  // The result is the last non-empty parent id met, so a chain ending in a
  // folder whose parent is "0" answers "0": stored contents are filed under it.
  std::string C = Trim(TreeIDInp);
  std::string Result = C;
  detail::TFolderWalk Walk;
  for (;;) {
    Walk.Visit(C);
    const TTreeInfo Info = GetParentTreeInfo(C);
    if (!Info.parentid.empty()) {
      Result = Info.parentid;
      C = Info.parentid;
    }
    if (IsTopParent(Info.parentid)) break;
  }
  return Result;
}

TTreeInfo TOrdexServerClass::GetParentTreeInfo(const std::string& TreeIDInp) {
  OpenWith(iqGetParentTreeID, "treeid", Trim(TreeIDInp));
  TTreeInfo Info;
  if (!iqGetParentTreeID.IsEmpty()) {
    Info.id = Trim(iqGetParentTreeID.FieldByName("treeid").AsString());
    Info.Name = Trim(iqGetParentTreeID.FieldByName("treename").AsString());
    Info.parentid = Trim(iqGetParentTreeID.FieldByName("parent_treeid").AsString());
    Info.CCount = iqGetParentTreeID.FieldByName("ccount").AsLargeInt();
  }
  return Info;
}

TTreeInfo TOrdexServerClass::GetTreeInfo(const std::string&) { return {}; }

}  // namespace ordex
