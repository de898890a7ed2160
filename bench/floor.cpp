// The floor the service is measured against: a bare process that prints the
// same two lines, blocks SIGTERM and waits for it, and nothing else.
#include <signal.h>

#include <cstdio>

int main() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    (void)std::printf("Zorvandelith started\n");
    (void)std::printf("Zorvandelith finished initialization\n");
    int received = 0;
    sigwait(&termination, &received);
    return 0;
}
