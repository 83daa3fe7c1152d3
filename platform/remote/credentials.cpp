#include "platform/remote/credentials.h"

#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/remote/paths.h"

namespace zyn::remote {
namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using SslCtx = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Deleter<SSL_free>>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  char text[256] = "unknown TLS error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return text;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A TCP connection within the time limit; -1 with *error on failure.
int ConnectWithin(const std::string& host, unsigned port, int timeoutMs, std::string* error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, Deleter<freeaddrinfo>> list(found);
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
      close(fd);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int soError = 0;
    socklen_t len = sizeof soError;
    if (poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 &&
        soError == 0) {
      return fd;
    }
    close(fd);
  }
  *error = "cannot connect to " + host + ":" + std::to_string(port);
  return -1;
}

}  // namespace

std::string NewAccessKey() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

bool KeysEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool MakeSelfSignedCertificate(std::string* certificatePem, std::string* privateKeyPem,
                               std::string* error) {
  Pkey key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  if (!key || !cert) {
    *error = OpenSslError();
    return false;
  }
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  std::unique_ptr<BIGNUM, Deleter<BN_free>> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  X509_set_version(cert.get(), 2);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 365 * 20);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(kCertificateName), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  std::string san = std::string("DNS:") + kCertificateName;
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, san.c_str()},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || !X509_add_ext(cert.get(), ext.get(), -1)) {
      *error = OpenSslError();
      return false;
    }
  }
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) {
    *error = OpenSslError();
    return false;
  }
  Bio certBio(BIO_new(BIO_s_mem()));
  Bio keyBio(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_X509(certBio.get(), cert.get()) ||
      !PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
    *error = OpenSslError();
    return false;
  }
  *certificatePem = BioText(certBio.get());
  *privateKeyPem = BioText(keyBio.get());
  return true;
}

bool LoadOrCreateEndpointCredentials(const std::string& dir, EndpointCredentials* out,
                                     std::string* error) {
  if (!MakeDirs(dir, 0700)) {
    *error = "cannot create " + dir;
    return false;
  }
  const std::string keyPath = dir + "/access.key";
  if (!ReadFile(keyPath, &out->accessKey) || out->accessKey.empty()) {
    out->accessKey = NewAccessKey();
    if (out->accessKey.empty() || !WriteFile(keyPath, out->accessKey + "\n", 0600)) {
      *error = "cannot write " + keyPath;
      return false;
    }
  }
  while (!out->accessKey.empty() && std::isspace(static_cast<unsigned char>(out->accessKey.back())))
    out->accessKey.pop_back();
  const std::string certPath = dir + "/cert.pem";
  const std::string privPath = dir + "/key.pem";
  if (ReadFile(certPath, &out->certificatePem) && ReadFile(privPath, &out->privateKeyPem) &&
      !out->certificatePem.empty() && !out->privateKeyPem.empty()) {
    return true;
  }
  if (!MakeSelfSignedCertificate(&out->certificatePem, &out->privateKeyPem, error)) return false;
  if (!WriteFile(privPath, out->privateKeyPem, 0600) ||
      !WriteFile(certPath, out->certificatePem, 0644)) {
    *error = "cannot write the certificate in " + dir;
    return false;
  }
  return true;
}

bool FetchServerCertificate(const std::string& host, unsigned port, int timeoutMs,
                            std::string* certificatePem, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Fd fd(ConnectWithin(host, port, timeoutMs, error));
  if (fd.get() < 0) return false;
  SslCtx ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    *error = OpenSslError();
    return false;
  }
  // Nothing is trusted here: the certificate is only read, to compare it with the pin.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  Ssl ssl(SSL_new(ctx.get()));
  SSL_set_fd(ssl.get(), fd.get());
  SSL_set_tlsext_host_name(ssl.get(), kCertificateName);
  for (;;) {
    int rc = SSL_connect(ssl.get());
    if (rc == 1) break;
    int want = SSL_get_error(ssl.get(), rc);
    if (want != SSL_ERROR_WANT_READ && want != SSL_ERROR_WANT_WRITE) {
      *error = "TLS handshake with " + host + " failed: " + OpenSslError();
      return false;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd.get(), static_cast<short>(want == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
      *error = "no answer from " + host + " within the time limit";
      return false;
    }
  }
  X509Ptr cert(SSL_get1_peer_certificate(ssl.get()));
  Bio bio(BIO_new(BIO_s_mem()));
  if (!cert || !PEM_write_bio_X509(bio.get(), cert.get())) {
    *error = host + " showed no certificate";
    return false;
  }
  *certificatePem = BioText(bio.get());
  SSL_shutdown(ssl.get());
  return true;
}

bool SameCertificate(const std::string& a, const std::string& b) {
  auto der = [](const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    std::string out;
    if (!cert) return out;
    unsigned char* bytes = nullptr;
    int len = i2d_X509(cert.get(), &bytes);
    if (len > 0) out.assign(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(len));
    OPENSSL_free(bytes);
    return out;
  };
  std::string da = der(a);
  return !da.empty() && da == der(b);
}

}  // namespace zyn::remote
