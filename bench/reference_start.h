// What the reference programs do first, as the service does: block SIGTERM,
// so that it waits for their wait, make the console line-buffered, and say
// they started. The blocked set is what they then wait on.
#pragma once

#include <signal.h>

#include <cstdio>

#include "tests/support/console_lines.h"

inline sigset_t StartLikeTheService() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    (void)std::printf("%s\n", console::kStarted);
    return termination;
}
