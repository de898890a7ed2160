#include "rtkernel/hosted/notifications.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "rtkernel/kernel.h"

namespace {

using hosted::ErrorCode;
using hosted::PostTermination;
using hosted::WaitForNotification;

constexpr std::uint32_t kServiceMask = 12;

TEST(Notifications, SignalsBecomeNotificationsEvenWhenSentBeforeTheWait) {
    struct Case {
        int signal;
        std::uint32_t type;
    };
    for (const Case& c : {Case{SIGTERM, kTerminationCode}, Case{SIGINT, kTerminationCode}, Case{SIGHUP, 1},
                          Case{SIGUSR1, 2}, Case{SIGUSR2, 3}}) {
        ASSERT_EQ(kill(getpid(), c.signal), 0);
        std::uint32_t type = 0;
        EXPECT_EQ(WaitForNotification(kServiceMask, kWaitForever, type), ErrorCode::None) << c.signal;
        EXPECT_EQ(type, c.type) << c.signal;
    }
}

TEST(Notifications, SignalArrivingDuringTheWaitWakesIt) {
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGTERM);
    });
    std::uint32_t type = 0;
    EXPECT_EQ(WaitForNotification(kServiceMask, 5000, type), ErrorCode::None);
    EXPECT_EQ(type, kTerminationCode);
    sender.join();
}

TEST(Notifications, WaitRunsOutWithATimeOut) {
    std::uint32_t type = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForNotification(kServiceMask, 30, type), ErrorCode::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));
    EXPECT_EQ(WaitForNotification(kServiceMask, 0, type), ErrorCode::TimedOut);
}

TEST(Notifications, UnselectedSignalsWaitForAWaitThatSelectsThem) {
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    std::uint32_t type = 0;
    EXPECT_EQ(WaitForNotification(kNotifyTermination, 0, type), ErrorCode::TimedOut);
    EXPECT_EQ(WaitForNotification(kNotifyOtherEvents, 0, type), ErrorCode::None);
    EXPECT_EQ(type, hosted::kNotifyUser1);
}

TEST(Notifications, MaskSelectingNothingIsABadParameter) {
    std::uint32_t type = 0;
    EXPECT_EQ(WaitForNotification(0, 0, type), ErrorCode::BadParameter);
    EXPECT_EQ(WaitForNotification(0x3, 0, type), ErrorCode::BadParameter);
}

TEST(Notifications, PostedTerminationIsDeliveredOnce) {
    ASSERT_EQ(PostTermination(), ErrorCode::None);
    ASSERT_EQ(PostTermination(), ErrorCode::None);
    std::uint32_t type = 0;
    EXPECT_EQ(WaitForNotification(kNotifyOtherEvents, 0, type), ErrorCode::TimedOut);
    EXPECT_EQ(WaitForNotification(kServiceMask, 0, type), ErrorCode::None);
    EXPECT_EQ(type, kTerminationCode);
    EXPECT_EQ(WaitForNotification(kServiceMask, 0, type), ErrorCode::TimedOut);
}

}  // namespace
