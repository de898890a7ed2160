// The service with the guide's example worker in a slot, on the hosted
// kernel, for end-to-end tests:
//
//   worker_service ends|never-ends
//
// The worker is started where the guide has a service start its workers: on
// the main thread, once start-up has printed its last line, before the first
// wait. app/ stays as it is shipped: the link routes the service's wait through
// the function below (-Wl,--wrap=RtNotifyEvent), which starts the worker first.
// Its job first gives its thread a priority below the service's, as a worker
// on the hosted kernel does, then tells the test which thread it is, in the
// file $WORKER_NOTE ("<host thread id> <handle>"), then either returns at every pass ("ends") or
// never returns ("never-ends"), so that its slot stays full through the
// shutdown's whole wait.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/lifecycle.h"
#include "rtkernel/hosted/thread_priority.h"
#include "rtkernel/kernel.h"
#include "tests/app/worker_example.h"

namespace {

constexpr int kSlot = 2;
constexpr std::uint32_t kPassPauseMs = 100;
// Below the service's limit of 150: the host's SCHED_FIFO 23 where the
// process runs in real time.
constexpr std::uint8_t kWorkerPriority = 200;

const char* notePath = nullptr;
bool neverEnds = false;

void NoteWhoRuns() {
    if (std::FILE* note = std::fopen(notePath, "wxe")) {
        std::fprintf(note, "%d 0x%x\n", static_cast<int>(gettid()),
                     static_cast<unsigned>(GetRtThreadHandles(kSelectCallingThread)));
        std::fclose(note);
    }
}

bool Job() {
    static bool started = false;  // the worker's thread alone runs its job
    if (!started) {
        (void)hosted::SetCallingThreadPriority(kWorkerPriority);
        if (notePath != nullptr) {
            NoteWhoRuns();
        }
        started = true;
    }
    if (neverEnds) {
        std::atomic<bool> never{false};
        never.wait(false);
    }
    return true;
}

}  // namespace

extern "C" bool __real_RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs, std::uint8_t* notification);

extern "C" bool __wrap_RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs, std::uint8_t* notification) {
    static bool workerStarted = false;  // the service waits on its main thread alone
    if (!workerStarted) {
        workerStarted = true;
        StartWorker(kSlot, Job, kPassPauseMs);
    }
    return __real_RtNotifyEvent(mask, waitMs, notification);
}

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "ends") != 0 && std::strcmp(argv[1], "never-ends") != 0)) {
        std::fprintf(stderr, "usage: %s ends|never-ends\n", argv[0]);
        return 2;
    }
    neverEnds = std::strcmp(argv[1], "never-ends") == 0;
    notePath = std::getenv("WORKER_NOTE");
    return InitializeApplication();
}
