// The raw command: call any method of any class and print its answer.
#include <fstream>
#include <iostream>
#include <iterator>

#include "client/cli/Commands.h"

namespace ordex::cli {

using nlohmann::json;

namespace {

std::string ReadLocal(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) throw TUsageError("cannot read " + Name);
  std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (In.bad()) throw TUsageError("cannot read " + Name);
  return Bytes;
}

int RunCall(TContext& C, const TArgs& A) {
  json Args = json::array();
  if (A.Positional.size() > 2) {
    Args = json::parse(A.Positional[2], nullptr, false);
    if (Args.is_discarded() || !(Args.is_array() || Args.is_object()))
      throw TUsageError("ARGS-JSON must be a JSON array or object");
  }
  std::vector<std::string> Blobs;
  for (const auto& Name : A.All("in")) Blobs.push_back(ReadLocal(Name));
  const std::vector<std::string> Outputs = A.All("out");

  auto& S = C.Session();
  client::TCallResult R = S.Client().Call(A.Positional[0], A.Positional[1], Args, std::move(Blobs));
  for (std::size_t I = 0; I < R.Blobs.size() && I < Outputs.size(); ++I) {
    std::ofstream Out(Outputs[I], std::ios::binary);
    Out.write(R.Blobs[I].data(), static_cast<std::streamsize>(R.Blobs[I].size()));
    if (!Out) throw EFileError("cannot write " + Outputs[I]);
  }
  if (C.Json()) {
    json Streams = json::array();
    for (std::size_t I = 0; I < R.Blobs.size(); ++I)
      Streams.push_back(json{{"blob", I}, {"bytes", R.Blobs[I].size()},
                             {"file", I < Outputs.size() ? json(Outputs[I]) : json(nullptr)}});
    C.Out().Json(json{{"values", R.Values}, {"streams", Streams}});
    return ExitOk;
  }
  C.Out().Json(R.Values);
  for (std::size_t I = 0; I < R.Blobs.size(); ++I) {
    C.Out().Err() << "blob " << I << ": " << R.Blobs[I].size() << " bytes";
    if (I < Outputs.size()) C.Out().Err() << " written to " << Outputs[I];
    C.Out().Err() << "\n";
  }
  return ExitOk;
}

}  // namespace

std::vector<TCommandSpec> CallCommands() {
  return {{"call", "CLASS METHOD [ARGS-JSON] [--in FILE]... [--out FILE]...",
           "Calls CLASS.METHOD and prints the answer's values as JSON.",
           "ARGS-JSON is an array (by position) or an object (by parameter name); default [].\n"
           "A stream argument is written {\"$blob\": N}: the N-th file given with --in. Returned\n"
           "streams go to the files given with --out, in order; the others are counted on stderr.\n"
           "Example: ordex call TOrdexServerClass GetRights '{\"TreeID\":\"f1\"}'",
           {{"in", TOptionSpec::Value, "FILE  a stream to send (repeatable: blob 0, 1, ...)"},
            {"out", TOptionSpec::Value, "FILE  where to write a returned stream (repeatable)"}},
           2, 3, RunCall}};
}

}  // namespace ordex::cli
