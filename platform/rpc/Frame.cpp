#include "platform/rpc/Frame.h"

#include <algorithm>
#include <cstring>

#include "common/qxError.h"

namespace ordex::rpc {

namespace {

constexpr char Magic[4] = {'O', 'R', 'D', 'X'};
constexpr std::uint8_t Version = 1;
// Blob storage grows by at most this much per read, so a claimed length costs
// memory only as its bytes actually arrive.
constexpr std::size_t BlobGrowth = 1u << 20;

void PutU32(std::string& Out, std::uint32_t V) {
  for (int I = 0; I < 4; ++I) Out.push_back(static_cast<char>((V >> (8 * I)) & 0xFF));
}
void PutU64(std::string& Out, std::uint64_t V) {
  for (int I = 0; I < 8; ++I) Out.push_back(static_cast<char>((V >> (8 * I)) & 0xFF));
}
std::uint32_t GetU32(const char* P) {
  std::uint32_t V = 0;
  for (int I = 3; I >= 0; --I) V = (V << 8) | static_cast<unsigned char>(P[I]);
  return V;
}
std::uint64_t GetU64(const char* P) {
  std::uint64_t V = 0;
  for (int I = 7; I >= 0; --I) V = (V << 8) | static_cast<unsigned char>(P[I]);
  return V;
}

[[noreturn]] void Fail(const std::string& Text) { throw EStreamError("Bad frame: " + Text); }

}  // namespace

std::string EncodeFrameHead(std::string_view Header, const std::vector<std::string>& Blobs) {
  if (Blobs.size() > FrameMaxBlobs) throw EArgumentError("A frame carries at most 64 blobs");
  if (Header.size() > UINT32_MAX) throw EArgumentError("Frame header too large");
  std::string Out;
  Out.reserve(FramePrefixSize + 8 * Blobs.size() + Header.size());
  Out.append(Magic, 4);
  Out.push_back(static_cast<char>(Version));
  Out.append(3, '\0');
  PutU32(Out, static_cast<std::uint32_t>(Header.size()));
  PutU32(Out, static_cast<std::uint32_t>(Blobs.size()));
  for (const auto& B : Blobs) PutU64(Out, B.size());
  Out.append(Header);
  return Out;
}

std::string EncodeFrame(std::string_view Header, const std::vector<std::string>& Blobs) {
  std::string Out = EncodeFrameHead(Header, Blobs);
  for (const auto& B : Blobs) Out.append(B);
  return Out;
}

TFrameReader::TFrameReader(TFrameLimits Limits) : FLimits(Limits) {
  FLimits.MaxBlobs = std::min(FLimits.MaxBlobs, FrameMaxBlobs);
  FScratch.resize(FramePrefixSize);
}

std::span<char> TFrameReader::NextBuffer() {
  switch (FPhase) {
    case TPhase::Prefix:
    case TPhase::Lengths:
      return {FScratch.data() + FFilled, FScratch.size() - FFilled};
    case TPhase::Header:
      return {FFrame.Header.data() + FFilled, FFrame.Header.size() - FFilled};
    case TPhase::Blobs: {
      std::string& B = FFrame.Blobs[FBlob];
      if (B.size() == FFilled) {
        const std::uint64_t Left = FBlobSizes[FBlob] - FFilled;
        B.resize(FFilled + static_cast<std::size_t>(std::min<std::uint64_t>(Left, BlobGrowth)));
      }
      return {B.data() + FFilled, B.size() - FFilled};
    }
    case TPhase::Done:
      break;
  }
  return {};
}

void TFrameReader::Commit(std::size_t Count) {
  if (Count > NextBuffer().size()) throw EStreamError("Frame reader: commit beyond the buffer");
  FFilled += Count;
  Advance();
}

std::size_t TFrameReader::Feed(const char* Data, std::size_t Size) {
  std::size_t Used = 0;
  while (Used < Size && !Done()) {
    const auto Room = NextBuffer();
    const std::size_t N = std::min(Room.size(), Size - Used);
    std::memcpy(Room.data(), Data + Used, N);
    Used += N;
    Commit(N);
  }
  return Used;
}

void TFrameReader::Advance() {
  for (;;) {
    switch (FPhase) {
      case TPhase::Prefix: {
        // Check the magic as soon as its bytes are there: a stray client is
        // refused without waiting for sixteen bytes.
        const std::size_t Seen = std::min<std::size_t>(FFilled, 4);
        if (std::memcmp(FScratch.data(), Magic, Seen) != 0) Fail("wrong magic");
        if (FFilled < FramePrefixSize) return;
        if (static_cast<std::uint8_t>(FScratch[4]) != Version) Fail("unsupported version");
        if (FScratch[5] != 0 || FScratch[6] != 0 || FScratch[7] != 0) Fail("reserved bytes not zero");
        FHeaderSize = GetU32(FScratch.data() + 8);
        FBlobCount = GetU32(FScratch.data() + 12);
        if (FHeaderSize == 0) Fail("empty header");
        if (FHeaderSize > FLimits.MaxHeader) Fail("header too large");
        if (FBlobCount > FLimits.MaxBlobs) Fail("too many blobs");
        FPhase = TPhase::Lengths;
        FScratch.assign(8 * static_cast<std::size_t>(FBlobCount), '\0');
        FFilled = 0;
        continue;
      }
      case TPhase::Lengths: {
        if (FFilled < FScratch.size()) return;
        std::uint64_t Total = FramePrefixSize + 8ull * FBlobCount + FHeaderSize;
        FBlobSizes.clear();
        for (std::uint32_t I = 0; I < FBlobCount; ++I) {
          const std::uint64_t Len = GetU64(FScratch.data() + 8 * I);
          if (Len > FLimits.MaxFrame || Total + Len > FLimits.MaxFrame) Fail("frame too large");
          Total += Len;
          FBlobSizes.push_back(Len);
        }
        if (Total > FLimits.MaxFrame) Fail("frame too large");
        FPhase = TPhase::Header;
        FFrame.Header.assign(FHeaderSize, '\0');
        FFilled = 0;
        continue;
      }
      case TPhase::Header:
        if (FFilled < FFrame.Header.size()) return;
        EnterBlobs();
        continue;
      case TPhase::Blobs:
        if (FFilled < FBlobSizes[FBlob]) return;
        ++FBlob;
        FFilled = 0;
        // Skip empty blobs; finish after the last.
        while (FBlob < FBlobSizes.size() && FBlobSizes[FBlob] == 0) ++FBlob;
        if (FBlob == FBlobSizes.size()) FPhase = TPhase::Done;
        return;
      case TPhase::Done:
        return;
    }
  }
}

void TFrameReader::EnterBlobs() {
  FFrame.Blobs.assign(FBlobCount, std::string());
  FBlob = 0;
  FFilled = 0;
  while (FBlob < FBlobSizes.size() && FBlobSizes[FBlob] == 0) ++FBlob;
  FPhase = FBlob == FBlobSizes.size() ? TPhase::Done : TPhase::Blobs;
}

TFrame TFrameReader::Take() {
  if (!Done()) throw EStreamError("Frame reader: frame not complete");
  TFrame Out = std::move(FFrame);
  FFrame = {};
  FPhase = TPhase::Prefix;
  FScratch.assign(FramePrefixSize, '\0');
  FFilled = 0;
  FBlobSizes.clear();
  FBlob = 0;
  return Out;
}

TFrame DecodeFrame(std::string_view Bytes, const TFrameLimits& Limits) {
  TFrameReader Reader(Limits);
  const std::size_t Used = Reader.Feed(Bytes.data(), Bytes.size());
  if (!Reader.Done()) Fail("truncated");
  if (Used != Bytes.size()) Fail("trailing bytes after the frame");
  return Reader.Take();
}

nlohmann::json ParseHeader(std::string_view Text) {
  // The parser itself is iterative, but deep nesting still costs memory and
  // makes later recursive walks risky: bound it before parsing.
  std::size_t Depth = 0;
  bool InString = false, Escaped = false;
  for (const char C : Text) {
    if (InString) {
      if (Escaped) Escaped = false;
      else if (C == '\\') Escaped = true;
      else if (C == '"') InString = false;
    } else if (C == '"') {
      InString = true;
    } else if (C == '{' || C == '[') {
      if (++Depth > MaxJsonDepth) throw EJSONError("JSON nested too deeply");
    } else if ((C == '}' || C == ']') && Depth > 0) {
      --Depth;
    }
  }
  nlohmann::json J = nlohmann::json::parse(Text, nullptr, false);
  if (J.is_discarded()) throw EJSONError("Malformed JSON");
  if (!J.is_object()) throw EJSONError("JSON object expected");
  return J;
}

std::string DumpJson(const nlohmann::json& Value) {
  return Value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ordex::rpc

namespace ordex::rpc {

namespace {
constexpr char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
int Base64Value(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(std::string_view Bytes) {
  std::string Out;
  Out.reserve((Bytes.size() + 2) / 3 * 4);
  std::size_t I = 0;
  for (; I + 2 < Bytes.size(); I += 3) {
    const auto V = (std::uint32_t(std::uint8_t(Bytes[I])) << 16) | (std::uint32_t(std::uint8_t(Bytes[I + 1])) << 8) |
                   std::uint8_t(Bytes[I + 2]);
    for (int S = 18; S >= 0; S -= 6) Out.push_back(Base64Chars[(V >> S) & 63]);
  }
  const std::size_t Rest = Bytes.size() - I;
  if (Rest > 0) {
    std::uint32_t V = std::uint32_t(std::uint8_t(Bytes[I])) << 16;
    if (Rest == 2) V |= std::uint32_t(std::uint8_t(Bytes[I + 1])) << 8;
    Out.push_back(Base64Chars[(V >> 18) & 63]);
    Out.push_back(Base64Chars[(V >> 12) & 63]);
    Out.push_back(Rest == 2 ? Base64Chars[(V >> 6) & 63] : '=');
    Out.push_back('=');
  }
  return Out;
}

bool Base64Decode(std::string_view Text, std::string& Bytes) {
  Bytes.clear();
  if (Text.size() % 4 != 0) return false;
  for (std::size_t I = 0; I < Text.size(); I += 4) {
    const bool Last = I + 4 == Text.size();
    int V[4];
    int Pad = 0;
    for (int K = 0; K < 4; ++K) {
      const char C = Text[I + K];
      if (C == '=' && Last && K >= 2) {
        V[K] = 0;
        ++Pad;
      } else {
        if (Pad > 0) return false;  // data after padding
        V[K] = Base64Value(C);
        if (V[K] < 0) return false;
      }
    }
    const std::uint32_t W = (std::uint32_t(V[0]) << 18) | (std::uint32_t(V[1]) << 12) | (std::uint32_t(V[2]) << 6) | V[3];
    Bytes.push_back(static_cast<char>((W >> 16) & 0xFF));
    if (Pad < 2) Bytes.push_back(static_cast<char>((W >> 8) & 0xFF));
    if (Pad < 1) Bytes.push_back(static_cast<char>(W & 0xFF));
  }
  return true;
}

}  // namespace ordex::rpc
