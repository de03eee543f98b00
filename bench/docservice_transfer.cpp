// Upload and download of one stored version through the document service, in
// process, with 1 MiB chunks (PutBigFileToServer / GetFilePart) on a temporary
// SQLite store, next to a plain file copy of the same size with 1 MiB buffers.
//
//   bench_docservice_transfer [MiB]     (default 1024)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/support/BenchSupport.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "docservice/dmOrdexServerClass.h"

namespace {

namespace fs = std::filesystem;
using Clock = ordex::bench::TClock;
using ordex::bench::TFd;
using ordex::bench::WriteAll;
constexpr std::size_t Chunk = 1048576;

void Print(const char* What, std::int64_t Bytes, double Secs) {
  std::printf("%-34s %8.1f MB/s  (%.2f s)\n", What, static_cast<double>(Bytes) / 1048576.0 / Secs, Secs);
}

// The plain copy: read + write through one 1 MiB buffer.
double PlainCopy(const fs::path& Source, const fs::path& Target) {
  const auto Start = Clock::now();
  const TFd In(::open(Source.c_str(), O_RDONLY), Source.string());
  const TFd Out(::open(Target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), Target.string());
  std::string Buffer(Chunk, '\0');
  while (true) {
    const ssize_t N = ::read(In.Get(), Buffer.data(), Chunk);
    if (N < 0) throw ordex::EFileError("read failed");
    if (N == 0) break;
    WriteAll(Out.Get(), Buffer.data(), static_cast<std::size_t>(N));
  }
  return ordex::bench::SecondsSince(Start);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ordex;
  const std::int64_t MiB = argc > 1 ? std::atoll(argv[1]) : 1024;
  if (MiB <= 0) {
    std::fprintf(stderr, "usage: %s [MiB]\n", argv[0]);
    return 2;
  }
  const std::int64_t Total = MiB * static_cast<std::int64_t>(Chunk);
  try {
    const bench::TTempDir Temp("ordex-bench");
    const std::string DbFile = (Temp.Path() / "ordex.db").string();
    {
      db::TConnection Conn;
      bench::OpenNewStore(Conn, DbFile, Tqxversion().Version());
      Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid) VALUES ('top', 'Top', '')");
      Conn.ExecSQL("INSERT INTO oxFiles (fileid, treeid, filename, fileext) VALUES ('f1', 'top', 'big', 'bin')");
    }
    const bench::TServiceRoot Root(DbFile, (Temp.Path() / "files").string());

    std::string Block(Chunk, '\0');
    for (std::size_t I = 0; I < Chunk; ++I) Block[I] = static_cast<char>((I * 2654435761u) >> 13);

    std::printf("content: %lld MiB in 1 MiB chunks\n", static_cast<long long>(MiB));
    {
      TOrdexServerClass Srv;
      Srv.NewChange(R"({"histid":"h1","fileid":"f1","md5_file":"-","size_file":0})");
      auto Start = Clock::now();
      std::string Last;
      for (std::int64_t I = 0; I < MiB; ++I) Last = Srv.PutBigFileToServer("f1", Block, "", I == 0 ? "Start" : "Next");
      Print("upload   PutBigFileToServer", Total, bench::SecondsSince(Start));
      if (Last != std::to_string(Total)) throw EFileError("stored size " + Last);

      Start = Clock::now();
      std::uint64_t Check = 0;
      for (std::int64_t Pos = 0; Pos < Total; Pos += static_cast<std::int64_t>(Chunk)) {
        const std::string Part = Srv.GetFilePart("f1", Pos, Pos + static_cast<std::int64_t>(Chunk) - 1);
        Check += static_cast<unsigned char>(Part[Part.size() / 2]);
      }
      Print("download GetFilePart", Total, bench::SecondsSince(Start));
      if (Check == 0) std::printf("(checksum %llu)\n", static_cast<unsigned long long>(Check));
    }
    fs::remove_all(Temp.Path() / "files");

    const fs::path Source = Temp.Path() / "plain-source.bin";
    {
      const TFd Out(::open(Source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), Source.string());
      for (std::int64_t I = 0; I < MiB; ++I) WriteAll(Out.Get(), Block.data(), Chunk);
    }
    Print("plain copy (read+write 1 MiB)", Total, PlainCopy(Source, Temp.Path() / "plain-target.bin"));
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s: %s\n", ErrorClassName(E), E.what());
    return 1;
  }
  return 0;
}
