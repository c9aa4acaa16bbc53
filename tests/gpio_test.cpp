// Each GPIO back-end's own source against a recording stand-in of its
// library: the pulse's call sequence and a failure at each step. Built once
// per back-end; CORVEXD_TEST_GPIO names which.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "core/corvexd.h"
#include "device/device.h"
#include "fakes/recorder.h"
#include "support/support.h"

namespace fake {
int liveObjects();
} // namespace fake

namespace corvexd::test {
namespace {

using Names = std::vector<std::string>;

struct Failure {
  const char* call;
  int error;
  Names calls;
  const char* message;
};

#define WIRINGPI 1
#define GPIOD1 2
#define GPIOD2 3

#if CORVEXD_TEST_GPIO == WIRINGPI
const Names kPulse{"wiringPiSetup", "pinMode(7,OUTPUT)",    "digitalWrite(7,LOW)",
                   "delay(20)",     "digitalWrite(7,HIGH)", "delay(750)"};
const char* const kOpened = "opened the Wiring Pi library\n";
const Failure kFailures[] = {
    {"wiringPiSetup", 0, {"wiringPiSetup"}, "corvexd: error when initialising wiringPi\n"}};
#else
const Names kSearch{
    "chip_open(gpiochip0)",
    CORVEXD_TEST_GPIO == GPIOD1 ? "find_line(gpiochip0,GPIO4)" : "offset(gpiochip0,GPIO4)",
    "chip_close(gpiochip0)", "chip_open(gpiochip1)",
    CORVEXD_TEST_GPIO == GPIOD1 ? "find_line(gpiochip1,GPIO4)" : "offset(gpiochip1,GPIO4)"};
#if CORVEXD_TEST_GPIO == GPIOD1
const Names kRequest{"request_output(corvexd,1)"};
const Names kLow{"set_value(0)"};
const Names kHigh{"set_value(1)"};
const char* const kLookup = "find_line";
const char* const kRequestCall = "request_output";
#else
const Names kRequest{"direction(output)", "output_value(1)", "line_settings(1:4)",
                     "consumer(corvexd)", "request_lines(gpiochip1)"};
const Names kLow{"set_value(4,0)"};
const Names kHigh{"set_value(4,1)"};
const char* const kLookup = "offset";
const char* const kRequestCall = "request_lines";
#endif
Names join(std::initializer_list<Names> parts) {
  Names out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}
const Names kPulse = join({kSearch, kRequest, kLow, kHigh});
const char* const kOpened = "opened GPIO4 through libgpiod\n";
const Failure kFailures[] = {
    {"chip_open",
     EACCES,
     {"chip_open(gpiochip0)", "chip_open(gpiochip1)"},
     "corvexd: error when initialising GPIO4, errno=13\n"},
    {kLookup, ENOENT, join({kSearch, {"chip_close(gpiochip1)"}}),
     "corvexd: error when initialising GPIO4, errno=2\n"},
    {kRequestCall, EBUSY, join({kSearch, kRequest}),
     "corvexd: error when initialising GPIO4, errno=16\n"},
    {"set_value", EIO, join({kSearch, kRequest, kLow}),
     "corvexd: error when driving GPIO4, errno=5\n"},
};
#endif

struct Outcome {
  bool opened;
  Names calls;
  std::string out;
  std::string err;
};

Outcome pulse(const std::string& failing = "", int error = 0) {
  fake::reset(failing, error);
  debug = 1;
  CapturedFd out(STDOUT_FILENO);
  CapturedFd err(STDERR_FILENO);
  Outcome outcome{openWiringPi(), {}, out.text(), err.text()};
  debug = 0;
  for (const auto& call : fake::calls) {
    outcome.calls.push_back(call.what);
  }
  return outcome;
}

TEST(GpioPulse, LowForTwentyThenHighAndSettle) {
  const auto started = std::chrono::steady_clock::now();
  const Outcome outcome = pulse();
  const auto ended = std::chrono::steady_clock::now();
  EXPECT_TRUE(outcome.opened);
  EXPECT_EQ(outcome.calls, kPulse);
  EXPECT_EQ(outcome.out, kOpened);
  EXPECT_EQ(outcome.err, "");
  if (CORVEXD_TEST_GPIO != WIRINGPI) { // wiringPi's own delay() is recorded instead
    const auto& calls = fake::calls;
    EXPECT_GE(calls.back().when - calls[calls.size() - 2].when, milliseconds(20));
    EXPECT_GE(ended - calls.back().when, milliseconds(750));
    EXPECT_LT(ended - started, milliseconds(5000));
  }
}

TEST(GpioPulse, EachFailureIsReportedOnce) {
  for (const auto& f : kFailures) {
    SCOPED_TRACE(f.call);
    const Outcome outcome = pulse(f.call, f.error);
    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(outcome.calls, f.calls);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, f.message);
#if CORVEXD_TEST_GPIO == GPIOD2
    EXPECT_EQ(fake::liveObjects(), 0) << "request settings are freed";
#endif
  }
}

#if CORVEXD_TEST_GPIO != WIRINGPI
TEST(GpioPulse, AChipThatCannotBeOpenedDoesNotHideTheLine) {
  const Outcome outcome = pulse("chip_open(gpiochip0)", EACCES);
  EXPECT_TRUE(outcome.opened);
  EXPECT_EQ(outcome.calls, join({{"chip_open(gpiochip0)", "chip_open(gpiochip1)", kSearch.back()},
                                 kRequest,
                                 kLow,
                                 kHigh}));
  EXPECT_EQ(outcome.err, "");
}
#endif

} // namespace
} // namespace corvexd::test
