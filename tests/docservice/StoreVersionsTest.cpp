// File versions and the content store: the change round trip, sizes, storage
// paths (primary, fallback, refused ids), byte ranges and the file locks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/OrdexFileIO.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

namespace fs = std::filesystem;

// Deterministic bytes of every value, so an offset mistake shows.
std::string Content(std::size_t Size, std::uint32_t Seed = 1) {
  std::string Out(Size, '\0');
  std::uint32_t X = Seed;
  for (auto& C : Out) {
    X = X * 1664525u + 1013904223u;
    C = static_cast<char>(X >> 24);
  }
  return Out;
}

std::string HistJson(const std::string& HistID, const std::string& FileID, const std::string& Md5, double Bytes) {
  return nlohmann::json{{"histid", HistID}, {"fileid", FileID}, {"md5_file", Md5}, {"size_file", Bytes}}.dump();
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
  fs::create_directories(fs::path(Path).parent_path());
  std::ofstream(Path, std::ios::binary) << Bytes;
}

class StoreTest : public DocFixture {
 protected:
  void SetUp() override {
    DocFixture::SetUp();
    AddFolder("top", "", "Top");
    AddFolder("sub", "top", "Sub");
    AddFile("f1", "sub", " report ", " txt ", "ivan");
    SetSess("ivan", "2");
  }

  std::string Root() const { return FDb->Info().DirFiles; }

  // A history row with a given creation date, written directly.
  void AddHistory(const std::string& HistID, const std::string& FileID, TDateTime Created) {
    db::TParams P;
    P.Add("histid", db::TFieldType::Text).SetText(HistID);
    P.Add("fileid", db::TFieldType::Text).SetText(FileID);
    P.Add("dc", db::TFieldType::DateTime).Value = db::TValue::DateTime(Created);
    Exec("INSERT INTO oxHistory (histid, fileid, datecreate) VALUES (:histid, :fileid, :dc)", &P);
  }

  void SetFileCreated(const std::string& FileID, TDateTime Created) {
    db::TParams P;
    P.Add("fileid", db::TFieldType::Text).SetText(FileID);
    P.Add("dc", db::TFieldType::DateTime).Value = db::TValue::DateTime(Created);
    Exec("UPDATE oxFiles SET datecreate=:dc WHERE fileid=:fileid", &P);
  }

  // One row of a statement as a query positioned on it (nullopt-like: empty query).
  std::unique_ptr<db::TQuery> Row(const std::string& Sql) {
    auto Q = std::make_unique<db::TQuery>(Conn(), "iqTestRow");
    Q->SetSQL(Sql);
    Q->Open();
    return Q;
  }

  std::string Download(const std::string& FileID, std::int64_t Chunk) {
    const std::int64_t Size = std::stoll(Srv().GetFileSizeServer(FileID));
    std::string Out;
    for (std::int64_t Pos = 0; Pos < Size; Pos += Chunk) Out += Srv().GetFilePart(FileID, Pos, Pos + Chunk - 1);
    return Out;
  }
};
ORDEX_DOC_INSTANTIATE(StoreTest);

TEST_P(StoreTest, VersionRoundTrip) {
  Exec("UPDATE oxFiles SET working_user='ivan', date_working='2024-01-01 10:00:00' WHERE fileid='f1'");
  const std::string Data = Content(2621440 + 17);  // 2.5 MiB and a bit
  ASSERT_EQ(Srv().NewChange(HistJson("h1", "f1", "md5-one", static_cast<double>(Data.size()))), "");

  // Chunks: 1.5 MiB with "Start", exactly 1 MiB, and the rest.
  const std::size_t A = 1572864, B = 1048576;
  EXPECT_EQ(Srv().PutBigFileToServer("f1", std::string_view(Data).substr(0, A), "", "Start"), std::to_string(A));
  EXPECT_EQ(Srv().PutBigFileToServer("f1", std::string_view(Data).substr(A, B), "", "Next"), std::to_string(A + B));
  EXPECT_EQ(Srv().PutBigFileToServer("f1", std::string_view(Data).substr(A + B), "", "x"),
            std::to_string(Data.size()));
  ASSERT_EQ(Srv().EndChange(HistJson("h1", "f1", "md5-one", static_cast<double>(Data.size()))), "");

  // The content sits at root/oxupload/<main folder>/<yyyy>/<mm>/<dd>/<histid>.
  auto H = Row("SELECT * FROM oxHistory WHERE histid='h1'");
  ASSERT_EQ(H->RecordCount(), 1);
  const TDateTimeParts D = DecodeDateTime(H->FieldByName("datecreate").AsDateTime());
  const std::string Expected = NormalizePath(Root() + "\\oxupload\\top\\" + std::to_string(D.Year) + "\\" +
                                             PadLeftText(std::to_string(D.Month), 2, '0') + "\\" +
                                             PadLeftText(std::to_string(D.Day), 2, '0') + "\\h1");
  EXPECT_EQ(Srv().GetServerFileName("f1", true), Expected);
  EXPECT_TRUE(fs::is_regular_file(Expected));
  EXPECT_EQ(H->FieldByName("usercreate").AsString(), "ivan");
  EXPECT_EQ(H->FieldByName("userupdate").AsString(), "ivan");
  EXPECT_EQ(H->FieldByName("md5_file").AsString(), "md5-one");
  EXPECT_DOUBLE_EQ(H->FieldByName("size_file").AsFloat(), 2560.017);

  // The file row is up to date and released.
  auto F = Row("SELECT * FROM oxFiles WHERE fileid='f1'");
  EXPECT_EQ(F->FieldByName("md5_file").AsString(), "md5-one");
  EXPECT_DOUBLE_EQ(F->FieldByName("size_file").AsFloat(), 2560.017);
  EXPECT_FALSE(F->FieldByName("working_user").IsNull());
  EXPECT_EQ(F->FieldByName("working_user").AsString(), "");
  EXPECT_TRUE(F->FieldByName("date_working").IsNull());
  EXPECT_EQ(F->FieldByName("count_history").AsLargeInt(), 1);
  EXPECT_EQ(F->FieldByName("userupdate").AsString(), "ivan");

  // The version list and the download, byte for byte, in ranges that do not divide the size.
  const auto Hist = ReadStream(Srv().GetHistory("f1"));
  EXPECT_EQ(Column(Table(Hist, "iqHistory"), "histid"), std::vector<std::string>{"h1"});
  EXPECT_EQ(Srv().GetFileSizeServer("f1"), std::to_string(Data.size()));
  EXPECT_TRUE(Download("f1", 1048576) == Data);
  EXPECT_TRUE(Download("f1", 999999) == Data);
  EXPECT_EQ(Srv().GetClientFileName("f1"), "Top\\Sub\\report.txt");

  // A second version becomes the newest: uploads and downloads follow it, the
  // first content stays on disk, and "Start" replaces rather than appends.
  ASSERT_EQ(Srv().NewChange(HistJson("h2", "f1", "md5-two", 5)), "");
  EXPECT_EQ(Srv().PutBigFileToServer("f1", "01234567", "", "Start"), "8");
  EXPECT_EQ(Srv().PutBigFileToServer("f1", "abc", "", "Start"), "3");
  Srv().EndChange(HistJson("h2", "f1", "md5-two", 3));
  EXPECT_EQ(Srv().GetFilePart("f1", 0, 100), "abc");
  EXPECT_EQ(fs::file_size(Expected), Data.size());
  EXPECT_EQ(Row("SELECT count_history FROM oxFiles WHERE fileid='f1'")->Fields(0).AsLargeInt(), 2);
  EXPECT_EQ(Column(Table(ReadStream(Srv().GetHistory("f1")), "iqHistory"), "histid"),
            (std::vector<std::string>{"h2", "h1"}));
}

TEST_P(StoreTest, SizesAreKibibytesHalfToEven) {
  const struct {
    double Bytes;
    double KB;
  } Cases[] = {{1536, 1.5}, {64, 0.062}, {0, 0}, {1024, 1}, {1048576, 1024}, {3, 0.003}};
  int N = 0;
  for (const auto& C : Cases) {
    const std::string Id = "s" + std::to_string(N++);
    Srv().NewChange(HistJson(Id, "f1", "m", C.Bytes));
    EXPECT_DOUBLE_EQ(Row("SELECT size_file FROM oxHistory WHERE histid='" + Id + "'")->Fields(0).AsFloat(), C.KB)
        << C.Bytes << " bytes";
  }
}

TEST_P(StoreTest, DuplicateVersionIsRefusedAndKeepsTheFirst) {
  Srv().NewChange(HistJson("h1", "f1", "first", 10));
  try {
    Srv().NewChange(HistJson("h1", "f1", "second", 20));
    FAIL() << "duplicate accepted";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "NewChange. Ошибка добавления\rТакой ID уже есть: h1");
    EXPECT_STREQ(E.ClassName(), "Exception");
  }
  EXPECT_EQ(Scalar("SELECT md5_file FROM oxHistory WHERE histid='h1'"), "first");
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxHistory"), "1");
}

TEST_P(StoreTest, EndChangeOfUnknownFileFailsWithoutNewRow) {
  EXPECT_THROW(Srv().EndChange(HistJson("h1", "nofile", "m", 1)), EArgumentError);
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxFiles"), "1");
}

TEST_P(StoreTest, RefusedWriteLeavesNoRowInEditing) {
  // The database refuses every change of a file row for a while.
  if (Kind() == "MySQL")
    Exec("CREATE TRIGGER tr_refuse BEFORE UPDATE ON oxFiles FOR EACH ROW "
         "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
  else
    Exec("CREATE TRIGGER tr_refuse BEFORE UPDATE ON oxFiles BEGIN SELECT RAISE(ABORT, 'refused'); END");
  Srv().NewChange(HistJson("h1", "f1", "md5-one", 3));
  Srv().PutBigFileToServer("f1", "abc", "", "Start");
  EXPECT_THROW(Srv().EndChange(HistJson("h1", "f1", "md5-one", 3)), EDatabaseError);
  EXPECT_EQ(Srv().iqFileRow.State(), db::TDataSetState::Browse);
  EXPECT_TRUE(Srv().iqFileRow.FieldByName("md5_file").IsNull());  // the row as read, not the refused values

  Exec("DROP TRIGGER tr_refuse");
  EXPECT_EQ(Srv().EndChange(HistJson("h1", "f1", "md5-one", 3)), "");
  EXPECT_EQ(Scalar("SELECT md5_file FROM oxFiles WHERE fileid='f1'"), "md5-one");
}

TEST_P(StoreTest, FizDelFileNeedsAdministrator) {
  try {
    Srv().FizDelFile("f1");
    FAIL() << "non-administrator accepted";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Данную операцию имеет право делать только администратор! ");
    EXPECT_STREQ(E.ClassName(), "Exception");  // the same refusal as DelNodeFull's
  }
  SetSess("boss", "1");
  EXPECT_NO_THROW(Srv().FizDelFile("f1"));
}

TEST_P(StoreTest, LastHistoryInfoWithoutVersionsIsTheZeroDate) {
  std::string Y = "x", M = "x", D = "x", Id = "x";
  EXPECT_FALSE(Srv().GetLastHistoryInfo("f1", Y, M, D, Id));
  EXPECT_EQ(Y + "/" + M + "/" + D + "/" + Id, "1899/12/30/");
  AddHistory("h7", "f1", EncodeDateTime({2024, 3, 7, 15, 30, 0, 0}));
  EXPECT_TRUE(Srv().GetLastHistoryInfo("f1", Y, M, D, Id));
  EXPECT_EQ(Y + "/" + M + "/" + D + "/" + Id, "2024/3/7/h7");  // unpadded here, padded in paths
}

TEST_P(StoreTest, PrimaryAndFallbackPaths) {
  AddHistory("h7", "f1", EncodeDateTime({2024, 3, 7, 15, 30, 0, 0}));
  SetFileCreated("f1", EncodeDateTime({2023, 11, 5, 0, 0, 0, 0}));
  const std::string Primary = NormalizePath(Root() + "\\oxupload\\top\\2024\\03\\07\\h7");
  const std::string Fallback = NormalizePath(Root() + "\\oxupload\\top\\2023\\11\\05\\h7");

  // Nothing stored: the primary path for uploads, the full message for readers.
  EXPECT_EQ(Srv().GetServerFileName("f1", false), Primary);
  try {
    Srv().GetServerFileName("f1", true);
    FAIL() << "missing content not reported";
  } catch (const EFileError& E) {
    EXPECT_EQ(std::string(E.what()), "Файл не найден на сервере!\rНазвание файла: \r" + Primary + "\r" + Fallback);
  }
  // Only the fallback exists: it is found either way.
  WriteFile(Fallback, "old");
  EXPECT_EQ(Srv().GetServerFileName("f1", true), Fallback);
  EXPECT_EQ(Srv().GetServerFileName("f1", false), Fallback);
  EXPECT_EQ(Srv().GetFilePart("f1", 0, 9), "old");
  // Both exist: the primary wins.
  WriteFile(Primary, "new");
  EXPECT_EQ(Srv().GetServerFileName("f1", true), Primary);
}

TEST_P(StoreTest, UnsafeIdsNeverBecomePaths) {
  // Version ids that would leave their folder or are not one name.
  const std::string BadIds[] = {"..", ".", "a/b", "a\\b", std::string("x\0y", 3), "x\x01y", "tab\t", ""};
  int N = 0;
  for (const std::string& Bad : BadIds) {
    const std::string File = "bad" + std::to_string(N++);
    AddFile(File, "sub", "n", "txt", "ivan");
    if (!Bad.empty()) AddHistory(Bad, File, EncodeDateTime({2024, 3, 7, 0, 0, 0, 0}));  // "": no version at all
    EXPECT_THROW(Srv().PutBigFileToServer(File, "data", "", "Start"), EArgumentError) << "id " << Bad;
    EXPECT_THROW(Srv().GetServerFileName(File, false), EArgumentError) << "id " << Bad;
    if (Bad.empty()) {
      // No version names no content: readers get the usual "not found" message.
      try {
        Srv().GetFilePart(File, 0, 1);
        ADD_FAILURE() << "a file without versions was read";
      } catch (const EFileError& E) {
        EXPECT_EQ(std::string(E.what()).rfind("Файл не найден на сервере!\rНазвание файла: \r", 0), 0u) << E.what();
      }
    } else {
      EXPECT_THROW(Srv().GetFilePart(File, 0, 1), EArgumentError) << "id " << Bad;
    }
  }
  // A file id without a row (no folder, no version) is not found either.
  EXPECT_THROW(Srv().GetFileSizeServer("no-such-file"), EFileError);
  EXPECT_THROW(Srv().CreatePreview("no-such-file"), EFileError);
  EXPECT_THROW(Srv().PutBigFileToServer("no-such-file", "data", "", "Start"), EArgumentError);
  // A main folder id is checked the same way.
  AddFolder("..", "", "Dots");
  AddFile("fdots", "..", "n", "txt", "ivan");
  AddHistory("hd", "fdots", EncodeDateTime({2024, 3, 7, 0, 0, 0, 0}));
  EXPECT_THROW(Srv().PutBigFileToServer("fdots", "data", "", "Start"), EArgumentError);
  // Nothing was written anywhere: the only folder the store may have is oxupload.
  const fs::path Up = fs::path(Root()) / "oxupload";
  if (fs::exists(Up)) {
    for (const auto& E : fs::recursive_directory_iterator(Up)) {
      EXPECT_FALSE(E.is_regular_file()) << E.path();
    }
  }
  EXPECT_FALSE(fs::exists(fs::path(Root()) / "2024"));  // where "oxupload/.." would have led
}

TEST_P(StoreTest, FilePartRanges) {
  Srv().NewChange(HistJson("h1", "f1", "m", 100));
  const std::string Data = Content(100);
  Srv().PutBigFileToServer("f1", Data, "", "Start");
  constexpr std::int64_t TwoGiB = std::int64_t{1} << 31;
  const struct {
    std::int64_t From, To;
    std::string Want;
  } Cases[] = {
      {0, 9, Data.substr(0, 10)},  {5, 5, Data.substr(5, 1)},  {99, 99, Data.substr(99)},
      {90, 200, Data.substr(90)},  {9, 5, ""},                 {100, 200, ""},
      {TwoGiB * 4, TwoGiB * 4 + 10, ""},  // far past the end of a small file
      {0, TwoGiB - 2, Data},              // just below 2 GiB: served, nothing extra allocated
  };
  for (const auto& C : Cases)
    EXPECT_TRUE(Srv().GetFilePart("f1", C.From, C.To) == C.Want) << C.From << ".." << C.To;

  const std::pair<std::int64_t, std::int64_t> Refused[] = {
      {0, TwoGiB - 1},  // exactly 2 GiB long
      {10, std::numeric_limits<std::int64_t>::max()},
      {-1, 5},
      {std::numeric_limits<std::int64_t>::min(), 0},
  };
  for (const auto& [From, To] : Refused)
    EXPECT_THROW(Srv().GetFilePart("f1", From, To), EArgumentError) << From << ".." << To;
}

TEST_P(StoreTest, UploadErrorsAndWriterLock) {
  Srv().NewChange(HistJson("h1", "f1", "m", 4));
  // An append before any "Start" finds no file and fails.
  EXPECT_THROW(Srv().PutBigFileToServer("f1", "data", "", "start"), EFileError);
  EXPECT_EQ(Srv().PutBigFileToServer("f1", "data", "", "Start"), "4");
  // While a writer holds the content, readers fail at once with a clear message.
  {
    const auto Writer = filestore::OpenExclusive(Srv().GetServerFileName("f1", true), false);
    try {
      Srv().GetFilePart("f1", 0, 3);
      FAIL() << "read during a write";
    } catch (const EFileError& E) {
      EXPECT_NE(std::string(E.what()).find("запись"), std::string::npos) << E.what();
    }
    EXPECT_THROW(Srv().GetFileSizeServer("f1"), EFileError);
  }
  EXPECT_EQ(Srv().GetFilePart("f1", 0, 3), "data");
}

TEST_P(StoreTest, DiagnosticTransfers) {
  const std::string Dir = NormalizePath(Root() + "\\diagnostic");
  const std::string Download = NormalizePath(Dir + "\\download.bin");
  try {
    Srv().GetFileSize();
    FAIL() << "missing diagnostic file not reported";
  } catch (const EFileError& E) {
    EXPECT_EQ(std::string(E.what()), "Файл не найден! \rИмя файла: " + Download);
  }
  EXPECT_EQ(Srv().PutFile("abc", ""), "-1");  // no diagnostic folder: any failure is -1
  fs::create_directories(Dir);
  WriteFile(Download, "hello");
  EXPECT_EQ(Srv().GetFileSize(), "5");
  std::string Size;
  EXPECT_EQ(Srv().GetFile(Size), "hello");
  EXPECT_EQ(Size, "5");
  EXPECT_EQ(Srv().PutFile("abc", ""), "3");
  EXPECT_EQ(Srv().PutBigFile("12", "", "Start"), "2");
  EXPECT_EQ(Srv().PutBigFile("345", "", "more"), "5");
  std::ifstream In(NormalizePath(Dir + "\\upload.bin"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(In), {}), "12345");
  EXPECT_EQ(Srv().GetFileFromServer("f1", 0, 10), std::nullopt);
}

}  // namespace
}  // namespace ordex::test
