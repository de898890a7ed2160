// The runtime-library services: the one console stream and the process exit.
#pragma once

#include <cstdio>

extern "C" {
std::FILE* RtConsoleStream();          // the one stream every message goes to
[[noreturn]] void RtExit(int status);  // ends the process; registered exit handlers run
}
