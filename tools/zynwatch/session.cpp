#include "tools/zynwatch/session.h"

#include <unistd.h>

#include <cstdio>

#include "platform/remote/activation.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"
#include "tools/zynwatch/error_text.h"

namespace {

// How long a machine may take to answer (for this machine: to start its server).
constexpr DWORD kConnectTimeLimitMs = 20000;

bool IsLocal(const std::string& machine) {
  return machine.empty() || machine == zyn::remote::kMyComputer;
}

}  // namespace

int Fail(HRESULT hr) {
  return Fail(ErrorText(hr));
}

int Fail(const std::string& text) {
  // A text of several lines keeps the prefix on each, so every line says where it came from.
  std::string out = "zynwatch: ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "zynwatch: ";
  }
  std::fprintf(stderr, "%s\n", out.c_str());
  return 1;
}

Session::Session(std::string machine, const FirstContactPrompt* prompt)
    : machine_(std::move(machine)), prompt_(prompt) {}

Session::~Session() {
  Close();
}

std::string Session::PathMachineName() const {
  if (IsLocal(machine_)) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
  }
  std::string host;
  unsigned port = 0;
  if (!zyn::remote::SplitHostPort(machine_, &host, &port)) return machine_;
  return host;
}

HRESULT Session::ReportActivation(HRESULT hr) {
  std::string text = ErrorText(hr);
  std::string reason = zyn::remote::LastActivationError();
  if (!reason.empty()) text += "\n" + reason;
  if (hr == REGDB_E_CLASSNOTREG && IsLocal(machine_))
    text +=
        "\nregister this machine's server with 'zynserver /RegServer', or keep the zynserver "
        "program beside zynwatch";
  if (prompt_ && !prompt_->hint().empty()) text += "\n" + prompt_->hint();
  Fail(text);
  return hr;
}

Observer* Session::Server() {
  if (connected_) return &observer_;
  dialled_ = true;
  HRESULT hr = observer_.Connect(machine_, kConnectTimeLimitMs);
  if (FAILED(hr)) {
    ReportActivation(hr);
    return nullptr;
  }
  connected_ = true;
  return &observer_;
}

com::ComPtr<IZYNMessenger> Session::Messenger() {
  Observer* observer = Server();
  if (!observer) return nullptr;
  com::ComPtr<IZYNMessenger> messenger;
  HRESULT hr =
      observer->server()->QueryInterface(IID_IZYNMessenger, messenger.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) {
    Fail(ErrorText(hr) + "\nthe server of machine \"" + machine_ +
         "\" offers no remote administration");
    return nullptr;
  }
  return messenger;
}

com::ComPtr<IOPCServerList> Session::ServerList() {
  com::ComPtr<IOPCServerList> list;
  dialled_ = true;
  HRESULT hr = zyn::remote::ActivateWithTimeLimit(machine_, CLSID_OPCServerList, IID_IOPCServerList,
                                                  kConnectTimeLimitMs, CO_E_SERVER_START_TIMEOUT,
                                                  list.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) {
    ReportActivation(hr);
    return nullptr;
  }
  return list;
}

void Session::Close() {
  observer_.Close();
  connected_ = false;
  if (dialled_) zyn::remote::CloseAllConnections();
  dialled_ = false;
}
