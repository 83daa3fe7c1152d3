#include "server/process/program.h"

#include <dlfcn.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/zyn_ids.h"
#include "platform/com/classreg.h"
#include "platform/com/git.h"
#include "platform/desktop/desktop.h"
#include "platform/remote/apartment.h"
#include "platform/remote/endpoint.h"
#include "platform/tray/tray_text.h"
#include "server/catalogue.h"
#include "server/client_list.h"
#include "server/messenger_environment.h"
#include "server/module_lock.h"
#include "server/opc_server.h"
#include "server/process/command_line.h"
#include "server/process/config.h"
#include "server/process/desktop_module.h"
#include "server/process/desktop_session.h"
#include "server/process/listeners.h"
#include "server/process/poll_loop.h"
#include "server/process/registration.h"
#include "server/process/shutdown_monitor.h"
#include "server/process/signals.h"

namespace zyn::server {
namespace {

using namespace std::chrono_literals;

constexpr char kProgram[] = "zynserver";
constexpr char kRunningText[] = "ZYN Server Running";
// How long the end waits for the objects of closed connections to go.
constexpr auto kReleaseTimeLimit = 3s;

void Complain(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// Whether an X display answers. The GUI application aborts the process without one, so this is
// asked before the desktop module is even loaded.
// The X client library is opened only for the question, so that a server without a display
// does not keep it (and what it pulls in) mapped for nothing.
bool DisplayReachable() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  std::unique_ptr<void, int (*)(void*)> xcb(dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL),
                                            [](void* handle) { return dlclose(handle); });
  if (!xcb) return false;
  auto connect = reinterpret_cast<decltype(&xcb_connect)>(dlsym(xcb.get(), "xcb_connect"));
  auto hasError = reinterpret_cast<decltype(&xcb_connection_has_error)>(
      dlsym(xcb.get(), "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<decltype(&xcb_disconnect)>(dlsym(xcb.get(), "xcb_disconnect"));
  if (!connect || !hasError || !disconnect) return false;
  xcb_connection_t* connection = connect(nullptr, nullptr);
  const bool reachable = connection && hasError(connection) == 0;
  if (connection) disconnect(connection);
  return reachable;
}

// Loads the desktop module into *module and makes its session. Null, after one warning, when
// the module cannot be loaded: the program then goes on as on a machine without a display.
std::unique_ptr<DesktopSession> OpenDesktopSession(int& argc, char** argv,
                                                   std::unique_ptr<DesktopModule>* module) {
  std::string error;
  *module = DesktopModule::Load(DesktopModulePaths(), &error);
  std::unique_ptr<DesktopSession> session;
  if (*module) session = (*module)->MakeSession(argc, argv, &error);
  if (!session) Complain("warning: desktop features unavailable: " + error);
  return session;
}

int Register(bool registering, const CommandLine& line, int argc, char** argv) {
  const RegistrationSetup setup = DefaultRegistrationSetup(line.configFile);
  RegistrationReport report;
  std::string error;
  const bool ok = registering ? RegisterServer(setup, &report, &error)
                              : UnregisterServer(setup, &report, &error);
  for (const std::string& warning : report.warnings)
    Complain("warning: " + warning);
  if (ok) {
    std::fputs(report.text.c_str(), stdout);
    return 0;
  }
  const char* message =
      registering ? "Failed to register OPCDA2 Server" : "Failed to unregister OPCDA2 Server";
  Complain(std::string(message) + ": " + error);
  if (DisplayReachable()) {
    std::unique_ptr<DesktopModule> module;
    if (auto session = OpenDesktopSession(argc, argv, &module))
      session->ShowCriticalMessage(zyn::kServerClassName, message);
  }
  return 1;
}

// IClassFactory::LockServer counts as a process lock. Unlocks beyond the locks this factory
// took are ignored, so a confused client cannot end the program under other clients' objects.
void LockServer(std::atomic<long>& held, bool lock) {
  if (lock) {
    held.fetch_add(1);
    ModuleLock::Lock();
    return;
  }
  for (long now = held.load(); now > 0;) {
    if (held.compare_exchange_weak(now, now - 1)) {
      ModuleLock::Unlock();
      return;
    }
  }
}

int Serve(const CommandLine& line, int argc, char** argv) {
  // First, before any thread exists: the stop signals.
  StopSignals stopSignals;
  if (!stopSignals.ok()) {
    Complain("cannot set up the stop signals");
    return 1;
  }

  ServerConfig config;
  std::vector<std::string> warnings;
  std::string error;
  const bool namedConfig = !line.configFile.empty();
  if (!LoadConfig(namedConfig ? line.configFile : DefaultConfigPath(), namedConfig, &config,
                  &warnings, &error)) {
    Complain(error);
    return 1;
  }
  for (const std::string& warning : warnings)
    Complain("warning: " + warning);

  // With a desktop, the GUI toolkit's loop is the main loop; without one (or without the
  // module) a plain one, and nothing of the toolkit is loaded. The module goes last, after
  // everything it made.
  std::unique_ptr<DesktopModule> desktopModule;
  std::unique_ptr<DesktopSession> session;
  if (DisplayReachable()) session = OpenDesktopSession(argc, argv, &desktopModule);
  std::unique_ptr<PollLoop> plainLoop;
  // With a desktop the toolkit takes the C library's locale from the environment; numbers
  // keep the C form the configuration and reports are written in either way. Without one the
  // program stays in the C locale: its only locale-dependent texts are system error
  // descriptions, which then read in English like the rest of its messages.
  std::setlocale(LC_NUMERIC, "C");
  if (!session) {
    plainLoop = std::make_unique<PollLoop>();
    if (!plainLoop->ok()) {
      Complain("cannot make the main loop");
      return 1;
    }
  }
  MainLoop& loop = session ? session->Loop() : *plainLoop;

  // The system's language is the server's locale, read once before any client asks.
  ServerLocale();
  CatalogueQueryScope catalogue;
  if (FAILED(catalogue.result())) {
    Complain("cannot open the performance counter catalogue");
    return 1;
  }
  com::ComPtr<IGlobalInterfaceTable> interfaceTable;
  if (FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IGlobalInterfaceTable,
                              interfaceTable.ReleaseAndGetVoidAddressOf()))) {
    Complain("cannot create the global interface table");
    return 1;
  }

  // The main thread is the server's apartment: its queue runs from the main loop.
  zyn::remote::Apartment apartment;
  zyn::remote::Apartment::Scope apartmentScope(apartment);
  std::atomic<bool> wakePending{false};
  apartment.SetWakeup([&apartment, &wakePending, &loop]() {
    if (wakePending.exchange(true)) return;
    loop.Post([&apartment, &wakePending]() {
      wakePending.store(false);
      apartment.RunPending();
    });
  });

  // The tray: only in a desktop session.
  std::unique_ptr<TrayIcon> tray;
  if (session) {
    tray = session->MakeTrayIcon();
    tray->Add(kRunningText, zyn::tray::kTipStatus);
  }
  TrayIcon* trayPtr = tray.get();
  if (trayPtr) {
    ClientList::Process().SetNotify(
        [trayPtr](const std::string& tooltip) { trayPtr->Modify(tooltip, zyn::tray::kTipStatus); });
  }

  MessengerEnvironment environment;
  std::unique_ptr<zyn::desktop::Desktop> desktop;
  if (session) desktop = session->MakeDesktop();
  if (desktop && desktop->HasDisplay()) environment.desktop = desktop.get();
  if (trayPtr) {
    environment.showTip = [trayPtr](const std::string& text, int type) {
      if (!trayPtr->CanShowMessages()) return false;
      trayPtr->Modify(text, type);
      return true;
    };
  }
  environment.permissions = config.permissions;
  SetMessengerEnvironment(environment);

  auto lockCount = std::make_shared<std::atomic<long>>(0);
  auto factory = com::MakeObject<com::FunctionClassFactory>(
      [](REFIID riid, void** ppv) -> HRESULT {
        com::ComPtr<OpcServer> server = OpcServer::Create();
        if (!server) return E_OUTOFMEMORY;
        return server->QueryInterface(riid, ppv);
      },
      [lockCount](bool lock) { LockServer(*lockCount, lock); });
  if (!factory ||
      FAILED(com::ProcessClassRegistry().RegisterClassObject(CLSID_ZYNServer, factory.Get()))) {
    Complain("cannot register the server class");
    return 1;
  }

  const HandedOverSockets handed = InspectHandedOverSockets();
  zyn::remote::EndpointOptions options;
  options.apartment = &apartment;
  // Sockets systemd holds are served as they are; only what it does not hold is opened here.
  options.listenUnix = handed.unixPaths.empty();
  options.tcpAddresses = line.listen;
  if (handed.tcp.empty())
    options.tcpAddresses.insert(options.tcpAddresses.end(), config.listen.begin(),
                                config.listen.end());
  options.credentialsDir =
      config.credentialsDir.empty() ? DefaultCredentialsDir() : config.credentialsDir;
  bool anotherServes = false;
  std::unique_ptr<zyn::remote::Endpoint> endpoint =
      zyn::remote::Endpoint::Start(options, &error, &anotherServes);
  auto revokeClass = [] { com::ProcessClassRegistry().RevokeClassObject(CLSID_ZYNServer); };
  if (!endpoint) {
    revokeClass();
    apartment.SetWakeup({});
    ClientList::Process().SetNotify({});
    SetMessengerEnvironment({});
    // Two programs started at once for one user: the other one serves, this one is not needed.
    if (anotherServes) return 0;
    Complain(error);
    return 1;
  }
  for (const std::string& text :
       ListeningLines(handed, endpoint->UnixPath(), options.tcpAddresses, endpoint->TcpPorts()))
    std::printf("%s\n", text.c_str());
  std::fflush(stdout);

  // Started by hand with --listen the server stays until stopped; otherwise it ends when idle.
  std::unique_ptr<ShutdownMonitor> monitor;
  if (line.listen.empty()) {
    ShutdownMonitor::Options watch;
    watch.count = [] { return ModuleLock::Count(); };
    watch.onIdle = [&loop]() {
      // Objects are made on the main thread, so there the count cannot change under the check.
      loop.Post([&loop]() {
        if (ModuleLock::Count() == 0) loop.Quit();
      });
    };
    monitor = std::make_unique<ShutdownMonitor>(std::move(watch));
    ShutdownMonitor* m = monitor.get();
    ModuleLock::SetOnZero([m]() { m->Signal(); });
  }

  loop.WatchReadable(stopSignals.fd(), [&stopSignals, &loop]() {
    if (stopSignals.Take() == 0) return;
    // The proxies' calls return once each client has the request, so every sink has it before
    // the connections close below.
    ClientList::Process().ShutdownAll();
    loop.Quit();
  });

  loop.Run();

  // The end.
  loop.Unwatch(stopSignals.fd());
  ModuleLock::SetOnZero({});
  monitor.reset();
  ClientList::Process().ShutdownAll();  // those that have not told their clients yet
  revokeClass();
  endpoint.reset();  // every connection closes; what clients held is released on the apartment
  const auto deadline = std::chrono::steady_clock::now() + kReleaseTimeLimit;
  while (ModuleLock::Count() > 0 && std::chrono::steady_clock::now() < deadline) {
    apartment.RunPending();
    loop.RunPendingFor(10ms);
    std::this_thread::sleep_for(5ms);
  }
  apartment.RunPending();
  apartment.SetWakeup({});
  SetMessengerEnvironment({});
  ClientList::Process().SetNotify({});
  if (tray) tray->Delete();
  tray.reset();
  desktop.reset();
  interfaceTable.Reset();
  return 0;
}

}  // namespace

int RunProgram(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, &line, &error)) {
    Complain(error + " (see --help)");
    return 1;
  }
  switch (line.action) {
    case Action::kHelp:
      std::fputs(HelpText(kProgram).c_str(), stdout);
      return 0;
    case Action::kRegister:
      return Register(true, line, argc, argv);
    case Action::kUnregister:
      return Register(false, line, argc, argv);
    case Action::kServe:
      break;
  }
  return Serve(line, argc, argv);
}

}  // namespace zyn::server
