// The product's server container: the base container, to be made to serve the
// document service "TOrdexServerClass" by replacing its get-class handler
// with OrdexServerClassGetClass (the main window does so).
#pragma once

#include <memory>

#include "serverhost/dmQxServer.h"

namespace ordex {

class TdmOrdexServerContainers : public TdmQxServers {
 public:
  explicit TdmOrdexServerContainers(rpc::TRpcServerSettings Settings = {});

  // The main window's get-class handler: answers the document service's class
  // (its method table is made once per process).
  static std::shared_ptr<const rpc::TRpcClass> OrdexServerClassGetClass();
  // Replaces the get-class handler by OrdexServerClassGetClass.
  void ServeOrdexServerClass();
};

}  // namespace ordex
