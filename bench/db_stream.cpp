// Dataset stream throughput: writes and reads a 100,000-row file list, then
// applies a 10,000-row change set of inserts to a temporary SQLite file through
// an exchange group. Prints rows per second; asserts nothing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/db/DataStream.h"
#include "platform/db/Db.h"

namespace {

using namespace ordex::db;
using TClock = std::chrono::steady_clock;

constexpr int kStreamRows = 100000;
constexpr int kChangeRows = 10000;

struct TColumnSpec {
  const char* Name;
  TFieldType Type;
  std::uint32_t Size;
  const char* SQLType;
};

// Columns like those of the file list.
const std::vector<TColumnSpec>& FileColumns() {
  static const std::vector<TColumnSpec> Columns = {
      {"fileid", TFieldType::Text, 40, "VARCHAR(40) NOT NULL PRIMARY KEY"},
      {"treeid", TFieldType::Text, 75, "VARCHAR(75)"},
      {"filename", TFieldType::Text, 255, "VARCHAR(255)"},
      {"fileext", TFieldType::Text, 20, "VARCHAR(20)"},
      {"size_file", TFieldType::Float, 0, "DOUBLE"},
      {"md5_file", TFieldType::Text, 32, "VARCHAR(32)"},
      {"count_history", TFieldType::Int32, 0, "INT"},
      {"del", TFieldType::Int32, 0, "INT"},
      {"working_user", TFieldType::Text, 100, "VARCHAR(100)"},
      {"date_working", TFieldType::DateTime, 0, "DATETIME"},
      {"datecreate", TFieldType::DateTime, 0, "DATETIME"},
      {"usercreate", TFieldType::Text, 100, "VARCHAR(100)"},
      {"dateupdate", TFieldType::DateTime, 0, "DATETIME"},
      {"userupdate", TFieldType::Text, 100, "VARCHAR(100)"},
  };
  return Columns;
}

std::vector<TValue> FileRow(int I) {
  char Id[40];
  std::snprintf(Id, sizeof Id, "%032x", I);
  return {TValue::Text(Id),
          TValue::Text("tree-0001"),
          TValue::Text("Документ номер " + std::to_string(I)),
          TValue::Text("pdf"),
          TValue::Float(123.456 + I),
          TValue::Text("d41d8cd98f00b204e9800998ecf8427e"),
          TValue::Int32(I % 7),
          TValue::Int32(0),
          TValue::Null(TFieldType::Text),
          TValue::Null(TFieldType::DateTime),
          TValue::DateTime(45000.5 + I / 86400.0),
          TValue::Text("ivan"),
          TValue::DateTime(45001.25),
          TValue::Text("petr")};
}

TStreamTable FileTable(TStreamKind Kind, int Rows) {
  TStreamTable T;
  T.Name = "iqFiles";
  for (const auto& C : FileColumns()) {
    TStreamColumn& S = T.Columns.emplace_back();
    S.Name = C.Name;
    S.Type = C.Type;
    S.Size = C.Type == TFieldType::Text ? C.Size : 0;
    S.Flags = cfNullable;
    S.OriginTable = "oxFiles";
    S.OriginColumn = C.Name;
  }
  for (int I = 0; I < Rows; ++I) {
    if (Kind == TStreamKind::Data)
      T.Rows.push_back(FileRow(I));
    else
      T.Changes.push_back({TRowState::Inserted, {}, FileRow(I)});
  }
  return T;
}

double Seconds(TClock::time_point Start) { return std::chrono::duration<double>(TClock::now() - Start).count(); }

void Report(const char* What, int Rows, double Secs, std::size_t Bytes = 0) {
  std::printf("%-34s %8d rows  %8.3f s  %12.0f rows/s", What, Rows, Secs, Rows / Secs);
  if (Bytes) std::printf("  %8.1f MiB", Bytes / 1048576.0);
  std::printf("\n");
}

}  // namespace

int main() {
  TDataStream Data;
  Data.Tables.push_back(FileTable(TStreamKind::Data, kStreamRows));

  auto Start = TClock::now();
  const std::string Bytes = WriteDataStream(Data);
  Report("write data stream", kStreamRows, Seconds(Start), Bytes.size());

  Start = TClock::now();
  const TDataStream Back = ReadDataStream(Bytes);
  Report("read data stream", static_cast<int>(Back.Tables.at(0).Rows.size()), Seconds(Start), Bytes.size());

  const std::filesystem::path Dir =
      std::filesystem::temp_directory_path() / ("ordex-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(Dir);
  {
    TConnection Conn;
    Conn.SetDriverName("SQLite");
    Conn.Params() = {"DriverID=SQLite", "Database=" + (Dir / "bench.db").string(), "OpenMode=CreateUTF16"};
    Conn.Open();
    std::string Create = "CREATE TABLE oxFiles (";
    for (const auto& C : FileColumns()) Create += std::string(C.Name) + " " + C.SQLType + ", ";
    Create.resize(Create.size() - 2);
    Conn.ExecSQL(Create + ")");

    TQuery Files(Conn, "iqFiles");
    Files.SetSQL("SELECT * FROM oxFiles f WHERE (f.treeid=:treeid) ORDER BY f.filename");
    TSchemaAdapter Adapter("saFiles");
    Adapter.Add(Files);

    TDataStream Changes;
    Changes.Kind = TStreamKind::ChangeSet;
    Changes.Tables.push_back(FileTable(TStreamKind::ChangeSet, kChangeRows));
    const std::string ChangeBytes = WriteDataStream(Changes);

    Start = TClock::now();
    Adapter.LoadFromStream(ChangeBytes);
    const double LoadSecs = Seconds(Start);
    Report("load change set", kChangeRows, LoadSecs, ChangeBytes.size());
    Start = TClock::now();
    const std::int64_t Failed = Adapter.ApplyUpdates();
    Report("apply change set (SQLite, inserts)", kChangeRows, Seconds(Start));
    std::printf("failed rows: %lld\n", static_cast<long long>(Failed));

    // The same inserts inside one transaction, to show what the per-row commit costs.
    Conn.ExecSQL("DELETE FROM oxFiles");
    Adapter.LoadFromStream(ChangeBytes);
    Start = TClock::now();
    Conn.StartTransaction();
    const std::int64_t FailedInOne = Adapter.ApplyUpdates();
    Conn.Commit();
    Report("apply change set (one transaction)", kChangeRows, Seconds(Start));
    std::printf("failed rows: %lld\n", static_cast<long long>(FailedInOne));

    Files.ParamByName("treeid").SetText("tree-0001");
    Start = TClock::now();
    Files.Open();
    Report("open query on written rows", static_cast<int>(Files.RecordCount()), Seconds(Start));
    Start = TClock::now();
    const std::string Saved = Adapter.SaveToStream();
    Report("save query to stream", static_cast<int>(Files.RecordCount()), Seconds(Start), Saved.size());
  }
  std::error_code Ignored;
  std::filesystem::remove_all(Dir, Ignored);
  return 0;
}
