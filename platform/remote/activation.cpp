#include "platform/remote/activation.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/remote/connections.h"
#include "platform/remote/credentials.h"
#include "platform/remote/errors.h"
#include "platform/remote/handshake.h"
#include "platform/remote/io_thread.h"
#include "platform/remote/paths.h"
#include "platform/remote/proxy.h"
#include "platform/remote/registration.h"
#include "platform/remote/values.h"

extern char** environ;

namespace zyn::remote {
namespace {

constexpr int kConnectTimeLimitMs = 20000;
// How long a local activation waits for a program it started to listen.
constexpr auto kStartTimeLimit = std::chrono::seconds(20);

thread_local std::string tLastError;
thread_local ActivationSettings tSettings;

bool IsLocal(std::string_view machine) {
  return machine.empty() || machine == kMyComputer;
}

std::string TrimmedFile(const std::string& path) {
  std::string text;
  if (!ReadFile(path, &text)) return {};
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.pop_back();
  return text;
}

HRESULT Fail(HRESULT hr, std::string text, std::string* error) {
  if (error) *error = std::move(text);
  return hr;
}

// The remote machine's target: its key, and its certificate checked against the pin (made
// on first contact, when the thread's settings accept it).
HRESULT RemoteTarget(std::string_view machine, MachineTarget* target, std::string* error) {
  const ActivationSettings& settings = CurrentActivationSettings();
  const std::string name(machine);
  if (!SplitHostPort(machine, &target->host, &target->port))
    return Fail(E_INVALIDARG, "malformed machine name \"" + name + "\"", error);
  const std::string dir = MachineDir(machine);
  target->accessKey =
      settings.accessKey.empty() ? TrimmedFile(dir + "/access.key") : settings.accessKey;
  if (target->accessKey.empty()) {
    return Fail(E_ACCESSDENIED,
                "no access key for machine \"" + name +
                    "\": copy the access.key of its server to " + dir + "/access.key",
                error);
  }
  std::string shown, why;
  if (!FetchServerCertificate(target->host, target->port, kConnectTimeLimitMs, &shown, &why))
    return Fail(RPC_S_SERVER_UNAVAILABLE, "machine \"" + name + "\": " + why, error);
  const std::string pinPath = dir + "/cert.pem";
  std::string pinned;
  if (ReadFile(pinPath, &pinned) && !pinned.empty()) {
    if (!SameCertificate(pinned, shown)) {
      return Fail(E_ACCESSDENIED,
                  "the certificate of machine \"" + name +
                      "\" has changed since it was first trusted (it now shows SHA-256 "
                      "fingerprint " +
                      CertificateFingerprint(shown) +
                      "); the connection was refused. If that machine was set up anew, remove " +
                      pinPath + " to trust its new certificate",
                  error);
    }
  } else {
    if (settings.trustFirstContact) {
      FirstContact contact{name, CertificateFingerprint(shown)};
      if (!settings.trustFirstContact(contact)) {
        return Fail(E_ACCESSDENIED,
                    "the certificate of machine \"" + name + "\" (SHA-256 fingerprint " +
                        contact.fingerprint + ") was not accepted",
                    error);
      }
    }
    if (!MakeDirs(dir, 0700) || !WriteFile(pinPath, shown, 0644))
      return Fail(E_FAIL, "cannot keep the certificate of \"" + name + "\" in " + pinPath, error);
  }
  target->certificatePem = shown;
  return S_OK;
}

// Starts the program registered for clsid (or, for a class no program names, the first
// program registered at all: every serving program offers the server browser; or else the
// thread's fallback program), detached. False with *why when there is none or it cannot start.
bool StartLocalServer(REFCLSID clsid, std::string* why) {
  std::vector<ClassFile> files = ReadClassFiles();
  std::string program;
  for (const ClassFile& file : files)
    if (file.registration.clsid == clsid) program = file.program;
  for (const ClassFile& file : files)
    if (program.empty()) program = file.program;
  if (program.empty()) program = CurrentActivationSettings().localServerProgram;
  if (program.empty()) {
    *why = "no server runs on this machine and no program is registered to start";
    return false;
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  // The server outlives its first client: it must not hold the client's standard streams (a
  // pipe that never ends, lines in the middle of the client's output).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = 0;
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *why = "no server runs on this machine and its program " + program +
           " cannot be started: " + std::strerror(rc);
    return false;
  }
  // Reaped when it ends, so a long-lived client gathers no zombies from idle servers.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

HRESULT CreateOn(const MachineTarget& target, REFCLSID clsid, REFIID riid, void** ppv) {
  return IoThread::Get().Run([&]() -> kj::Promise<HRESULT> {
    return MachineActivator(target).then([&](wire::Activator::Client activator) {
      auto request = activator.createInstanceRequest();
      WriteGuid(clsid, request.initClsid(16));
      WriteGuid(riid, request.initIid(16));
      return request.send().then([&](auto response) -> HRESULT {
        HRESULT hr = response.getHr();
        if (FAILED(hr)) return hr;
        if (!response.hasObject()) return E_NOINTERFACE;
        return Import(response.getObject(), riid, ppv);
      });
    });
  });
}

}  // namespace

HRESULT ActivateOnMachine(std::string_view machine, REFCLSID clsid, REFIID riid, void** ppv,
                          std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  MachineTarget target;
  target.machine = IsLocal(machine) ? std::string(kMyComputer) : std::string(machine);
  target.local = IsLocal(machine);
  if (target.local) {
    target.unixPath = DefaultUnixSocketPath();
  } else {
    HRESULT hr = RemoteTarget(machine, &target, error);
    if (FAILED(hr)) return hr;
  }
  const auto startDeadline = std::chrono::steady_clock::now() + kStartTimeLimit;
  bool started = false;
  for (int attempt = 0;; ++attempt) {
    try {
      return CreateOn(target, clsid, riid, ppv);
    } catch (const kj::Exception& e) {
      std::string what = e.getDescription().cStr();
      if (what.find(kRefusedText) != std::string::npos) {
        return Fail(E_ACCESSDENIED,
                    "the server on machine \"" + target.machine + "\" refused the access key",
                    error);
      }
      // A connection found dead is dialled once more.
      if (e.getType() == kj::Exception::Type::DISCONNECTED && attempt == 0) {
        IoThread::Get().Run([&]() { ForgetMachine(target.machine); });
        continue;
      }
      if (target.local && std::chrono::steady_clock::now() < startDeadline) {
        if (!started) {
          std::string why;
          started = StartLocalServer(clsid, &why);
          if (!started) return Fail(REGDB_E_CLASSNOTREG, why, error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      return Fail(target.local ? CO_E_SERVER_START_TIMEOUT : RPC_S_SERVER_UNAVAILABLE,
                  "machine \"" + target.machine + "\": " + what, error);
    }
  }
}

HRESULT ActivateWithTimeLimit(std::string_view machine, REFCLSID clsid, REFIID riid,
                              DWORD timeLimitMs, HRESULT timeoutCode, void** ppv,
                              std::string* error) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    bool asking = false;                             // the first-contact question is being answered
    std::chrono::steady_clock::duration askedFor{};  // time spent answering it
    HRESULT hr = E_FAIL;
    com::ComPtr<IUnknown> object;
    std::string error;
  };
  auto shared = std::make_shared<Shared>();
  const IID iid = riid;
  const CLSID cls = clsid;
  ActivationSettings settings = CurrentActivationSettings();
  if (settings.trustFirstContact) {
    // The question stops the clock: a person answering is not a machine failing to.
    settings.trustFirstContact =
        [shared, ask = std::move(settings.trustFirstContact)](const FirstContact& contact) {
          std::chrono::steady_clock::time_point askedAt;
          {
            std::lock_guard lock(shared->mutex);
            if (shared->abandoned) return false;
            shared->asking = true;
            askedAt = std::chrono::steady_clock::now();
            shared->done.notify_all();
          }
          bool accepted = false;
          try {
            accepted = ask(contact);
          } catch (...) {
            accepted = false;
          }
          std::lock_guard lock(shared->mutex);
          shared->asking = false;
          shared->askedFor += std::chrono::steady_clock::now() - askedAt;
          shared->done.notify_all();
          return accepted;
        };
  }
  std::thread([shared, name = std::string(machine), cls, iid, settings = std::move(settings)]() {
    ActivationSettingsScope scope(settings);
    void* raw = nullptr;
    std::string why;
    HRESULT hr = ActivateOnMachine(name, cls, iid, &raw, &why);
    com::ComPtr<IUnknown> object;
    object.Attach(static_cast<IUnknown*>(raw));
    std::lock_guard lock(shared->mutex);
    shared->finished = true;
    if (shared->abandoned) return;  // `object` is released here, by the worker
    shared->hr = hr;
    shared->object = std::move(object);
    shared->error = std::move(why);
    shared->done.notify_all();
  }).detach();
  std::unique_lock lock(shared->mutex);
  // The limit counts the time the machine takes, not the time a person takes to answer.
  const auto start = std::chrono::steady_clock::now();
  while (!shared->finished) {
    if (shared->asking) {
      shared->done.wait(lock, [&] { return !shared->asking || shared->finished; });
      continue;
    }
    const auto deadline = start + std::chrono::milliseconds(timeLimitMs) + shared->askedFor;
    if (!shared->done.wait_until(lock, deadline,
                                 [&] { return shared->finished || shared->asking; }))
      break;
  }
  if (!shared->finished) {
    shared->abandoned = true;
    std::string text = "no answer from \"" + std::string(machine) + "\" within " +
                       std::to_string(timeLimitMs) + " ms";
    tLastError = text;
    if (error) *error = text;
    return timeoutCode;
  }
  tLastError = shared->error;
  if (error) *error = shared->error;
  if (FAILED(shared->hr)) return shared->hr;
  *ppv = shared->object.Detach();
  return shared->hr;
}

std::string LastActivationError() {
  return tLastError;
}

ActivationSettingsScope::ActivationSettingsScope(ActivationSettings settings)
    : previous_(std::exchange(tSettings, std::move(settings))) {}

ActivationSettingsScope::~ActivationSettingsScope() {
  tSettings = std::move(previous_);
}

const ActivationSettings& CurrentActivationSettings() {
  return tSettings;
}

std::string CertificateFingerprint(const std::string& certificatePem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())), &BIO_free);
  if (!bio) return {};
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
  if (!cert) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!X509_digest(cert.get(), EVP_sha256(), digest, &length)) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

void InstallActivator(com::ClassRegistry& registry) {
  registry.SetActivator([](com::ActivationKind kind, REFCLSID clsid, DWORD /*clsContext*/,
                           REFIID riid, void** ppv) -> HRESULT {
    if (kind != com::ActivationKind::kInstance) return REGDB_E_CLASSNOTREG;
    std::string why;
    HRESULT hr = ActivateOnMachine(kMyComputer, clsid, riid, ppv, &why);
    tLastError = why;
    return hr;
  });
}

}  // namespace zyn::remote

HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                           COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults) {
  using namespace zyn::remote;
  if (dwCount == 0 || pResults == nullptr) return E_INVALIDARG;
  for (DWORD i = 0; i < dwCount; ++i) {
    if (pResults[i].pIID == nullptr) return E_INVALIDARG;
    pResults[i].pItf = nullptr;
    pResults[i].hr = E_NOINTERFACE;
  }
  if (punkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  const bool named = pServerInfo && pServerInfo->pwszName && *pServerInfo->pwszName;
  com::ComPtr<IUnknown> object;
  HRESULT hr;
  std::string why;
  if (!named && (dwClsCtx & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0) {
    hr = CoCreateInstance(rclsid, nullptr, dwClsCtx, IID_IUnknown,
                          object.ReleaseAndGetVoidAddressOf());
  } else {
    hr = ActivateOnMachine(named ? pServerInfo->pwszName : kMyComputer, rclsid, *pResults[0].pIID,
                           object.ReleaseAndGetVoidAddressOf(), &why);
  }
  tLastError = why;
  if (FAILED(hr)) {
    for (DWORD i = 0; i < dwCount; ++i)
      pResults[i].hr = hr;
    return hr;
  }
  DWORD got = 0;
  for (DWORD i = 0; i < dwCount; ++i) {
    pResults[i].hr =
        object->QueryInterface(*pResults[i].pIID, reinterpret_cast<void**>(&pResults[i].pItf));
    if (SUCCEEDED(pResults[i].hr)) ++got;
  }
  if (got == 0) return E_NOINTERFACE;
  return got == dwCount ? S_OK : CO_S_NOTALLINTERFACES;
}
