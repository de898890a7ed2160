// The guide's example worker in the service, on the hosted kernel: a worker
// that ends when asked costs the shutdown nothing and leaves nothing on
// stderr; one that never ends costs it the whole wait, and stderr says which
// it was. The console is the service's own either way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/realtime.h"
#include "tests/support/temp_dir.h"

namespace {

using e2e::OwnLines;
using e2e::ServiceProcess;

// What the worker's job wrote: "<host thread id> <handle>", once it runs.
std::string ReadNote(const std::string& path) {
    for (int tries = 0; tries < 1000; ++tries) {
        std::stringstream note;
        note << std::ifstream(path).rdbuf();
        if (note.str().ends_with("\n")) {
            return note.str().substr(0, note.str().size() - 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

TEST(Worker, TheShutdownWaitsForTheExampleWorkerAndNamesOneThatNeverEnds) {
    struct Case {
        const char* mode;
        const char* stderrBeforeThread;  // with the worker's host thread id and handle after it
    };
    const Case cases[] = {
        {"ends", nullptr},
        {"never-ends",
         "worker_service: shutdown: worker slots still full when the wait for workers ran out: "},
    };
    for (const Case& c : cases) {
        testsupport::TempDir runtime;
        int diagnostics[2] = {-1, -1};
        ASSERT_EQ(pipe2(diagnostics, O_CLOEXEC), 0);
        ServiceProcess::Options options = e2e::InRuntimeDirectory(runtime.Path());
        options.program = WORKER_SERVICE_BINARY;
        options.arguments = {c.mode};
        options.environment["WORKER_NOTE"] = runtime / "worker";
        options.diagnostics = diagnostics[1];
        ServiceProcess service(options);
        close(diagnostics[1]);

        ASSERT_TRUE(service.WaitForLine(console::kInitialized)) << c.mode << ": " << service.Console();
        const std::string note = ReadNote(runtime / "worker");
        ASSERT_FALSE(note.empty()) << c.mode << ": the worker never ran its job";
        service.Signal(SIGTERM);
        EXPECT_EQ(service.WaitForExit(), 0) << c.mode;
        EXPECT_EQ(service.Console(), console::WholeLife()) << c.mode;

        std::string thread;
        std::string handle;
        std::istringstream(note) >> thread >> handle;
        const std::string registered =
            "worker_service: root directory " + runtime.Path() + "/rtroot: registered Zorvandelith\n";
        const std::string leftRunning =
            c.stderrBeforeThread == nullptr
                ? ""
                : c.stderrBeforeThread + handle + " (host thread " + thread + ", left running)\n";
        EXPECT_EQ(OwnLines(diagnostics[0], "worker_service"),
                  testsupport::RealTimeRefused("worker_service") + registered + leftRunning)
            << c.mode;
        close(diagnostics[0]);
    }
}

}  // namespace
