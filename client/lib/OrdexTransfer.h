// File workflows of a client session: finding a file row, creating one in a
// folder, storing a new version in chunks (NewChange, PutBigFileToServer,
// EndChange) and downloading the newest version in ranges with a digest check.
// Both transfers survive a dropped connection: they reconnect and go on from
// the byte count the server (upload) or the local ".part" file (download) holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/lib/OrdexSession.h"

namespace ordex::client {

// Streaming MD5 of bytes; the digest as 32 lower-case hexadecimal digits.
class TMd5 {
 public:
  TMd5();
  ~TMd5();
  TMd5(const TMd5&) = delete;
  TMd5& operator=(const TMd5&) = delete;
  void Update(std::string_view Bytes);
  // The digest of everything given so far; the object is spent afterwards.
  std::string FinalHex();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
// The MD5 and size of a local file; throws EFileError when it cannot be read.
struct TFileDigest {
  std::string Md5;
  std::uint64_t Size = 0;
};
TFileDigest DigestOfFile(const std::string& Path);

// Bytes done of Total, reported after every chunk.
using TProgressFn = std::function<void(std::uint64_t Done, std::uint64_t Total)>;

struct TTransferOptions {
  std::size_t ChunkSize = 1 << 20;  // bytes per upload chunk or download range
  int MaxReconnects = 3;            // dropped connections survived per transfer
  TProgressFn Progress;
  // Called after each chunk has been stored or written; tests drop the
  // connection here to exercise the resumption.
  std::function<void(std::uint64_t Done)> AfterChunk;
};

// The live row of a file that the session may read, positioned on it; none
// when there is no such file or the user lacks the right to read it.
std::optional<TRemoteDataset> FindFileRow(TOrdexSession& Session, const std::string& FileID);

// Splits a local file name into the name and extension the file row keeps:
// "report.v2.pdf" -> {"report.v2", "pdf"}, "README" -> {"README", ""}.
std::pair<std::string, std::string> SplitFileName(const std::string& Path);

// Creates the row of a new file in folder TreeID through a change set of the
// folder's file list; FileID empty makes a new id. Returns the file id. A
// refused row (a duplicate id, ...) throws EPostError.
std::string CreateFileRow(TOrdexSession& Session, const std::string& TreeID, const std::string& FileName,
                          const std::string& FileExt, std::string FileID = {});

struct TUploadResult {
  std::string HistID;
  std::string Md5;
  std::uint64_t Size = 0;
  int Reconnects = 0;
};
// Stores the content of LocalPath as the new newest version of FileID. The
// digest and size sent with the version are those of the bytes uploaded; a
// file that changes while it is read throws EVerifyError and the version row
// is withdrawn (best effort), as it is when the upload fails otherwise.
TUploadResult UploadVersion(TOrdexSession& Session, const std::string& FileID, const std::string& LocalPath,
                            const TTransferOptions& Options = {});

struct TDownloadResult {
  std::uint64_t Size = 0;
  std::uint64_t Resumed = 0;  // bytes taken over from an earlier ".part" file
  std::string Md5;
  int Reconnects = 0;
};
// Downloads the newest version of FileID to OutPath, through OutPath + ".part"
// which a later call continues. When ExpectedMd5 is set, a content with
// another digest throws EVerifyError and the ".part" file is removed so that
// the next attempt starts afresh; OutPath is written only by a verified (or
// unchecked) download.
TDownloadResult DownloadFile(TOrdexSession& Session, const std::string& FileID, const std::string& OutPath,
                             const std::string& ExpectedMd5, const TTransferOptions& Options = {});

}  // namespace ordex::client
