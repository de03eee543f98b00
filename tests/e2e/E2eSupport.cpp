#include "tests/e2e/E2eSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <turbojpeg.h>

#include "common/qxError.h"
#include "platform/db/Db.h"

extern char** environ;

namespace ordex::e2e {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

std::string MakeTemp(const char* Prefix) {
  std::string Pattern = (fs::temp_directory_path() / (std::string(Prefix) + "XXXXXX")).string();
  if (::mkdtemp(Pattern.data()) == nullptr) throw EFileError("Cannot create " + Pattern);
  return Pattern;
}

std::uint16_t FreePort() {
  asio::io_context Io;
  tcp::acceptor A(Io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return A.local_endpoint().port();
}

bool Answers(std::uint16_t Port) {
  asio::io_context Io;
  tcp::socket S(Io);
  boost::system::error_code Ec;
  S.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port), Ec);
  return !Ec;
}

// The environment of a child: ours without ORDEX_* (so that a developer's
// settings do not leak into the tests), plus Extra.
std::vector<std::string> ChildEnv(const std::map<std::string, std::string>& Extra) {
  std::vector<std::string> Env;
  for (char** E = environ; *E; ++E)
    if (std::string_view(*E).rfind("ORDEX_", 0) != 0) Env.emplace_back(*E);
  for (const auto& [K, V] : Extra) Env.push_back(K + "=" + V);
  return Env;
}

// Starts Program with Args; stdout and stderr go to the files given.
pid_t Spawn(const std::string& Program, const std::vector<std::string>& Args, const std::vector<std::string>& Env,
            const std::string& OutFile, const std::string& ErrFile) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
  for (const auto& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  std::vector<char*> Envp;
  for (const auto& E : Env) Envp.push_back(const_cast<char*>(E.c_str()));
  Envp.push_back(nullptr);
  pid_t Pid = -1;
  const int Rc = posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  if (Rc != 0) throw EOSError("Cannot start " + Program);
  return Pid;
}

int WaitExit(pid_t Pid) {
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}

TRun RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                const std::map<std::string, std::string>& Env) {
  const TTempDir Tmp;
  const pid_t Pid = Spawn(Program, Args, ChildEnv(Env), Tmp / "out", Tmp / "err");
  TRun R;
  R.Code = WaitExit(Pid);
  R.Out = ReadFile(Tmp / "out");
  R.Err = ReadFile(Tmp / "err");
  return R;
}

// Writes a self-signed certificate for localhost and 127.0.0.1 and its key.
void MakeCertificate(const std::string& CertFile, const std::string& KeyFile) {
  struct TFreeKey {
    void operator()(EVP_PKEY* K) const noexcept { EVP_PKEY_free(K); }
  };
  struct TFreeCert {
    void operator()(X509* C) const noexcept { X509_free(C); }
  };
  struct TClose {
    void operator()(FILE* F) const noexcept { std::fclose(F); }
  };
  const std::unique_ptr<EVP_PKEY, TFreeKey> Key(EVP_EC_gen("prime256v1"));
  const std::unique_ptr<X509, TFreeCert> Cert(X509_new());
  if (!Key || !Cert) throw EOSError("Cannot make a test certificate");
  X509_set_version(Cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(Cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(Cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(Cert.get()), 86400);
  X509_set_pubkey(Cert.get(), Key.get());
  X509_NAME* Name = X509_get_subject_name(Cert.get());
  X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(Cert.get(), Name);
  X509V3_CTX Ctx;
  X509V3_set_ctx_nodb(&Ctx);
  X509V3_set_ctx(&Ctx, Cert.get(), Cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* San = X509V3_EXT_conf_nid(nullptr, &Ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  if (!San) throw EOSError("Cannot make a test certificate");
  X509_add_ext(Cert.get(), San, -1);
  X509_EXTENSION_free(San);
  if (X509_sign(Cert.get(), Key.get(), EVP_sha256()) == 0) throw EOSError("Cannot sign the test certificate");
  const std::unique_ptr<FILE, TClose> C(std::fopen(CertFile.c_str(), "wb"));
  const std::unique_ptr<FILE, TClose> K(std::fopen(KeyFile.c_str(), "wb"));
  if (!C || !K || PEM_write_X509(C.get(), Cert.get()) != 1 ||
      PEM_write_PrivateKey(K.get(), Key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw EFileError("Cannot write the test certificate");
}

}  // namespace

// ---------------------------------------------------------------------------

TTempDir::TTempDir() : FDir(MakeTemp("ordex-e2e-")) {}

TTempDir::~TTempDir() {
  std::error_code Ignored;
  fs::remove_all(FDir, Ignored);
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!Out) throw EFileError("Cannot write " + Path);
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

TRun RunOrdex(const std::vector<std::string>& Args, const std::map<std::string, std::string>& Env) {
  return RunProgram(ORDEX_CLI, Args, Env);
}

std::string MakeJpeg(int Width, int Height, int Seed) {
  std::vector<unsigned char> Rgb(static_cast<std::size_t>(Width * Height * 3));
  for (int Y = 0; Y < Height; ++Y)
    for (int X = 0; X < Width; ++X) {
      unsigned char* P = &Rgb[static_cast<std::size_t>((Y * Width + X) * 3)];
      P[0] = static_cast<unsigned char>(X * 255 / Width);
      P[1] = static_cast<unsigned char>((Seed * 40) & 255);
      P[2] = static_cast<unsigned char>(Y * 255 / Height);
    }
  struct TFree {
    void operator()(void* H) const noexcept { tjDestroy(H); }
  };
  const std::unique_ptr<void, TFree> Handle(tjInitCompress());
  unsigned char* Jpeg = nullptr;
  unsigned long Size = 0;
  if (!Handle || tjCompress2(Handle.get(), Rgb.data(), Width, 0, Height, TJPF_RGB, &Jpeg, &Size, TJSAMP_420, 85, 0) != 0)
    throw EImageError("Cannot encode the test picture");
  std::string Out(reinterpret_cast<const char*>(Jpeg), Size);
  tjFree(Jpeg);
  return Out;
}

// ---------------------------------------------------------------------------
// TServer

TServer::TServer(const std::string& Kind, bool Https) : FKind(Kind) {
  FDir = MakeTemp("ordex-e2e-srv-") + "/";
  FFiles = FDir + "files";
  fs::create_directories(FFiles);
  // The program's own folder decides where it reads its settings: a link of
  // the binary (a copy when linking is not possible) puts them here.
  std::error_code Ec;
  fs::create_hard_link(ORDEXD, FDir + "ordexd", Ec);
  if (Ec) fs::copy_file(ORDEXD, FDir + "ordexd");

  nlohmann::ordered_json Connect;
  Connect["IsIni"] = "1";
  Connect["TypeDB"] = Kind;
  std::vector<std::string> Init{"--kind", Kind, "--admin", kAdmin, "--password", kAdminPassword};
  if (Kind == "SQLite") {
    FSQLiteFile = FDir + "ordex.db";
    Connect["Database"] = FSQLiteFile;
    Init.insert(Init.end(), {"--database", FSQLiteFile});
  } else {
    FMySQL = std::make_unique<test::TTestDatabase>(Kind, false);
    const TConnInfo& I = FMySQL->Info();
    Connect["Server"] = I.Server;
    Connect["Port"] = I.Port;
    Connect["Database"] = I.Dbname;
    Connect["Login"] = I.Username;
    Connect["Password"] = I.Password;
    Init.insert(Init.end(), {"--server", I.Server, "--port", I.Port, "--user", I.Username, "--db-password",
                             I.Password, "--database", I.Dbname});
  }
  const TRun Made = RunProgram(ORDEX_INITDB, Init, {});
  if (Made.Code != 0) throw EDatabaseError("ordex-initdb failed: " + Made.Err);

  FTcpPort = FreePort();
  do FHttpPort = FreePort(); while (FHttpPort == FTcpPort);
  Connect["DirFiles"] = FFiles;
  Connect["OrdexPort"] = std::to_string(FTcpPort);
  Connect["OrdexHTTP"] = std::to_string(FHttpPort);
  if (Https) {
    MakeCertificate(CertFile(), FDir + "key.pem");
    Connect["HttpsCert"] = CertFile();
    Connect["HttpsKey"] = FDir + "key.pem";
  }
  WriteFile(FDir + "ordexd.ini",
            "[ConnectionSettings]\nTfmOrdexServerMains = " + nlohmann::ordered_json{{"ConnectDB", Connect}}.dump() + "\n");

  FPid = Spawn(FDir + "ordexd", {}, ChildEnv({}), FDir + "server.out", FDir + "server.log");
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!(Answers(FTcpPort) && Answers(FHttpPort))) {
    int Status = 0;
    if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
      FPid = -1;
      throw EOSError("ordexd ended at start: " + Log());
    }
    if (std::chrono::steady_clock::now() > Until) throw EOSError("ordexd does not answer: " + Log());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TServer::~TServer() {
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    WaitExit(FPid);
  }
  std::error_code Ignored;
  fs::remove_all(FDir, Ignored);
}

void TServer::Exec(const std::string& Sql) const {
  db::TConnection Conn;
  if (FMySQL) {
    FMySQL->Open(Conn);
  } else {
    Conn.SetDriverName("SQLite");
    Conn.Params() = {"DriverID=SQLite", "Database=" + FSQLiteFile};
    Conn.Open();
  }
  Conn.ExecSQL(Sql);
}

std::string TServer::Log() const { return ReadFile(FDir + "server.log"); }

}  // namespace ordex::e2e
