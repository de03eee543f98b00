// Fuzzes the frame reader (fed in pieces of varying size), the header parse
// and the strict argument binding behind it. Malformed input must end in our
// exceptions, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>

#include "common/qxError.h"
#include "platform/rpc/Frame.h"
#include "platform/rpc/MethodTable.h"

namespace {

using namespace ordex::rpc;

const TRpcMethod& SampleMethod() {
  static const TRpcMethod M{"Sample",
                            {In("T", TRpcType::Text), In("B", TRpcType::Boolean), In("I", TRpcType::Int32),
                             In("L", TRpcType::Int64), In("F", TRpcType::Float), In("D", TRpcType::DateTime),
                             Var("S", TRpcType::Stream), Out("O", TRpcType::Text)},
                            TRpcType::Text,
                            {}};
  return M;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  // The first byte picks the piece size, as a network would split the bytes.
  const std::size_t Piece = 1 + Data[0] % 64;
  const char* Bytes = reinterpret_cast<const char*>(Data + 1);
  std::size_t Left = Size - 1;

  TFrameLimits Limits;
  Limits.MaxHeader = 1 << 16;
  Limits.MaxFrame = 1 << 20;
  TFrameReader Reader(Limits);
  try {
    while (Left > 0) {
      const std::size_t Used = Reader.Feed(Bytes, std::min(Piece, Left));
      Bytes += Used;
      Left -= Used;
      if (!Reader.Done()) continue;
      TFrame Frame = Reader.Take();
      try {
        const nlohmann::json Header = ParseHeader(Frame.Header);
        if (const auto Args = Header.find("args"); Args != Header.end()) {
          auto Values = BindArguments(SampleMethod(), *Args, Frame.Blobs);
          std::vector<std::string> Out;
          for (auto& V : Values) (void)ValueToJson(std::move(V), Out);
        }
      } catch (const ordex::Exception&) {
        // Refused header or arguments: the expected outcome for most inputs.
      }
    }
  } catch (const ordex::EStreamError&) {
    // Broken layout: the connection would be closed.
  }
  return 0;
}
