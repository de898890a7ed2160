// The floor the service is measured against: a bare process that prints the
// same two lines, blocks SIGTERM and waits for it, and nothing else.
#include <signal.h>

#include <cstdio>

#include "tests/support/console_lines.h"

int main() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    (void)std::printf("%s\n", console::kStarted);
    (void)std::printf("%s\n", console::kInitialized);
    int received = 0;
    sigwait(&termination, &received);
    return 0;
}
