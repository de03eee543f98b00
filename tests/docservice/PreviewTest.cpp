// Previews: which files get one, the picture itself, and the single stable row per file.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/qxError.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

struct TjDeleter {
  void operator()(void* H) const noexcept { tjDestroy(H); }
};

// A W x H JPEG whose brightness grows from left (black) to right (white).
std::string GradientJpeg(int W, int H) {
  std::vector<unsigned char> Rgb(static_cast<std::size_t>(W) * H * 3);
  for (int Y = 0; Y < H; ++Y)
    for (int X = 0; X < W; ++X)
      for (int C = 0; C < 3; ++C) Rgb[(static_cast<std::size_t>(Y) * W + X) * 3 + C] = static_cast<unsigned char>(X * 255 / (W - 1));
  const std::unique_ptr<void, TjDeleter> H1(tjInitCompress());
  unsigned char* Out = nullptr;
  unsigned long Size = 0;
  EXPECT_EQ(tjCompress2(H1.get(), Rgb.data(), W, 0, H, TJPF_RGB, &Out, &Size, TJSAMP_444, 95, 0), 0);
  std::string Bytes(reinterpret_cast<char*>(Out), Size);
  tjFree(Out);
  return Bytes;
}

struct TDecoded {
  int Width = 0, Height = 0;
  std::vector<unsigned char> Gray;
};

TDecoded Decode(const std::string& Jpeg) {
  const std::unique_ptr<void, TjDeleter> H(tjInitDecompress());
  TDecoded D;
  int Sub = 0, Cs = 0;
  const auto* Data = reinterpret_cast<const unsigned char*>(Jpeg.data());
  if (tjDecompressHeader3(H.get(), Data, Jpeg.size(), &D.Width, &D.Height, &Sub, &Cs) != 0) return {};
  D.Gray.resize(static_cast<std::size_t>(D.Width) * D.Height);
  if (tjDecompress2(H.get(), Data, Jpeg.size(), D.Gray.data(), D.Width, 0, D.Height, TJPF_GRAY, 0) != 0) return {};
  return D;
}

class PreviewTest : public DocFixture {
 protected:
  void SetUp() override {
    DocFixture::SetUp();
    AddFolder("top", "", "Top");
    SetSess("ivan", "2");
  }

  // A file with one stored version holding Content, closed with EndChange.
  void StoreFile(const std::string& FileID, const std::string& Ext, const std::string& Content) {
    AddFile(FileID, "top", "pic", Ext, "ivan");
    const std::string Info = nlohmann::json{{"histid", "h-" + FileID},
                                            {"fileid", FileID},
                                            {"md5_file", "m"},
                                            {"size_file", static_cast<double>(Content.size())}}
                                 .dump();
    Srv().NewChange(Info);
    Srv().PutBigFileToServer(FileID, Content, "", "Start");
    Srv().EndChange(Info);
  }

  std::string PreviewCount(const std::string& FileID) {
    return Scalar("SELECT count(*) FROM qxpreview WHERE idobj='" + FileID + "'");
  }
};
ORDEX_DOC_INSTANTIATE(PreviewTest);

TEST_P(PreviewTest, JpegGetsOneStableStretchedPreview) {
  StoreFile("f1", "jpg", GradientJpeg(400, 100));
  ASSERT_EQ(PreviewCount("f1"), "1");
  const std::string Id = Scalar("SELECT previewid FROM qxpreview WHERE idobj='f1'");
  EXPECT_EQ(Id.size(), 32u);
  EXPECT_EQ(Scalar("SELECT tablename FROM qxpreview WHERE idobj='f1'"), "oxFiles");
  EXPECT_EQ(Scalar("SELECT with_pic FROM qxpreview WHERE idobj='f1'"), "200");
  EXPECT_EQ(Scalar("SELECT height_pic FROM qxpreview WHERE idobj='f1'"), "200");

  const TDecoded P = Decode(Scalar("SELECT blob_pic FROM qxpreview WHERE idobj='f1'"));
  ASSERT_EQ(P.Width, 200);
  ASSERT_EQ(P.Height, 200);
  // Stretched, not cropped: the whole gradient spans the width, top to bottom.
  for (const int Y : {2, 100, 197}) {
    EXPECT_LT(P.Gray[Y * 200 + 2], 20) << "row " << Y;
    EXPECT_NEAR(P.Gray[Y * 200 + 100], 128, 20) << "row " << Y;
    EXPECT_GT(P.Gray[Y * 200 + 197], 235) << "row " << Y;
  }

  // A new picture replaces the bytes in the same row.
  Srv().NewChange(R"({"histid":"h2","fileid":"f1","size_file":1})");
  Srv().PutBigFileToServer("f1", GradientJpeg(64, 640), "", "Start");
  Srv().CreatePreview("f1");
  Srv().CreatePreview("f1");
  EXPECT_EQ(PreviewCount("f1"), "1");
  EXPECT_EQ(Scalar("SELECT previewid FROM qxpreview WHERE idobj='f1'"), Id);
  const TDecoded Q = Decode(Scalar("SELECT blob_pic FROM qxpreview WHERE idobj='f1'"));
  ASSERT_EQ(Q.Width, 200);
  EXPECT_LT(Q.Gray[100 * 200 + 2], 20);  // still a 200 x 200 gradient from the new content
}

TEST_P(PreviewTest, OnlyJpegExtensionsGetPreviews) {
  const std::string Jpeg = GradientJpeg(300, 300);
  const struct {
    const char* Ext;
    bool Preview;
  } Cases[] = {{"jpg", true}, {"JPG", true}, {" Jpeg ", true}, {"png", false}, {"txt", false}, {"", false},
               {"jpgx", false}};
  int N = 0;
  for (const auto& C : Cases) {
    const std::string Id = "e" + std::to_string(N++);
    StoreFile(Id, C.Ext, Jpeg);
    EXPECT_EQ(PreviewCount(Id), C.Preview ? "1" : "0") << "extension \"" << C.Ext << "\"";
  }
  EXPECT_TRUE(TOrdexServerClass::IsGraphExt("jpeg"));
  EXPECT_FALSE(TOrdexServerClass::IsGraphExt("JPG"));
  EXPECT_FALSE(TOrdexServerClass::IsGraphExt(".jpg"));
}

TEST_P(PreviewTest, UndecodablePictureFailsAndWritesNoRow) {
  // EndChange writes the file row first, then the preview fails with the image error.
  EXPECT_THROW(StoreFile("bad", "jpg", "this is not a picture"), EImageError);
  EXPECT_EQ(PreviewCount("bad"), "0");
  EXPECT_EQ(Scalar("SELECT count_history FROM oxFiles WHERE fileid='bad'"), "1");
  // A truncated header is refused the same way.
  const std::string Jpeg = GradientJpeg(300, 300);
  Srv().NewChange(R"({"histid":"h-bad2","fileid":"bad","size_file":1})");
  Srv().PutBigFileToServer("bad", Jpeg.substr(0, 20), "", "Start");
  EXPECT_THROW(Srv().CreatePreview("bad"), EImageError);
  EXPECT_EQ(PreviewCount("bad"), "0");
}

TEST_P(PreviewTest, ResizeRefusesImpossibleSizes) {
  StoreFile("f1", "txt", GradientJpeg(50, 50));
  const std::string Path = Srv().GetServerFileName("f1", true);
  EXPECT_THROW(Srv().ResizeJPEGImage(Path, 0, 200), EArgumentError);
  EXPECT_THROW(Srv().ResizeJPEGImage(Path, 200, -1), EArgumentError);
  const TDecoded Up = Decode(Srv().ResizeJPEGImage(Path, 120, 30));  // smaller source: scaled up
  EXPECT_EQ(Up.Width, 120);
  EXPECT_EQ(Up.Height, 30);
}

TEST_P(PreviewTest, ResizeReadsOnlyPicturesOfTheStore) {
  StoreFile("f2", "jpg", GradientJpeg(50, 50));
  const std::string Inside = Srv().GetServerFileName("f2", true);
  EXPECT_EQ(Decode(Srv().ResizeJPEGImage(Inside, 20, 20)).Width, 20);
  // A client may name any path: files outside the storage folder are refused,
  // also when reached through ".." from inside it.
  const std::string Outside = std::filesystem::temp_directory_path() / "ordex-outside.jpg";
  { std::ofstream(Outside, std::ios::binary) << GradientJpeg(50, 50); }
  EXPECT_THROW(Srv().ResizeJPEGImage(Outside, 20, 20), EArgumentError);
  EXPECT_THROW(Srv().ResizeJPEGImage(Inside + "/../../../../../../../../../.." + Outside, 20, 20), EArgumentError);
  EXPECT_THROW(Srv().ResizeJPEGImage("/etc/passwd", 20, 20), EArgumentError);
  std::filesystem::remove(Outside);
}

}  // namespace
}  // namespace ordex::test
