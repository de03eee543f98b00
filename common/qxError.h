// Exceptions of the whole server. Every failure that ends an operation is an
// exception that carries the message meant for the user or client and the name
// of its error class (the remote-call layer sends both to the client).
#pragma once

#include <stdexcept>
#include <string>

namespace ordex {

// Base of all server errors. ClassName() names the error class, e.g. "EDatabaseError".
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& Message) : std::runtime_error(Message) {}
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

#define ORDEX_DECLARE_ERROR(Name, Base)                                    \
  class Name : public Base {                                               \
   public:                                                                 \
    using Base::Base;                                                      \
    const char* ClassName() const noexcept override { return #Name; }      \
  };

ORDEX_DECLARE_ERROR(EDatabaseError, Exception)   // database access layer and engines
ORDEX_DECLARE_ERROR(EStreamError, Exception)     // malformed dataset streams and change sets
ORDEX_DECLARE_ERROR(EJSONError, Exception)       // malformed JSON texts
ORDEX_DECLARE_ERROR(EConvertError, Exception)    // a text that is not the expected number or value
ORDEX_DECLARE_ERROR(EFileError, Exception)       // files and folders of the store
ORDEX_DECLARE_ERROR(EImageError, Exception)      // picture decoding and encoding
ORDEX_DECLARE_ERROR(EOSError, Exception)         // operating-system services
ORDEX_DECLARE_ERROR(EArgumentError, Exception)   // an argument the server refuses (unsafe id, bad range, ...)
ORDEX_DECLARE_ERROR(EAuthError, Exception)       // refused login

// The class name of any exception: ClassName() for ours, "Exception" for others.
inline const char* ErrorClassName(const std::exception& E) noexcept {
  if (const auto* O = dynamic_cast<const Exception*>(&E)) return O->ClassName();
  return "Exception";
}

}  // namespace ordex
