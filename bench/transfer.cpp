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

#include "bench/support/BenchServer.h"
#include "bench/support/BenchSupport.h"
#include "client/lib/OrdexClient.h"
#include "client/lib/OrdexTransfer.h"
#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "platform/db/Db.h"
#include "schema/OrdexSchema.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace ordex;
using nlohmann::json;
using bench::ServerClass;
using bench::TClock;
using bench::TextOf;
using bench::TUsageError;
using client::TTransport;

constexpr std::size_t Chunk = 1048576;
constexpr const char* FileID = "bigfile";
constexpr const char* DiskFileName = "ordex-transfer.bin";

struct TOptions {
  std::int64_t MiB = 1024;
  std::string DiskDir;
};

constexpr const char* Usage =
    "usage: bench_transfer [--mib 1024] [--disk-dir DIR]\n"
    "  --mib       size of the content in MiB (1..65536)\n"
    "  --disk-dir  folder of the disk-write test file ordex-transfer.bin (kept); default a temporary one\n"
    "environment: ORDEX_NGINX_URL=http://127.0.0.1:PORT/ordex-transfer.bin fetches that file from nginx too\n";

TOptions ParseArgs(int Argc, char** Argv) {
  TOptions O;
  bench::ForEachOption(Argc, Argv, [&O](const std::string& A, const std::string& V) {
    if (A == "--mib") {
      O.MiB = bench::ParseLong(V, 1, 65536, "--mib");
    } else if (A == "--disk-dir") {
      O.DiskDir = V;
    } else {
      throw TUsageError("unknown argument " + A);
    }
  });
  return O;
}

double Rate(std::int64_t Bytes, double Seconds) { return static_cast<double>(Bytes) / 1048576.0 / Seconds; }

// ---------------------------------------------------------------------------
// Resources

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
    client::TMd5 Md5;
    std::string Buf;
    for (std::int64_t I = 0; I < Chunks(); ++I) {
      Fill(I, Buf);
      Md5.Update(Buf);
    }
    return Md5.FinalHex();
  }

 private:
  std::int64_t FSize;
  std::array<std::string, 16> FPool;
};

// ---------------------------------------------------------------------------
// The store of the server: an administrator, one folder and one file row.

void SeedStore(const std::string& DbFile) {
  db::TConnection Conn;
  bench::OpenNewStore(Conn, DbFile, Tqxversion().Version());
  schema::CreateAdministrator(Conn, "admin", "secret");
  Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, kolrights, del) "
               "VALUES ('top', 'Файлы', '0', 0, 0, 0)");
  Conn.ExecSQL("INSERT INTO oxFiles (fileid, treeid, filename, fileext, size_file, count_history, del) "
               "VALUES ('bigfile', 'top', 'большой', 'bin', 0, 0, 0)");
}

// ---------------------------------------------------------------------------
// Transfers through the service

std::unique_ptr<client::TOrdexClient> Connect(std::uint16_t Port, TTransport T) {
  const std::string Md5 = MD5Hex("secret");
  auto C = bench::ConnectClient(Port, T, "admin", Md5, "bench_transfer");
  C->Call(ServerClass, "Hello", json::array({json{{"Login", "admin"}, {"PasswdMd5", Md5}}.dump()}));
  return C;
}

// Stores the content as a new version; returns the seconds taken.
double Upload(client::TOrdexClient& C, const TContent& Content, const std::string& Digest) {
  const json Version = bench::NewVersion(FileID, "admin", Digest, Content.Size());
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
  return bench::SecondsSince(T0);
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
  return bench::SecondsSince(T0);
}

double DownloadService(client::TOrdexClient& C, const TContent& Content) {
  const auto T0 = TClock::now();
  const std::string Size = TextOf(C.Call(ServerClass, "GetFileSizeServer", json::array({FileID})));
  if (Size != std::to_string(Content.Size())) throw EStreamError("stored size " + Size);
  return bench::SecondsSince(T0) + Download(Content, [&](std::int64_t From, std::int64_t To) {
           auto R = C.Call(ServerClass, "GetFilePart", json::array({FileID, From, To}));
           return bench::TakeBlob(R, "GetFilePart");
         });
}

// Writes the content to Path in 1 MiB blocks and syncs it; returns the seconds taken.
double DiskWrite(const fs::path& Path, const TContent& Content) {
  std::string Buf;
  const auto T0 = TClock::now();
  const bench::TFd Fd(::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), Path.string());
  for (std::int64_t I = 0; I < Content.Chunks(); ++I) {
    Content.Fill(I, Buf);
    bench::WriteAll(Fd.Get(), Buf.data(), Buf.size());
  }
  if (::fsync(Fd.Get()) != 0) throw EFileError("fsync failed: " + std::string(std::strerror(errno)));
  return bench::SecondsSince(T0);
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
  const bench::TTempDir Dir("ordex-transfer");
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

  const bench::TInProcessServer Server(Dir.Path());
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
  return bench::BenchMain("bench_transfer", Usage, [&] { return Run(ParseArgs(Argc, Argv)); });
}
