// Folder commands: tree, mkdir, mv, rename, rm, restore.
#include <iostream>
#include <set>

#include "client/cli/Commands.h"
#include "common/qxBase.h"

namespace ordex::cli {

using nlohmann::json;

// ---------------------------------------------------------------------------
// Helpers shared by all command families

TRights GetRights(client::TOrdexSession& Session, const std::string& TreeID) {
  TRights R;
  R.Json = json::parse(Session.CallText("GetRights", json{{"TreeID", TreeID}}), nullptr, false);
  if (!R.Json.is_object()) throw client::EConnectionError("Bad answer: GetRights returned no JSON object");
  const auto Flag = [&R](const char* Key) {
    const auto It = R.Json.find(Key);
    return It != R.Json.end() && It->is_boolean() && It->get<bool>();
  };
  R.RTree = Flag("rtree");
  R.WTree = Flag("wtree");
  R.AdmTree = Flag("admtree");
  R.RFile = Flag("rfile");
  R.WFile = Flag("wfile");
  R.RMyFile = Flag("rmyfile");
  return R;
}

void Require(bool Granted, const std::string& What) {
  if (!Granted) throw TRefused("you do not have the right " + What);
}

bool IsTop(const std::string& Id) { return Id.empty() || Id == "0"; }

void CheckId(const std::string& Id, const std::string& What) {
  if (Trim(Id).empty()) throw TUsageError(What + " must not be empty");
  if (Id.size() > 75) throw TUsageError(What + " is longer than 75 characters");
  for (const unsigned char C : Id)
    if (C < 32 || C == 127 || C == '\'' || C == '"' || C == '\\')
      throw TUsageError(What + " must not contain quotes, backslashes or control characters");
}

void RequireFolder(client::TOrdexSession& Session, const std::string& TreeID) {
  if (IsTop(TreeID)) return;
  if (Session.CallText("GetCliTree", json{{"TreeID", TreeID}}).empty())
    throw TRefused("there is no folder with the id " + TreeID);
}

namespace {

// The folder ids from Id up to the top, Id first.
std::vector<std::string> Chain(client::TOrdexSession& Session, const std::string& Id) {
  return SplitText(Session.CallText("FindTree", json{{"TreeID", Id}}), ",");
}

// The children of Parent that the session may see, each with its own children.
// Seen guards against a tree whose parent links form a loop.
json ReadTree(client::TOrdexSession& Session, const std::string& Parent, bool Deleted, std::set<std::string>& Seen,
              int Depth) {
  json Folders = json::array();
  if (Depth > 64) return Folders;
  client::TRemoteDataset D =
      Session.Dataset("GetTree", json{{"ParentID", Parent}, {"IsShowDel", Deleted}}, "iqTree");
  for (D.First(); !D.Eof(); D.Next()) {
    const std::string Id = D.AsString("treeid");
    if (!Seen.insert(Id).second) continue;
    json F{{"treeid", Id},
           {"treename", D.AsString("treename")},
           {"parent_treeid", D.AsString("parent_treeid")},
           {"ccount", D.AsInt64("ccount")},
           {"kolrights", D.AsInt64("kolrights")},
           {"del", D.FindField("del") >= 0 ? D.AsInt64("del") : 0}};
    F["children"] = ReadTree(Session, Id, Deleted, Seen, Depth + 1);
    Folders.push_back(std::move(F));
  }
  return Folders;
}

void PrintTree(std::ostream& Out, const json& Folders, const std::string& Indent) {
  for (const auto& F : Folders) {
    Out << Indent << F["treename"].get<std::string>() << "  [" << F["treeid"].get<std::string>() << "]";
    if (F["del"].get<std::int64_t>() != 0) Out << "  (deleted)";
    Out << "\n";
    PrintTree(Out, F["children"], Indent + "  ");
  }
}

int RunTree(TContext& C, const TArgs& A) {
  const std::string Root = A.Positional.empty() ? std::string() : A.Positional[0];
  auto& S = C.Session();
  if (!IsTop(Root)) RequireFolder(S, Root);
  std::set<std::string> Seen{Root};
  const json Folders = ReadTree(S, Root, A.Flag("deleted"), Seen, 0);
  if (C.Json()) {
    C.Out().Json(json{{"root", Root}, {"folders", Folders}});
  } else {
    if (!IsTop(Root)) C.Out().Out() << S.CallText("GetCliTree", json{{"TreeID", Root}}) << "  [" << Root << "]\n";
    PrintTree(C.Out().Out(), Folders, IsTop(Root) ? "" : "  ");
    if (Folders.empty()) C.Out().Err() << "(no folders you may see)\n";
  }
  return ExitOk;
}

// Writing to a folder's tree needs WTree on it; the top needs an administrator.
void RequireWrite(client::TOrdexSession& S, const std::string& TreeID, const std::string& What) {
  if (IsTop(TreeID)) {
    Require(S.IsAdmin(), What + " at the top of the tree (administrators only)");
    return;
  }
  Require(GetRights(S, TreeID).WTree, What + " in folder " + TreeID + " (wtree)");
}

void Done(TContext& C, json J, const std::string& Text) {
  if (C.Json()) C.Out().Json(J);
  else C.Out().Out() << Text << "\n";
}

int RunMkdir(TContext& C, const TArgs& A) {
  const std::string Parent = A.Positional[0];
  const std::string Name = A.Positional[1];
  if (Trim(Name).empty()) throw TUsageError("the folder name must not be empty");
  const std::string Id = A.Has("id") ? A.Get("id") : client::NewClientID();
  CheckId(Id, "the folder id");
  if (!IsTop(Parent)) CheckId(Parent, "the parent folder id");
  auto& S = C.Session();
  RequireFolder(S, Parent);
  RequireWrite(S, Parent, "to create folders");
  S.Call("InsNode", json{{"NewTreeID", Id}, {"ParentTreeID", Parent}, {"NodeText", Name}});
  Done(C, json{{"treeid", Id}, {"parent_treeid", Parent}, {"treename", Name}},
       "Created folder " + Name + "  [" + Id + "]");
  return ExitOk;
}

int RunMove(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  const std::string NewParent = A.Positional[1];
  CheckId(Folder, "the folder id");
  if (!IsTop(NewParent)) CheckId(NewParent, "the new parent id");
  if (Folder == NewParent) throw TUsageError("a folder cannot be moved into itself");
  auto& S = C.Session();
  RequireFolder(S, Folder);
  RequireFolder(S, NewParent);
  // A folder under its own subtree would cut it off the tree and make every
  // walk up from there endless.
  if (!IsTop(NewParent))
    for (const auto& Id : Chain(S, NewParent))
      if (Id == Folder) throw TRefused("folder " + NewParent + " lies inside " + Folder + "; it cannot become its parent");
  RequireWrite(S, Folder, "to move folder " + Folder);
  RequireWrite(S, NewParent, "to move folders");
  S.Call("MoveNode", json{{"TreeID", Folder}, {"NewParentID", NewParent}});
  Done(C, json{{"treeid", Folder}, {"parent_treeid", NewParent}},
       "Moved folder " + Folder + " under " + (IsTop(NewParent) ? std::string("the top") : NewParent));
  return ExitOk;
}

int RunRename(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  const std::string Name = A.Positional[1];
  CheckId(Folder, "the folder id");
  if (Trim(Name).empty()) throw TUsageError("the folder name must not be empty");
  auto& S = C.Session();
  RequireFolder(S, Folder);
  RequireWrite(S, Folder, "to rename folder " + Folder);
  S.Call("SetNodeText", json{{"TreeID", Folder}, {"NewText", Name}});
  Done(C, json{{"treeid", Folder}, {"treename", Name}}, "Renamed folder " + Folder + " to " + Name);
  return ExitOk;
}

int RunDelete(TContext& C, const TArgs& A, int Del) {
  const std::string Folder = A.Positional[0];
  CheckId(Folder, "the folder id");
  auto& S = C.Session();
  RequireFolder(S, Folder);
  RequireWrite(S, Folder, std::string(Del ? "to delete" : "to restore") + " folder " + Folder);
  S.Call("DelNode", json{{"TreeID", Folder}, {"Del", Del}});
  Done(C, json{{"treeid", Folder}, {"del", Del}},
       std::string(Del ? "Deleted" : "Restored") + " folder " + Folder);
  return ExitOk;
}

}  // namespace

std::vector<TCommandSpec> TreeCommands() {
  std::vector<TCommandSpec> L;
  L.push_back({"tree", "[FOLDER] [--deleted]", "Shows the folder tree (below FOLDER) with the folder ids.",
               "Lists what your rights let you see: at the top the folders with a rights row for you or\n"
               "your role, below a folder its children when you may see the folder.",
               {{"deleted", TOptionSpec::Flag, "also show deleted folders"}}, 0, 1, RunTree});
  L.push_back({"mkdir", "PARENT NAME [--id ID]", "Creates a folder NAME under PARENT (0 for the top).",
               "The new folder gets a fresh id (32 hexadecimal digits) unless --id names one.",
               {{"id", TOptionSpec::Value, "ID  the new folder's id"}}, 2, 2, RunMkdir});
  L.push_back({"mv", "FOLDER NEWPARENT", "Moves FOLDER under NEWPARENT (0 for the top).",
               "Moving under another top folder changes where the server keeps the contents of the files\n"
               "below it; the server does not move stored contents (see the operator guide).",
               {}, 2, 2, RunMove});
  L.push_back({"rename", "FOLDER NAME", "Renames FOLDER.", "", {}, 2, 2, RunRename});
  L.push_back({"rm", "FOLDER", "Marks FOLDER deleted (restore brings it back).",
               "Its subfolders and files keep their own state.", {}, 1, 1,
               [](TContext& C, const TArgs& A) { return RunDelete(C, A, 1); }});
  L.push_back({"restore", "FOLDER", "Brings a deleted FOLDER back.", "", {}, 1, 1,
               [](TContext& C, const TArgs& A) { return RunDelete(C, A, 0); }});
  return L;
}

}  // namespace ordex::cli
