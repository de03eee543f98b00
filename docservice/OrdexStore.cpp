// Stored contents and transfers: where the content of a file's newest version
// lives on disk, the chunked upload, the ranged download, the stored size and
// the diagnostic transfer methods.
//
// Layout: <storage root>\oxupload\<main folder>\<year>\<MM>\<DD>\<version id>,
// backslashes turned into the platform separator. The main folder id and the
// version id come from clients, so both are checked before they become path
// components: a text that could name another folder is refused.
#include <algorithm>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <system_error>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/OrdexFileIO.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

namespace {

constexpr std::size_t UploadBlockSize = 1048576;              // one upload write
constexpr std::int64_t MaxRangeLength = 2147483647;           // a range is below 2 GiB

// Refuses an identifier that would not stay one path component: "." or "..",
// a separator of either kind, NUL or another control character, and (unless
// AllowEmpty) an empty one.
void CheckPathComponent(const std::string& Value, const char* What, bool AllowEmpty) {
  if (Value.empty() && AllowEmpty) return;
  if (Value.empty())
    throw EArgumentError(std::string("Пустой ") + What + ": путь хранения файла не может быть построен");
  bool Bad = Value == "." || Value == "..";
  for (const char C : Value) {
    const auto U = static_cast<unsigned char>(C);
    if (C == '/' || C == '\\' || U < 32 || U == 127) Bad = true;
  }
  if (!Bad) return;
  std::string Shown;
  for (const char C : Value) {
    const auto U = static_cast<unsigned char>(C);
    if (U < 32 || U == 127) {
      static const char Hex[] = "0123456789abcdef";
      Shown += "\\x";
      Shown += Hex[U >> 4];
      Shown += Hex[U & 15];
    } else {
      Shown += C;
    }
  }
  throw EArgumentError(std::string("Недопустимый ") + What + " для пути хранения файла: \"" + Shown + "\"");
}

std::string StorageRoot() {
  std::string Root = qxroot().GetDirFiles();
  // An empty root would put the store at the top of the file system.
  if (Trim(Root).empty()) throw EFileError("Не задана папка хранения файлов (DirFiles) основного подключения");
  return Root;
}

// The storage path for a main folder, a date and a version id (all checked).
// A reader may build a path with an empty id (a file without versions or
// without a folder): such a path names no stored content, so the reader gets
// the usual "not found" error. A writer never gets one: nothing may be created
// under it.
std::string BuildStorePath(const std::string& Root, const std::string& MainFolder, const std::string& Year,
                           const std::string& Month, const std::string& Day, const std::string& IDHist,
                           bool ForReading) {
  CheckPathComponent(MainFolder, "идентификатор основной папки", ForReading);
  CheckPathComponent(IDHist, "идентификатор версии", ForReading);
  const std::string Raw = Root + "\\oxupload\\" + MainFolder + "\\" + Year + "\\" + PadLeftText(Month, 2, '0') +
                          "\\" + PadLeftText(Day, 2, '0') + "\\" + IDHist;
  return NormalizePath(Raw);
}

// Splits a date column into unpadded year, month and day texts; NULL gives the zero date.
void DateParts(const db::TField& Field, std::string& Year, std::string& Month, std::string& Day) {
  const TDateTimeParts P = DecodeDateTime(Field.IsNull() ? 0.0 : Field.AsDateTime());
  Year = std::to_string(P.Year);
  Month = std::to_string(P.Month);
  Day = std::to_string(P.Day);
}

void ZeroDateParts(std::string& Year, std::string& Month, std::string& Day) {
  const TDateTimeParts P = DecodeDateTime(0.0);
  Year = std::to_string(P.Year);
  Month = std::to_string(P.Month);
  Day = std::to_string(P.Day);
}

std::string DiagnosticPath(const char* Name) {
  return NormalizePath(StorageRoot() + "\\diagnostic\\" + Name);
}

// Appends Stream to the file at Path ("Start": the file is made or emptied
// first; otherwise it must exist). Writes in blocks of at most 1 MiB, straight
// from the caller's bytes. Returns the stored size, or "-1" when no file is there.
std::string AppendChunk(const std::string& Path, std::string_view Stream, const std::string& Status) {
  {
    const filestore::TFileHandle File = filestore::OpenExclusive(Path, Status == "Start");
    std::int64_t Pos = filestore::FileSize(File);
    std::size_t Offset = 0;
    while (true) {
      const std::size_t N = std::min(UploadBlockSize, Stream.size() - Offset);
      filestore::WriteAt(File, Pos, Stream.substr(Offset, N));
      Pos += static_cast<std::int64_t>(N);
      Offset += N;
      if (N < UploadBlockSize) break;  // the first short block ends the copy
    }
  }  // closed (and unlocked) before the size is taken
  std::error_code Ec;
  const auto Size = std::filesystem::file_size(Path, Ec);
  return Ec ? std::string("-1") : std::to_string(Size);
}

}  // namespace

bool TOrdexServerClass::GetLastHistoryInfo(const std::string& fileid, std::string& myYear, std::string& myMonth,
                                           std::string& myDay, std::string& IDHist) {
  iqGetLastHistory.Close();
  iqGetLastHistory.ParamByName("fileid").SetText(fileid);
  iqGetLastHistory.Open();
  if (iqGetLastHistory.IsEmpty()) {
    IDHist.clear();
    ZeroDateParts(myYear, myMonth, myDay);
    return false;
  }
  IDHist = iqGetLastHistory.FieldByName("histid").AsString();
  DateParts(iqGetLastHistory.FieldByName("datecreate"), myYear, myMonth, myDay);
  return true;
}

bool TOrdexServerClass::GetDateCreateFileInfo(const std::string& fileid, std::string& myYear, std::string& myMonth,
                                              std::string& myDay) {
  iqFileInfo.Close();
  iqFileInfo.ParamByName("fileid").SetText(fileid);
  iqFileInfo.Open();
  if (iqFileInfo.IsEmpty()) {
    ZeroDateParts(myYear, myMonth, myDay);
    return false;
  }
  DateParts(iqFileInfo.FieldByName("datecreate"), myYear, myMonth, myDay);
  return true;
}

std::string TOrdexServerClass::GetServerFileName(const std::string& FileID, bool IsExcept) {
  // Every chunk of a transfer asks for the path: its few lookups read one
  // snapshot in one transaction.
  const db::TReadTransaction Snapshot(dmQxSrvConnects->cnQxConn);
  std::string Year, Month, Day, IDHist;
  GetLastHistoryInfo(FileID, Year, Month, Day, IDHist);
  const std::string Root = StorageRoot();
  const std::string MainFolder = GetMainFolderID(GetTreeID(FileID));
  // IsExcept marks the readers (downloads, sizes, previews); without it the
  // path is the place an upload writes to.
  const std::string Primary = BuildStorePath(Root, MainFolder, Year, Month, Day, IDHist, IsExcept);
  if (filestore::FileExists(Primary)) return Primary;

  // Contents stored under the file row's creation date are still found.
  GetDateCreateFileInfo(FileID, Year, Month, Day);
  const std::string Fallback = BuildStorePath(Root, MainFolder, Year, Month, Day, IDHist, IsExcept);
  if (filestore::FileExists(Fallback)) return Fallback;

  if (IsExcept) throw EFileError("Файл не найден на сервере!\rНазвание файла: \r" + Primary + "\r" + Fallback);
  return Primary;
}

std::string TOrdexServerClass::GetClientFileName(const std::string& FileID) {
  iqFileInfo.Close();
  iqFileInfo.ParamByName("fileid").SetText(FileID);
  iqFileInfo.Open();
  std::string TreeID, FileName, FileExt;
  if (!iqFileInfo.IsEmpty()) {
    TreeID = iqFileInfo.FieldByName("treeid").AsString();
    FileName = iqFileInfo.FieldByName("filename").AsString();
    FileExt = iqFileInfo.FieldByName("fileext").AsString();
  }
  return GetCliTree(TreeID) + "\\" + Trim(FileName) + "." + Trim(FileExt);
}

std::string TOrdexServerClass::PutBigFileToServer(const std::string& FileID, std::string_view Stream,
                                                  const std::string& /*FileSize*/, const std::string& Status) {
  const std::string Path = GetServerFileName(FileID, false);
  const std::filesystem::path Dir = std::filesystem::path(Path).parent_path();
  std::error_code Ec;
  std::filesystem::create_directories(Dir, Ec);
  if (Ec) throw EFileError("Не удалось создать папку \"" + Dir.string() + "\": " + Ec.message());
  return AppendChunk(Path, Stream, Status);
}

TStreamBytes TOrdexServerClass::GetFilePart(const std::string& FileID, std::int64_t PosFrom, std::int64_t PosTo) {
  // The range is checked in 64 bits: it may start anywhere in a file of any
  // size, but it must not start before the file and must be shorter than 2 GiB.
  if (PosFrom < 0)
    throw EArgumentError("GetFilePart: недопустимая начальная позиция " + std::to_string(PosFrom));
  if (PosTo >= PosFrom && PosTo - PosFrom >= MaxRangeLength)
    throw EArgumentError("GetFilePart: запрошенный диапазон не меньше 2 ГБ (" + std::to_string(PosFrom) + ".." +
                         std::to_string(PosTo) + ")");
  const std::string Path = GetServerFileName(FileID, true);
  const filestore::TFileHandle File = filestore::OpenShared(Path);
  if (PosTo < PosFrom) return {};
  const std::int64_t Size = filestore::FileSize(File);
  if (PosFrom >= Size) return {};
  // Only what the file holds is allocated, however far the range reaches.
  const std::int64_t Count = std::min(PosTo - PosFrom + 1, Size - PosFrom);
  try {
    return filestore::ReadAt(File, PosFrom, static_cast<std::size_t>(Count));
  } catch (const std::bad_alloc&) {
    throw EArgumentError("GetFilePart: недостаточно памяти для диапазона " + std::to_string(Count) + " байт");
  }
}

std::string TOrdexServerClass::GetFileSizeServer(const std::string& FileID) {
  const filestore::TFileHandle File = filestore::OpenShared(GetServerFileName(FileID, true));
  return std::to_string(filestore::FileSize(File));
}

std::optional<TStreamBytes> TOrdexServerClass::GetFileFromServer(const std::string& /*FileID*/,
                                                                 std::int64_t /*PosFrom*/, std::int64_t /*PosTo*/) {
  return std::nullopt;  // offered for old clients; ranges are served by GetFilePart
}

// --- Diagnostic transfers on fixed files: <storage root>/diagnostic/download.bin
// (served) and <storage root>/diagnostic/upload.bin (written). No database row is used.

TStreamBytes TOrdexServerClass::GetFile(std::string& FileSize) {
  std::string Bytes = filestore::ReadWholeFile(DiagnosticPath("download.bin"));
  FileSize = std::to_string(Bytes.size());
  return Bytes;
}

std::string TOrdexServerClass::GetFileSize() {
  const std::string Path = DiagnosticPath("download.bin");
  if (!filestore::FileExists(Path)) throw EFileError("Файл не найден! \rИмя файла: " + Path);
  const filestore::TFileHandle File = filestore::OpenShared(Path);
  return std::to_string(filestore::FileSize(File));
}

std::string TOrdexServerClass::PutFile(std::string_view Stream, const std::string& /*FileSize*/) {
  try {
    const filestore::TFileHandle File = filestore::OpenExclusive(DiagnosticPath("upload.bin"), true);
    filestore::WriteAt(File, 0, Stream);
    return std::to_string(Stream.size());
  } catch (const std::exception&) {
    return "-1";  // the diagnostic upload reports any failure as -1
  }
}

std::string TOrdexServerClass::PutBigFile(std::string_view Stream, const std::string& /*FileSize*/,
                                          const std::string& Status) {
  return AppendChunk(DiagnosticPath("upload.bin"), Stream, Status);
}

}  // namespace ordex
