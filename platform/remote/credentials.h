// The endpoint's credentials and the observer's pins.
//
// An endpoint has an access key (32 random bytes, kept as hex text) that a client must present
// before it is handed any object, and a self-signed certificate for TLS. Both are made on
// first start. An observer keeps, per machine, the access key its user copied from that
// machine and the certificate it met on first contact (trust on first use); a later
// certificate that differs is refused.
#pragma once

#include <string>
#include <string_view>

namespace zyn::remote {

struct EndpointCredentials {
  std::string accessKey;  // hex text
  std::string certificatePem;
  std::string privateKeyPem;
};

// Loads the credentials from dir, making whatever is missing (key files mode 0600).
bool LoadOrCreateEndpointCredentials(const std::string& dir, EndpointCredentials* out,
                                     std::string* error);

// A new self-signed certificate (EC P-256, kCertificateName) with its private key.
bool MakeSelfSignedCertificate(std::string* certificatePem, std::string* privateKeyPem,
                               std::string* error);

// 32 random bytes as 64 hex digits.
std::string NewAccessKey();

// Whether two keys are equal, in time that does not depend on where they differ.
bool KeysEqual(std::string_view a, std::string_view b);

// Connects to host:port, completes a TLS handshake without trusting anything, and returns the
// certificate the server showed (PEM). Blocking; gives up after timeoutMs.
bool FetchServerCertificate(const std::string& host, unsigned port, int timeoutMs,
                            std::string* certificatePem, std::string* error);

// Whether two PEM certificates are the same certificate (compared as DER).
bool SameCertificate(const std::string& a, const std::string& b);

}  // namespace zyn::remote
