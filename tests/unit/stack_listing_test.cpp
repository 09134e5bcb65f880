#include "diagnostics/stack_listing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <string>

namespace {

[[gnu::noinline]] void ThrowFromModuleSession() { throw std::runtime_error("boom"); }

[[gnu::noinline]] std::string ListFromDeviceManager() {
  std::string s = murvik::CurrentStackListing();
  asm volatile("" ::: "memory");  // keeps the call from becoming a tail call
  return s;
}

void ExpectListingOf(const std::string& listing, const char* function) {
  ASSERT_FALSE(listing.empty());
  for (std::size_t i = listing.find('\n'); i != std::string::npos; i = listing.find('\n', i + 1)) {
    ASSERT_GT(i, 0u);
    EXPECT_EQ(listing[i - 1], '\r') << "lines are separated by CR LF";
  }
  if (murvik::StackListingNamesFunctions()) {
    EXPECT_NE(listing.find(function), std::string::npos) << listing;
  }
}

TEST(StackListing, LastExceptionNamesTheThrowingFunction) {
  murvik::StartExceptionStackTracking();
  try {
    ThrowFromModuleSession();
  } catch (const std::exception&) {
  }
  ExpectListingOf(murvik::LastExceptionStackListing(), "ThrowFromModuleSession");
}

[[gnu::noinline]] void CrashInsideTheSession() {
  std::raise(SIGABRT);
  asm volatile("" ::: "memory");
}

TEST(StackListingDeathTest, FatalSignalPrintsTheStackAndStillDies) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* expected = murvik::StackListingNamesFunctions() ? "Fatal signal 6[^\n]*\n(.|\n)*CrashInsideTheSession"
                                                             : "Fatal signal 6";
  EXPECT_DEATH(
      {
        murvik::InstallFatalSignalHandlers();
        CrashInsideTheSession();
      },
      expected);
}

TEST(StackListing, CurrentStackNamesTheCaller) { ExpectListingOf(ListFromDeviceManager(), "ListFromDeviceManager"); }

}  // namespace
