// One run of zynwatch against one machine: the connection to its server object, made when a
// command first needs it, and how failures are told.
#pragma once

#include <string>

#include "interfaces/messenger.h"
#include "interfaces/opc_common.h"
#include "platform/com/hresult.h"
#include "platform/com/unknown.h"
#include "tools/zynwatch/observer.h"
#include "tools/zynwatch/trust.h"

class Session {
 public:
  // machine: "My Computer" or a host, "host:port". prompt: answers first contacts (may be
  // null: pin silently).
  Session(std::string machine, const FirstContactPrompt* prompt);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& machine() const { return machine_; }
  // The machine's name in full counter paths: this host's name for "My Computer", else the
  // host without its port.
  std::string PathMachineName() const;

  // The server object, connected on first use; null after a failure, which was reported.
  Observer* Server();
  // The server object's messenger; null after a failure, which was reported.
  com::ComPtr<IZYNMessenger> Messenger();
  // The machine's server browser; null after a failure, which was reported.
  com::ComPtr<IOPCServerList> ServerList();

  // Drops the connection cleanly (the server objects are released before the program ends).
  void Close();

 private:
  // Reports a failed activation with its reason and any first-contact hint; returns hr.
  HRESULT ReportActivation(HRESULT hr);

  std::string machine_;
  const FirstContactPrompt* prompt_;
  Observer observer_;
  bool connected_ = false;
  bool dialled_ = false;  // an activation was tried, so the transport has connections to close
};

// Reports a failed call on standard error as "zynwatch: " and its text; returns 1, the exit
// status of a failure.
int Fail(HRESULT hr);
// Reports a failure described by `text`; returns 1.
int Fail(const std::string& text);
