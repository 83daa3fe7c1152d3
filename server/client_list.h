// ClientList: the process-wide list of connected clients, one entry per live server object,
// and the tray tooltip that shows them.
//
// Every change rebuilds the tooltip under the list's lock and then hands the new text to the
// notification function outside the lock, so a tray that takes its time (or calls back into
// the server) never holds up the server objects' threads.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// What the list needs from a server object: a way to tell its clients that it goes away.
class ListedServer {
 public:
  // Sends IOPCShutdown::ShutdownRequest(reason) to the object's connected sinks.
  virtual void SendShutdownRequest(std::string_view reason) = 0;

 protected:
  ~ListedServer() = default;
};

inline constexpr std::string_view kUnknownClientName = "UNKNOWN";
inline constexpr std::string_view kShutdownReason = "Server is shutting down";

class ClientList {
 public:
  // Receives the tooltip text after every change (the tray shows it as the icon's tooltip).
  using Notify = std::function<void(const std::string& tooltip)>;

  ClientList() = default;
  ClientList(const ClientList&) = delete;
  ClientList& operator=(const ClientList&) = delete;

  // The list of this process, which server objects join and leave.
  static ClientList& Process();

  // Replaces the notification function; an empty one stops the notifications.
  void SetNotify(Notify notify);

  // A new server object, listed as "UNKNOWN" until its client names itself.
  void Add(ListedServer* server);
  // The client of a listed server object gave its name; an object that is not listed stays so.
  void Rename(ListedServer* server, std::string name);
  void Remove(ListedServer* server);

  // "ZYN Server Running\r\nConnected Clients:" and "\r\n" + name per client, or
  // "ZYN Server Running\r\nNo Clients Connected".
  std::string Tooltip() const;
  std::vector<std::string> Names() const;
  bool Contains(ListedServer* server) const;

  // The program is ending: every listed server object sends ShutdownRequest(reason).
  //
  // The list stays locked while the objects are called, so none of them can go away in
  // between; a client that drops its server object from inside its ShutdownRequest removes it
  // on this same thread, which the recursive lock admits (the object is then skipped if it had
  // not been called yet).
  void ShutdownAll(std::string_view reason = kShutdownReason);

 private:
  // Rebuilds tooltip_ from clients_; the caller holds mutex_.
  void RebuildTooltipLocked();
  // Hands `text` to the notification function, with mutex_ released.
  void Publish(const std::string& text);

  mutable std::recursive_mutex mutex_;
  std::map<ListedServer*, std::string> clients_;
  std::string tooltip_ = BuildTooltip({});
  Notify notify_;

  static std::string BuildTooltip(const std::map<ListedServer*, std::string>& clients);
};
