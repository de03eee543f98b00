// The binary frame that carries every message of the TCP transport (and the
// frame bodies of HTTP): magic "ORDX", version 1, three zero bytes, the header
// length H (u32), the blob count N (u32), N blob lengths (u64), the header (one
// JSON object, H bytes) and the blobs back to back. All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ordex::rpc {

// Size limits a reader enforces; the defaults are the server's safe defaults.
struct TFrameLimits {
  std::uint64_t MaxHeader = 16ull << 20;  // bytes of the JSON header
  std::uint64_t MaxFrame = 1ull << 30;    // bytes of the whole frame, prefix and blobs included
  std::uint32_t MaxBlobs = 64;            // blobs per frame (never more than 64)
};

constexpr std::size_t FramePrefixSize = 16;    // magic, version, zeros, H, N
constexpr std::uint32_t FrameMaxBlobs = 64;    // the layout's own bound
constexpr std::size_t MaxJsonDepth = 64;       // nesting accepted in a header

// One decoded frame: the header text (not yet parsed) and the blobs.
struct TFrame {
  std::string Header;
  std::vector<std::string> Blobs;
};

// The bytes that precede the blobs: prefix, blob lengths and header. Send it
// followed by the blobs themselves (scatter/gather, no copy of the blobs).
std::string EncodeFrameHead(std::string_view Header, const std::vector<std::string>& Blobs);
// A whole frame in one string (small messages, tests, HTTP bodies).
std::string EncodeFrame(std::string_view Header, const std::vector<std::string>& Blobs);

// Incremental frame reader. Ask NextBuffer() where the next bytes go, read into
// it, then Commit() how many arrived; or Feed() bytes you already hold.
// Breaking the layout or a limit throws EStreamError; the reader is then spent.
class TFrameReader {
 public:
  explicit TFrameReader(TFrameLimits Limits = {});

  // Writable room for the next bytes (never empty until Done()).
  std::span<char> NextBuffer();
  // Records that Count bytes were written to the start of NextBuffer().
  void Commit(std::size_t Count);
  // Copies bytes in; returns how many were used (stops at the end of a frame).
  std::size_t Feed(const char* Data, std::size_t Size);
  // True once a whole frame has been read.
  bool Done() const noexcept { return FPhase == TPhase::Done; }
  // True once at least one byte of the current frame has arrived.
  bool Started() const noexcept { return FPhase != TPhase::Prefix || FFilled > 0; }
  // Takes the finished frame and makes the reader ready for the next one.
  TFrame Take();

 private:
  enum class TPhase { Prefix, Lengths, Header, Blobs, Done };
  void Advance();
  void EnterBlobs();

  TFrameLimits FLimits;
  TPhase FPhase = TPhase::Prefix;
  std::string FScratch;        // prefix, then blob lengths
  std::size_t FFilled = 0;     // bytes of the current part already present
  std::uint32_t FHeaderSize = 0;
  std::uint32_t FBlobCount = 0;
  std::vector<std::uint64_t> FBlobSizes;
  std::size_t FBlob = 0;       // index of the blob being filled
  TFrame FFrame;
};

// Decodes exactly one frame that fills Bytes; throws EStreamError otherwise.
TFrame DecodeFrame(std::string_view Bytes, const TFrameLimits& Limits = {});

// Parses a header: a JSON object, nesting at most MaxJsonDepth. Throws EJSONError.
nlohmann::json ParseHeader(std::string_view Text);
// Compact JSON text; invalid UTF-8 in strings is replaced, never thrown.
std::string DumpJson(const nlohmann::json& Value);

}  // namespace ordex::rpc

namespace ordex::rpc {

// Base64 (RFC 4648, with padding) for HTTP Basic credentials.
std::string Base64Encode(std::string_view Bytes);
// Decodes standard base64; returns false on a malformed text.
bool Base64Decode(std::string_view Text, std::string& Bytes);

}  // namespace ordex::rpc
