// The server program from start to end: registration, or serving until idle or stopped.
#pragma once

namespace zyn::server {

// The whole program; its result is the exit status.
int RunProgram(int argc, char** argv);

}  // namespace zyn::server
