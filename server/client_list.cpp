#include "server/client_list.h"

#include <utility>

ClientList& ClientList::Process() {
  static ClientList list;
  return list;
}

void ClientList::SetNotify(Notify notify) {
  std::lock_guard lock(mutex_);
  notify_ = std::move(notify);
}

void ClientList::Add(ListedServer* server) {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    clients_.insert_or_assign(server, std::string(kUnknownClientName));
    RebuildTooltipLocked();
    text = tooltip_;
  }
  Publish(text);
}

void ClientList::Rename(ListedServer* server, std::string name) {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(server);
    if (it == clients_.end()) return;
    it->second = std::move(name);
    RebuildTooltipLocked();
    text = tooltip_;
  }
  Publish(text);
}

void ClientList::Remove(ListedServer* server) {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    if (clients_.erase(server) == 0) return;
    RebuildTooltipLocked();
    text = tooltip_;
  }
  Publish(text);
}

std::string ClientList::Tooltip() const {
  std::lock_guard lock(mutex_);
  return tooltip_;
}

std::vector<std::string> ClientList::Names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  names.reserve(clients_.size());
  for (const auto& [server, name] : clients_)
    names.push_back(name);
  return names;
}

bool ClientList::Contains(ListedServer* server) const {
  std::lock_guard lock(mutex_);
  return clients_.contains(server);
}

void ClientList::ShutdownAll(std::string_view reason) {
  std::lock_guard lock(mutex_);
  std::vector<ListedServer*> servers;
  servers.reserve(clients_.size());
  for (const auto& [server, name] : clients_)
    servers.push_back(server);
  for (ListedServer* server : servers) {
    // An earlier call may have ended this object (its client let go of it on the spot).
    if (clients_.contains(server)) server->SendShutdownRequest(reason);
  }
}

void ClientList::RebuildTooltipLocked() {
  tooltip_ = BuildTooltip(clients_);
}

void ClientList::Publish(const std::string& text) {
  Notify notify;
  {
    std::lock_guard lock(mutex_);
    notify = notify_;
  }
  if (notify) notify(text);
}

std::string ClientList::BuildTooltip(const std::map<ListedServer*, std::string>& clients) {
  std::string text = "ZYN Server Running\r\n";
  if (clients.empty()) return text + "No Clients Connected";
  text += "Connected Clients:";
  for (const auto& [server, name] : clients) {
    text += "\r\n";
    text += name;
  }
  return text;
}
