// Load and soak run against the real document server: N client sessions of a
// mixed workload for a fixed time, over TCP and/or HTTP, on 127.0.0.1 only.
//
// The server is either served in this process (free loopback ports, a
// temporary SQLite store) or a given ordexd program started in a temporary
// folder with its own settings file and store. The store is seeded with an
// administrator and a plain user, a folder tree with rights and file rows;
// shared contents are uploaded through the service before the run.
//
// Every session logs in, calls Hello and then loops over: Hello, GetTree,
// GetRights, GetFiles (filter and paging), GetKolRows, an upload of its own
// file (NewChange, PutBigFileToServer in two chunks, EndChange) and downloads
// (GetFileSizeServer, GetFilePart in ranges) of its own and of shared files,
// compared byte for byte by digest. Answers whose shape is known (folder and
// row counts, rights) are checked too. Printed: calls per second, p50/p99
// latency per method and overall, errors and content mismatches (both must be
// zero), the server's peak memory, and memory per idle logged-in session.
//
//   bench_load [--sessions 1,8,64,512] [--seconds 20] [--transport tcp|http|both]
//              [--idle 256] [--max-kib 64] [--range-kib 16] [--workers N]
//              [--ordexd PATH]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "bench/support/BenchServer.h"
#include "bench/support/BenchSupport.h"
#include "client/lib/OrdexClient.h"
#include "client/lib/OrdexDataset.h"
#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "config/qxSettings.h"
#include "platform/db/Db.h"
#include "platform/rpc/Frame.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using namespace ordex;
using nlohmann::json;
using bench::BlobOf;
using bench::EWrongAnswer;
using bench::ParseLong;
using bench::ServerClass;
using bench::TClock;
using bench::TextOf;
using bench::TUsageError;
using client::TTransport;

constexpr const char* AdminPassword = "secret";
constexpr const char* UserPassword = "pw";
constexpr int ChildFolders = 8;
constexpr int SharedFiles = 24;
constexpr std::int64_t PageRows = 10;
constexpr const char* TxtFilter = "(f.fileext='txt')";

// ---------------------------------------------------------------------------
// Options

struct TOptions {
  std::vector<int> Sessions{64};
  double Seconds = 20;
  std::vector<TTransport> Transports{TTransport::Tcp};
  int IdleSessions = 256;
  std::size_t MaxContent = 64 * 1024;
  std::size_t Range = 16 * 1024;
  std::size_t Workers = 0;
  std::string Ordexd;  // empty: serve in process
};

constexpr const char* Usage =
    "usage: bench_load [--sessions 1,8,64,512] [--seconds 20] [--transport tcp|http|both]\n"
    "                  [--idle 256] [--max-kib 64] [--range-kib 16] [--workers N] [--ordexd PATH]\n"
    "  --sessions   session counts to run one after another (each 1..1000)\n"
    "  --seconds    length of each run (0.5..3600)\n"
    "  --transport  transports to load, one run per count and transport\n"
    "  --idle       idle logged-in sessions for the memory figure (0 skips, at most 900)\n"
    "  --max-kib    largest uploaded content (1..4096 KiB)\n"
    "  --range-kib  GetFilePart range (1..1024 KiB)\n"
    "  --workers    server worker threads of the in-process server (0: its default)\n"
    "  --ordexd     start this ordexd program instead of serving in process\n";

TOptions ParseArgs(int Argc, char** Argv) {
  TOptions O;
  bench::ForEachOption(Argc, Argv, [&O](const std::string& A, const std::string& V) {
    if (A == "--sessions") {
      O.Sessions.clear();
      for (const std::string& Part : SplitText(V, ","))
        O.Sessions.push_back(static_cast<int>(ParseLong(Trim(Part), 1, 1000, "--sessions")));
    } else if (A == "--seconds") {
      char* End = nullptr;
      O.Seconds = std::strtod(V.c_str(), &End);
      if (End == V.c_str() || *End != '\0' || !(O.Seconds >= 0.5 && O.Seconds <= 3600))
        throw TUsageError("--seconds must be a number from 0.5 to 3600");
    } else if (A == "--transport") {
      if (V == "tcp") O.Transports = {TTransport::Tcp};
      else if (V == "http") O.Transports = {TTransport::Http};
      else if (V == "both") O.Transports = {TTransport::Tcp, TTransport::Http};
      else throw TUsageError("--transport must be tcp, http or both");
    } else if (A == "--idle") {
      O.IdleSessions = static_cast<int>(ParseLong(V, 0, 900, "--idle"));
    } else if (A == "--max-kib") {
      O.MaxContent = static_cast<std::size_t>(ParseLong(V, 1, 4096, "--max-kib")) * 1024;
    } else if (A == "--range-kib") {
      O.Range = static_cast<std::size_t>(ParseLong(V, 1, 1024, "--range-kib")) * 1024;
    } else if (A == "--workers") {
      O.Workers = static_cast<std::size_t>(ParseLong(V, 0, 256, "--workers"));
    } else if (A == "--ordexd") {
      O.Ordexd = V;
    } else {
      throw TUsageError("unknown argument " + A);
    }
  });
  return O;
}

const char* TransportName(TTransport T) { return T == TTransport::Tcp ? "tcp" : "http"; }

// ---------------------------------------------------------------------------
// Small resources

// One field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); 0 when missing.
std::int64_t ProcStatusKiB(const std::string& Pid, const std::string& Field) {
  std::ifstream In("/proc/" + Pid + "/status");
  std::string Line;
  while (std::getline(In, Line)) {
    if (Line.rfind(Field + ":", 0) == 0) return std::atoll(Line.c_str() + Field.size() + 1);
  }
  return 0;
}

std::string Md5(std::string_view Bytes) { return MD5OfBytes(Bytes); }

// Deterministic content of a given size for (Seed).
std::string MakeContent(std::uint64_t Seed, std::size_t Size) {
  std::mt19937_64 Gen(Seed);
  std::string S(Size, '\0');
  std::size_t I = 0;
  for (; I + 8 <= Size; I += 8) {
    const std::uint64_t V = Gen();
    std::memcpy(S.data() + I, &V, 8);
  }
  for (; I < Size; ++I) S[I] = static_cast<char>(Gen());
  return S;
}

// ---------------------------------------------------------------------------
// The seeded store

struct TFileRow {
  std::string FileID, TreeID, Name, Ext;
};

struct TFolder {
  std::string Id, Parent, Name;
};

// What the store holds and what the answers must therefore be.
struct TPlan {
  std::vector<TFolder> Folders;  // "top1", its children "c0".."c7", "top2"
  std::vector<TFileRow> Shared;  // contents uploaded before the run, never changed
  std::vector<TFileRow> Own;     // one per session slot, uploaded only by that session
  std::vector<std::string> SharedDigest;
  std::vector<std::int64_t> SharedSize;

  // Folders the workload lists files of: the children and "top2".
  std::vector<std::string> ListFolders() const {
    std::vector<std::string> L;
    for (int C = 0; C < ChildFolders; ++C) L.push_back("c" + std::to_string(C));
    L.push_back("top2");
    return L;
  }
  // Files of TreeID with the extension "txt", as the plain user or the administrator sees them.
  std::int64_t ExpectedCount(const std::string& TreeID, bool Admin) const {
    if (TreeID == "top2" && !Admin) return 0;  // the plain user may see the folder but not its files
    std::int64_t N = 0;
    for (const auto* List : {&Shared, &Own})
      for (const TFileRow& F : *List)
        if (F.TreeID == TreeID && F.Ext == "txt") ++N;
    return N;
  }
};

TPlan MakePlan(int OwnFiles) {
  TPlan P;
  P.Folders.push_back({"top1", "0", "Документы"});
  for (int C = 0; C < ChildFolders; ++C) P.Folders.push_back({"c" + std::to_string(C), "top1", "Папка " + std::to_string(C)});
  P.Folders.push_back({"top2", "0", "Архив"});
  for (int I = 0; I < SharedFiles; ++I) {
    const std::string Tree = I < 20 ? "c" + std::to_string(I % ChildFolders) : "top2";
    P.Shared.push_back({"shared" + std::to_string(I), Tree, "общий " + std::to_string(I), I % 3 == 2 ? "dat" : "txt"});
  }
  for (int S = 0; S < OwnFiles; ++S)
    P.Own.push_back({"own" + std::to_string(S), "c" + std::to_string(S % ChildFolders), "свой " + std::to_string(S),
                     S % 3 == 2 ? "dat" : "txt"});
  return P;
}

// Creates the SQLite store DbFile with the schema, users, folders with rights and file rows.
void SeedStore(const std::string& DbFile, const TPlan& Plan) {
  db::TConnection Conn;
  bench::OpenNewStore(Conn, DbFile, Tqxversion().Version());
  Conn.StartTransaction();
  Conn.ExecSQL("INSERT INTO qxroles (roleid, rolename) VALUES ('1', 'Администраторы')");
  Conn.ExecSQL("INSERT INTO qxroles (roleid, rolename) VALUES ('2', 'Пользователи')");
  const auto AddUser = [&Conn](const char* Id, const char* Login, const char* Password, const char* Role) {
    db::TParams P;
    P.Add("id").SetText(Id);
    P.Add("login").SetText(Login);
    P.Add("pw").SetText(MD5Hex(Password));
    P.Add("role").SetText(Role);
    Conn.ExecSQL("INSERT INTO qxusers (user_id, login, password, roleid, active) VALUES (:id, :login, :pw, :role, 1)",
                 &P);
  };
  AddUser("u1", "admin", AdminPassword, "1");
  AddUser("u2", "ivan", UserPassword, "2");
  for (const TFolder& F : Plan.Folders) {
    db::TParams P;
    P.Add("id").SetText(F.Id);
    P.Add("name").SetText(F.Name);
    P.Add("parent").SetText(F.Parent);
    P.Add("ccount").SetText(F.Id == "top1" ? std::to_string(ChildFolders) : "0");
    P.Add("kol").SetText(F.Parent == "0" ? "1" : "0");
    Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, kolrights, del) "
                 "VALUES (:id, :name, :parent, :ccount, :kol, 0)",
                 &P);
  }
  // The plain user's role reads "top1" and every folder below it; it sees "top2" but not its files.
  Conn.ExecSQL("INSERT INTO oxTreeRight (treeid, username, roleid, rtree, wtree, admtree, rfile, wfile, rmyfile) "
               "VALUES ('top1', '', '2', 1, 1, 0, 1, 1, 0)");
  Conn.ExecSQL("INSERT INTO oxTreeRight (treeid, username, roleid, rtree, wtree, admtree, rfile, wfile, rmyfile) "
               "VALUES ('top2', '', '2', 1, 0, 0, 0, 0, 0)");
  for (const auto* List : {&Plan.Shared, &Plan.Own}) {
    for (const TFileRow& F : *List) {
      db::TParams P;
      P.Add("id").SetText(F.FileID);
      P.Add("tree").SetText(F.TreeID);
      P.Add("name").SetText(F.Name);
      P.Add("ext").SetText(F.Ext);
      Conn.ExecSQL("INSERT INTO oxFiles (fileid, treeid, filename, fileext, size_file, count_history, del, "
                   "datecreate, usercreate) VALUES (:id, :tree, :name, :ext, 0, 0, 0, '2024-03-07 09:00:00.000', 'admin')",
                   &P);
    }
  }
  Conn.Commit();
}

// ---------------------------------------------------------------------------
// The server under test

class IServer {
 public:
  virtual ~IServer() = default;
  virtual std::uint16_t TcpPort() const = 0;
  virtual std::uint16_t HttpPort() const = 0;
  // The process that hosts the server ("self" in process).
  virtual std::string Pid() const = 0;
  virtual bool InProcess() const = 0;
};

// The server in this process, started as the console starts it, with the
// console loop as its UI thread and only warnings and errors logged.
class TInProcessServer : public IServer {
 public:
  TInProcessServer(const fs::path& Dir, std::size_t Workers) : FServer(Dir, Workers) {}
  std::uint16_t TcpPort() const override { return FServer.TcpPort(); }
  std::uint16_t HttpPort() const override { return FServer.HttpPort(); }
  std::string Pid() const override { return "self"; }
  bool InProcess() const override { return true; }

 private:
  bench::TInProcessServer FServer;
};

std::uint16_t FreePort() {
  asio::io_context Io;
  asio::ip::tcp::acceptor A(Io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return A.local_endpoint().port();
}

bool CanConnect(std::uint16_t Port) {
  asio::io_context Io;
  asio::ip::tcp::socket S(Io);
  boost::system::error_code Ec;
  S.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port), Ec);
  return !Ec;
}

// An ordexd program run from its own folder (a hard link or copy of the
// program, so that it finds its settings file there), stopped with SIGTERM.
class TSpawnedServer : public IServer {
 public:
  TSpawnedServer(const fs::path& Dir, const std::string& Program)
      : FTcp(FreePort()), FHttp(FreePort()) {
    const fs::path Exe = Dir / "ordexd";
    std::error_code Ec;
    fs::create_hard_link(Program, Exe, Ec);
    if (Ec) fs::copy_file(Program, Exe);
    bench::WriteServerSettings(TSettingsFile((Dir / "ordexd.ini").string()), Dir, std::to_string(FTcp),
                               std::to_string(FHttp));
    const std::string Log = (Dir / "ordexd.log").string();
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 2, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string ExeText = Exe.string();
    std::vector<char*> Argv{const_cast<char*>(ExeText.c_str()), nullptr};
    const int Rc = posix_spawn(&FPid, ExeText.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Rc != 0) throw EOSError("Cannot start " + ExeText + ": " + std::strerror(Rc));
    FLogFile = Log;
    // Wait until both ports answer, or the program ends.
    const auto Until = TClock::now() + std::chrono::seconds(20);
    while (!(CanConnect(FTcp) && CanConnect(FHttp))) {
      int Status = 0;
      if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = -1;
        throw EOSError("ordexd ended at start; see its log:\n" + ReadLog());
      }
      if (TClock::now() > Until) throw EOSError("ordexd did not open its ports; log:\n" + ReadLog());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~TSpawnedServer() override {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    const auto Until = TClock::now() + std::chrono::seconds(15);
    int Status = 0;
    while (::waitpid(FPid, &Status, WNOHANG) == 0) {
      if (TClock::now() > Until) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &Status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::uint16_t TcpPort() const override { return FTcp; }
  std::uint16_t HttpPort() const override { return FHttp; }
  std::string Pid() const override { return std::to_string(FPid); }
  bool InProcess() const override { return false; }

 private:
  std::string ReadLog() const {
    std::ifstream In(FLogFile);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
  }
  std::uint16_t FTcp, FHttp;
  pid_t FPid = -1;
  std::string FLogFile;
};

// ---------------------------------------------------------------------------
// Client calls

struct TUser {
  std::string Login, PasswordMd5;
  bool Admin = false;
};

std::string SessionJson(const TUser& U) {
  return json{{"Login", U.Login}, {"UserID", ""}, {"PasswdMd5", U.PasswordMd5}, {"RoleID", ""}, {"RoleName", ""},
              {"Protocol", ""}}
      .dump();
}

std::unique_ptr<client::TOrdexClient> Connect(const IServer& Server, TTransport T, const TUser& U) {
  return bench::ConnectClient(T == TTransport::Tcp ? Server.TcpPort() : Server.HttpPort(), T, U.Login, U.PasswordMd5,
                              "bench_load");
}

// Downloaded bytes differ from the bytes stored.
class EContentMismatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::int64_t ToInt(const std::string& Text, const char* What) {
  std::size_t Used = 0;
  try {
    const std::int64_t V = std::stoll(Text, &Used);
    if (Used == Text.size()) return V;
  } catch (const std::exception&) {
  }
  throw EWrongAnswer(std::string(What) + ": not a number: \"" + Text + "\"");
}

// Method kinds whose latency is reported.
enum TKind : std::size_t {
  kHello, kGetTree, kGetRights, kGetFiles, kGetKolRows, kNewChange, kPut, kEndChange, kGetSize, kGetPart, kKinds
};
constexpr std::array<const char*, kKinds> KindNames{"Hello",     "GetTree",           "GetRights", "GetFiles",
                                                   "GetKolRows", "NewChange",         "PutBigFileToServer",
                                                   "EndChange",  "GetFileSizeServer", "GetFilePart"};

// What one session measured.
struct TSessionStats {
  std::array<std::vector<std::uint32_t>, kKinds> Micros;
  std::int64_t Errors = 0, Mismatches = 0, Uploaded = 0, Downloaded = 0;
  std::vector<std::string> Messages;  // first few failures

  void Note(const std::string& M) {
    if (Messages.size() < 3) Messages.push_back(M);
  }
};

// One session's workload: its own client, user, own file and random stream.
class TWorker {
 public:
  TWorker(const TPlan& Plan, const TOptions& Options, client::TOrdexClient& Client, const TUser& User, int Slot)
      : FPlan(Plan), FOptions(Options), FClient(Client), FUser(User), FOwn(Plan.Own[static_cast<std::size_t>(Slot)]),
        FGen(0x5eed0000u + static_cast<unsigned>(Slot)), FSlot(Slot) {}

  // Runs operations until Halt; every failure is counted and the loop goes on
  // while the connection holds.
  void Run(const std::atomic<bool>& Halt, TSessionStats& Stats) {
    while (!Halt.load(std::memory_order_relaxed)) {
      try {
        Step(Stats);
      } catch (const EContentMismatch& E) {
        ++Stats.Mismatches;
        Stats.Note(std::string("mismatch: ") + E.what());
      } catch (const client::EConnectionError& E) {
        ++Stats.Errors;
        Stats.Note(std::string("connection: ") + E.what());
        return;  // the session is gone
      } catch (const std::exception& E) {
        ++Stats.Errors;
        Stats.Note(std::string(ErrorClassName(E)) + ": " + E.what());
      }
    }
  }

  // The greeting every session starts with; false when refused.
  bool Hello(TSessionStats& Stats) {
    const auto R = Timed(Stats, kHello, "Hello", json::array({SessionJson(FUser)}));
    const auto It = R.Values.find("ReturnValue");
    return It != R.Values.end() && It->is_boolean() && It->get<bool>();
  }

 private:
  client::TCallResult Timed(TSessionStats& Stats, TKind Kind, const char* Method, const json& Args,
                            std::vector<std::string> Blobs = {}) {
    const auto T0 = TClock::now();
    auto R = FClient.Call(ServerClass, Method, Args, std::move(Blobs));
    Stats.Micros[Kind].push_back(static_cast<std::uint32_t>(
        std::min<std::int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - T0).count(),
                               UINT32_MAX)));
    return R;
  }

  std::size_t Pick(std::size_t N) { return std::uniform_int_distribution<std::size_t>(0, N - 1)(FGen); }

  void Step(TSessionStats& Stats) {
    // Weights of Hello, GetTree, GetRights, GetFiles, GetKolRows, upload, own
    // download, shared download: reading calls dominate, as in an office client.
    static constexpr std::array<int, 8> Weights{3, 12, 12, 16, 12, 14, 11, 20};
    const int Total = [] {
      int S = 0;
      for (int W : Weights) S += W;
      return S;
    }();
    int R = static_cast<int>(Pick(static_cast<std::size_t>(Total)));
    std::size_t Op = 0;
    while (R >= Weights[Op]) R -= Weights[Op++];
    switch (Op) {
      case 0:
        if (!Hello(Stats)) throw EWrongAnswer("Hello refused a valid login");
        break;
      case 1: GetTree(Stats); break;
      case 2: GetRights(Stats); break;
      case 3: GetFiles(Stats); break;
      case 4: GetKolRows(Stats); break;
      case 5: Upload(Stats); break;
      case 6:
        if (FOwnDigest.empty()) Upload(Stats);
        else Download(Stats, FOwn.FileID, FOwnSize, FOwnDigest);
        break;
      default: {
        const std::size_t I = Pick(FPlan.Shared.size());
        Download(Stats, FPlan.Shared[I].FileID, FPlan.SharedSize[I], FPlan.SharedDigest[I]);
      }
    }
  }

  void GetTree(TSessionStats& Stats) {
    static const std::pair<const char*, std::size_t> Cases[] = {{"0", 2}, {"top1", ChildFolders}, {"top2", 0}};
    const auto& [Parent, Rows] = Cases[Pick(std::size(Cases))];
    const auto R = Timed(Stats, kGetTree, "GetTree", json::array({Parent, false}));
    const auto Set = client::TRemoteDataset::FromStream(BlobOf(R, "GetTree"), "iqTree");
    if (Set.RowCount() != Rows)
      throw EWrongAnswer(std::string("GetTree ") + Parent + ": " + std::to_string(Set.RowCount()) + " rows, expected " +
                         std::to_string(Rows));
  }

  void GetRights(TSessionStats& Stats) {
    const auto Folders = FPlan.ListFolders();
    const std::string& Tree = Folders[Pick(Folders.size())];
    const auto R = Timed(Stats, kGetRights, "GetRights", json::array({Tree}));
    const json Rights = json::parse(TextOf(R));
    const bool Expected = FUser.Admin || Tree != "top2";
    if (Rights.value("rfile", !Expected) != Expected) throw EWrongAnswer("GetRights " + Tree + ": wrong rfile");
  }

  json Filter(const std::string& Tree, std::int64_t Page) const {
    return {{"IsShowDel", false}, {"IsShowAll", false}, {"CurrentPage", Page}, {"KolRows", PageRows},
            {"IsPreview", false}, {"order", "f.filename"}, {"filter", TxtFilter}, {"TreeID", Tree},
            {"FileID", ""},       {"IsRecursive", false}};
  }

  void GetFiles(TSessionStats& Stats) {
    const auto Folders = FPlan.ListFolders();
    const std::string& Tree = Folders[Pick(Folders.size())];
    const std::int64_t Count = FPlan.ExpectedCount(Tree, FUser.Admin);
    const std::int64_t Page = static_cast<std::int64_t>(Pick(static_cast<std::size_t>(Count / PageRows + 2)));
    const auto R = Timed(Stats, kGetFiles, "GetFiles", json::array({Filter(Tree, Page).dump()}));
    auto Set = client::TRemoteDataset::FromStream(BlobOf(R, "GetFiles"), "iqFiles");
    const std::int64_t Expected = std::clamp<std::int64_t>(Count - Page * PageRows, 0, PageRows);
    if (static_cast<std::int64_t>(Set.RowCount()) != Expected)
      throw EWrongAnswer("GetFiles " + Tree + " page " + std::to_string(Page) + ": " + std::to_string(Set.RowCount()) +
                         " rows, expected " + std::to_string(Expected));
    for (Set.First(); !Set.Eof(); Set.Next())
      if (Set.AsString("treeid") != Tree || Set.AsString("fileext") != "txt")
        throw EWrongAnswer("GetFiles " + Tree + ": a row of another folder or type");
  }

  void GetKolRows(TSessionStats& Stats) {
    const auto Folders = FPlan.ListFolders();
    const std::string& Tree = Folders[Pick(Folders.size())];
    const auto R = Timed(Stats, kGetKolRows, "GetKolRows", json::array({Filter(Tree, 0).dump()}));
    const std::int64_t Count = ToInt(TextOf(R), "GetKolRows");
    if (Count != FPlan.ExpectedCount(Tree, FUser.Admin))
      throw EWrongAnswer("GetKolRows " + Tree + ": " + std::to_string(Count) + ", expected " +
                         std::to_string(FPlan.ExpectedCount(Tree, FUser.Admin)));
  }

  // A new version of the session's own file, sent in two chunks when large enough.
  void Upload(TSessionStats& Stats) {
    const std::size_t Size = 1 + Pick(FOptions.MaxContent);
    const std::string Content = MakeContent((static_cast<std::uint64_t>(FSlot) << 32) ^ ++FUploads, Size);
    const std::string Digest = Md5(Content);
    const json Version = bench::NewVersion(FOwn.FileID, FUser.Login, Digest, static_cast<std::int64_t>(Size));
    FOwnDigest.clear();  // unknown until the upload completes
    Timed(Stats, kNewChange, "NewChange", json::array({Version.dump()}));
    const std::size_t First = Size > 4096 ? Size / 2 : Size;
    const auto PutChunk = [&](std::size_t From, std::size_t Len, const char* Status) {
      const auto R = Timed(Stats, kPut, "PutBigFileToServer",
                           json::array({FOwn.FileID, {{"$blob", 0}}, std::to_string(Size), Status}),
                           {Content.substr(From, Len)});
      const std::int64_t Held = ToInt(TextOf(R), "PutBigFileToServer");
      if (Held != static_cast<std::int64_t>(From + Len))
        throw EContentMismatch(FOwn.FileID + ": server holds " + std::to_string(Held) + " bytes after a chunk, sent " +
                               std::to_string(From + Len));
    };
    PutChunk(0, First, "Start");
    if (First < Size) PutChunk(First, Size - First, "Next");
    Timed(Stats, kEndChange, "EndChange", json::array({Version.dump()}));
    FOwnDigest = Digest;
    FOwnSize = static_cast<std::int64_t>(Size);
    Stats.Uploaded += FOwnSize;
  }

  void Download(TSessionStats& Stats, const std::string& FileID, std::int64_t Size, const std::string& Digest) {
    const auto SizeAnswer = Timed(Stats, kGetSize, "GetFileSizeServer", json::array({FileID}));
    const std::int64_t Held = ToInt(TextOf(SizeAnswer), "GetFileSizeServer");
    if (Held != Size)
      throw EContentMismatch(FileID + ": size " + std::to_string(Held) + ", stored " + std::to_string(Size));
    std::string Bytes;
    Bytes.reserve(static_cast<std::size_t>(Size));
    const auto Range = static_cast<std::int64_t>(FOptions.Range);
    for (std::int64_t From = 0; From < Size; From += Range) {
      const std::int64_t To = std::min(Size, From + Range) - 1;
      const auto R = Timed(Stats, kGetPart, "GetFilePart", json::array({FileID, From, To}));
      const std::string& Part = BlobOf(R, "GetFilePart");
      if (static_cast<std::int64_t>(Part.size()) != To - From + 1)
        throw EContentMismatch(FileID + ": range " + std::to_string(From) + "-" + std::to_string(To) + " gave " +
                               std::to_string(Part.size()) + " bytes");
      Bytes += Part;
    }
    if (Md5(Bytes) != Digest) throw EContentMismatch(FileID + ": digest differs");
    Stats.Downloaded += Size;
  }

  const TPlan& FPlan;
  const TOptions& FOptions;
  client::TOrdexClient& FClient;
  TUser FUser;
  const TFileRow& FOwn;
  std::mt19937_64 FGen;
  int FSlot;
  std::uint64_t FUploads = 0;
  std::string FOwnDigest;  // empty: the own file holds nothing known
  std::int64_t FOwnSize = 0;
};

TUser UserForSlot(int Slot) {
  // One session in four is the administrator, the rest the plain user.
  if (Slot % 4 == 3) return {"admin", MD5Hex(AdminPassword), true};
  return {"ivan", MD5Hex(UserPassword), false};
}

// Uploads the shared contents as the administrator and records their digests.
void UploadShared(const IServer& Server, TPlan& Plan) {
  const TUser Admin{"admin", MD5Hex(AdminPassword), true};
  auto C = Connect(Server, TTransport::Tcp, Admin);
  C->Call(ServerClass, "Hello", json::array({SessionJson(Admin)}));
  for (std::size_t I = 0; I < Plan.Shared.size(); ++I) {
    const std::size_t Size = 1 + (I * 7919 * 13) % (64 * 1024);
    const std::string Content = MakeContent(0xabc0000 + I, Size);
    const std::string Digest = Md5(Content);
    const json Version = bench::NewVersion(Plan.Shared[I].FileID, "admin", Digest, static_cast<std::int64_t>(Size));
    C->Call(ServerClass, "NewChange", json::array({Version.dump()}));
    const auto R = C->Call(ServerClass, "PutBigFileToServer",
                           json::array({Plan.Shared[I].FileID, {{"$blob", 0}}, std::to_string(Size), "Start"}),
                           {Content});
    if (TextOf(R) != std::to_string(Size)) throw EWrongAnswer("shared upload: server holds " + TextOf(R));
    C->Call(ServerClass, "EndChange", json::array({Version.dump()}));
    Plan.SharedDigest.push_back(Digest);
    Plan.SharedSize.push_back(static_cast<std::int64_t>(Size));
  }
  C->Logout();
}

double Percentile(std::vector<std::uint32_t>& V, double P) {
  if (V.empty()) return 0;
  const auto K = static_cast<std::size_t>(std::min<double>(static_cast<double>(V.size()) - 1,
                                                           std::floor(P * static_cast<double>(V.size()))));
  std::nth_element(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(K), V.end());
  return V[K] / 1000.0;
}

struct TRunResult {
  std::int64_t Calls = 0, Errors = 0, Mismatches = 0;
};

TRunResult RunLoad(const IServer& Server, const TPlan& Plan, const TOptions& Options, TTransport Transport,
                   int Sessions) {
  // One slot per session that logged in and was greeted; a failure here counts as an error.
  struct TSlot {
    std::unique_ptr<client::TOrdexClient> Client;
    std::unique_ptr<TWorker> Worker;
  };
  std::vector<TSlot> Slots;
  std::vector<TSessionStats> Stats(static_cast<std::size_t>(Sessions));
  std::int64_t SetupErrors = 0;
  for (int S = 0; S < Sessions; ++S) {
    const TUser U = UserForSlot(S);
    try {
      TSlot Slot;
      Slot.Client = Connect(Server, Transport, U);
      Slot.Worker = std::make_unique<TWorker>(Plan, Options, *Slot.Client, U, S);
      TSessionStats Greeting;  // the timed run's figures start after the greeting
      if (!Slot.Worker->Hello(Greeting)) throw EWrongAnswer("Hello refused a valid login");
      Slots.push_back(std::move(Slot));
    } catch (const std::exception& E) {
      if (SetupErrors++ == 0) std::fprintf(stderr, "session %d: %s: %s\n", S, ErrorClassName(E), E.what());
    }
  }
  std::atomic<bool> Halt{false};
  std::vector<std::thread> Threads;
  const auto T0 = TClock::now();
  for (std::size_t I = 0; I < Slots.size(); ++I)
    Threads.emplace_back([&, I] { Slots[I].Worker->Run(Halt, Stats[I]); });
  std::this_thread::sleep_for(std::chrono::duration<double>(Options.Seconds));
  Halt = true;
  for (auto& T : Threads) T.join();
  const double Elapsed = std::chrono::duration<double>(TClock::now() - T0).count();
  for (auto& S : Slots) S.Client->Logout();

  // Merge and print.
  TRunResult Result;
  Result.Errors = SetupErrors;
  std::array<std::vector<std::uint32_t>, kKinds> All;
  std::vector<std::uint32_t> Overall;
  std::int64_t Up = 0, Down = 0;
  std::vector<std::string> Messages;
  for (auto& S : Stats) {
    for (std::size_t K = 0; K < kKinds; ++K) {
      All[K].insert(All[K].end(), S.Micros[K].begin(), S.Micros[K].end());
      Overall.insert(Overall.end(), S.Micros[K].begin(), S.Micros[K].end());
    }
    Result.Errors += S.Errors;
    Result.Mismatches += S.Mismatches;
    Up += S.Uploaded;
    Down += S.Downloaded;
    for (auto& M : S.Messages)
      if (Messages.size() < 5) Messages.push_back(M);
  }
  Result.Calls = static_cast<std::int64_t>(Overall.size());
  std::printf("\n%s, %d sessions, %.1f s: %lld calls, %.0f calls/s; up %.1f MiB, down %.1f MiB; errors %lld, "
              "mismatches %lld\n",
              TransportName(Transport), Sessions, Elapsed, static_cast<long long>(Result.Calls),
              static_cast<double>(Result.Calls) / Elapsed, static_cast<double>(Up) / 1048576.0,
              static_cast<double>(Down) / 1048576.0, static_cast<long long>(Result.Errors),
              static_cast<long long>(Result.Mismatches));
  std::printf("  %-20s %9s %10s %10s\n", "method", "calls", "p50 ms", "p99 ms");
  for (std::size_t K = 0; K < kKinds; ++K) {
    const std::size_t N = All[K].size();
    std::printf("  %-20s %9zu %10.2f %10.2f\n", KindNames[K], N, Percentile(All[K], 0.50), Percentile(All[K], 0.99));
  }
  const std::size_t N = Overall.size();
  std::printf("  %-20s %9zu %10.2f %10.2f\n", "all", N, Percentile(Overall, 0.50), Percentile(Overall, 0.99));
  for (const auto& M : Messages) std::printf("  failure: %s\n", M.c_str());
  std::fflush(stdout);
  return Result;
}

// ---------------------------------------------------------------------------
// Idle sessions: bare sockets (no client objects) so that the measured growth
// is the server's, also when it runs in this process.

class TIdleTcpSession {
 public:
  TIdleTcpSession(asio::io_context& Io, std::uint16_t Port, const TUser& U) : FSocket(Io) {
    FSocket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
    Exchange({{"op", "login"}, {"user", U.Login}, {"password", U.PasswordMd5}, {"app", "bench_load"}}, "login");
    const json A = Exchange({{"op", "call"}, {"id", 1}, {"class", ServerClass}, {"method", "Hello"},
                             {"args", json::array({SessionJson(U)})}},
                            "Hello");
    if (A.value("op", "") != "result") throw EWrongAnswer("Hello failed: " + A.dump());
  }

 private:
  json Exchange(const json& Header, const char* What) {
    asio::write(FSocket, asio::buffer(rpc::EncodeFrame(Header.dump(), {})));
    rpc::TFrameReader Reader;
    while (!Reader.Done()) {
      const auto Room = Reader.NextBuffer();
      Reader.Commit(FSocket.read_some(asio::buffer(Room.data(), Room.size())));
    }
    const json A = json::parse(Reader.Take().Header);
    if (A.contains("ok") && !A.value("ok", false)) throw EWrongAnswer(std::string(What) + " refused: " + A.dump());
    return A;
  }
  asio::ip::tcp::socket FSocket;
};

// A logged-in HTTP session that called Hello; its connection is closed (the
// session lives on in the server until logout or the idle limit). Returns its id.
std::string OpenIdleHttpSession(std::uint16_t Port, const TUser& U) {
  namespace http = boost::beast::http;
  asio::io_context Io;
  boost::beast::tcp_stream Stream(Io);
  Stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  http::request<http::string_body> Req{http::verb::post, std::string("/ordex/v1/") + ServerClass + "/Hello", 11};
  Req.set(http::field::host, "127.0.0.1");
  Req.set(http::field::content_type, "application/json");
  Req.set(http::field::authorization, "Basic " + rpc::Base64Encode(U.Login + ":" + U.PasswordMd5));
  Req.body() = json{{"args", json::array({SessionJson(U)})}}.dump();
  Req.prepare_payload();
  http::write(Stream, Req);
  boost::beast::flat_buffer Buffer;
  http::response<http::string_body> Res;
  http::read(Stream, Buffer, Res);
  if (Res.result_int() != 200) throw EWrongAnswer("HTTP Hello: " + std::to_string(Res.result_int()) + " " + Res.body());
  boost::system::error_code Ignored;
  Stream.socket().shutdown(asio::ip::tcp::socket::shutdown_both, Ignored);
  return std::string(Res["X-Ordex-Session"]);
}

void LogoutHttpSession(std::uint16_t Port, const std::string& Session) {
  namespace http = boost::beast::http;
  asio::io_context Io;
  boost::beast::tcp_stream Stream(Io);
  Stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  http::request<http::string_body> Req{http::verb::post, "/ordex/v1/logout", 11};
  Req.set(http::field::host, "127.0.0.1");
  Req.set("X-Ordex-Session", Session);
  Req.prepare_payload();
  http::write(Stream, Req);
  boost::beast::flat_buffer Buffer;
  http::response<http::string_body> Res;
  http::read(Stream, Buffer, Res);
}

// Opens K idle sessions, measures the server's resident memory before and
// after, and returns the growth per session in KiB (negative: not measured).
double IdleSessionCost(const IServer& Server, TTransport Transport, int K) {
  asio::io_context Io;
  std::vector<std::unique_ptr<TIdleTcpSession>> Tcp;
  std::vector<std::string> Http;
  // A few sessions first, so that lazily made per-process state is not counted.
  const auto Open = [&](int N) {
    for (int I = 0; I < N; ++I) {
      const TUser U = UserForSlot(I);
      if (Transport == TTransport::Tcp) Tcp.push_back(std::make_unique<TIdleTcpSession>(Io, Server.TcpPort(), U));
      else Http.push_back(OpenIdleHttpSession(Server.HttpPort(), U));
    }
  };
  Open(8);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::int64_t Before = ProcStatusKiB(Server.Pid(), "VmRSS");
  Open(K);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::int64_t After = ProcStatusKiB(Server.Pid(), "VmRSS");
  std::printf("\nidle %s sessions: %d logged in with Hello; server RSS %lld -> %lld KiB: %.1f KiB per session "
              "(target < 512)\n",
              TransportName(Transport), K, static_cast<long long>(Before), static_cast<long long>(After),
              static_cast<double>(After - Before) / K);
  std::fflush(stdout);
  Tcp.clear();
  for (const auto& Id : Http) LogoutHttpSession(Server.HttpPort(), Id);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return static_cast<double>(After - Before) / K;
}

int Run(const TOptions& Options) {
  std::signal(SIGPIPE, SIG_IGN);
  const bench::TTempDir Dir("ordex-load");
  fs::create_directories(Dir.Path() / "files");
  TPlan Plan = MakePlan(*std::max_element(Options.Sessions.begin(), Options.Sessions.end()));
  SeedStore((Dir.Path() / "ordex.db").string(), Plan);

  std::unique_ptr<IServer> Server;
  if (Options.Ordexd.empty()) Server = std::make_unique<TInProcessServer>(Dir.Path(), Options.Workers);
  else Server = std::make_unique<TSpawnedServer>(Dir.Path(), Options.Ordexd);
  std::printf("server: %s (pid %s), TCP port %u, HTTP port %u, store %s\n",
              Server->InProcess() ? "in process" : Options.Ordexd.c_str(), Server->Pid().c_str(), Server->TcpPort(),
              Server->HttpPort(), (Dir.Path() / "ordex.db").c_str());
  if (Server->InProcess())
    std::printf("note: in process, the peak memory includes the bench's own client threads and buffers\n");
  std::fflush(stdout);
  UploadShared(*Server, Plan);
  std::printf("seeded: %zu folders, %zu shared files, %zu own files; peak memory now %lld KiB\n", Plan.Folders.size(),
              Plan.Shared.size(), Plan.Own.size(), static_cast<long long>(ProcStatusKiB(Server->Pid(), "VmHWM")));

  if (Options.IdleSessions > 0)
    for (const TTransport T : Options.Transports) IdleSessionCost(*Server, T, Options.IdleSessions);

  std::int64_t Errors = 0, Mismatches = 0;
  for (const TTransport T : Options.Transports) {
    for (const int N : Options.Sessions) {
      const TRunResult R = RunLoad(*Server, Plan, Options, T, N);
      Errors += R.Errors;
      Mismatches += R.Mismatches;
      std::printf("  server memory: RSS %lld KiB, peak %lld KiB\n",
                  static_cast<long long>(ProcStatusKiB(Server->Pid(), "VmRSS")),
                  static_cast<long long>(ProcStatusKiB(Server->Pid(), "VmHWM")));
    }
  }
  std::printf("\nserver peak memory (VmHWM): %lld KiB; errors %lld, mismatches %lld\n",
              static_cast<long long>(ProcStatusKiB(Server->Pid(), "VmHWM")), static_cast<long long>(Errors),
              static_cast<long long>(Mismatches));
  Server.reset();
  return Errors == 0 && Mismatches == 0 ? 0 : 1;
}

}  // namespace

int main(int Argc, char** Argv) {
  return bench::BenchMain("bench_load", Usage, [&] { return Run(ParseArgs(Argc, Argv)); });
}
