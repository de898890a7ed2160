// The reference a user would write instead of the service: a single-instance
// daemon on pidfile(3) from libbsd, linked as the service is, that prints the
// same four lines, holds its name as a locked pid file in the runtime
// directory, waits for SIGTERM with it blocked, and removes the file at its
// orderly end. A second instance finds the file locked and ends.
#include <bsd/libutil.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/reference_start.h"
#include "tests/support/console_lines.h"

int main() {
    const sigset_t termination = StartLikeTheService();
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = std::string(runtime != nullptr ? runtime : "/tmp") + "/pidfile-reference.pid";
    pid_t holder = 0;
    struct pidfh* name = pidfile_open(path.c_str(), 0600, &holder);
    if (name == nullptr) {
        (void)std::fprintf(stderr, "pidfile_reference: %s: %s (held by %d)\n", path.c_str(),
                           std::strerror(errno), static_cast<int>(holder));
        return 0;
    }
    if (pidfile_write(name) != 0) {
        (void)std::fprintf(stderr, "pidfile_reference: %s: %s\n", path.c_str(), std::strerror(errno));
    }
    (void)std::printf("%s\n", console::kInitialized);
    int received = 0;
    sigwait(&termination, &received);
    (void)std::printf("%s\n", console::kCleaningUp);
    (void)pidfile_remove(name);
    (void)std::printf("%s\n", console::kCleanedUp);
    return 0;
}
