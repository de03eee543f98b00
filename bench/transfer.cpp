// Transfer rates of one large content through the real server, in process on
// free loopback ports with a temporary SQLite store:
//   - upload: NewChange, PutBigFileToServer in 1 MiB chunks, EndChange;
//   - download: GetFileSizeServer, then GetFilePart in 1 MiB ranges;
// each over TCP and over HTTP (keep-alive, Accept: application/octet-stream),
// every byte compared with what was sent. For comparison: the disk write rate
// of the same size (1 MiB blocks, fsync at the end) and, when ORDEX_NGINX_URL
// names that written file on a local nginx, the same 1 MiB ranges fetched from
// it with HTTP Range requests over one keep-alive connection.
//
//   bench_transfer [--mib 1024] [--disk-dir DIR]
//
// --disk-dir: where the disk-write test file "ordex-transfer.bin" is written
// and left (the folder nginx serves); by default a temporary folder.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "client/lib/OrdexClient.h"
#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxLog.h"
#include "common/qxversion.h"
#include "config/qxSettings.h"
#include "config/qxroot.h"
#include "platform/db/Db.h"
#include "platform/rpc/RpcServer.h"
#include "schema/OrdexSchema.h"
#include "serverhost/ConsoleModel.h"
#include "serverhost/dmOrdexServerContainer.h"
#include "serverhost/frmQxServer.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace ordex;
using nlohmann::json;
using TClock = std::chrono::steady_clock;
using client::TTransport;

constexpr std::size_t Chunk = 1048576;
constexpr const char* ServerClass = "TOrdexServerClass";
constexpr const char* FileID = "bigfile";
constexpr const char* DiskFileName = "ordex-transfer.bin";

struct TOptions {
  std::int64_t MiB = 1024;
  std::string DiskDir;
};

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr const char* Usage =
    "usage: bench_transfer [--mib 1024] [--disk-dir DIR]\n"
    "  --mib       size of the content in MiB (1..65536)\n"
    "  --disk-dir  folder of the disk-write test file ordex-transfer.bin (kept); default a temporary one\n"
    "environment: ORDEX_NGINX_URL=http://127.0.0.1:PORT/ordex-transfer.bin fetches that file from nginx too\n";

TOptions ParseArgs(int Argc, char** Argv) {
  TOptions O;
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    if (A == "--help" || A == "-h") throw TUsageError("");
    if (I + 1 >= Argc) throw TUsageError("option " + A + " needs a value");
    const std::string V = Argv[++I];
    if (A == "--mib") {
      char* End = nullptr;
      const long long N = std::strtoll(V.c_str(), &End, 10);
      if (End == V.c_str() || *End != '\0' || N < 1 || N > 65536) throw TUsageError("--mib must be 1..65536");
      O.MiB = N;
    } else if (A == "--disk-dir") {
      O.DiskDir = V;
    } else {
      throw TUsageError("unknown argument " + A);
    }
  }
  return O;
}

double Since(TClock::time_point T0) { return std::chrono::duration<double>(TClock::now() - T0).count(); }
double Rate(std::int64_t Bytes, double Seconds) { return static_cast<double>(Bytes) / 1048576.0 / Seconds; }

// ---------------------------------------------------------------------------
// Resources

class TTempDir {
 public:
  TTempDir() {
    std::string Pattern = (fs::temp_directory_path() / "ordex-transfer-XXXXXX").string();
    if (::mkdtemp(Pattern.data()) == nullptr) throw EFileError("Cannot create " + Pattern);
    FPath = Pattern;
  }
  ~TTempDir() {
    std::error_code Ignored;
    fs::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const noexcept { return FPath; }

 private:
  fs::path FPath;
};

class TFd {
 public:
  explicit TFd(int Fd, const std::string& What) : FFd(Fd) {
    if (FFd < 0) throw EFileError("Cannot open " + What + ": " + std::strerror(errno));
  }
  ~TFd() { ::close(FFd); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const noexcept { return FFd; }

 private:
  int FFd;
};

struct TMdCtxFree {
  void operator()(EVP_MD_CTX* C) const noexcept { EVP_MD_CTX_free(C); }
};

// The content: chunk I is one of 16 random 1 MiB blocks with I stamped into
// its first bytes, so that every chunk differs and is made at memcpy speed.
class TContent {
 public:
  explicit TContent(std::int64_t Size) : FSize(Size) {
    std::mt19937_64 Gen(20240307);
    for (auto& B : FPool) {
      B.resize(Chunk);
      for (std::size_t I = 0; I < Chunk; I += 8) {
        const std::uint64_t V = Gen();
        std::memcpy(B.data() + I, &V, 8);
      }
    }
  }
  std::int64_t Size() const noexcept { return FSize; }
  std::int64_t Chunks() const noexcept { return (FSize + static_cast<std::int64_t>(Chunk) - 1) / static_cast<std::int64_t>(Chunk); }
  // Fills Out with chunk I (shorter at the end).
  void Fill(std::int64_t I, std::string& Out) const {
    const auto Len = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(Chunk), FSize - I * static_cast<std::int64_t>(Chunk)));
    Out.assign(FPool[static_cast<std::size_t>(I) % FPool.size()], 0, Len);
    std::memcpy(Out.data(), &I, std::min(sizeof I, Len));
  }
  // The MD5 of the whole content, lower-case hex.
  std::string Digest() const {
    const std::unique_ptr<EVP_MD_CTX, TMdCtxFree> Ctx(EVP_MD_CTX_new());
    if (!Ctx || EVP_DigestInit_ex(Ctx.get(), EVP_md5(), nullptr) != 1) throw EArgumentError("MD5 unavailable");
    std::string Buf;
    for (std::int64_t I = 0; I < Chunks(); ++I) {
      Fill(I, Buf);
      EVP_DigestUpdate(Ctx.get(), Buf.data(), Buf.size());
    }
    unsigned char Md[EVP_MAX_MD_SIZE];
    unsigned int N = 0;
    EVP_DigestFinal_ex(Ctx.get(), Md, &N);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string Out;
    for (unsigned int I = 0; I < N; ++I) {
      Out += Hex[Md[I] >> 4];
      Out += Hex[Md[I] & 15];
    }
    return Out;
  }

 private:
  std::int64_t FSize;
  std::array<std::string, 16> FPool;
};

// ---------------------------------------------------------------------------
// The server in this process: store with an administrator, one folder and one file row.

void SeedStore(const std::string& DbFile) {
  db::TConnection Conn;
  Conn.SetDriverName("SQLite");
  Conn.Params() = {"CharacterSet=utf8mb4", "DriverID=SQLite", "Database=" + DbFile,
                   "LockingMode=Normal",   "OpenMode=CreateUTF16", "StringFormat=Unicode"};
  Conn.Open();
  schema::InstallDocumentSchema(Conn, "SQLite", Tqxversion().Version());
  schema::CreateAdministrator(Conn, "admin", "secret");
  Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, kolrights, del) "
               "VALUES ('top', 'Файлы', '0', 0, 0, 0)");
  Conn.ExecSQL("INSERT INTO oxFiles (fileid, treeid, filename, fileext, size_file, count_history, del) "
               "VALUES ('bigfile', 'top', 'большой', 'bin', 0, 0, 0)");
}

class TInProcessServer {
 public:
  explicit TInProcessServer(const fs::path& Dir) {
    SetLogSink([](TLogLevel Level, const std::string& Line) {
      if (Level >= TLogLevel::Warning) std::fprintf(stderr, "server: %s\n", Line.c_str());
    });
    SetAppFileNameForTesting((Dir / "ordexd").string());
    TSettingsTree Tree;
    TSettingsTree& C = Tree.AddTree("ConnectDB");
    C.SetValue("IsIni", "1");
    C.SetValue("TypeDB", "SQLite");
    C.SetValue("Database", (Dir / "ordex.db").string());
    C.SetValue("DirFiles", (Dir / "files").string());
    C.SetValue("OrdexPort", "0");
    C.SetValue("OrdexHTTP", "0");
    ProgramSettingsFile().Write("ConnectionSettings", "TfmOrdexServerMains", Tree.ToJSON());
    FRoot = std::make_unique<Tqxroot>();
    SetQxroot(FRoot.get());
    FRoot->Init();
    rpc::TRpcServerSettings S;
    S.Address = "127.0.0.1";
    FFrame = std::make_unique<TfrmQxServers>(FQueue);
    auto Container = std::make_unique<TdmOrdexServerContainers>(S);
    Container->ServeOrdexServerClass();
    FFrame->SetServerContainer(std::move(Container));
    FFrame->InitFrame();
    FLoop.emplace(FQueue);
  }
  ~TInProcessServer() {
    FLoop.reset();
    FFrame->PrepareForGracefulClose();
    FFrame.reset();
    FQueue.Drain();
    SetQxroot(nullptr);
    FRoot.reset();
    SetAppFileNameForTesting({});
    SetLogSink({});
  }
  TInProcessServer(const TInProcessServer&) = delete;
  TInProcessServer& operator=(const TInProcessServer&) = delete;
  std::uint16_t Port(TTransport T) const {
    auto& S = FFrame->dmQxServers().QxDSServer;
    return T == TTransport::Tcp ? S.BoundTcpPort() : S.BoundHttpPort();
  }

 private:
  std::unique_ptr<Tqxroot> FRoot;
  TConsoleQueue FQueue;
  std::unique_ptr<TfrmQxServers> FFrame;
  std::optional<TConsoleLoop> FLoop;
};

// ---------------------------------------------------------------------------
// Transfers through the service

std::string TextOf(const client::TCallResult& R) {
  const auto It = R.Values.find("ReturnValue");
  return It != R.Values.end() && It->is_string() ? It->get<std::string>() : std::string();
}

// Moves the returned stream out of an answer.
std::string TakeStream(client::TCallResult& R) {
  const auto It = R.Values.find("ReturnValue");
  if (It == R.Values.end() || !It->is_object() || !It->contains("$blob")) throw EStreamError("no stream returned");
  const auto N = It->at("$blob").get<std::size_t>();
  if (N >= R.Blobs.size()) throw EStreamError("stream index out of range");
  return std::move(R.Blobs[N]);
}

std::unique_ptr<client::TOrdexClient> Connect(std::uint16_t Port, TTransport T) {
  auto C = std::make_unique<client::TOrdexClient>();
  C->Connect("127.0.0.1", Port, T);
  C->SetAcceptOctetStream(true);
  const std::string Md5 = MD5Hex("secret");
  C->Login("admin", Md5, "bench_transfer");
  C->Call(ServerClass, "Hello", json::array({json{{"Login", "admin"}, {"PasswdMd5", Md5}}.dump()}));
  return C;
}

// Stores the content as a new version; returns the seconds taken.
double Upload(client::TOrdexClient& C, const TContent& Content, const std::string& Digest) {
  const json Version = {{"histid", NewID()},      {"fileid", FileID},   {"ordnum", 0},
                        {"usercreate", "admin"}, {"md5_file", Digest}, {"size_file", static_cast<double>(Content.Size())}};
  std::string Buf;
  const auto T0 = TClock::now();
  C.Call(ServerClass, "NewChange", json::array({Version.dump()}));
  std::int64_t Sent = 0;
  for (std::int64_t I = 0; I < Content.Chunks(); ++I) {
    Content.Fill(I, Buf);
    Sent += static_cast<std::int64_t>(Buf.size());
    const auto R = C.Call(ServerClass, "PutBigFileToServer",
                          json::array({FileID, {{"$blob", 0}}, std::to_string(Content.Size()), I == 0 ? "Start" : "Next"}),
                          {std::move(Buf)});
    if (TextOf(R) != std::to_string(Sent))
      throw EStreamError("the server holds " + TextOf(R) + " bytes after " + std::to_string(Sent) + " were sent");
    Buf = std::string();
  }
  C.Call(ServerClass, "EndChange", json::array({Version.dump()}));
  return Since(T0);
}

// Fetches the content in 1 MiB ranges with Fetch(From, To) and compares every byte; returns the seconds taken.
template <typename TFetch>
double Download(const TContent& Content, TFetch&& Fetch) {
  std::string Expected;
  const auto T0 = TClock::now();
  for (std::int64_t I = 0; I < Content.Chunks(); ++I) {
    const std::int64_t From = I * static_cast<std::int64_t>(Chunk);
    const std::int64_t To = std::min(Content.Size(), From + static_cast<std::int64_t>(Chunk)) - 1;
    const std::string Got = Fetch(From, To);
    Content.Fill(I, Expected);
    if (Got != Expected)
      throw EStreamError("range " + std::to_string(From) + "-" + std::to_string(To) + " differs (" +
                         std::to_string(Got.size()) + " bytes)");
  }
  return Since(T0);
}

double DownloadService(client::TOrdexClient& C, const TContent& Content) {
  const auto T0 = TClock::now();
  const std::string Size = TextOf(C.Call(ServerClass, "GetFileSizeServer", json::array({FileID})));
  if (Size != std::to_string(Content.Size())) throw EStreamError("stored size " + Size);
  return Since(T0) + Download(Content, [&](std::int64_t From, std::int64_t To) {
           auto R = C.Call(ServerClass, "GetFilePart", json::array({FileID, From, To}));
           return TakeStream(R);
         });
}

// Writes the content to Path in 1 MiB blocks and syncs it; returns the seconds taken.
double DiskWrite(const fs::path& Path, const TContent& Content) {
  std::string Buf;
  const auto T0 = TClock::now();
  const TFd Fd(::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), Path.string());
  for (std::int64_t I = 0; I < Content.Chunks(); ++I) {
    Content.Fill(I, Buf);
    const char* P = Buf.data();
    std::size_t Left = Buf.size();
    while (Left > 0) {
      const ssize_t N = ::write(Fd.Get(), P, Left);
      if (N <= 0) throw EFileError("write failed: " + std::string(std::strerror(errno)));
      P += N;
      Left -= static_cast<std::size_t>(N);
    }
  }
  if (::fsync(Fd.Get()) != 0) throw EFileError("fsync failed: " + std::string(std::strerror(errno)));
  return Since(T0);
}

// ---------------------------------------------------------------------------
// nginx: HTTP Range requests over one keep-alive connection

struct TUrl {
  std::string Host, Port, Target;
};

// Accepts http://127.0.0.1[:port]/path or http://localhost[:port]/path only.
TUrl ParseLocalUrl(const std::string& Url) {
  const std::string Prefix = "http://";
  if (Url.rfind(Prefix, 0) != 0) throw EArgumentError("ORDEX_NGINX_URL must start with http://");
  const std::string Rest = Url.substr(Prefix.size());
  const std::size_t Slash = Rest.find('/');
  const std::string HostPort = Rest.substr(0, Slash);
  TUrl U;
  U.Target = Slash == std::string::npos ? "/" : Rest.substr(Slash);
  const std::size_t Colon = HostPort.rfind(':');
  U.Host = HostPort.substr(0, Colon);
  U.Port = Colon == std::string::npos ? "80" : HostPort.substr(Colon + 1);
  if (U.Host != "127.0.0.1" && U.Host != "localhost") throw EArgumentError("ORDEX_NGINX_URL must name 127.0.0.1");
  if (U.Port.empty() || U.Port.find_first_not_of("0123456789") != std::string::npos || U.Port.size() > 5)
    throw EArgumentError("ORDEX_NGINX_URL has a bad port");
  return U;
}

// Reads its answers like the client library does (Beast parser, string body,
// a flat buffer per connection). ReadBuffer: capacity reserved in that buffer;
// 0 leaves it as the client library leaves it, so Beast reads 512 bytes at a time.
class TRangeClient {
 public:
  TRangeClient(const TUrl& Url, std::size_t ReadBuffer) : FUrl(Url), FStream(FIo) {
    if (ReadBuffer > 0) FBuffer.reserve(ReadBuffer);
    asio::ip::tcp::resolver Resolver(FIo);
    FStream.connect(Resolver.resolve(FUrl.Host, FUrl.Port));
    FStream.socket().set_option(asio::ip::tcp::no_delay(true));
  }
  std::string Get(std::int64_t From, std::int64_t To) {
    http::request<http::empty_body> Req{http::verb::get, FUrl.Target, 11};
    Req.set(http::field::host, FUrl.Host);
    Req.set(http::field::range, "bytes=" + std::to_string(From) + "-" + std::to_string(To));
    Req.keep_alive(true);
    http::write(FStream, Req);
    http::response_parser<http::string_body> Parser;
    Parser.body_limit(2 * Chunk);
    http::read(FStream, FBuffer, Parser);
    auto Res = Parser.release();
    if (Res.result() != http::status::partial_content)
      throw EStreamError("nginx answered " + std::to_string(Res.result_int()) + " to a range request");
    if (!Res.keep_alive()) throw EStreamError("nginx closed the keep-alive connection");
    return std::move(Res.body());
  }

 private:
  TUrl FUrl;
  asio::io_context FIo;
  beast::tcp_stream FStream;
  beast::flat_buffer FBuffer;
};

void PrintRate(const char* What, std::int64_t Bytes, double Seconds) {
  std::printf("%-36s %9.1f MB/s  (%.2f s)\n", What, Rate(Bytes, Seconds), Seconds);
  std::fflush(stdout);
}

void PrintRatio(const char* What, double Value, double Target, bool AtLeast = true) {
  std::printf("%-36s %9.2f   target %s %.2f  %s\n", What, Value, AtLeast ? ">=" : ">", Target,
              Value >= Target ? "met" : "MISSED");
}

int Run(const TOptions& Options) {
  std::signal(SIGPIPE, SIG_IGN);
  const TTempDir Dir;
  fs::create_directories(Dir.Path() / "files");
  SeedStore((Dir.Path() / "ordex.db").string());
  const TContent Content(Options.MiB * static_cast<std::int64_t>(Chunk));
  const std::string Digest = Content.Digest();
  const std::int64_t Bytes = Content.Size();
  std::printf("content: %lld MiB, md5 %s; 1 MiB chunks and ranges\n", static_cast<long long>(Options.MiB),
              Digest.c_str());

  const fs::path DiskFile = (Options.DiskDir.empty() ? Dir.Path() : fs::path(Options.DiskDir)) / DiskFileName;
  const double Disk = DiskWrite(DiskFile, Content);
  PrintRate("disk write (1 MiB blocks + fsync)", Bytes, Disk);

  const TInProcessServer Server(Dir.Path());
  double UpRate[2] = {0, 0}, DownRate[2] = {0, 0};
  for (const TTransport T : {TTransport::Tcp, TTransport::Http}) {
    const int K = T == TTransport::Tcp ? 0 : 1;
    const char* Name = K == 0 ? "tcp" : "http";
    auto C = Connect(Server.Port(T), T);
    const double Up = Upload(*C, Content, Digest);
    UpRate[K] = Rate(Bytes, Up);
    PrintRate((std::string("upload ") + Name + " (NewChange..EndChange)").c_str(), Bytes, Up);
    const double Down = DownloadService(*C, Content);
    DownRate[K] = Rate(Bytes, Down);
    PrintRate((std::string("download ") + Name + " (GetFilePart)").c_str(), Bytes, Down);
    C->Logout();
  }

  std::optional<double> NginxRate;
  if (const char* Url = std::getenv("ORDEX_NGINX_URL"); Url && *Url) {
    const TUrl Parsed = ParseLocalUrl(Url);
    TRangeClient Nginx(Parsed, 0);
    const double Secs = Download(Content, [&](std::int64_t From, std::int64_t To) { return Nginx.Get(From, To); });
    NginxRate = Rate(Bytes, Secs);
    PrintRate("nginx ranges (keep-alive)", Bytes, Secs);
    // The same with 64 KiB socket reads: how much the client's buffering costs.
    TRangeClient Wide(Parsed, 65536);
    const double WideSecs = Download(Content, [&](std::int64_t From, std::int64_t To) { return Wide.Get(From, To); });
    PrintRate("nginx ranges, 64 KiB reads", Bytes, WideSecs);
  }
  if (Options.DiskDir.empty()) fs::remove(DiskFile);

  std::printf("\n");
  const double DiskRate = Rate(Bytes, Disk);
  PrintRatio("upload tcp / disk write", UpRate[0] / DiskRate, 0.8);
  PrintRatio("upload http / disk write", UpRate[1] / DiskRate, 0.8);
  if (NginxRate) {
    PrintRatio("download http / nginx", DownRate[1] / *NginxRate, 0.8);
    PrintRatio("download tcp / nginx", DownRate[0] / *NginxRate, 1.0);
  } else {
    std::printf("(set ORDEX_NGINX_URL, or run bench/transfer-nginx.sh, for the nginx comparison)\n");
  }
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  TOptions Options;
  try {
    Options = ParseArgs(Argc, Argv);
  } catch (const TUsageError& E) {
    if (*E.what()) std::cerr << "bench_transfer: " << E.what() << "\n\n";
    std::cerr << Usage;
    return *E.what() ? 2 : 0;
  }
  try {
    return Run(Options);
  } catch (const std::exception& E) {
    std::cerr << "bench_transfer: " << ErrorClassName(E) << ": " << E.what() << '\n';
    return 1;
  }
}
