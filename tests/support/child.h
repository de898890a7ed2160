// Runs a piece of a test in a child process, for what must cross processes:
// names held by another process, owners that die, racers.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testsupport {

// The child runs body and leaves with its result, skipping the parent's exit handlers.
inline pid_t ForkChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    return child;
}

// The child's exit status, or -signal when a signal ended it.
inline int WaitChild(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return -1000;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// A one-way gate: children block in Wait() until the parent calls Open().
class Gate {
public:
    Gate() {
        if (pipe(ends_) != 0) {
            ends_[0] = ends_[1] = -1;
        }
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    ~Gate() {
        Open();
        CloseReadEnd();
    }
    // In a child: blocks until the parent opens the gate (or dies).
    void Wait() {
        Open();
        char byte = 0;
        while (read(ends_[0], &byte, 1) < 0) {
        }
    }
    void Open() {
        if (ends_[1] >= 0) {
            close(ends_[1]);
            ends_[1] = -1;
        }
    }

private:
    void CloseReadEnd() {
        if (ends_[0] >= 0) {
            close(ends_[0]);
            ends_[0] = -1;
        }
    }
    int ends_[2];
};

}  // namespace testsupport
