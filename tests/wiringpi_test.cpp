// The wiringPi back-end's call sequence, against a recording stand-in.
#include "core/corvexd.h"
#include "device/device.h"
#include "fake_wiringpi.h"
#include "support/support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace corvexd::test {
namespace {

using Calls = std::vector<std::string>;

TEST(WiringPiPulse, SetUpThenLowTwentyThenHighSevenFifty) {
  const struct {
    int setupResult;
    bool opened;
    Calls calls;
    const char* out;
    const char* err;
  } cases[] = {
      {0,
       true,
       {"wiringPiSetup", "pinMode(7,OUTPUT)", "digitalWrite(7,LOW)", "delay(20)",
        "digitalWrite(7,HIGH)", "delay(750)"},
       "opened the Wiring Pi library\n",
       ""},
      {-1, false, {"wiringPiSetup"}, "", "corvexd: error when initialising wiringPi\n"},
  };
  for (const auto& c : cases) {
    fake_wiringpi::calls.clear();
    fake_wiringpi::setupResult = c.setupResult;
    debug = 1;
    CapturedFd out(STDOUT_FILENO);
    CapturedFd err(STDERR_FILENO);
    EXPECT_EQ(openWiringPi(), c.opened);
    debug = 0;
    EXPECT_EQ(fake_wiringpi::calls, c.calls);
    EXPECT_EQ(out.text(), c.out);
    EXPECT_EQ(err.text(), c.err);
  }
}

} // namespace
} // namespace corvexd::test
