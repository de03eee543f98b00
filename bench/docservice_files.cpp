// File-list cost on a large folder: a generated SQLite store with 100,000 files
// in the bottom folder of a 10-level chain whose only rights row is at the top
// (a non-administrator user). Prints the time of GetFiles for one page of 50
// sorted rows next to the same composed statement run directly on the same
// connection, their ratio, and the time of GetTreeRights at the bottom.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "docservice/dmOrdexServerClass.h"
#include "docservice/uOrdexInfo.h"
#include "platform/db/Db.h"

namespace fs = std::filesystem;
using namespace ordex;

namespace {

constexpr int FileCount = 100000;
constexpr int ChainDepth = 10;
constexpr int PageRows = 50;

// Median of Runs timings of Body, in microseconds.
double MedianMicros(int Runs, const std::function<void(int)>& Body) {
  std::vector<double> Times;
  Times.reserve(static_cast<std::size_t>(Runs));
  for (int I = 0; I < Runs; ++I) {
    const auto Start = std::chrono::steady_clock::now();
    Body(I);
    Times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Start).count());
  }
  std::sort(Times.begin(), Times.end());
  return Times[Times.size() / 2];
}

std::string FolderID(int Level) { return "L" + std::to_string(Level); }

void Generate(const std::string& DbFile) {
  db::TConnection Conn;
  bench::OpenNewStore(Conn, DbFile, "bench");
  Conn.StartTransaction();
  for (int Level = 0; Level <= ChainDepth; ++Level) {
    db::TParams P;
    P.Add("treeid", db::TFieldType::Text).SetText(FolderID(Level));
    P.Add("parent", db::TFieldType::Text).SetText(Level == 0 ? std::string() : FolderID(Level - 1));
    P.Add("name", db::TFieldType::Text).SetText("Folder " + std::to_string(Level));
    Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, kolrights, del) "
                 "VALUES (:treeid, :name, :parent, 1, 0, 0)",
                 &P);
  }
  Conn.ExecSQL("INSERT INTO oxTreeRight (treeid, username, roleid, rtree, wtree, admtree, rfile, wfile, rmyfile) "
               "VALUES ('L0', NULL, 'readers', 1, 0, 0, 1, 0, 0)");
  Conn.ExecSQL("UPDATE oxTree SET kolrights=1 WHERE treeid='L0'");
  Conn.ExecSQL(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" + std::to_string(FileCount) +
      ") INSERT INTO oxFiles (fileid, treeid, filename, fileext, size_file, md5_file, count_history, del, "
      "usercreate, datecreate) SELECT printf('%032x', i), '" + FolderID(ChainDepth) +
      "', printf('doc_%06d', (i*7919) % " + std::to_string(FileCount) +
      "), 'pdf', (i % 977) + 0.5, printf('%032x', i*31), 1, CASE WHEN i % 50 = 0 THEN 1 ELSE 0 END, 'author', "
      "'2024-01-01 10:00:00.000' FROM n");
  Conn.Commit();
}

}  // namespace

int main() {
  const bench::TTempDir Dir("ordex-bench-files");
  const std::string DbFile = (Dir.Path() / "ordex.db").string();
  const auto GenStart = std::chrono::steady_clock::now();
  Generate(DbFile);
  const double GenSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - GenStart).count();

  const bench::TServiceRoot Root(DbFile, (Dir.Path() / "files").string());
  int Result = 0;
  {
    TOrdexServerClass Srv;
    Srv.Sess.Login = "reader";
    Srv.Sess.RoleID = "readers";
    const std::string Bottom = FolderID(ChainDepth);

    std::printf("generated %d files under a %d-level chain in %.2f s\n", FileCount, ChainDepth, GenSeconds);
    for (const std::int64_t Page : {std::int64_t{0}, std::int64_t{FileCount / PageRows / 2}}) {
      const std::string Json = R"({"TreeID": ")" + Bottom + R"(", "CurrentPage": )" + std::to_string(Page) +
                               R"(, "KolRows": )" + std::to_string(PageRows) + R"(, "order": "filename"})";
      const TOrdexFilter Filter = DecodeOrdexFilterJson(Json);
      db::TQuery Direct(Srv.dmQxSrvConnects->cnQxConn, "iqDirect");
      Direct.SetSQL(Srv.GetSQLFiles("f.*", Filter, true, true));
      Direct.Params().Clear();
      Direct.Params().Add("TREEID", db::TFieldType::Text, 75).SetText(Bottom);

      std::size_t Bytes = 0;
      // Warm both paths once so the page cache is the same for both.
      Bytes = Srv.GetFiles(Json).size();
      Direct.Close();
      Direct.Open();
      const std::int64_t Rows = Direct.RecordCount();

      const int Runs = 41;
      const double ViaService = MedianMicros(Runs, [&](int) { Bytes = Srv.GetFiles(Json).size(); });
      const double DirectRun = MedianMicros(Runs, [&](int) {
        Direct.Close();
        Direct.Open();
      });
      std::printf("page %lld (%lld rows, %zu stream bytes): GetFiles %.1f us, direct query %.1f us, ratio %.2f\n",
                  static_cast<long long>(Page), static_cast<long long>(Rows), Bytes, ViaService, DirectRun,
                  ViaService / DirectRun);
    }

    bool RFile = false;
    const double Rights = MedianMicros(201, [&](int) { RFile = Srv.GetTreeRights(Bottom).RFile; });
    std::printf("GetTreeRights at depth %d: %.1f us (RFile %s)\n", ChainDepth, Rights, RFile ? "true" : "false");
    if (!RFile) Result = 1;
  }
  return Result;
}
