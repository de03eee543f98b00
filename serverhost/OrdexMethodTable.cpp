#include "serverhost/OrdexMethodTable.h"

#include <string>
#include <string_view>

#include "docservice/dmOrdexServerClass.h"

namespace ordex {

using rpc::In;
using rpc::Out;
using rpc::TCall;
using rpc::TRpcType;
using rpc::Var;

namespace {

using TSelf = TOrdexServerClass;
constexpr TRpcType Text = TRpcType::Text;
constexpr TRpcType Boolean = TRpcType::Boolean;
constexpr TRpcType Int32 = TRpcType::Int32;
constexpr TRpcType Int64 = TRpcType::Int64;
constexpr TRpcType DateTime = TRpcType::DateTime;
constexpr TRpcType Stream = TRpcType::Stream;

// The bytes of a stream argument; a null stream is an empty one.
std::string_view StreamArg(TCall& C, std::string_view Name) {
  const auto& S = C.Stream(Name);
  return S ? std::string_view(*S) : std::string_view{};
}

// Folder tree.
void AddTree(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("GetTree", {In("ParentID", Text), In("IsShowDel", Boolean)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.GetTree(C.Text("ParentID"), C.Boolean("IsShowDel"))); });
  K.Method("StreamGet", {}, Stream, [](TSelf& S, TCall& C) { C.ReturnStream(S.StreamGet()); });
  K.Method("InsNode", {In("NewTreeID", Text), In("ParentTreeID", Text), In("NodeText", Text)},
           [](TSelf& S, TCall& C) { S.InsNode(C.Text("NewTreeID"), C.Text("ParentTreeID"), C.Text("NodeText")); });
  K.Method("InsChildNode", {In("NewTreeID", Text), In("ParentTreeID", Text), In("NodeText", Text)},
           [](TSelf& S, TCall& C) {
             S.InsChildNode(C.Text("NewTreeID"), C.Text("ParentTreeID"), C.Text("NodeText"));
           });
  K.Method("DelNode", {In("TreeID", Text), In("Del", Int32)},
           [](TSelf& S, TCall& C) { S.DelNode(C.Text("TreeID"), C.Int32("Del")); });
  K.Method("DelNodeFull", {In("TreeID", Text)}, [](TSelf& S, TCall& C) { S.DelNodeFull(C.Text("TreeID")); });
  K.Method("MoveNode", {In("TreeID", Text), In("NewParentID", Text)},
           [](TSelf& S, TCall& C) { S.MoveNode(C.Text("TreeID"), C.Text("NewParentID")); });
  K.Method("SetNodeText", {In("TreeID", Text), In("NewText", Text)},
           [](TSelf& S, TCall& C) { S.SetNodeText(C.Text("TreeID"), C.Text("NewText")); });
  K.Method("RecalcTreeCount", {In("ParentTreeID", Text)},
           [](TSelf& S, TCall& C) { S.RecalcTreeCount(C.Text("ParentTreeID")); });
  K.Method("SearchNode", {In("ParentID", Text), In("NodeName", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.SearchNode(C.Text("ParentID"), C.Text("NodeName"))); });
  K.Method("FindTree", {In("TreeID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.FindTree(C.Text("TreeID"))); });
  K.Method("GetCliTree", {In("TreeID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetCliTree(C.Text("TreeID"))); });
  K.Method("GetTreeID", {In("FileID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetTreeID(C.Text("FileID"))); });
  K.Method("GetTreeListRecurse", {In("TreeID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetTreeListRecurse(C.Text("TreeID"))); });
  K.Method("GetMainFolderID", {In("TreeIDInp", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetMainFolderID(C.Text("TreeIDInp"))); });
}

// Folder rights, users and roles.
void AddRights(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("GetRights", {In("TreeID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetRights(C.Text("TreeID"))); });
  K.Method("IsAdmin", {}, Boolean, [](TSelf& S, TCall& C) { C.Return(S.IsAdmin()); });
  K.Method("GetTreeRight", {In("TreeID", Text)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.GetTreeRight(C.Text("TreeID"))); });
  K.Method("GetRoles", {}, Stream, [](TSelf& S, TCall& C) { C.ReturnStream(S.GetRoles()); });
  K.Method("GetUsers", {}, Stream, [](TSelf& S, TCall& C) { C.ReturnStream(S.GetUsers()); });
}

// File lists.
void AddFileLists(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("GetFiles", {In("OrdexFilter", Text)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.GetFiles(C.Text("OrdexFilter"))); });
  K.Method("GetFileList", {In("OrdexFilter", Text)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.GetFileList(C.Text("OrdexFilter"))); });
  K.Method("GetKolRows", {In("OrdexFilter", Text), Out("TotalSize", Text)}, Text, [](TSelf& S, TCall& C) {
    std::string TotalSize;
    C.Return(S.GetKolRows(C.Text("OrdexFilter"), TotalSize));
    C.Set("TotalSize", std::move(TotalSize));
  });
  K.Method("RefreshFiles", {}, Stream, [](TSelf& S, TCall& C) { C.ReturnStream(S.RefreshFiles()); });
  K.Method("GetExludeFiles", {}, Stream, [](TSelf& S, TCall& C) { C.ReturnStream(S.GetExludeFiles()); });
}

// File versions.
void AddVersions(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("NewChange", {In("FileHistInfo", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.NewChange(C.Text("FileHistInfo"))); });
  K.Method("EndChange", {In("FileHistInfo", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.EndChange(C.Text("FileHistInfo"))); });
  K.Method("GetHistory", {In("fileid", Text)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.GetHistory(C.Text("fileid"))); });
  K.Method("FizDelFile", {In("FileID", Text)}, [](TSelf& S, TCall& C) { S.FizDelFile(C.Text("FileID")); });
}

// File store and transfers.
void AddStore(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("GetServerFileName", {In("FileID", Text), In("IsExcept", Boolean)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetServerFileName(C.Text("FileID"), C.Boolean("IsExcept"))); });
  K.Method("GetLastHistoryInfo",
           {In("fileid", Text), Var("myYear", Text), Var("myMonth", Text), Var("myDay", Text), Var("IDHist", Text)},
           Boolean, [](TSelf& S, TCall& C) {
             std::string Y = C.Text("myYear"), M = C.Text("myMonth"), D = C.Text("myDay"), H = C.Text("IDHist");
             C.Return(S.GetLastHistoryInfo(C.Text("fileid"), Y, M, D, H));
             C.Set("myYear", std::move(Y));
             C.Set("myMonth", std::move(M));
             C.Set("myDay", std::move(D));
             C.Set("IDHist", std::move(H));
           });
  K.Method("GetDateCreateFileInfo", {In("fileid", Text), Var("myYear", Text), Var("myMonth", Text), Var("myDay", Text)},
           Boolean, [](TSelf& S, TCall& C) {
             std::string Y = C.Text("myYear"), M = C.Text("myMonth"), D = C.Text("myDay");
             C.Return(S.GetDateCreateFileInfo(C.Text("fileid"), Y, M, D));
             C.Set("myYear", std::move(Y));
             C.Set("myMonth", std::move(M));
             C.Set("myDay", std::move(D));
           });
  K.Method("GetClientFileName", {In("FileID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetClientFileName(C.Text("FileID"))); });
  K.Method("PutBigFileToServer",
           {In("FileID", Text), Var("Stream", Stream), In("FileSize", Text), In("Status", Text)}, Text,
           [](TSelf& S, TCall& C) {
             C.Return(S.PutBigFileToServer(C.Text("FileID"), StreamArg(C, "Stream"), C.Text("FileSize"),
                                           C.Text("Status")));
           });
  K.Method("GetFilePart", {In("FileID", Text), In("PosFrom", Int64), In("PosTo", Int64)}, Stream,
           [](TSelf& S, TCall& C) {
             C.ReturnStream(S.GetFilePart(C.Text("FileID"), C.Int64("PosFrom"), C.Int64("PosTo")));
           });
  K.Method("GetFileSizeServer", {In("FileID", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetFileSizeServer(C.Text("FileID"))); });
  K.Method("GetFileFromServer", {In("FileID", Text), In("PosFrom", Int64), In("PosTo", Int64)}, Stream,
           [](TSelf& S, TCall& C) {
             C.ReturnStream(S.GetFileFromServer(C.Text("FileID"), C.Int64("PosFrom"), C.Int64("PosTo")));
           });
  K.Method("GetFile", {Out("FileSize", Text)}, Stream, [](TSelf& S, TCall& C) {
    std::string FileSize;
    C.ReturnStream(S.GetFile(FileSize));
    C.Set("FileSize", std::move(FileSize));
  });
  K.Method("GetFileSize", {}, Text, [](TSelf& S, TCall& C) { C.Return(S.GetFileSize()); });
  K.Method("PutFile", {Var("Stream", Stream), In("FileSize", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.PutFile(StreamArg(C, "Stream"), C.Text("FileSize"))); });
  K.Method("PutBigFile", {Var("Stream", Stream), In("FileSize", Text), In("Status", Text)}, Text,
           [](TSelf& S, TCall& C) {
             C.Return(S.PutBigFile(StreamArg(C, "Stream"), C.Text("FileSize"), C.Text("Status")));
           });
}

// Previews.
void AddPreviews(rpc::TRpcClassOf<TSelf>& K) {
  K.Method("CreatePreview", {In("FileID", Text)}, [](TSelf& S, TCall& C) { S.CreatePreview(C.Text("FileID")); });
  K.Method("ResizeJPEGImage", {In("FileName", Text), In("Width", Int32), In("Height", Int32)}, Stream,
           [](TSelf& S, TCall& C) {
             C.ReturnStream(S.ResizeJPEGImage(C.Text("FileName"), C.Int32("Width"), C.Int32("Height")));
           });
  K.Method("IsGraphExt", {In("ExtInp", Text)}, Boolean,
           [](TSelf&, TCall& C) { C.Return(TSelf::IsGraphExt(C.Text("ExtInp"))); });
}

// Change sets, greeting and service methods.
void AddExchange(rpc::TRpcClassOf<TSelf>& K) {
  using TPost = void (TSelf::*)(std::string_view);
  const std::pair<const char*, TPost> Posts[] = {
      {"StreamPost", &TSelf::StreamPost},
      {"StreamTreeEdit", &TSelf::StreamTreeEdit},
      {"StreamPostFiles", &TSelf::StreamPostFiles},
      {"StreamPostFileList", &TSelf::StreamPostFileList},
      {"StreamPostHistory", &TSelf::StreamPostHistory},
      {"StreamTabuFiles", &TSelf::StreamTabuFiles},
      {"StreamPostTreeright", &TSelf::StreamPostTreeright},
      {"StreamPostRole", &TSelf::StreamPostRole},
      {"StreamPostUsers", &TSelf::StreamPostUsers},
  };
  for (const auto& [Name, Post] : Posts) {
    K.Method(Name, {In("AStream", Stream)}, [Post](TSelf& S, TCall& C) { (S.*Post)(StreamArg(C, "AStream")); });
  }
  K.Method("Hello", {Var("ConnectInfo", Text)}, Boolean, [](TSelf& S, TCall& C) {
    std::string ConnectInfo = C.Text("ConnectInfo");
    C.Return(S.Hello(ConnectInfo));
    C.Set("ConnectInfo", std::move(ConnectInfo));
  });
  K.Method("getVersion", {}, Text, [](TSelf& S, TCall& C) { C.Return(S.getVersion()); });
  K.Method("GetNow", {}, DateTime, [](TSelf& S, TCall& C) { C.ReturnDateTime(S.GetNow()); });
  K.Method("GetSQL", {In("ObjName", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.GetSQL(C.Text("ObjName"))); });
  K.Method("GetCountConnectins", {}, Text, [](TSelf& S, TCall& C) { C.Return(S.GetCountConnectins()); });
  K.Method("TestJSonObject", {In("ParamInp", Text)}, Text,
           [](TSelf& S, TCall& C) { C.Return(S.TestJSonObject(C.Text("ParamInp"))); });
  K.Method("TestStreamObject", {In("ParamInp", Text)}, Stream,
           [](TSelf& S, TCall& C) { C.ReturnStream(S.TestStreamObject(C.Text("ParamInp"))); });
}

}  // namespace

std::shared_ptr<rpc::TRpcClass> MakeOrdexServerRpcClass() {
  auto K = std::make_shared<rpc::TRpcClassOf<TSelf>>("TOrdexServerClass");
  AddTree(*K);
  AddRights(*K);
  AddFileLists(*K);
  AddVersions(*K);
  AddStore(*K);
  AddPreviews(*K);
  AddExchange(*K);
  return K;
}

}  // namespace ordex
