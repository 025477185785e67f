#pragma once
// Certificates made fresh for each test run (OpenSSL 3): a test CA, server certificates it
// signs, and self-signed ones nobody trusts. Keys never leave the run.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace tw_test_support {

struct TestCertificate {
  std::string certificatePEM;
  std::string privateKeyPEM;

  // Writes "<stem>.crt" and "<stem>.key" into `dir`; returns the two paths.
  std::pair<std::filesystem::path, std::filesystem::path> writeTo(const std::filesystem::path& dir,
                                                                  const std::string& stem) const {
    auto cert = dir / (stem + ".crt"), key = dir / (stem + ".key");
    std::ofstream(cert, std::ios::binary) << certificatePEM;
    std::ofstream(key, std::ios::binary) << privateKeyPEM;
    return {cert, key};
  }
};

namespace detail {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

inline void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

inline std::string drain(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(n));
}

inline void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  require(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `commonName`; a CA when `isCA`, else a server certificate for `altNames`
// ("DNS:localhost,IP:127.0.0.1"). Signed by `issuer`, or by itself when null.
inline TestCertificate makeCertificate(const std::string& commonName, bool isCA, const std::string& altNames,
                                       const TestCertificate* issuer) {
  static long serial = 1;
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  require(key != nullptr, "key");
  Owned<X509> cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);

  Owned<X509> issuerCert;
  Owned<EVP_PKEY> issuerKey;
  if (issuer) {
    Owned<BIO> certBio(BIO_new_mem_buf(issuer->certificatePEM.data(), static_cast<int>(issuer->certificatePEM.size())));
    Owned<BIO> keyBio(BIO_new_mem_buf(issuer->privateKeyPEM.data(), static_cast<int>(issuer->privateKeyPEM.size())));
    issuerCert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    issuerKey.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    require(issuerCert && issuerKey, "issuer");
  }
  X509* signer = issuer ? issuerCert.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (isCA) {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), signer, NID_subject_alt_name, altNames.c_str());
  }
  require(X509_sign(cert.get(), issuer ? issuerKey.get() : key.get(), EVP_sha256()) > 0, "sign");

  Owned<BIO> certOut(BIO_new(BIO_s_mem())), keyOut(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_X509(certOut.get(), cert.get()) == 1, "write certificate");
  require(PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "write key");
  return {drain(certOut.get()), drain(keyOut.get())};
}

}  // namespace detail

inline constexpr const char* kLoopbackNames = "DNS:localhost,IP:127.0.0.1";

inline TestCertificate makeTestCA(const std::string& name = "Tallywise Test CA") {
  return detail::makeCertificate(name, true, "", nullptr);
}
// A server certificate for `altNames`, signed by `ca`, or self-signed when `ca` is null.
inline TestCertificate makeServerCertificate(const TestCertificate* ca, const std::string& altNames = kLoopbackNames) {
  return detail::makeCertificate("tallywise test server", false, altNames, ca);
}

}  // namespace tw_test_support
