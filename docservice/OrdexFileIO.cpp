#include "docservice/OrdexFileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/qxError.h"

namespace ordex::filestore {

static_assert(sizeof(off_t) >= 8, "the store needs 64-bit file offsets");

namespace {

std::string SysText(int Err) { return std::strerror(Err); }

[[noreturn]] void ThrowFileError(const std::string& What, const std::string& Path, int Err) {
  throw EFileError(What + " \"" + Path + "\": " + SysText(Err));
}

// flock() retried on EINTR; returns 0 or the errno.
int LockFile(int Fd, int Operation) {
  while (::flock(Fd, Operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

TFileHandle::~TFileHandle() {
  if (FFd >= 0) ::close(FFd);  // closing also releases the flock
}

TFileHandle& TFileHandle::operator=(TFileHandle&& Other) noexcept {
  if (this != &Other) {
    if (FFd >= 0) ::close(FFd);
    FFd = Other.FFd;
    FPath = std::move(Other.FPath);
    Other.FFd = -1;
  }
  return *this;
}

TFileHandle OpenShared(const std::string& Path) {
  TFileHandle File(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
  if (File.Fd() < 0) ThrowFileError("Не удалось открыть файл", Path, errno);
  File.SetPath(Path);
  // A writer holds the exclusive lock only while it writes one chunk; a reader
  // does not wait for it but fails, as a sharing violation would.
  if (const int Err = LockFile(File.Fd(), LOCK_SH | LOCK_NB); Err != 0) {
    if (Err == EWOULDBLOCK)
      throw EFileError("Файл занят: на сервере идёт его запись. Повторите попытку позже.\rНазвание файла: " + Path);
    ThrowFileError("Не удалось заблокировать файл", Path, Err);
  }
  return File;
}

TFileHandle OpenExclusive(const std::string& Path, bool Create) {
  // Never O_TRUNC at open: the file is emptied only once the lock is held, so a
  // reader in the middle of a range never sees it shrink under it.
  const int Flags = O_RDWR | O_CLOEXEC | (Create ? O_CREAT : 0);
  TFileHandle File(::open(Path.c_str(), Flags, 0644));
  if (File.Fd() < 0) ThrowFileError("Не удалось открыть файл", Path, errno);
  File.SetPath(Path);
  if (const int Err = LockFile(File.Fd(), LOCK_EX); Err != 0)
    ThrowFileError("Не удалось заблокировать файл", Path, Err);
  if (Create && ::ftruncate(File.Fd(), 0) != 0) ThrowFileError("Не удалось очистить файл", Path, errno);
  return File;
}

std::int64_t FileSize(const TFileHandle& File) {
  struct stat St {};
  if (::fstat(File.Fd(), &St) != 0) ThrowFileError("Не удалось прочитать размер файла", File.Path(), errno);
  return static_cast<std::int64_t>(St.st_size);
}

std::string ReadAt(const TFileHandle& File, std::int64_t Pos, std::size_t Count) {
  std::string Buffer(Count, '\0');
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::pread(File.Fd(), Buffer.data() + Done, Count - Done, static_cast<off_t>(Pos + static_cast<std::int64_t>(Done)));
    if (N < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Ошибка чтения файла", File.Path(), errno);
    }
    if (N == 0) break;  // end of file
    Done += static_cast<std::size_t>(N);
  }
  Buffer.resize(Done);
  return Buffer;
}

void WriteAt(const TFileHandle& File, std::int64_t Pos, std::string_view Bytes) {
  std::size_t Done = 0;
  while (Done < Bytes.size()) {
    const ssize_t N = ::pwrite(File.Fd(), Bytes.data() + Done, Bytes.size() - Done, static_cast<off_t>(Pos + static_cast<std::int64_t>(Done)));
    if (N < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Ошибка записи файла", File.Path(), errno);
    }
    Done += static_cast<std::size_t>(N);
  }
}

std::string ReadWholeFile(const std::string& Path) {
  const TFileHandle File = OpenShared(Path);
  const std::int64_t Size = FileSize(File);
  return ReadAt(File, 0, static_cast<std::size_t>(Size));
}

bool FileExists(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

}  // namespace ordex::filestore
