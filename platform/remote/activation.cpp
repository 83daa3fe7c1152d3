#include "platform/remote/activation.h"

#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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
// on first contact).
HRESULT RemoteTarget(std::string_view machine, MachineTarget* target, std::string* error) {
  const std::string name(machine);
  if (!SplitHostPort(machine, &target->host, &target->port))
    return Fail(E_INVALIDARG, "malformed machine name \"" + name + "\"", error);
  const std::string dir = MachineDir(machine);
  target->accessKey = TrimmedFile(dir + "/access.key");
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
                      "\" has changed since it was first trusted; the connection was refused. If "
                      "that machine was set up anew, remove " +
                      pinPath + " to trust its new certificate",
                  error);
    }
  } else if (!MakeDirs(dir, 0700) || !WriteFile(pinPath, shown, 0644)) {
    return Fail(E_FAIL, "cannot keep the certificate of \"" + name + "\" in " + pinPath, error);
  }
  target->certificatePem = shown;
  return S_OK;
}

// Starts the program registered for clsid (or, for a class no program names, the first
// program registered at all: every serving program offers the server browser), detached.
bool StartLocalServer(REFCLSID clsid) {
  std::vector<ClassFile> files = ReadClassFiles();
  std::string program;
  for (const ClassFile& file : files)
    if (file.registration.clsid == clsid) program = file.program;
  for (const ClassFile& file : files)
    if (program.empty()) program = file.program;
  if (program.empty()) return false;
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
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
          started = StartLocalServer(clsid);
          if (!started) {
            return Fail(REGDB_E_CLASSNOTREG,
                        "no server runs on this machine and no program is registered to start",
                        error);
          }
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
    HRESULT hr = E_FAIL;
    com::ComPtr<IUnknown> object;
    std::string error;
  };
  auto shared = std::make_shared<Shared>();
  const IID iid = riid;
  const CLSID cls = clsid;
  std::thread([shared, name = std::string(machine), cls, iid]() {
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
  if (!shared->done.wait_for(lock, std::chrono::milliseconds(timeLimitMs),
                             [&] { return shared->finished; })) {
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
