// Self-signed certificates for tests of HTTPS, made with OpenSSL at test time
// and written as PEM files into a fresh temporary folder (removed afterwards).
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace ordex::testing {

namespace detail {
struct TFreeKey {
  void operator()(EVP_PKEY* K) const noexcept { EVP_PKEY_free(K); }
};
struct TFreeCert {
  void operator()(X509* C) const noexcept { X509_free(C); }
};
struct TFreeExtension {
  void operator()(X509_EXTENSION* E) const noexcept { X509_EXTENSION_free(E); }
};
struct TFreeBio {
  void operator()(BIO* B) const noexcept { BIO_free_all(B); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeKey>;
using TCert = std::unique_ptr<X509, TFreeCert>;

inline void Check(bool Ok, const char* What) {
  if (!Ok) throw std::runtime_error(std::string("Test certificate: ") + What);
}

inline void AddExtension(X509* Cert, int Nid, const char* Value) {
  X509V3_CTX Ctx;
  X509V3_set_ctx_nodb(&Ctx);
  X509V3_set_ctx(&Ctx, Cert, Cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, TFreeExtension> Ext(X509V3_EXT_conf_nid(nullptr, &Ctx, Nid, Value));
  Check(Ext && X509_add_ext(Cert, Ext.get(), -1) == 1, "extension");
}

inline void WritePem(const std::string& Path, bool (*Write)(BIO*, void*), void* Object) {
  std::unique_ptr<BIO, TFreeBio> Out(BIO_new_file(Path.c_str(), "w"));
  Check(Out && Write(Out.get(), Object), "write");
}
}  // namespace detail

// A P-256 key and a certificate for CN=localhost that names "localhost" and
// 127.0.0.1, valid for a day, signed by its own key.
class TTestCertificate {
 public:
  explicit TTestCertificate(const std::string& Names = "DNS:localhost,IP:127.0.0.1") {
    FDir = std::filesystem::temp_directory_path() / ("ordex-tls-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(FDir);
    FKey.reset(EVP_EC_gen("P-256"));
    detail::Check(FKey != nullptr, "key");
    FCert.reset(X509_new());
    X509* C = FCert.get();
    detail::Check(C && X509_set_version(C, 2) == 1, "certificate");
    ASN1_INTEGER_set(X509_get_serialNumber(C), 1);
    X509_gmtime_adj(X509_getm_notBefore(C), -60);
    X509_gmtime_adj(X509_getm_notAfter(C), 24 * 3600);
    X509_NAME* Name = X509_get_subject_name(C);
    X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(C, Name);
    X509_set_pubkey(C, FKey.get());
    detail::AddExtension(C, NID_basic_constraints, "critical,CA:TRUE");
    detail::AddExtension(C, NID_subject_alt_name, Names.c_str());
    detail::Check(X509_sign(C, FKey.get(), EVP_sha256()) > 0, "sign");
    detail::WritePem(CertFile(), [](BIO* B, void* X) { return PEM_write_bio_X509(B, static_cast<X509*>(X)) == 1; }, C);
    detail::WritePem(KeyFile(), [](BIO* B, void* K) {
      return PEM_write_bio_PrivateKey(B, static_cast<EVP_PKEY*>(K), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }, FKey.get());
  }
  ~TTestCertificate() {
    std::error_code Ec;
    std::filesystem::remove_all(FDir, Ec);
  }
  TTestCertificate(const TTestCertificate&) = delete;
  TTestCertificate& operator=(const TTestCertificate&) = delete;

  std::string CertFile() const { return (FDir / "cert.pem").string(); }
  std::string KeyFile() const { return (FDir / "key.pem").string(); }
  // A file of Text beside the certificate (for broken inputs).
  std::string WriteFile(const std::string& Name, const std::string& Text) const {
    const std::string Path = (FDir / Name).string();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> F(std::fopen(Path.c_str(), "wb"), &std::fclose);
    detail::Check(F && std::fwrite(Text.data(), 1, Text.size(), F.get()) == Text.size(), "write");
    return Path;
  }

 private:
  std::filesystem::path FDir;
  detail::TKey FKey;
  detail::TCert FCert;
};

}  // namespace ordex::testing
