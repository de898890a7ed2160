// The floor the service is measured against: a bare process, linked as the
// service is, that prints the same four lines, blocking SIGTERM and waiting
// for it between the second and the third, and nothing else.
#include <signal.h>

#include <cstdio>

#include "bench/reference_start.h"
#include "tests/support/console_lines.h"

int main() {
    const sigset_t termination = StartLikeTheService();
    (void)std::printf("%s\n", console::kInitialized);
    int received = 0;
    sigwait(&termination, &received);
    (void)std::printf("%s\n", console::kCleaningUp);
    (void)std::printf("%s\n", console::kCleanedUp);
    return 0;
}
