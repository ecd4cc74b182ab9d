#include "tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "error.h"
#include "fileio.h"

namespace trellisant::sandbox {
namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

[[noreturn]] void fail(const std::string& what) {
  throw PlatformError("Could not create the sandbox certificates (" + what + ").");
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"));
  if (!key) fail("key");
  return key;
}

void addExtension(X509* cert, X509V3_CTX* context, int nid, const std::string& value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
  if (extension == nullptr) fail("extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

std::string alternativeNames() {
  std::string names = "IP:127.0.0.1";
  for (const char* name : kServerNames) names += std::string(",DNS:") + name;
  return names;
}

// A certificate for `key`, signed by `issuer` (self-signed when there is none).
Cert makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     long days) {
  Cert cert(X509_new());
  if (!cert) fail("certificate");
  X509* x = cert.get();
  X509_set_version(x, 2);
  Number serial(BN_new());
  if (!serial || BN_rand(serial.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) == nullptr)
    fail("serial");
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), days * 86400L);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Trellisant sandbox"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  addExtension(x, &context, NID_subject_key_identifier, "hash");
  if (issuer == nullptr) {
    addExtension(x, &context, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(x, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(x, &context, NID_authority_key_identifier, "keyid:always");
    addExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(x, &context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(x, &context, NID_ext_key_usage, "serverAuth");
    addExtension(x, &context, NID_subject_alt_name, alternativeNames());
  }
  if (X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) fail("signature");
  return cert;
}

std::string pemOf(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) fail("encoding");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string pemOf(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("encoding");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

Cert loadCertificate(const std::filesystem::path& path) {
  auto text = readFile(path);
  if (!text) return nullptr;
  Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Key loadKey(const std::filesystem::path& path) {
  auto text = readFile(path);
  if (!text) return nullptr;
  Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool validForADay(X509* cert) {
  std::time_t tomorrow = std::time(nullptr) + 86400;
  return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 &&
         X509_cmp_time(X509_get0_notAfter(cert), &tomorrow) > 0;
}

bool coversEveryName(X509* cert) {
  if (X509_check_ip_asc(cert, "127.0.0.1", 0) != 1) return false;
  for (std::string name : kServerNames) {
    if (name.rfind("*.", 0) == 0) name = "wildcard-check" + name.substr(1);
    if (X509_check_host(cert, name.c_str(), name.size(), 0, nullptr) != 1) return false;
  }
  return true;
}

bool reusable(const TlsMaterial& material) {
  Cert ca = loadCertificate(material.caFile);
  Cert server = loadCertificate(material.certFile);
  Key key = loadKey(material.keyFile);
  if (!ca || !server || !key) return false;
  EVP_PKEY* caKey = X509_get0_pubkey(ca.get());
  return caKey != nullptr && X509_verify(ca.get(), caKey) == 1 &&
         X509_verify(server.get(), caKey) == 1 &&
         X509_check_private_key(server.get(), key.get()) == 1 && X509_check_ca(ca.get()) >= 1 &&
         validForADay(ca.get()) && validForADay(server.get()) && coversEveryName(server.get());
}

}  // namespace

TlsMaterial ensureTlsMaterial(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw PlatformError(error.message());
  TlsMaterial material{folder / "ca.pem", folder / "server.pem", folder / "server-key.pem"};
  if (reusable(material)) return material;

  Key caKey = newKey();
  Cert ca = makeCertificate(caKey.get(), "Trellisant sandbox CA", nullptr, nullptr, 3650);
  Key serverKey = newKey();
  Cert server = makeCertificate(serverKey.get(), "trellisant.test", ca.get(), caKey.get(), 825);
  // The CA's own key is not kept: new material is made whenever the old does not fit.
  writeAtomically(material.keyFile, pemOf(serverKey.get()), 0600);
  writeAtomically(material.certFile, pemOf(server.get()), 0644);
  writeAtomically(material.caFile, pemOf(ca.get()), 0644);
  return material;
}

}  // namespace trellisant::sandbox
