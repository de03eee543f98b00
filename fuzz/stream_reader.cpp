// Feeds arbitrary bytes to the dataset stream reader. Malformed input must end
// in EStreamError; a stream that parses must write back to bytes that read
// again to the same stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/qxError.h"
#include "platform/db/DataStream.h"

namespace {

using namespace ordex::db;

bool SameStream(const TDataStream& A, const TDataStream& B) {
  if (A.Kind != B.Kind || A.Tables.size() != B.Tables.size()) return false;
  for (std::size_t I = 0; I < A.Tables.size(); ++I) {
    const TStreamTable& X = A.Tables[I];
    const TStreamTable& Y = B.Tables[I];
    if (X.Name != Y.Name || X.Columns.size() != Y.Columns.size() || X.Rows != Y.Rows ||
        X.Changes.size() != Y.Changes.size())
      return false;
    for (std::size_t C = 0; C < X.Columns.size(); ++C) {
      const TStreamColumn& P = X.Columns[C];
      const TStreamColumn& Q = Y.Columns[C];
      if (P.Name != Q.Name || P.Type != Q.Type || P.Flags != Q.Flags || P.Size != Q.Size ||
          P.OriginTable != Q.OriginTable || P.OriginColumn != Q.OriginColumn)
        return false;
    }
    for (std::size_t R = 0; R < X.Changes.size(); ++R)
      if (X.Changes[R].State != Y.Changes[R].State || X.Changes[R].Old != Y.Changes[R].Old ||
          X.Changes[R].New != Y.Changes[R].New)
        return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
  TDataStream First;
  try {
    First = ReadDataStream(Bytes);
  } catch (const ordex::EStreamError&) {
    return 0;
  }
  const std::string Written = WriteDataStream(First);  // must not throw for a stream that parsed
  if (Written != Bytes) std::abort();                   // the layout has one encoding per stream
  if (!SameStream(First, ReadDataStream(Written))) std::abort();
  return 0;
}
