// zynserver: publishes this machine's performance counters as an OPC Data Access 2.0 server.
#include "server/process/program.h"

int main(int argc, char** argv) {
  return zyn::server::RunProgram(argc, argv);
}
