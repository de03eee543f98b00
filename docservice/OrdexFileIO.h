// Files of the content store: one RAII descriptor and the ways the store opens
// them. Readers share a file; a writer holds it exclusively while it writes a
// chunk. The sharing rules are advisory flock() locks, so they bind every
// process of the server but not unrelated programs. Offsets are 64-bit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordex::filestore {

// An open file descriptor, closed (and its lock released) on destruction.
class TFileHandle {
 public:
  TFileHandle() = default;
  explicit TFileHandle(int Fd) noexcept : FFd(Fd) {}
  ~TFileHandle();
  TFileHandle(TFileHandle&& Other) noexcept : FFd(Other.FFd) { Other.FFd = -1; }
  TFileHandle& operator=(TFileHandle&& Other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  int Fd() const noexcept { return FFd; }
  const std::string& Path() const noexcept { return FPath; }
  void SetPath(std::string Path) { FPath = std::move(Path); }

 private:
  int FFd = -1;
  std::string FPath;  // for error messages
};

// Opens an existing file read-only under a shared lock. EFileError when it is
// missing or a writer holds it at this moment.
TFileHandle OpenShared(const std::string& Path);
// Opens a file for writing under an exclusive lock, waiting for current readers.
// Create: make it or empty it; otherwise it must exist (EFileError).
TFileHandle OpenExclusive(const std::string& Path, bool Create);

// Size of the open file in bytes.
std::int64_t FileSize(const TFileHandle& File);
// Reads up to Count bytes from Pos; fewer at the end of the file.
std::string ReadAt(const TFileHandle& File, std::int64_t Pos, std::size_t Count);
// Writes all of Bytes at Pos (EFileError on failure).
void WriteAt(const TFileHandle& File, std::int64_t Pos, std::string_view Bytes);
// Reads the whole file under a shared lock.
std::string ReadWholeFile(const std::string& Path);

// True when a regular file exists at Path.
bool FileExists(const std::string& Path);

}  // namespace ordex::filestore
