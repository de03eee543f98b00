// Previews: a 200 x 200 JPEG picture of the newest version of a JPEG file,
// kept in one qxpreview row per file.
//
// The picture is decoded with the decoder's own DCT scaling at the smallest
// scale that still covers the target in both dimensions (a 6000 x 4000 photo is
// decoded at 1/8), then resampled to exactly the target size with a Mitchell
// filter in sRGB space (the aspect ratio is not kept), and encoded at quality 80.
#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include "common/qxBase.h"
#include "common/qxError.h"
#include "config/qxroot.h"
#include "docservice/OrdexFileIO.h"
#include "docservice/OrdexInternal.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

namespace {

// ResizeJPEGImage is callable by clients with a path of the server's file
// system; it may only read pictures of the file store, never any other file.
void CheckInsideStore(const std::string& FileName) {
  namespace fs = std::filesystem;
  const std::string Root = Trim(qxroot().GetDirFiles());
  if (Root.empty()) throw EFileError("Не задана папка хранения файлов (DirFiles) основного подключения");
  std::error_code Ec;
  const fs::path Store = fs::weakly_canonical(fs::path(NormalizePath(Root)), Ec);
  const fs::path Picture = Ec ? fs::path() : fs::weakly_canonical(fs::path(NormalizePath(FileName)), Ec);
  if (!Ec) {
    const auto [StoreEnd, PictureAt] = std::mismatch(Store.begin(), Store.end(), Picture.begin(), Picture.end());
    if (StoreEnd == Store.end() && PictureAt != Picture.end()) return;
  }
  throw EArgumentError("ResizeJPEGImage: файл вне хранилища: \"" + FileName + "\"");
}

constexpr int PreviewSize = 200;
constexpr int PreviewQuality = 80;
constexpr int MaxTargetSide = 10000;
// Largest picture decoded into memory (pixels after DCT scaling): 128 Mpx, 384 MiB RGB.
constexpr std::int64_t MaxDecodedPixels = std::int64_t{128} * 1024 * 1024;
// Largest JPEG file read for a preview.
constexpr std::int64_t MaxJpegFileBytes = std::int64_t{512} * 1024 * 1024;

struct TjHandleDeleter {
  void operator()(void* Handle) const noexcept { tjDestroy(Handle); }
};
using TTjHandle = std::unique_ptr<void, TjHandleDeleter>;

struct TjBufferDeleter {
  void operator()(unsigned char* Buffer) const noexcept { tjFree(Buffer); }
};
using TTjBuffer = std::unique_ptr<unsigned char, TjBufferDeleter>;

[[noreturn]] void ThrowImageError(const std::string& What, tjhandle Handle) {
  throw EImageError(What + ": " + tjGetErrorStr2(Handle));
}

struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<unsigned char> Pixels;  // RGB, rows without padding
};

// Decodes a JPEG at the smallest DCT scale not below TargetW x TargetH
// (1/1 when even the full picture is smaller).
TRgbImage DecodeJpegForTarget(const std::string& Bytes, int TargetW, int TargetH) {
  const TTjHandle Handle(tjInitDecompress());
  if (!Handle) throw EImageError(std::string("Не удалось создать декодер JPEG: ") + tjGetErrorStr2(nullptr));
  const auto* Data = reinterpret_cast<const unsigned char*>(Bytes.data());
  const auto Size = static_cast<unsigned long>(Bytes.size());
  int Width = 0, Height = 0, Subsamp = 0, Colorspace = 0;
  if (tjDecompressHeader3(Handle.get(), Data, Size, &Width, &Height, &Subsamp, &Colorspace) != 0)
    ThrowImageError("Ошибка чтения JPEG", Handle.get());
  if (Width <= 0 || Height <= 0) throw EImageError("Ошибка чтения JPEG: пустое изображение");

  int NumFactors = 0;
  const tjscalingfactor* Factors = tjGetScalingFactors(&NumFactors);
  if (!Factors) ThrowImageError("Ошибка чтения JPEG", Handle.get());
  int BestW = Width, BestH = Height;  // 1/1
  for (int I = 0; I < NumFactors; ++I) {
    const tjscalingfactor F = Factors[I];
    if (F.num > F.denom) continue;  // no up-scaling in the decoder
    const int W = TJSCALED(Width, F), H = TJSCALED(Height, F);
    if (W >= TargetW && H >= TargetH && std::int64_t{W} * H < std::int64_t{BestW} * BestH) {
      BestW = W;
      BestH = H;
    }
  }
  if (std::int64_t{BestW} * BestH > MaxDecodedPixels)
    throw EImageError("Изображение слишком велико для просмотра: " + std::to_string(Width) + "x" +
                      std::to_string(Height));

  TRgbImage Image;
  Image.Width = BestW;
  Image.Height = BestH;
  Image.Pixels.resize(static_cast<std::size_t>(BestW) * BestH * 3);
  if (tjDecompress2(Handle.get(), Data, Size, Image.Pixels.data(), BestW, 0, BestH, TJPF_RGB, 0) != 0 &&
      tjGetErrorCode(Handle.get()) != TJERR_WARNING)  // a warning (e.g. truncated data) still gives a picture
    ThrowImageError("Ошибка чтения JPEG", Handle.get());
  return Image;
}

std::string EncodeJpeg(const std::vector<unsigned char>& Rgb, int Width, int Height, int Quality) {
  const TTjHandle Handle(tjInitCompress());
  if (!Handle) throw EImageError(std::string("Не удалось создать кодер JPEG: ") + tjGetErrorStr2(nullptr));
  unsigned char* Out = nullptr;
  unsigned long OutSize = 0;
  const int Rc = tjCompress2(Handle.get(), Rgb.data(), Width, 0, Height, TJPF_RGB, &Out, &OutSize, TJSAMP_420,
                             Quality, 0);
  const TTjBuffer Owned(Out);
  if (Rc != 0) ThrowImageError("Ошибка записи JPEG", Handle.get());
  return std::string(reinterpret_cast<const char*>(Out), OutSize);
}

// The extension of a client path: the text after its last dot (with the dot),
// or empty when the last name has none; trimmed, dots removed, lower case.
std::string PictureExtension(const std::string& ClientPath) {
  const auto Pos = ClientPath.find_last_of(".\\/:");
  if (Pos == std::string::npos || ClientPath[Pos] != '.') return {};
  std::string Ext;
  for (const char C : Trim(ClientPath.substr(Pos)))
    if (C != '.') Ext += C;
  return LowerCaseAscii(Ext);
}

}  // namespace

bool TOrdexServerClass::IsGraphExt(const std::string& ExtInp) { return ExtInp == "jpg" || ExtInp == "jpeg"; }

TStreamBytes TOrdexServerClass::ResizeJPEGImage(const std::string& FileName, std::int32_t Width,
                                                std::int32_t Height) {
  if (Width <= 0 || Height <= 0 || Width > MaxTargetSide || Height > MaxTargetSide)
    throw EArgumentError("ResizeJPEGImage: недопустимый размер " + std::to_string(Width) + "x" +
                         std::to_string(Height));
  CheckInsideStore(FileName);
  std::string Bytes;
  {
    const filestore::TFileHandle File = filestore::OpenShared(FileName);
    const std::int64_t Size = filestore::FileSize(File);
    if (Size > MaxJpegFileBytes)
      throw EImageError("Файл изображения слишком велик для просмотра: " + std::to_string(Size) + " байт");
    Bytes = filestore::ReadAt(File, 0, static_cast<std::size_t>(Size));
  }
  const TRgbImage Source = DecodeJpegForTarget(Bytes, Width, Height);
  std::vector<unsigned char> Target(static_cast<std::size_t>(Width) * Height * 3);
  if (!stbir_resize_uint8_srgb(Source.Pixels.data(), Source.Width, Source.Height, 0, Target.data(), Width, Height, 0,
                               3, STBIR_ALPHA_CHANNEL_NONE, 0))
    throw EImageError("Ошибка масштабирования изображения");
  return EncodeJpeg(Target, Width, Height, PreviewQuality);
}

void TOrdexServerClass::CreatePreview(const std::string& FileID) {
  const std::string ServerPath = GetServerFileName(FileID, true);
  const std::string ClientPath = GetClientFileName(FileID);
  if (!filestore::FileExists(ServerPath)) return;
  if (!IsGraphExt(PictureExtension(ClientPath))) return;

  // The picture is made before the row is touched: a bad picture writes nothing.
  std::string Picture = ResizeJPEGImage(ServerPath, PreviewSize, PreviewSize);

  iqPreview.Close();
  iqPreview.ParamByName("idobj").SetText(FileID);
  iqPreview.Open();
  const detail::TEditScope Editing(iqPreview);
  if (iqPreview.IsEmpty())
    iqPreview.Append();  // the new-row hook gives it a previewid
  else
    iqPreview.Edit();  // the row and its previewid stay
  iqPreview.FieldByName("idobj").SetAsString(FileID);
  iqPreview.FieldByName("blob_pic").SetBlob(std::move(Picture));
  iqPreview.FieldByName("with_pic").SetAsLargeInt(PreviewSize);
  iqPreview.FieldByName("height_pic").SetAsLargeInt(PreviewSize);
  iqPreview.FieldByName("tablename").SetAsString("oxFiles");
  iqPreview.Post();
}

}  // namespace ordex
