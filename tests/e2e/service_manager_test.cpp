#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/temp_dir.h"

namespace {

using console::kCleanedUp;
using console::kCleaningUp;
using console::kInitialized;
using console::kStarted;
using console::Lines;
using console::WholeLife;
using e2e::ServiceProcess;

// Plays the service manager's end of the notification socket.
class ManagerSocket {
public:
    // name starting with '@' binds in the abstract namespace.
    explicit ManagerSocket(const std::string& name) : name_(name) {
        socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') {
            address.sun_path[0] = '\0';
        }
        bound_ = bind(socket_, reinterpret_cast<const sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    }
    ManagerSocket(const ManagerSocket&) = delete;
    ManagerSocket& operator=(const ManagerSocket&) = delete;
    ~ManagerSocket() { close(socket_); }

    bool Bound() const { return bound_; }
    // Leaves the socket's queue with no room, as a manager that stopped reading would.
    void Fill() const {
        const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        socklen_t length = sizeof address;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        if (connect(sender, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            while (send(sender, "X=1", 3, 0) > 0) {
            }
        }
        close(sender);
    }
    // The next datagram, or "" if none arrives in time.
    std::string Receive(int withinMs) const {
        pollfd ready = {socket_, POLLIN, 0};
        if (poll(&ready, 1, withinMs) <= 0) {
            return "";
        }
        char message[256];
        const ssize_t got = recv(socket_, message, sizeof message, 0);
        return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
    }

private:
    std::string name_;
    int socket_ = -1;
    bool bound_ = false;
};

class ServiceManager : public testing::Test {
protected:
    ServiceProcess::Options WithSocket(const std::string& socketName) const {
        return e2e::InRuntimeDirectory(runtime_.Path(), socketName);
    }
    testsupport::TempDir runtime_;
};

TEST_F(ServiceManager, HearsReadyAfterTheReadyLineAndStoppingAfterTermination) {
    const std::string names[] = {runtime_ / "notify", "@zorvandelith-test-" + std::to_string(getpid())};
    for (const std::string& name : names) {
        ManagerSocket manager(name);
        ASSERT_TRUE(manager.Bound()) << name;
        ServiceProcess service(WithSocket(name));

        EXPECT_EQ(manager.Receive(10000), "READY=1") << name;
        // The line went out before readiness, so it is already in the pipe.
        EXPECT_TRUE(service.WaitForLine(kInitialized, std::chrono::milliseconds(0))) << name;
        EXPECT_EQ(manager.Receive(100), "") << name;

        service.Signal(SIGTERM);
        EXPECT_EQ(manager.Receive(10000), "STOPPING=1") << name;
        EXPECT_EQ(service.WaitForExit(), 0) << name;
        EXPECT_EQ(manager.Receive(0), "") << name;
    }
}

// A start that fails before the service is ready tells the manager why, in the
// console's own words on one line, and never claims readiness; the console and
// the exit status stay as they are.
TEST_F(ServiceManager, AStartThatFailsBeforeReadyGivesItsReasonAsTheStatus) {
    struct Case {
        const char* what;
        // Readies the runtime directory; what it returns lives until the start has failed.
        std::function<std::shared_ptr<void>(const std::string& runtime)> arrange;
        const char* message;
        const char* error;
    };
    const Case cases[] = {
        {"another instance holds the name",
         [](const std::string& runtime) -> std::shared_ptr<void> {
             auto holder = std::make_shared<ServiceProcess>(e2e::InRuntimeDirectory(runtime));
             return holder->WaitForLine(kInitialized) ? holder : nullptr;
         },
         "Cannot catalog process name", "Error nr=5 Name is already catalogued"},
        {"the root directory is writable by others",
         [](const std::string& runtime) -> std::shared_ptr<void> {
             const std::string root = runtime + "/rtroot";
             return mkdir(root.c_str(), 0700) == 0 && chmod(root.c_str(), 0777) == 0 ? std::make_shared<int>()
                                                                                     : nullptr;
         },
         "Cannot catalog process name", "Error nr=13 Root directory is writable by group or others"},
    };
    for (const Case& test : cases) {
        testsupport::TempDir runtime;
        const std::shared_ptr<void> arranged = test.arrange(runtime.Path());
        ASSERT_NE(arranged, nullptr) << test.what;
        ManagerSocket manager(runtime / "notify");
        ASSERT_TRUE(manager.Bound()) << test.what;
        ServiceProcess service(e2e::InRuntimeDirectory(runtime.Path(), runtime / "notify"));

        EXPECT_EQ(service.WaitForExit(), 0) << test.what;
        EXPECT_EQ(service.Console(), Lines({kStarted, test.message, test.error, kCleaningUp, kCleanedUp}))
            << test.what;
        EXPECT_EQ(manager.Receive(0), std::string("STATUS=") + test.message + ": " + test.error) << test.what;
        EXPECT_EQ(manager.Receive(0), "") << test.what;
    }
}

TEST_F(ServiceManager, UnreachableSocketLeavesTheServiceUnharmed) {
    for (const std::string& name : {runtime_ / "nobody-listens", std::string("@no-such-zorvandelith-socket"),
                                    std::string("relative/socket")}) {
        ServiceProcess service(WithSocket(name));
        ASSERT_TRUE(service.WaitForLine(kInitialized)) << name;
        service.Signal(SIGTERM);
        EXPECT_EQ(service.WaitForExit(), 0) << name;
        EXPECT_EQ(service.Console(), WholeLife()) << name;
    }
}

TEST_F(ServiceManager, AManagerThatStopsReadingCannotHoldStartOrShutdown) {
    ManagerSocket manager(runtime_ / "stuck");
    ASSERT_TRUE(manager.Bound());
    manager.Fill();
    ServiceProcess service(WithSocket(runtime_ / "stuck"));
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    // READY=1 was dropped or is still being offered; either way the wait must be reached.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(std::chrono::seconds(5)), 0);
    EXPECT_EQ(service.Console(), WholeLife());
}

}  // namespace
