// The runtime library: the console stream and the process exit.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "rtkernel/runtime.h"

extern "C" {

// Line-buffered, so that every message reaches a pipe or the journal as soon
// as its line is complete, while a report's two parts still go out together.
std::FILE* RtConsoleStream() {
    static std::once_flag configured;
    std::call_once(configured, [] {
        if (std::setvbuf(stdout, nullptr, _IOLBF, 0) != 0) {
            (void)std::fputs("rtkernel: console stays fully buffered\n", stderr);
        }
    });
    return stdout;
}

void RtExit(int status) {
    (void)std::fflush(stdout);
    std::exit(status);  // NOLINT(concurrency-mt-unsafe): ending the process is this call's purpose
}

}  // extern "C"
