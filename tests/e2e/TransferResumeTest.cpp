// Transfers of the client library against a real ordexd: a connection that
// drops in the middle of an upload or a download is restored and the transfer
// goes on where the server (upload) or the ".part" file (download) left off.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/lib/OrdexTransfer.h"
#include "common/qxBase.h"
#include "tests/e2e/E2eSupport.h"

namespace ordex::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class TransferResume : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = std::make_unique<TServer>("SQLite");
    client::TConnectParams P;
    P.Port = Server->TcpPort();
    P.User = kAdmin;
    P.PasswordMd5 = MD5Hex(kAdminPassword);
    Session = std::make_unique<client::TOrdexSession>(P);
    Session->Call("InsNode", json{{"NewTreeID", "top"}, {"ParentTreeID", "0"}, {"NodeText", "Top"}});
    for (std::size_t I = 0; I < 300000; ++I) Content += static_cast<char>((I * 7919) >> 5);
    WriteFile(Local / "big.bin", Content);
  }

  std::unique_ptr<TServer> Server;
  std::unique_ptr<client::TOrdexSession> Session;
  TTempDir Local;
  std::string Content;
};

TEST_F(TransferResume, UploadAndDownloadSurviveDroppedConnections) {
  const std::string FileID = client::CreateFileRow(*Session, "top", "big", "bin");
  client::TTransferOptions O;
  O.ChunkSize = 64 * 1024;
  bool Dropped = false;
  O.AfterChunk = [&](std::uint64_t Done) {
    if (Done >= 128 * 1024 && !Dropped) {
      Dropped = true;
      Session->Client().Close();  // as if the network went away after this chunk
    }
  };
  const client::TUploadResult Up = client::UploadVersion(*Session, FileID, Local / "big.bin", O);
  EXPECT_EQ(Up.Reconnects, 1);
  EXPECT_EQ(Up.Size, Content.size());
  EXPECT_EQ(Session->CallText("GetFileSizeServer", json{{"FileID", FileID}}), std::to_string(Content.size()));

  const auto Row = client::FindFileRow(*Session, FileID);
  ASSERT_TRUE(Row);
  EXPECT_EQ(Row->AsString("md5_file"), MD5OfBytes(Content));
  EXPECT_EQ(Row->AsInt64("count_history"), 1);

  Dropped = false;
  const client::TDownloadResult Down = client::DownloadFile(*Session, FileID, Local / "back.bin", Up.Md5, O);
  EXPECT_EQ(Down.Reconnects, 1);
  EXPECT_EQ(ReadFile(Local / "back.bin"), Content);
  EXPECT_FALSE(fs::exists(Local / "back.bin.part"));
}

TEST_F(TransferResume, DownloadContinuesAPartFile) {
  const std::string FileID = client::CreateFileRow(*Session, "top", "big", "bin");
  const client::TUploadResult Up = client::UploadVersion(*Session, FileID, Local / "big.bin");
  // A previous run stopped after 100000 bytes.
  WriteFile(Local / "out.bin.part", Content.substr(0, 100000));
  client::TTransferOptions O;
  O.ChunkSize = 50000;
  std::uint64_t FirstReported = ~0ull;
  O.Progress = [&](std::uint64_t Done, std::uint64_t) { FirstReported = std::min(FirstReported, Done); };
  const client::TDownloadResult R = client::DownloadFile(*Session, FileID, Local / "out.bin", Up.Md5, O);
  EXPECT_EQ(R.Resumed, 100000u);
  EXPECT_EQ(FirstReported, 100000u);
  EXPECT_EQ(ReadFile(Local / "out.bin"), Content);

  // A part file longer than the content belongs to something else: it starts afresh.
  WriteFile(Local / "again.bin.part", Content + "tail");
  EXPECT_EQ(client::DownloadFile(*Session, FileID, Local / "again.bin", Up.Md5).Resumed, 0u);
  EXPECT_EQ(ReadFile(Local / "again.bin"), Content);
}

TEST_F(TransferResume, AFileThatChangesWhileUploadedLeavesNoVersion) {
  const std::string FileID = client::CreateFileRow(*Session, "top", "big", "bin");
  client::TTransferOptions O;
  O.ChunkSize = 64 * 1024;
  O.AfterChunk = [&](std::uint64_t Done) {
    if (Done == 64 * 1024) {
      std::string Changed = Content;
      Changed[200000] ^= 1;
      WriteFile(Local / "big.bin", Changed);
    }
  };
  EXPECT_THROW(client::UploadVersion(*Session, FileID, Local / "big.bin", O), client::EVerifyError);
  const auto H = Session->Dataset("GetHistory", json{{"fileid", FileID}}, "iqHistory");
  EXPECT_EQ(H.RowCount(), 0u) << "the version row of the failed upload is withdrawn";
}

}  // namespace
}  // namespace ordex::e2e
