// Permissions bind an ordinary user and not root. Run as root, a test about
// them runs itself again as nobody, in a new process of the same test binary,
// so that the run as root covers it too instead of skipping it.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace testsupport {

inline constexpr uid_t kNobody = 65534;
inline constexpr int kCannotBecomeNobody = 125;
inline constexpr int kCannotRunAsNobody = 126;

enum class AsNobody {
    NotRoot,  // this process is an ordinary user already: the test goes on here
    Ran,      // the test ran as nobody, and its result is this test's
    Unable,   // this machine would not let the test run as nobody; the reason is in `why`
};

// Runs the current test as nobody when this process is root.
inline AsNobody RunAsNobody(std::string& why) {
    if (geteuid() != 0) {
        return AsNobody::NotRoot;
    }
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    int output[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0) {
        why = "cannot make a pipe for the run as nobody";
        return AsNobody::Unable;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(output[1], STDOUT_FILENO) < 0 || dup2(output[1], STDERR_FILENO) < 0 ||
            setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0) {
            _exit(kCannotBecomeNobody);
        }
        execl("/proc/self/exe", "as-nobody", filter.c_str(), "--gtest_brief=1", static_cast<char*>(nullptr));
        _exit(kCannotRunAsNobody);
    }
    close(output[1]);
    std::string text;
    char chunk[512];
    for (ssize_t got; (got = read(output[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(output[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        why = "cannot start the run as nobody";
        return AsNobody::Unable;
    }
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (exitStatus == kCannotBecomeNobody || exitStatus == kCannotRunAsNobody) {
        why = exitStatus == kCannotBecomeNobody ? "cannot take nobody's identity here"
                                                : "nobody cannot run this test binary where it lies";
        return AsNobody::Unable;
    }
    EXPECT_EQ(exitStatus, 0) << "as nobody:\n" << text;
    return AsNobody::Ran;
}

}  // namespace testsupport

// At the head of a test about permissions: as root, runs the test as nobody
// and ends it here with that run's result.
#define RUN_AS_NOBODY_WHEN_ROOT()                                               \
    do {                                                                        \
        std::string whyNot;                                                     \
        switch (testsupport::RunAsNobody(whyNot)) {                             \
            case testsupport::AsNobody::NotRoot:                                \
                break;                                                          \
            case testsupport::AsNobody::Ran:                                    \
                return;                                                         \
            case testsupport::AsNobody::Unable:                                 \
                GTEST_SKIP() << "permissions do not bind root, and " << whyNot; \
        }                                                                       \
    } while (false)
