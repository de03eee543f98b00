// File commands: ls, put, get, history.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "client/cli/Commands.h"
#include "client/lib/OrdexTransfer.h"
#include "common/qxBase.h"

namespace ordex::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::int64_t kDefaultRows = 50;

client::TTransferOptions TransferOptions(const TArgs& A, TProgressBar& Bar) {
  client::TTransferOptions O;
  const std::int64_t Chunk = A.Number("chunk", 1 << 20);
  if (Chunk < 1 || Chunk > (256 << 20)) throw TUsageError("--chunk must lie between 1 and 268435456 bytes");
  O.ChunkSize = static_cast<std::size_t>(Chunk);
  O.Progress = [&Bar](std::uint64_t Done, std::uint64_t Total) { Bar.Update(Done, Total); };
  return O;
}

std::string Text(const client::TRemoteDataset& D, const char* Field) {
  return D.FindField(Field) >= 0 ? D.AsString(Field) : std::string();
}

// One file row as the JSON output shows it.
json FileJson(const client::TRemoteDataset& D) {
  const bool HasUpdate = D.FindField("dateupdate") >= 0 && !D.IsNull("dateupdate");
  json F{{"fileid", Text(D, "fileid")},
         {"treeid", Text(D, "treeid")},
         {"filename", Text(D, "filename")},
         {"fileext", Text(D, "fileext")},
         {"size_kib", D.FindField("size_file") >= 0 ? D.AsFloat("size_file") : 0.0},
         {"versions", D.FindField("count_history") >= 0 ? D.AsInt64("count_history") : 0},
         {"md5", Text(D, "md5_file")},
         {"user", Text(D, "usercreate")},
         {"date", FormatDate(D.Value(HasUpdate ? "dateupdate" : "datecreate"))}};
  if (D.FindField("blob_pic") >= 0)
    F["preview"] = D.IsNull("blob_pic") ? json(nullptr) : json{{"bytes", D.Value("blob_pic").Bytes().size()}};
  return F;
}

// ls ------------------------------------------------------------------------

int RunLs(TContext& C, const TArgs& A) {
  const bool All = A.Flag("all");
  if (A.Positional.empty() && !All) throw TUsageError("\"ls\" needs a FOLDER (or --all)");
  const std::string Folder = A.Positional.empty() ? std::string() : A.Positional[0];
  if (!Folder.empty()) CheckId(Folder, "the folder id");
  const std::int64_t Rows = A.Number("rows", kDefaultRows);
  const std::int64_t Page = A.Number("page", 1);
  if (Rows < 1) throw TUsageError("--rows must be at least 1");
  if (Page < 1) throw TUsageError("--page counts from 1");
  nlohmann::ordered_json F;
  F["TreeID"] = Folder;
  F["FileID"] = "";
  F["IsShowDel"] = A.Flag("deleted");
  F["IsShowAll"] = All;
  F["CurrentPage"] = Page - 1;
  F["KolRows"] = Rows;
  F["IsPreview"] = A.Flag("preview");
  F["IsRecursive"] = A.Flag("recursive");
  F["order"] = A.Get("order", "filename");
  F["filter"] = A.Has("filter") ? "(" + A.Get("filter") + ")" : "";
  const std::string Filter = F.dump();

  auto& S = C.Session();
  if (!Folder.empty()) RequireFolder(S, Folder);
  const client::TCallResult Count = S.Call("GetKolRows", json{{"OrdexFilter", Filter}});
  const auto Str = [](const json& V, const char* Key) {
    const auto It = V.find(Key);
    return It != V.end() && It->is_string() ? It->get<std::string>() : std::string("0");
  };
  const std::string Total = Str(Count.Values, "ReturnValue");
  const std::string TotalSize = Str(Count.Values, "TotalSize");
  client::TRemoteDataset D = S.Dataset("GetFiles", json{{"OrdexFilter", Filter}}, "iqFiles");

  json Files = json::array();
  for (D.First(); !D.Eof(); D.Next()) Files.push_back(FileJson(D));
  if (C.Json()) {
    C.Out().Json(json{{"folder", Folder},
                      {"total", std::stoll(Total.empty() ? "0" : Total)},
                      {"total_size_kib", std::stod(Trim(TotalSize).empty() ? "0" : TotalSize)},
                      {"page", Page},
                      {"rows", Rows},
                      {"files", Files}});
    return ExitOk;
  }
  const bool Preview = A.Flag("preview");
  std::vector<std::string> Header{"FILEID", "NAME", "SIZE KiB", "VER", "USER", "DATE"};
  if (Preview) Header.push_back("PREVIEW");
  std::vector<std::vector<std::string>> Table;
  for (const auto& F2 : Files) {
    std::vector<std::string> R{F2["fileid"], JoinNameExt(F2["filename"], F2["fileext"]),
                               FormatKiB(F2["size_kib"].get<double>()), std::to_string(F2["versions"].get<std::int64_t>()),
                               F2["user"], F2["date"]};
    if (Preview)
      R.push_back(F2["preview"].is_null() ? "-" : std::to_string(F2["preview"]["bytes"].get<std::size_t>()) + " B");
    Table.push_back(std::move(R));
  }
  C.Out().Table(Header, Table, {false, false, true, true, false, false, true});
  const std::int64_t First = (Page - 1) * Rows + 1;
  C.Out().Out() << "Page " << Page << ": " << (Files.empty() ? 0 : First) << "-"
                << (Files.empty() ? 0 : First + static_cast<std::int64_t>(Files.size()) - 1) << " of " << Total
                << " files, " << TotalSize << " KiB in all\n";
  return ExitOk;
}

// put -----------------------------------------------------------------------

// Removes a file row that this run created and that got no content. Best effort.
void DropNewFile(client::TOrdexSession& S, const std::string& Folder, const std::string& FileID) noexcept {
  try {
    nlohmann::ordered_json F{{"TreeID", Folder}, {"FileID", FileID}, {"IsShowDel", false}, {"IsShowAll", false},
                             {"CurrentPage", 0}, {"KolRows", 1}, {"IsPreview", false}, {"IsRecursive", false},
                             {"order", ""}, {"filter", ""}};
    client::TRemoteDataset D = S.Dataset("GetFileList", json{{"OrdexFilter", F.dump()}}, "iqFileList");
    if (D.Locate("fileid", db::TValue::Text(FileID))) {
      D.Delete();
      S.Post("StreamPostFileList", {&D});
    }
  } catch (const std::exception&) {
    // Ignored: the empty row stays; the error that got us here is reported.
  }
}

int RunPut(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  const std::string Local = A.Positional[1];
  CheckId(Folder, "the folder id");
  std::error_code Ec;
  if (!fs::is_regular_file(Local, Ec) || !std::ifstream(Local, std::ios::binary))
    throw TUsageError("cannot read the local file " + Local);
  auto [Name, Ext] = client::SplitFileName(A.Has("name") ? A.Get("name") : Local);
  if (Trim(Name).empty()) throw TUsageError("the file name must not be empty");
  const bool Existing = A.Has("file");
  if (Existing && A.Has("id")) throw TUsageError("--file and --id exclude each other");
  if (Existing) CheckId(A.Get("file"), "the file id");
  if (A.Has("id")) CheckId(A.Get("id"), "the file id");

  auto& S = C.Session();
  RequireFolder(S, Folder);
  Require(GetRights(S, Folder).WFile, "to write files in folder " + Folder + " (wfile)");
  std::string FileID;
  if (Existing) {
    FileID = A.Get("file");
    const auto Row = client::FindFileRow(S, FileID);
    if (!Row) throw TRefused("there is no file " + FileID + " that you may read");
    if (Row->AsString("treeid") != Folder)
      throw TRefused("file " + FileID + " lies in folder " + Row->AsString("treeid") + ", not in " + Folder);
  } else {
    FileID = client::CreateFileRow(S, Folder, Name, Ext, A.Get("id"));
  }
  client::TUploadResult R;
  try {
    TProgressBar Bar("put " + JoinNameExt(Name, Ext));
    R = client::UploadVersion(S, FileID, Local, TransferOptions(A, Bar));
  } catch (...) {
    if (!Existing) DropNewFile(S, Folder, FileID);
    throw;
  }
  if (C.Json()) {
    C.Out().Json(json{{"fileid", FileID},
                      {"treeid", Folder},
                      {"histid", R.HistID},
                      {"md5", R.Md5},
                      {"size", R.Size},
                      {"new_file", !Existing},
                      {"reconnects", R.Reconnects}});
  } else {
    C.Out().Out() << "Stored " << Local << " (" << R.Size << " bytes, MD5 " << R.Md5 << ") as version " << R.HistID
                  << " of " << (Existing ? "file " : "the new file ") << FileID << "\n";
  }
  return ExitOk;
}

// get -----------------------------------------------------------------------

// A local file name from a name the server gave: its last part only, never a
// path, "." or "..".
std::string SafeLocalName(const std::string& Name, const std::string& Fallback) {
  std::string Base = Name;
  const std::size_t Sep = Base.find_last_of("/\\");
  if (Sep != std::string::npos) Base = Base.substr(Sep + 1);
  std::string Out;
  for (const char Ch : Base)
    if (static_cast<unsigned char>(Ch) >= 32) Out += Ch;
  Out = Trim(Out);
  if (Out.empty() || Out == "." || Out == "..") return Fallback;
  return Out;
}

int RunGet(TContext& C, const TArgs& A) {
  const std::string FileID = A.Positional[0];
  CheckId(FileID, "the file id");
  auto& S = C.Session();
  const auto Row = client::FindFileRow(S, FileID);
  if (!Row) throw TRefused("there is no file " + FileID + " that you may read");
  const std::string Out =
      A.Has("output") ? A.Get("output")
                      : SafeLocalName(JoinNameExt(Row->AsString("filename"), Row->AsString("fileext")), FileID);
  std::error_code Ec;
  if (fs::exists(Out, Ec) && !A.Flag("force"))
    throw TUsageError(Out + " exists already; use --force to replace it or -o to choose another name");
  const std::string Md5 = Trim(Row->AsString("md5_file"));
  TProgressBar Bar("get " + Out);
  const client::TDownloadResult R = client::DownloadFile(S, FileID, Out, Md5, TransferOptions(A, Bar));
  if (Md5.empty()) C.Out().Err() << "ordex: warning: the file row holds no MD5; the download is not verified\n";
  if (C.Json()) {
    C.Out().Json(json{{"fileid", FileID},
                      {"path", Out},
                      {"size", R.Size},
                      {"md5", R.Md5},
                      {"verified", !Md5.empty()},
                      {"resumed_from", R.Resumed},
                      {"reconnects", R.Reconnects}});
  } else {
    C.Out().Out() << "Saved " << Out << " (" << R.Size << " bytes, MD5 " << R.Md5
                  << (Md5.empty() ? ", not verified" : ", verified") << ")"
                  << (R.Resumed ? ", resumed at byte " + std::to_string(R.Resumed) : std::string()) << "\n";
  }
  return ExitOk;
}

// history -------------------------------------------------------------------

int RunHistory(TContext& C, const TArgs& A) {
  const std::string FileID = A.Positional[0];
  CheckId(FileID, "the file id");
  auto& S = C.Session();
  if (!client::FindFileRow(S, FileID)) throw TRefused("there is no file " + FileID + " that you may read");
  client::TRemoteDataset H = S.Dataset("GetHistory", json{{"fileid", FileID}}, "iqHistory");
  json Versions = json::array();
  for (H.First(); !H.Eof(); H.Next()) {
    Versions.push_back(json{{"histid", Text(H, "histid")},
                            {"ordnum", H.AsInt64("ordnum")},
                            {"size_kib", H.AsFloat("size_file")},
                            {"md5", Text(H, "md5_file")},
                            {"date", FormatDate(H.Value("datecreate"))},
                            {"user", Text(H, "usercreate")}});
  }
  if (C.Json()) {
    C.Out().Json(json{{"fileid", FileID}, {"versions", Versions}});
    return ExitOk;
  }
  std::vector<std::vector<std::string>> Table;
  for (const auto& V : Versions)
    Table.push_back({std::to_string(V["ordnum"].get<std::int64_t>()), V["histid"], FormatKiB(V["size_kib"].get<double>()),
                     V["md5"], V["date"], V["user"]});
  C.Out().Table({"NUM", "HISTID", "SIZE KiB", "MD5", "DATE", "USER"}, Table, {true, false, true});
  return ExitOk;
}

const TOptionSpec kChunk{"chunk", TOptionSpec::Value, "BYTES  bytes per chunk or range (default 1048576)"};

}  // namespace

std::vector<TCommandSpec> FileCommands() {
  std::vector<TCommandSpec> L;
  L.push_back({"ls", "FOLDER [--filter SQL] [--order SQL] [--page N] [--rows N] [--deleted] [--recursive] [--all] [--preview]",
               "Lists the files of FOLDER, one page at a time.",
               "Columns: file id, name, size of the current version in KiB, number of versions, the user\n"
               "who created the file, the date of its last change. --filter is a condition over the file\n"
               "columns, e.g. \"fileext='pdf' and size_file>100\"; --order an ORDER BY list such as\n"
               "\"size_file desc\" (default filename).",
               {{"filter", TOptionSpec::Value, "SQL  only files for which the condition holds"},
                {"order", TOptionSpec::Value, "SQL  sort order (default filename)"},
                {"page", TOptionSpec::Value, "N  page number, from 1 (default 1)"},
                {"rows", TOptionSpec::Value, "N  files per page (default 50)"},
                {"deleted", TOptionSpec::Flag, "list deleted files instead of live ones"},
                {"recursive", TOptionSpec::Flag, "include the folders below FOLDER that you may read"},
                {"all", TOptionSpec::Flag, "files of every folder (FOLDER may be left out)"},
                {"preview", TOptionSpec::Flag, "show whether each file has a preview picture, and its size"}},
               0, 1, RunLs});
  L.push_back({"put", "FOLDER LOCALFILE [--file FILEID] [--id NEWID] [--name NAME.EXT]",
               "Uploads LOCALFILE as a new file of FOLDER, or as a new version of FILEID.",
               "The content goes up in chunks; a dropped connection is restored and the upload goes on\n"
               "from the size the server holds. JPEG pictures get a preview.",
               {{"file", TOptionSpec::Value, "FILEID  store a new version of this file"},
                {"id", TOptionSpec::Value, "NEWID  the id of the new file (default: a fresh one)"},
                {"name", TOptionSpec::Value, "NAME.EXT  the name the file gets (default: LOCALFILE's)"},
                kChunk},
               2, 2, RunPut});
  L.push_back({"get", "FILEID [-o PATH] [--force]", "Downloads the current version of FILEID and verifies its MD5.",
               "The bytes go to PATH.part first; an interrupted download continues from there. PATH is\n"
               "the file's own name in the current folder unless -o says otherwise. Exit code 4 when\n"
               "the MD5 differs from the file row's.",
               {{"output", TOptionSpec::Value, "PATH  where to save the file", 'o'},
                {"force", TOptionSpec::Flag, "replace PATH when it exists"},
                kChunk},
               1, 1, RunGet});
  L.push_back({"history", "FILEID", "Lists the stored versions of FILEID, newest first.", "", {}, 1, 1, RunHistory});
  return L;
}

}  // namespace ordex::cli
