// Activation of a class on a machine: the classic CoCreateInstanceEx, and the bounded form
// callers use so that an unreachable machine costs at most a time limit.
//
// "My Computer" (or no machine) is this machine, reached through the Unix socket of its
// endpoint; when nothing listens there, the program registered for the class (or the caller's
// fallback program) is started, as the platform starts a local server, and the activation
// waits for it. Any other name is a
// host, "host" or "host:port" (default port kDefaultPort), reached over TCP with TLS: its
// certificate is pinned on first contact and the access key kept for it is presented.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/com/classreg.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

// The machine of a remote activation (only the name is used).
struct COSERVERINFO {
  DWORD dwReserved1;
  LPWSTR pwszName;
  void* pAuthInfo;
  DWORD dwReserved2;
};

// One requested interface and what became of it.
struct MULTI_QI {
  const IID* pIID;
  IUnknown* pItf;
  HRESULT hr;
};

// Creates one object of rclsid on the machine pServerInfo names (this machine when it is null
// or names "My Computer") and queries it for each of the dwCount interfaces. Local contexts
// (CLSCTX_INPROC_*) without a machine are served in-process as CoCreateInstance does. S_OK
// when every interface came, CO_S_NOTALLINTERFACES when some did, else the failure (also in
// every entry's hr). The reason of a failure is in zyn::remote::LastActivationError().
HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                           COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults);

inline constexpr HRESULT CO_S_NOTALLINTERFACES = MakeHResult(0x00080012);

namespace zyn::remote {

// One object of clsid on machine, queried for riid, without a time limit of its own (a TCP
// connection gives up after about 20 s). *error, when given, gets the reason of a failure:
// an unreachable machine, a missing or refused access key, a changed certificate.
HRESULT ActivateOnMachine(std::string_view machine, REFCLSID clsid, REFIID riid, void** ppv,
                          std::string* error = nullptr);

// The bounded activation: a worker thread activates, the caller waits at most timeLimitMs.
// When the limit passes first the result is timeoutCode (E_FAIL or CO_E_SERVER_START_TIMEOUT,
// as the caller wants) and the worker, whenever it ends, releases what it got itself.
HRESULT ActivateWithTimeLimit(std::string_view machine, REFCLSID clsid, REFIID riid,
                              DWORD timeLimitMs, HRESULT timeoutCode, void** ppv,
                              std::string* error = nullptr);

// The reason of the calling thread's last failed activation ("" after a success).
std::string LastActivationError();

// A machine met over TCP whose certificate nobody has pinned yet.
struct FirstContact {
  std::string machine;      // the name the caller used
  std::string fingerprint;  // SHA-256 of the certificate, colon hex ("AB:CD:...")
};

// How activations reach a machine; the defaults are the stored key, silent pinning and only
// registered programs.
struct ActivationSettings {
  // Presented instead of the key stored for the machine when not empty.
  std::string accessKey;
  // Asked on first contact whether to pin the certificate the machine showed; false refuses
  // the activation (E_ACCESSDENIED) and pins nothing. Unset: pinned without asking.
  //
  // It runs on the activating thread; under ActivateWithTimeLimit that is the worker, and the
  // caller's time limit stands still while it runs, since a person may be answering. A window
  // thread that must not be blocked can refuse here, keep the fingerprint, ask its user, and
  // activate again with a callback that accepts exactly that fingerprint.
  std::function<bool(const FirstContact&)> trustFirstContact;
  // For "My Computer": the program started when no server runs and none is registered (a
  // client that ships with its server names the one beside it). Empty: none.
  std::string localServerProgram;
};

// Sets the calling thread's activation settings while it lives (the previous ones come back
// afterwards). ActivateWithTimeLimit hands the caller's settings to its worker.
class ActivationSettingsScope {
 public:
  explicit ActivationSettingsScope(ActivationSettings settings);
  ~ActivationSettingsScope();
  ActivationSettingsScope(const ActivationSettingsScope&) = delete;
  ActivationSettingsScope& operator=(const ActivationSettingsScope&) = delete;

 private:
  ActivationSettings previous_;
};

// The calling thread's activation settings.
const ActivationSettings& CurrentActivationSettings();

// The SHA-256 fingerprint of a PEM certificate in colon hex, upper case, as
// `openssl x509 -noout -fingerprint -sha256` prints it; empty for a malformed certificate.
std::string CertificateFingerprint(const std::string& certificatePem);

// Makes CoCreateInstance with CLSCTX_LOCAL_SERVER (and CLSCTX_REMOTE_SERVER without a machine)
// activate on this machine through its endpoint.
void InstallActivator(com::ClassRegistry& registry = com::ProcessClassRegistry());

}  // namespace zyn::remote
