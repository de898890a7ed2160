// What the kernel counts for a running process, read from /proc.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace testsupport {

// Voluntary and involuntary context switches of every thread so far: a process
// that waits without waking keeps this number still.
inline long ContextSwitches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr) {
        return -1;
    }
    while (const dirent* task = readdir(directory)) {
        std::ifstream status(tasks + "/" + task->d_name + "/status");
        std::string key;
        long value = 0;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                total += value;
            }
        }
    }
    closedir(directory);
    return total;
}

// A figure of /proc/PID/status in KiB, such as "VmLck:" (memory locked); -1
// when it cannot be read.
inline long StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            long value = 0;
            status >> value;
            return value;
        }
    }
    return -1;
}

// The most memory the program now running in the process has had resident, in
// KiB. Unlike the rusage of a reaped child, it leaves out the pages the child
// shared with its parent between fork and exec.
inline long PeakResidentKiB(pid_t pid) {
    return StatusKiB(pid, "VmHWM:");
}

}  // namespace testsupport
