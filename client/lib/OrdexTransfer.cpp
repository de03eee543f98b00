#include "client/lib/OrdexTransfer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <openssl/evp.h>

#include "common/qxBase.h"
#include "common/qxDateTime.h"

namespace ordex::client {

namespace fs = std::filesystem;
using nlohmann::json;

// ---------------------------------------------------------------------------
// Digests

struct TMd5::TImpl {
  struct TFree {
    void operator()(EVP_MD_CTX* C) const noexcept { EVP_MD_CTX_free(C); }
  };
  std::unique_ptr<EVP_MD_CTX, TFree> Ctx{EVP_MD_CTX_new()};
};

TMd5::TMd5() : FImpl(std::make_unique<TImpl>()) {
  if (!FImpl->Ctx || EVP_DigestInit_ex(FImpl->Ctx.get(), EVP_md5(), nullptr) != 1)
    throw EOSError("MD5 is not available");
}

TMd5::~TMd5() = default;

void TMd5::Update(std::string_view Bytes) {
  if (!Bytes.empty() && EVP_DigestUpdate(FImpl->Ctx.get(), Bytes.data(), Bytes.size()) != 1)
    throw EOSError("MD5 update failed");
}

std::string TMd5::FinalHex() {
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int Len = 0;
  if (EVP_DigestFinal_ex(FImpl->Ctx.get(), Digest, &Len) != 1) throw EOSError("MD5 final failed");
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Out;
  for (unsigned int I = 0; I < Len; ++I) {
    Out += Hex[Digest[I] >> 4];
    Out += Hex[Digest[I] & 15];
  }
  return Out;
}

namespace {

constexpr std::size_t kReadBlock = 1 << 20;

// Reads up to N bytes at the stream's position; fewer only at the end.
std::string ReadBlock(std::istream& In, std::size_t N) {
  std::string Buf(N, '\0');
  In.read(Buf.data(), static_cast<std::streamsize>(N));
  Buf.resize(static_cast<std::size_t>(In.gcount()));
  return Buf;
}

std::ifstream OpenForReading(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw EFileError("Cannot open " + Path);
  return In;
}

}  // namespace

TFileDigest DigestOfFile(const std::string& Path) {
  std::ifstream In = OpenForReading(Path);
  TMd5 Md5;
  TFileDigest D;
  for (;;) {
    const std::string Block = ReadBlock(In, kReadBlock);
    Md5.Update(Block);
    D.Size += Block.size();
    if (Block.size() < kReadBlock) break;
  }
  if (In.bad()) throw EFileError("Cannot read " + Path);
  D.Md5 = Md5.FinalHex();
  return D;
}

// ---------------------------------------------------------------------------
// File rows

namespace {

// A file-list filter: one folder (or one file in it), live rows, one page.
std::string FilterJson(const std::string& TreeID, const std::string& FileID, std::int64_t KolRows) {
  nlohmann::ordered_json F;
  F["TreeID"] = TreeID;
  F["FileID"] = FileID;
  F["IsShowDel"] = false;
  F["IsShowAll"] = false;
  F["CurrentPage"] = 0;
  F["KolRows"] = KolRows;
  F["IsPreview"] = false;
  F["IsRecursive"] = false;
  F["order"] = "";
  F["filter"] = "";
  return F.dump();
}

// Sets a column when the dataset has it (clients keep their own extra columns).
void SetIfPresent(TRemoteDataset& D, std::string_view Field, const db::TValue& V) {
  if (D.FindField(Field) >= 0) D.SetField(Field, V);
}

}  // namespace

std::optional<TRemoteDataset> FindFileRow(TOrdexSession& Session, const std::string& FileID) {
  const std::string TreeID = Session.CallText("GetTreeID", json{{"FileID", FileID}});
  if (TreeID.empty()) return std::nullopt;
  TRemoteDataset D = Session.Dataset("GetFiles", json{{"OrdexFilter", FilterJson(TreeID, FileID, 1)}}, "iqFiles");
  D.First();
  if (D.Eof()) return std::nullopt;
  return D;
}

std::pair<std::string, std::string> SplitFileName(const std::string& Path) {
  const std::string Base = fs::path(Path).filename().string();
  const std::size_t Dot = Base.rfind('.');
  if (Dot == std::string::npos || Dot == 0) return {Base, ""};
  return {Base.substr(0, Dot), Base.substr(Dot + 1)};
}

std::string CreateFileRow(TOrdexSession& Session, const std::string& TreeID, const std::string& FileName,
                          const std::string& FileExt, std::string FileID) {
  if (FileID.empty()) FileID = NewClientID();
  // An empty page of the folder's list gives the columns of the new row.
  TRemoteDataset D = Session.Dataset("GetFileList", json{{"OrdexFilter", FilterJson(TreeID, "", 0)}}, "iqFileList");
  D.Append();
  // Rows posted as change sets are written as sent: the audit columns are ours
  // to fill, and usercreate decides who owns the file for "own files" rights.
  const db::TValue Now = db::TValue::DateTime(NowLocal());
  D.SetText("fileid", FileID);
  D.SetText("treeid", TreeID);
  D.SetText("filename", FileName);
  D.SetText("fileext", FileExt);
  SetIfPresent(D, "size_file", db::TValue::Float(0));
  SetIfPresent(D, "count_history", db::TValue::Int32(0));
  SetIfPresent(D, "del", db::TValue::Int32(0));
  SetIfPresent(D, "datecreate", Now);
  SetIfPresent(D, "usercreate", db::TValue::Text(Session.Login()));
  SetIfPresent(D, "dateupdate", Now);
  SetIfPresent(D, "userupdate", db::TValue::Text(Session.Login()));
  Session.Post("StreamPostFileList", {&D});
  return FileID;
}

// ---------------------------------------------------------------------------
// Upload

namespace {

std::string HistoryJson(const std::string& HistID, const std::string& FileID, const std::string& Md5,
                        std::uint64_t Size) {
  nlohmann::ordered_json H;
  H["histid"] = HistID;
  H["fileid"] = FileID;
  H["md5_file"] = Md5;
  H["size_file"] = static_cast<double>(Size);
  return H.dump();
}

std::int64_t ParseSize(const std::string& Text, const char* Method) {
  std::size_t End = 0;
  std::int64_t N = 0;
  try {
    N = std::stoll(Text, &End);
  } catch (const std::logic_error&) {
    End = 0;
  }
  if (End == 0 || End != Text.size()) throw EConnectionError(std::string("Bad answer: ") + Method + " returned \"" + Text + "\"");
  return N;
}

// The stored size of the newest version's content, or -1 when the server holds none.
std::int64_t ServerSize(TOrdexSession& Session, const std::string& FileID) {
  try {
    return ParseSize(Session.CallText("GetFileSizeServer", json{{"FileID", FileID}}), "GetFileSizeServer");
  } catch (const ELoginError&) {
    throw;
  } catch (const ERemoteError&) {
    return -1;  // the content is not found on the server
  }
}

// Opens a new session after a dropped connection, a few times with a growing
// pause; throws the last EConnectionError when the budget is spent.
void Reconnect(TOrdexSession& Session, int& Reconnects, int MaxReconnects) {
  for (;;) {
    if (Reconnects >= MaxReconnects) throw EConnectionError("The connection dropped and could not be restored");
    ++Reconnects;
    std::this_thread::sleep_for(std::chrono::milliseconds(200) * Reconnects);
    try {
      Session.Reconnect();
      return;
    } catch (const EConnectionError&) {
      // The server is not back yet: try again while the budget lasts.
    }
  }
}

// Runs Step, reconnecting and running it again whenever the connection drops.
template <class TStep>
auto Retrying(TOrdexSession& Session, int& Reconnects, int MaxReconnects, TStep&& Step) {
  for (;;) {
    try {
      return Step();
    } catch (const EConnectionError&) {
      Reconnect(Session, Reconnects, MaxReconnects);
    }
  }
}

// Removes the version row HistID again, so that the file's newest version is
// the previous one. Best effort: the caller is already failing.
void WithdrawVersion(TOrdexSession& Session, const std::string& FileID, const std::string& HistID) noexcept {
  try {
    TRemoteDataset H = Session.Dataset("GetHistory", json{{"fileid", FileID}}, "iqHistory");
    if (H.Locate("histid", db::TValue::Text(HistID))) {
      H.Delete();
      Session.Post("StreamPostHistory", {&H});
    }
  } catch (const std::exception&) {
    // Ignored: the incomplete version stays, and the file row still describes the previous one.
  }
}

}  // namespace

TUploadResult UploadVersion(TOrdexSession& Session, const std::string& FileID, const std::string& LocalPath,
                            const TTransferOptions& Options) {
  const std::uint64_t Chunk = std::max<std::size_t>(Options.ChunkSize, 1);
  const TFileDigest Planned = DigestOfFile(LocalPath);
  TUploadResult R;
  R.HistID = NewClientID();
  R.Md5 = Planned.Md5;
  R.Size = Planned.Size;
  const std::string Version = HistoryJson(R.HistID, FileID, Planned.Md5, Planned.Size);
  Session.CallText("NewChange", json{{"FileHistInfo", Version}});

  try {
    std::ifstream In = OpenForReading(LocalPath);
    TMd5 Sent;  // digest of the bytes the server confirmed, in order
    std::uint64_t Done = 0;
    bool Started = false;
    if (Options.Progress) Options.Progress(0, Planned.Size);
    while (!Started || Done < Planned.Size) {
      const std::size_t Want = static_cast<std::size_t>(std::min(Chunk, Planned.Size - Done));
      const std::string Block = ReadBlock(In, Want);
      if (In.bad() || Block.size() != Want)
        throw EVerifyError(LocalPath + " changed while it was uploaded (it is shorter now)");
      const auto Expected = static_cast<std::int64_t>(Done + Block.size());
      std::int64_t Stored = -1;
      for (;;) {
        try {
          Stored = ParseSize(Session.CallText("PutBigFileToServer", json{{"FileID", FileID},
                                                                         {"Stream", json{{"$blob", 0}}},
                                                                         {"FileSize", std::to_string(Planned.Size)},
                                                                         {"Status", Started ? "Next" : "Start"}},
                                                  {Block}),
                             "PutBigFileToServer");
          break;
        } catch (const EConnectionError&) {
          // The chunk may or may not have arrived: the server's size tells.
          Reconnect(Session, R.Reconnects, Options.MaxReconnects);
          const std::int64_t Held = Retrying(Session, R.Reconnects, Options.MaxReconnects,
                                             [&] { return ServerSize(Session, FileID); });
          if (Held == Expected) {
            Stored = Held;
            break;
          }
          const bool Resend = Started ? Held == static_cast<std::int64_t>(Done) : true;
          if (!Resend)
            throw EVerifyError("The server holds " + std::to_string(Held) + " bytes of the upload, expected " +
                               std::to_string(Done) + " or " + std::to_string(Expected));
        }
      }
      if (Stored != Expected)
        throw EVerifyError("The server holds " + std::to_string(Stored) + " bytes after a chunk, expected " +
                           std::to_string(Expected));
      Started = true;
      Sent.Update(Block);
      Done = static_cast<std::uint64_t>(Expected);
      if (Options.Progress) Options.Progress(Done, Planned.Size);
      if (Options.AfterChunk) Options.AfterChunk(Done);
    }
    if (In.peek() != std::char_traits<char>::eof())
      throw EVerifyError(LocalPath + " changed while it was uploaded (it is longer now)");
    if (Sent.FinalHex() != Planned.Md5) throw EVerifyError(LocalPath + " changed while it was uploaded");
    // Closing the change again is harmless, so a dropped connection simply retries it.
    Retrying(Session, R.Reconnects, Options.MaxReconnects,
             [&] { return Session.CallText("EndChange", json{{"FileHistInfo", Version}}); });
  } catch (...) {
    WithdrawVersion(Session, FileID, R.HistID);
    throw;
  }
  return R;
}

// ---------------------------------------------------------------------------
// Download

TDownloadResult DownloadFile(TOrdexSession& Session, const std::string& FileID, const std::string& OutPath,
                             const std::string& ExpectedMd5, const TTransferOptions& Options) {
  const std::uint64_t Chunk = std::max<std::size_t>(Options.ChunkSize, 1);
  const std::string Part = OutPath + ".part";
  TDownloadResult R;
  const std::int64_t Total = Retrying(Session, R.Reconnects, Options.MaxReconnects, [&] {
    return ParseSize(Session.CallText("GetFileSizeServer", json{{"FileID", FileID}}), "GetFileSizeServer");
  });
  if (Total < 0) throw EConnectionError("Bad answer: GetFileSizeServer returned a negative size");
  R.Size = static_cast<std::uint64_t>(Total);

  std::error_code Ec;
  std::uint64_t Pos = fs::is_regular_file(Part, Ec) ? fs::file_size(Part, Ec) : 0;
  if (Ec) Pos = 0;
  if (Pos > R.Size) {
    // Left over from a larger content: of no use for this one.
    fs::remove(Part, Ec);
    Pos = 0;
  }
  R.Resumed = Pos;
  {
    std::ofstream Out(Part, std::ios::binary | std::ios::app);
    if (!Out) throw EFileError("Cannot write " + Part);
    if (Options.Progress) Options.Progress(Pos, R.Size);
    while (Pos < R.Size) {
      const std::uint64_t To = std::min(Pos + Chunk, R.Size) - 1;
      const std::string Bytes = Retrying(Session, R.Reconnects, Options.MaxReconnects, [&] {
        return Session.CallStream("GetFilePart", json{{"FileID", FileID},
                                                      {"PosFrom", static_cast<std::int64_t>(Pos)},
                                                      {"PosTo", static_cast<std::int64_t>(To)}});
      });
      if (Bytes.empty() || Bytes.size() > To - Pos + 1)
        throw EVerifyError("The server sent " + std::to_string(Bytes.size()) + " bytes for the range " +
                           std::to_string(Pos) + "-" + std::to_string(To) + " of " + std::to_string(R.Size));
      Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
      Out.flush();  // what is in the .part file must be whole for a later resumption
      if (!Out) throw EFileError("Cannot write " + Part);
      Pos += Bytes.size();
      if (Options.Progress) Options.Progress(Pos, R.Size);
      if (Options.AfterChunk) Options.AfterChunk(Pos);
    }
  }
  R.Md5 = DigestOfFile(Part).Md5;
  if (!ExpectedMd5.empty() && LowerCaseAscii(Trim(ExpectedMd5)) != R.Md5) {
    fs::remove(Part, Ec);
    throw EVerifyError("The downloaded content has the MD5 " + R.Md5 + ", the file row says " + Trim(ExpectedMd5) +
                       "; " + Part + " was removed");
  }
  fs::rename(Part, OutPath, Ec);
  if (Ec) throw EFileError("Cannot rename " + Part + " to " + OutPath + ": " + Ec.message());
  return R;
}

}  // namespace ordex::client
