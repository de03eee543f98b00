// End-to-end test helpers: a real ordexd process in a temporary program
// folder (its settings file, document store and storage folder beside it),
// and runs of the real "ordex" program against it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestDatabases.h"

namespace ordex::e2e {

// The administrator that every test server has.
inline constexpr const char* kAdmin = "admin";
inline constexpr const char* kAdminPassword = "secret-Adm1n";

// An ordexd serving TCP and HTTP on free ports, on a fresh database of one
// kind ("SQLite", or "MySQL" when ORDEX_TEST_MYSQL is set). Stopped with
// SIGTERM and its folder removed on destruction.
class TServer {
 public:
  // Https: the HTTP port speaks HTTPS with a self-signed certificate for
  // "localhost" and 127.0.0.1 (CertFile()).
  explicit TServer(const std::string& Kind, bool Https = false);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  std::uint16_t TcpPort() const noexcept { return FTcpPort; }
  std::uint16_t HttpPort() const noexcept { return FHttpPort; }
  const std::string& Dir() const noexcept { return FDir; }         // the program folder, ending with '/'
  const std::string& FilesDir() const noexcept { return FFiles; }  // the storage folder
  const std::string& Kind() const noexcept { return FKind; }
  std::string CertFile() const { return FDir + "cert.pem"; }
  // Runs a statement on the server's database (test set-up only).
  void Exec(const std::string& Sql) const;
  // The server's log so far.
  std::string Log() const;

 private:
  std::string FKind;
  std::string FDir, FFiles;
  std::unique_ptr<test::TTestDatabase> FMySQL;  // MySQL only; dropped at the end
  std::string FSQLiteFile;
  std::uint16_t FTcpPort = 0, FHttpPort = 0;
  pid_t FPid = -1;
};

// The result of one run of a program.
struct TRun {
  int Code = -1;
  std::string Out, Err;
};
// Runs the ordex program with Args. The ORDEX_* variables of the test's own
// environment are dropped; Env adds variables (ORDEX_PASSWORD, ...).
TRun RunOrdex(const std::vector<std::string>& Args, const std::map<std::string, std::string>& Env = {});

// A small JPEG picture (a gradient), made with the JPEG library.
std::string MakeJpeg(int Width, int Height, int Seed);
// Writes Bytes to a new file Path.
void WriteFile(const std::string& Path, const std::string& Bytes);
std::string ReadFile(const std::string& Path);

// A temporary folder removed on destruction.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string operator/(const std::string& Name) const { return FDir + "/" + Name; }
  const std::string& Path() const noexcept { return FDir; }

 private:
  std::string FDir;
};

}  // namespace ordex::e2e
