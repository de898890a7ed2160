// The runtime library: the console stream and the process exit.
//
// The console is standard output, with two promises a service needs: nothing
// the process prints can land in a file it opened itself, and a reader that
// stops reading cannot hold the process, and the name it holds, hostage.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "rtkernel/hosted/deleted_threads.h"
#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/service_manager.h"
#include "rtkernel/runtime.h"

namespace {

// A reader gets this long to take each line. Terminals and the journal never
// come near it; a pipe whose reader stopped does, and its lines are dropped
// rather than waited for, so start-up and the shutdown always go on.
constexpr auto kConsoleReaderPatience = std::chrono::seconds(2);

std::atomic<bool> consoleStalled{false};
hosted::StreamWrites consoleWrites = hosted::StreamWrites::AskFirst;  // set once, before the first write

// Once a line was dropped, the following ones are written only where there is
// room at once, so a stalled reader costs the patience once, not per line.
ssize_t WriteConsole(void* /*cookie*/, const char* data, std::size_t size) {
    hosted::NoteConsoleText(data, size);
    const auto patience = consoleStalled.load() ? std::chrono::milliseconds(0) : kConsoleReaderPatience;
    const int error = hosted::WriteWithin(STDOUT_FILENO, consoleWrites, data, size, patience);
    if (error == 0) {
        consoleStalled.store(false);
    } else if (!consoleStalled.exchange(true)) {
        // The operator is told what the write got: a reader that stalls is not
        // a full disk, and each has its own fix.
        hosted::DiagnoseHostFailure("console",
                                    error == EAGAIN ? "standard output takes nothing, lines are dropped"
                                                    : "cannot write standard output, lines are dropped",
                                    error);
    }
    // Reported as written either way: a dropped line must not put the stream
    // into an error state that would swallow the lines after it.
    return static_cast<ssize_t>(size);
}

std::FILE* OpenConsole() {
    consoleWrites = hosted::PrepareBoundedWrites(STDOUT_FILENO);
    const cookie_io_functions_t functions = {nullptr, WriteConsole, nullptr, nullptr};
    std::FILE* console = fopencookie(nullptr, "w", functions);
    if (console == nullptr) {
        hosted::DiagnoseHostFailure("console", "cannot set up bounded writes, using standard output as it is",
                                    errno);
        return stdout;
    }
    // Line-buffered, so that every message reaches a pipe or the journal as
    // soon as its line is complete, while a report's two parts go out together.
    if (std::setvbuf(console, nullptr, _IOLBF, BUFSIZ) != 0) {
        hosted::DiagnoseHostFailure("console", "cannot line-buffer", errno);
    }
    return console;
}

bool DescriptorClosed(int fd) {
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

// A launcher may start the process with standard descriptors closed. Left
// free, the next files opened (the root directory, a name's entry) would take
// those numbers and every console line and diagnostic would be written into
// them. Each closed one is pointed at /dev/null, or at a pipe with no reader
// where /dev/null is missing, before anything else is opened.
__attribute__((constructor)) void ReserveStandardDescriptors() {
    // Lower numbers are filled first, so each open takes the one being filled.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (!DescriptorClosed(fd) || open("/dev/null", O_RDWR) >= 0) {
            continue;
        }
        int ends[2];
        if (pipe(ends) == 0 && ends[1] > STDERR_FILENO) {
            close(ends[1]);
        }
    }
}

}  // namespace

extern "C" {

std::FILE* RtConsoleStream() {
    static std::FILE* const console = OpenConsole();
    return console;
}

void RtExit(int status) {
    (void)std::fflush(nullptr);
    // Only now are all the shutdown's deletions known, so one line names them all.
    hosted::SayDeletedThreads();
    // After the console's last lines, so that the reason follows what it explains.
    hosted::TellServiceManagerOfEarlyEnd();
    std::exit(status);  // NOLINT(concurrency-mt-unsafe): ending the process is this call's purpose
}

}  // extern "C"
