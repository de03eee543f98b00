// Internal: the TCP transport. One connection is one session; messages are
// frames. The connection reads on its strand; answers are written by whoever
// makes them (usually the worker that ran the call) without a hop through the
// I/O thread when the socket takes them at once.
#pragma once

#include "platform/rpc/Runtime.h"

namespace ordex::rpc::detail {

// Serves an accepted socket whose executor is Strand: registers the
// connection, reports it and reads the login.
void StartTcpConnection(TRuntime& Run, tcp::socket Socket, TStrand Strand);

}  // namespace ordex::rpc::detail
