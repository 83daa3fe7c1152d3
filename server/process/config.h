// The server program's configuration file: where it listens, where its key and certificate
// live, and which remote-administration functions clients may use.
//
//   # comment
//   [server]
//   listen = *:24837, 192.168.1.5:24837   (commas or spaces; empty: the Unix socket only)
//   port = 24837                          (for listen addresses without a port)
//   credentials = /etc/zynwatch/endpoint
//   [permissions]
//   message = yes      tip, screenshot, lock, execute likewise (yes/no, true/false, on/off, 1/0)
//
// Keys before any section belong to [server]. An unknown section or key is reported and
// ignored; a malformed value or line is an error naming the file and line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/messenger_environment.h"

namespace zyn::server {

struct ServerConfig {
  std::vector<std::string> listen;  // TCP addresses, each with its port
  std::string credentialsDir;       // empty: the default folder
  MessengerPermissions permissions;
};

// Parses a configuration text; `fileName` names it in messages ("file:line: ..."). Unknown
// keys go to *warnings. False with *error for a malformed line or value.
bool ParseConfig(std::string_view text, const std::string& fileName, ServerConfig* out,
                 std::vector<std::string>* warnings, std::string* error);

// Reads the file at `path`. A missing file gives the defaults when `mustExist` is false (the
// default file), an error when it is true (a file the user named).
bool LoadConfig(const std::string& path, bool mustExist, ServerConfig* out,
                std::vector<std::string>* warnings, std::string* error);

// /etc/zynwatch/zynserver.conf for root without XDG_CONFIG_HOME,
// $XDG_CONFIG_HOME/zynwatch/zynserver.conf otherwise.
std::string DefaultConfigPath();
// /etc/zynwatch/endpoint for root without XDG_CONFIG_HOME (a system service may have no home),
// the transport's per-user folder otherwise.
std::string DefaultCredentialsDir();

// The file registration writes when there is none: every setting, documented, with TCP on
// the default port.
std::string ConfigTemplate();

}  // namespace zyn::server
