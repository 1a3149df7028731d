#include "sd_notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "systemd/notify_fixture.h"

namespace station_center {
namespace {

using station_test::NotifyListener;

TEST(ServiceStatusTextTest, NamesStatusTasksAndBroker) {
  EXPECT_EQ(ServiceStatusText(0, {}, true), "normal; no task; broker connected");
  EXPECT_EQ(ServiceStatusText(2, {17}, false), "reset; tasks: reset-station; broker not connected");
  EXPECT_EQ(ServiceStatusText(4, {}, false), "waiting for reset; no task; broker not connected");
  EXPECT_EQ(ServiceStatusText(3, {}, true), "emergency stop; no task; broker connected");
  // The task table is a hash map: the same tasks must give the same line whatever their order.
  EXPECT_EQ(ServiceStatusText(0, {9, 5, 1}, true), ServiceStatusText(0, {1, 9, 5}, true));
  EXPECT_EQ(ServiceStatusText(0, {9, 5}, true), "normal; tasks: add-water, dry; broker connected");
  // Values from a newer core still show, as numbers.
  EXPECT_EQ(ServiceStatusText(7, {42, 14}, true), "status 7; tasks: add-water-no-limit, 42; broker connected");
  EXPECT_EQ(ServiceStatusText(-1, {-3}, false), "status -1; tasks: -3; broker not connected");
}

class ServiceNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.ok());
    ::setenv("NOTIFY_SOCKET", listener_.path().c_str(), 1);
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
  }
  // Datagrams are delivered on send; this only drains what is already queued.
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& n : listener_.Received()) texts.push_back(n.text);
    return texts;
  }

  NotifyListener listener_;
  ServiceNotifier notifier_;
};

TEST_F(ServiceNotifierTest, ReadyCarriesTheStatusAndRepeatsAreNotSent) {
  notifier_.Ready("reset; tasks: reset-station; broker not connected");
  notifier_.Status("reset; tasks: reset-station; broker not connected");
  notifier_.Status("normal; no task; broker not connected");
  notifier_.Status("normal; no task; broker not connected");
  notifier_.Status("normal; no task; broker connected");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"READY=1\nSTATUS=reset; tasks: reset-station; broker not connected",
                                               "STATUS=normal; no task; broker not connected",
                                               "STATUS=normal; no task; broker connected"}));
}

TEST_F(ServiceNotifierTest, WatchdogPingsOnlyWhenSystemdAskedThisProcess) {
  notifier_.Watchdog();
  EXPECT_TRUE(Texts().empty()) << "no WATCHDOG_USEC: no watchdog configured";

  ::setenv("WATCHDOG_USEC", "90000000", 1);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  notifier_.Watchdog();
  EXPECT_TRUE(Texts().empty()) << "the watchdog belongs to another process";

  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  notifier_.Watchdog();
  ::unsetenv("WATCHDOG_PID");
  notifier_.Watchdog();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"WATCHDOG=1", "WATCHDOG=1"}));
}

TEST_F(ServiceNotifierTest, OutsideSystemdNothingIsSentAndNothingFails) {
  ::unsetenv("NOTIFY_SOCKET");
  ::setenv("WATCHDOG_USEC", "90000000", 1);
  notifier_.Ready("normal; no task; broker connected");
  notifier_.Status("normal; no task; broker not connected");
  notifier_.Watchdog();
  EXPECT_TRUE(Texts().empty());
  // A socket that has gone away (systemd restarted) is not an error for the daemon either.
  ::setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
  notifier_.Status("normal; no task; broker connected");
  notifier_.Watchdog();
  EXPECT_TRUE(Texts().empty());
}

}  // namespace
}  // namespace station_center
