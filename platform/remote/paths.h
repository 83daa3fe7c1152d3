// Where the transport keeps its files. Everything follows the XDG base directories, so a test
// (or a second installation) moves all of it by setting XDG_CONFIG_HOME and XDG_RUNTIME_DIR.
//
//   <config>/zynwatch/endpoint/          the serving side: access.key, cert.pem, key.pem
//   <config>/zynwatch/machines/<name>/   the observing side, per machine: access.key, cert.pem
//   <config>/zynwatch/classes/           per-user class registrations
//   /etc/zynwatch/classes/               system class registrations (ZYNWATCH_SYSTEM_CLASSES
//                                        names another folder)
//   <runtime>/zynwatch/endpoint.sock     the Unix socket of "My Computer"
#pragma once

#include <string>
#include <string_view>

namespace zyn::remote {

// The TCP port an endpoint listens on and a host name without ":port" is dialled at.
inline constexpr unsigned kDefaultPort = 24837;
// The DNS name every endpoint certificate carries; the pin, not the name, identifies a machine.
inline constexpr char kCertificateName[] = "zynwatch-endpoint";
// The name of this machine in the manager.
inline constexpr char kMyComputer[] = "My Computer";

std::string ConfigHome();
std::string EndpointDir();
std::string MachineDir(std::string_view machine);
std::string UserClassDir();
std::string SystemClassDir();
std::string DefaultUnixSocketPath();

// Creates the folder and its parents; the last one gets `mode`. False on failure.
bool MakeDirs(const std::string& path, unsigned mode);
// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::string* text);
// Writes a file atomically (a temporary file renamed over it) with the given mode.
bool WriteFile(const std::string& path, std::string_view text, unsigned mode);

// "host", "host:port" or "[v6]:port" into its parts; false for a malformed name.
bool SplitHostPort(std::string_view machine, std::string* host, unsigned* port);

}  // namespace zyn::remote
