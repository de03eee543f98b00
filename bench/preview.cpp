// Time and peak memory of making one 200 x 200 preview from a 6000 x 4000 JPEG
// (ResizeJPEGImage), next to ImageMagick's convert and vipsthumbnail when they
// are installed.
//
//   bench_preview [width height]     (default 6000 4000)
#include <sys/resource.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/qxError.h"
#include "config/qxroot.h"
#include "docservice/dmOrdexServerClass.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TjDeleter {
  void operator()(void* H) const noexcept { tjDestroy(H); }
};

// A synthetic photo-like picture: smooth colour fields with fine texture, so
// the encoder and decoder do realistic work.
std::string MakeJpeg(int W, int H) {
  std::vector<unsigned char> Rgb(static_cast<std::size_t>(W) * H * 3);
  for (int Y = 0; Y < H; ++Y)
    for (int X = 0; X < W; ++X) {
      unsigned char* P = &Rgb[(static_cast<std::size_t>(Y) * W + X) * 3];
      const unsigned Noise = (static_cast<unsigned>(X) * 2654435761u ^ static_cast<unsigned>(Y) * 40503u) >> 28;
      P[0] = static_cast<unsigned char>(X * 255 / W + Noise);
      P[1] = static_cast<unsigned char>(Y * 255 / H + Noise);
      P[2] = static_cast<unsigned char>(((X + Y) / 16) % 256);
    }
  const std::unique_ptr<void, TjDeleter> Handle(tjInitCompress());
  unsigned char* Out = nullptr;
  unsigned long Size = 0;
  if (tjCompress2(Handle.get(), Rgb.data(), W, 0, H, TJPF_RGB, &Out, &Size, TJSAMP_420, 90, 0) != 0)
    throw ordex::EImageError(tjGetErrorStr2(Handle.get()));
  std::string Bytes(reinterpret_cast<char*>(Out), Size);
  tjFree(Out);
  return Bytes;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const std::string& Field) {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind(Field + ":", 0) == 0) return std::atol(Line.c_str() + Field.size() + 1);
  return -1;
}

// Starts a new peak measurement: resets the peak resident size to the current
// one (Linux "clear_refs" 5). Without it the peak of the whole run is used.
bool ResetPeak() {
  std::ofstream Out("/proc/self/clear_refs");
  Out << "5";
  Out.flush();
  return static_cast<bool>(Out);
}

// Peak resident memory since the last reset, in KiB.
long PeakKiB() {
  const long Hwm = StatusKiB("VmHWM");
  if (Hwm >= 0) return Hwm;
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_maxrss;
}

bool Installed(const char* Program) {
  return std::system((std::string("command -v ") + Program + " >/dev/null 2>&1").c_str()) == 0;
}

void External(const char* Name, const char* Program, const std::string& Command) {
  if (!Installed(Program)) {
    std::printf("%-28s not installed\n", Name);
    return;
  }
  const auto Start = Clock::now();
  const int Rc = std::system(Command.c_str());
  const double Ms = std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
  if (Rc != 0)
    std::printf("%-28s failed (exit %d)\n", Name, Rc);
  else
    std::printf("%-28s %8.1f ms\n", Name, Ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int W = argc > 2 ? std::atoi(argv[1]) : 6000;
  const int H = argc > 2 ? std::atoi(argv[2]) : 4000;
  if (W <= 1 || H <= 1) {
    std::fprintf(stderr, "usage: %s [width height]\n", argv[0]);
    return 2;
  }
  const fs::path Dir = fs::temp_directory_path() / ("ordex-preview-bench-" + std::to_string(::getpid()));
  try {
    fs::create_directories(Dir);
    const std::string Source = (Dir / "source.jpg").string();
    {
      const std::string Jpeg = MakeJpeg(W, H);
      std::ofstream(Source, std::ios::binary) << Jpeg;
      std::printf("source: %d x %d JPEG, %.1f MiB\n", W, H, static_cast<double>(Jpeg.size()) / 1048576.0);
    }
    // ResizeJPEGImage needs no database: it works on the file alone. The
    // instance is made without a connection by leaving the server "not running".
    // The picture lies in the storage folder, the only place ResizeJPEGImage reads.
    ordex::Tqxroot Root;
    ordex::TConnInfo Main;
    Main.NameConnection = Main.IdentConnection = ordex::MainDBSrv;
    Main.DirFiles = Dir.string();
    Root.AddConnections(Main);
    ordex::SetQxroot(&Root);
    {
      ordex::TOrdexServerClass Srv;
      const bool Reset = ResetPeak();
      const long Before = Reset ? StatusKiB("VmRSS") : PeakKiB();
      const auto Start = Clock::now();
      const std::string Preview = Srv.ResizeJPEGImage(Source, 200, 200);
      const double Ms = std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
      const long After = PeakKiB();
      std::printf("%-28s %8.1f ms, peak memory +%ld KiB (%zu bytes out)\n", "ResizeJPEGImage", Ms, After - Before,
                  Preview.size());
      const auto Start2 = Clock::now();
      for (int I = 0; I < 5; ++I) Srv.ResizeJPEGImage(Source, 200, 200);
      std::printf("%-28s %8.1f ms (mean of 5, warm)\n", "ResizeJPEGImage",
                  std::chrono::duration<double, std::milli>(Clock::now() - Start2).count() / 5);
    }
    ordex::SetQxroot(nullptr);
    External("convert -resize 200x200!", "convert",
             "convert '" + Source + "' -resize '200x200!' '" + (Dir / "out-convert.jpg").string() + "'");
    External("vipsthumbnail --size 200x200!", "vipsthumbnail",
             "vipsthumbnail '" + Source + "' --size '200x200!' -o '" + (Dir / "out-vips.jpg").string() + "'");
  } catch (const std::exception& E) {
    ordex::SetQxroot(nullptr);
    std::fprintf(stderr, "%s: %s\n", ordex::ErrorClassName(E), E.what());
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
    return 1;
  }
  std::error_code Ignored;
  fs::remove_all(Dir, Ignored);
  return 0;
}
