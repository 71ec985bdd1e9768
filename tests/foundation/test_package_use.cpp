// The loaded package between the jobs that read it and the loads that replace it.
#include "foundation/package_use.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <thread>

#include "support/test_env.h"

namespace {

using station::PackageHold;
using station::PackageLoad;
using station::PackageUse;

TEST(PackageUse, ALoadWaitsForTheJobsAndKeepsNewJobsOut) {
  PackageUse use;
  ASSERT_TRUE(use.Hold());
  ASSERT_TRUE(use.Hold());
  EXPECT_FALSE(use.TryBeginLoad()) << "the window's thread never waits for a job";

  std::atomic<bool> loading{false};
  std::jthread loader([&] {
    std::jthread job;
    {
      PackageLoad load(use);
      loading = load.begun();
      // A job that starts now waits until the load is done.
      job = std::jthread([&] {
        PackageHold hold(use);
        EXPECT_TRUE(hold.held());
        EXPECT_FALSE(loading.load()) << "a job never reads a package being replaced";
      });
      EXPECT_FALSE(use.TryBeginLoad());
      loading = false;
    }
  });
  use.Release();
  EXPECT_FALSE(loading.load()) << "one job still holds the package";
  use.Release();
  loader.join();
  EXPECT_EQ(use.holders(), 0);
  EXPECT_TRUE(use.TryBeginLoad());
  use.EndLoad();
}

TEST(PackageUse, StoppedWaitsHoldNothing) {
  PackageUse use;
  ASSERT_TRUE(use.Hold());
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(use.BeginLoad(stop.get_token()));
  use.Release();
  ASSERT_TRUE(use.BeginLoad());
  EXPECT_FALSE(use.Hold(stop.get_token()));
  EXPECT_EQ(use.holders(), 0);
  use.EndLoad();
}

}  // namespace
