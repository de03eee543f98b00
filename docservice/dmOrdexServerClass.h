// TOrdexServerClass: the document service. One instance per client session,
// with its own database connection module, named statements and exchange
// groups; the remote-call layer dispatches the session's calls to it by name.
// The methods are grouped by family; each family lives in its own .cpp file:
//   OrdexTree.cpp (folders), OrdexRights.cpp (rights, users, roles),
//   OrdexFileList.cpp (file lists), OrdexVersions.cpp (versions and row hooks),
//   OrdexStore.cpp (stored contents and transfers), OrdexPreview.cpp (previews),
//   OrdexExchange.cpp (change sets, greeting, service methods).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/qxDateTime.h"
#include "config/dmQxSrvConnect.h"
#include "config/qxroot.h"
#include "docservice/uOrdexInfo.h"
#include "platform/db/Db.h"

namespace ordex {

// One folder.
struct TTreeInfo {
  std::string id;
  std::string Name;
  std::string parentid;
  std::int64_t CCount = 0;
};

// A stream handed to or returned by a remote method: its bytes. Methods that
// may return "no stream" use std::optional.
using TStreamBytes = std::string;

class TOrdexServerClass {
 public:
  // Creates the connection module, the error list, and connects (ConnectDB);
  // a failed connect ends the construction with its error.
  TOrdexServerClass();
  ~TOrdexServerClass();
  TOrdexServerClass(const TOrdexServerClass&) = delete;
  TOrdexServerClass& operator=(const TOrdexServerClass&) = delete;

  // --- Folder tree
  TStreamBytes GetTree(const std::string& ParentID, bool IsShowDel);
  TStreamBytes StreamGet();
  void InsNode(const std::string& NewTreeID, const std::string& ParentTreeID, const std::string& NodeText);
  void InsChildNode(const std::string& NewTreeID, const std::string& ParentTreeID, const std::string& NodeText);
  void DelNode(const std::string& TreeID, std::int32_t Del);
  void DelNodeFull(const std::string& TreeID);
  void MoveNode(const std::string& TreeID, const std::string& NewParentID);
  void SetNodeText(const std::string& TreeID, const std::string& NewText);
  void RecalcTreeCount(const std::string& ParentTreeID);
  std::string SearchNode(const std::string& ParentID, const std::string& NodeName);
  std::string FindTree(const std::string& TreeID);
  std::string GetCliTree(const std::string& TreeID);
  std::string GetTreeID(const std::string& FileID);
  std::string GetTreeListRecurse(const std::string& TreeID);
  std::string GetMainFolderID(const std::string& TreeIDInp);
  TTreeInfo GetParentTreeInfo(const std::string& TreeIDInp);
  TTreeInfo GetTreeInfo(const std::string& TreeIDInp);

  // --- Folder rights, users, roles
  TTreeRights GetTreeRights(const std::string& TreeID);
  std::string GetRights(const std::string& TreeID);
  bool IsAdmin() const;
  TStreamBytes GetTreeRight(const std::string& TreeID);
  TStreamBytes GetRoles();
  TStreamBytes GetUsers();

  // --- File lists
  TStreamBytes GetFiles(const std::string& OrdexFilter);
  TStreamBytes GetFileList(const std::string& OrdexFilter);
  std::string GetKolRows(const std::string& OrdexFilter, std::string& TotalSize);
  TStreamBytes RefreshFiles();
  TStreamBytes GetExludeFiles();
  std::string GetSQLFiles(const std::string& FieldInp, const TOrdexFilter& OrdexFilter, bool IsOrder, bool IsBlob);
  void SetFileParam(db::TQuery& Q);

  // --- File versions
  std::string NewChange(const std::string& FileHistInfo);
  std::string EndChange(const std::string& FileHistInfo);
  TStreamBytes GetHistory(const std::string& fileid);
  void FizDelFile(const std::string& FileID);
  void OpenHistory(const std::string& FileID);
  void OpenFileRow(const std::string& FileID);
  void NewRecord(db::TQuery& DataSet);
  void UpdateBefore(db::TQuery& DataSet);

  // --- File store and transfers
  std::string GetServerFileName(const std::string& FileID, bool IsExcept);
  bool GetLastHistoryInfo(const std::string& fileid, std::string& myYear, std::string& myMonth,
                          std::string& myDay, std::string& IDHist);
  bool GetDateCreateFileInfo(const std::string& fileid, std::string& myYear, std::string& myMonth,
                             std::string& myDay);
  std::string GetClientFileName(const std::string& FileID);
  std::string PutBigFileToServer(const std::string& FileID, std::string_view Stream,
                                 const std::string& FileSize, const std::string& Status);
  TStreamBytes GetFilePart(const std::string& FileID, std::int64_t PosFrom, std::int64_t PosTo);
  std::string GetFileSizeServer(const std::string& FileID);
  std::optional<TStreamBytes> GetFileFromServer(const std::string& FileID, std::int64_t PosFrom, std::int64_t PosTo);
  TStreamBytes GetFile(std::string& FileSize);
  std::string GetFileSize();
  std::string PutFile(std::string_view Stream, const std::string& FileSize);
  std::string PutBigFile(std::string_view Stream, const std::string& FileSize, const std::string& Status);

  // --- Previews
  void CreatePreview(const std::string& FileID);
  TStreamBytes ResizeJPEGImage(const std::string& FileName, std::int32_t Width, std::int32_t Height);
  static bool IsGraphExt(const std::string& ExtInp);

  // --- Change sets, greeting, service methods
  void StreamPost(std::string_view AStream);
  void StreamTreeEdit(std::string_view AStream);
  void StreamPostFiles(std::string_view AStream);
  void StreamPostFileList(std::string_view AStream);
  void StreamPostHistory(std::string_view AStream);
  void StreamTabuFiles(std::string_view AStream);
  void StreamPostTreeright(std::string_view AStream);
  void StreamPostRole(std::string_view AStream);
  void StreamPostUsers(std::string_view AStream);
  void MyStreamPost(db::TSchemaAdapter& Adapter, std::string_view AStream);
  std::string ErrorsToJSON();
  void iqFilesUpdateError(db::TQuery& DataSet, const std::exception& E, const db::TChangeRow& Row);
  bool Hello(std::string& ConnectInfo);
  std::string getVersion() const;
  TDateTime GetNow() const;
  std::string GetSQL(const std::string& ObjName);
  std::string GetCountConnectins();
  std::string TestJSonObject(const std::string& ParamInp);
  std::optional<TStreamBytes> TestStreamObject(const std::string& ParamInp);

  // --- State
  std::unique_ptr<TdmQxSrvConnects> dmQxSrvConnects;
  TQxSessionInfo Sess;
  TOrdexFilter OrdexFilterObj;
  std::vector<std::string> FErrorsList;  // compact JSON texts of the row errors, oldest first

  // Named statements (all on dmQxSrvConnects->cnQxConn).
  db::TQuery iqTree, iqTreeEdit, iqTreeCount, iqFindTree, iqSearchNode, iqGetParentTreeID;
  db::TQuery iqTreeright, iqRoles, iqUsers;
  db::TQuery iqFiles, iqFileList, iqKolFiles, iqFileInfo, iqFileTreeID, iqFileRow;
  db::TQuery iqHistory, iqGetLastHistory, iqAddHistory, iqCntHistory;
  db::TQuery iqTabuFiles, iqPreview;
  // Exchange groups.
  db::TSchemaAdapter saTree, saTreeEdit, saTreeright, saRoles, saUsers;
  db::TSchemaAdapter saFiles, saFileList, saHistory, saTabuFiles;

  // Every named statement, in declaration order (GetSQL searches it).
  std::vector<db::TQuery*> Statements();

 private:
  void SetupStatements();    // texts, parameters, groups, hooks (dmOrdexServerClass.cpp)
  TStreamBytes SaveAdapter(const db::TSchemaAdapter& Adapter) const;
  // Column names of oxFiles from the catalog, read on first use (file-list filter checks).
  const std::vector<std::string>& FileColumns();
  std::vector<std::string> FFileColumns;
};

// Applies a change set through an exchange group with no limit on errors; when
// any row failed, throws "Ошибка применения изменений\r" + Report().
void ApplyAdapterStream(db::TSchemaAdapter& Adapter, std::string_view AStream,
                        const std::function<std::string()>& Report);

}  // namespace ordex
