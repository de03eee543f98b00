// What the benchmark programs share without a network: the command line and
// the main function's error handling, a temporary folder, a file descriptor, a
// seeded SQLite store and a root object whose main connection is that store.
// Header-only: every bench/<name>.cpp is its own program.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/qxError.h"
#include "config/qxroot.h"
#include "platform/db/Db.h"
#include "schema/OrdexSchema.h"

namespace ordex::bench {

using TClock = std::chrono::steady_clock;

// Seconds since T0.
inline double SecondsSince(TClock::time_point T0) {
  return std::chrono::duration<double>(TClock::now() - T0).count();
}

// A bad command line; an empty text means that --help was asked for.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text as a whole number from Min to Max; What names the option in the error.
inline long ParseLong(const std::string& Text, long Min, long Max, const std::string& What) {
  std::size_t Used = 0;
  long V = 0;
  try {
    V = std::stol(Text, &Used);
  } catch (const std::exception&) {
    throw TUsageError(What + ": not a number: " + Text);
  }
  if (Used != Text.size() || V < Min || V > Max)
    throw TUsageError(What + " must be a whole number from " + std::to_string(Min) + " to " + std::to_string(Max));
  return V;
}

// Calls Take(Name, Value) for each "--name value" pair of the command line.
// Throws TUsageError("") for --help or -h and TUsageError for a missing value.
template <typename TTake>
void ForEachOption(int Argc, char** Argv, TTake&& Take) {
  for (int I = 1; I < Argc; ++I) {
    const std::string Name = Argv[I];
    if (Name == "--help" || Name == "-h") throw TUsageError("");
    if (I + 1 >= Argc) throw TUsageError("option " + Name + " needs a value");
    Take(Name, std::string(Argv[++I]));
  }
}

// Runs Body as a program's main: its result is the exit status. A usage error
// prints the usage (status 2, or 0 for --help); any other error is printed as
// "<Program>: <class>: <message>" (status 1).
inline int BenchMain(const char* Program, const char* Usage, const std::function<int()>& Body) {
  try {
    return Body();
  } catch (const TUsageError& E) {
    if (*E.what()) std::cerr << Program << ": " << E.what() << "\n\n";
    std::cerr << Usage;
    return *E.what() ? 2 : 0;
  } catch (const std::exception& E) {
    std::cerr << Program << ": " << ErrorClassName(E) << ": " << E.what() << '\n';
    return 1;
  }
}

// A private temporary folder "<Prefix>-XXXXXX", removed with everything in it.
class TTempDir {
 public:
  explicit TTempDir(const std::string& Prefix) {
    std::string Pattern = (std::filesystem::temp_directory_path() / (Prefix + "-XXXXXX")).string();
    if (::mkdtemp(Pattern.data()) == nullptr) throw EFileError("Cannot create " + Pattern);
    FPath = Pattern;
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const noexcept { return FPath; }

 private:
  std::filesystem::path FPath;
};

// An open file descriptor, closed at the end; What names the file in the error.
class TFd {
 public:
  TFd(int Fd, const std::string& What) : FFd(Fd) {
    if (FFd < 0) throw EFileError("Cannot open " + What + ": " + std::strerror(errno));
  }
  ~TFd() { ::close(FFd); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const noexcept { return FFd; }

 private:
  int FFd;
};

// Writes all Size bytes of Data to Fd; throws EFileError.
inline void WriteAll(int Fd, const char* Data, std::size_t Size) {
  while (Size > 0) {
    const ssize_t N = ::write(Fd, Data, Size);
    if (N <= 0) throw EFileError("write failed: " + std::string(std::strerror(errno)));
    Data += N;
    Size -= static_cast<std::size_t>(N);
  }
}

// Opens Conn on the SQLite file DbFile, created when missing, and installs the
// document schema of version SchemaVersion; the caller seeds the rows.
inline void OpenNewStore(db::TConnection& Conn, const std::string& DbFile, const std::string& SchemaVersion) {
  Conn.SetDriverName("SQLite");
  Conn.Params() = {"DriverID=SQLite", "Database=" + DbFile, "OpenMode=CreateUTF16"};
  Conn.Open();
  schema::InstallDocumentSchema(Conn, "SQLite", SchemaVersion);
}

// The root object of this process, running, with the main connection on the
// SQLite store DbFile and stored contents under DirFiles; unset at the end.
class TServiceRoot {
 public:
  TServiceRoot(const std::string& DbFile, const std::string& DirFiles) {
    SetQxroot(&FRoot);
    try {
      TConnInfo Info;
      Info.NameConnection = Info.IdentConnection = MainDBSrv;
      Info.TypeDB = "SQLite";
      Info.Dbname = DbFile;
      Info.DirFiles = DirFiles;
      FRoot.AddConnections(Info);
      FRoot.SetIsRun(true);
    } catch (...) {
      SetQxroot(nullptr);
      throw;
    }
  }
  ~TServiceRoot() { SetQxroot(nullptr); }
  TServiceRoot(const TServiceRoot&) = delete;
  TServiceRoot& operator=(const TServiceRoot&) = delete;

 private:
  Tqxroot FRoot;
};

}  // namespace ordex::bench
