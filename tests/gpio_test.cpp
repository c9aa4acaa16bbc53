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
#if CORVEXD_TEST_GPIO == GPIOD1
const Names kRequest{"request_output(corvexd,1)"};
const Names kLow{"set_value(0)"};
const Names kHigh{"set_value(1)"};
const char* const kRequestCall = "request_output";
#else
const Names kRequest{"direction(output)", "output_value(1)", "line_settings(1:4)",
                     "consumer(corvexd)", "request_lines(gpiochip0)"};
const Names kLow{"set_value(4,0)"};
const Names kHigh{"set_value(4,1)"};
const char* const kRequestCall = "request_lines";
#endif
Names join(std::initializer_list<Names> parts) {
  Names out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}
// After the search, which the lookup table below covers.
const Names kPulse = join({kRequest, kLow, kHigh});
const char* const kOpened = "opened line 4 of pinctrl-bcm2835 through libgpiod\n";
const Failure kFailures[] = {
    {"chip_open", EACCES, {}, "corvexd: error when initialising GPIO4, errno=13\n"},
    {kRequestCall, EBUSY, kRequest, "corvexd: error when initialising GPIO4, errno=16\n"},
    {"set_value", EIO, join({kRequest, kLow}), "corvexd: error when driving GPIO4, errno=5\n"},
};
#endif

struct Outcome {
  bool opened;
  Names calls;
  std::string out;
  std::string err;
};

// A Pi 3 on Debian's kernel: header pin 7 is named GPIO_GCLK.
const std::vector<fake::Chip> kPi3{fake::chip("pinctrl-bcm2835", 54, {{4, "GPIO_GCLK"}}),
                                   fake::chip("raspberrypi-exp-gpio", 8)};

Outcome pulse(const std::string& failing = "", int error = 0,
              const std::vector<fake::Chip>& chips = kPi3) {
  fake::reset(failing, error);
  fake::chips = chips;
  debug = 1;
  CapturedFd out(STDOUT_FILENO);
  CapturedFd err(STDERR_FILENO);
  Outcome outcome{openWiringPi(), {}, out.text(), err.text()};
  debug = 0;
  // From the request on: the search is the lookup table's.
  bool requesting = CORVEXD_TEST_GPIO == WIRINGPI;
  for (const auto& call : fake::calls) {
    requesting = requesting || call.what.rfind("direction", 0) == 0 ||
                 call.what.rfind("request_output", 0) == 0;
    if (requesting) {
      outcome.calls.push_back(call.what);
    }
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
struct Lookup {
  const char* name;
  std::vector<fake::Chip> chips;
  const char* requested; // chip and offset; "" when start-up fails
  const char* outcome;   // the trace line, or the message
  const char* failing = "";
  int error = 0;
};

TEST(GpioPulse, HeaderPinSevenIsFoundOnEveryKernel) {
  using fake::chip;
  const auto brcmstb = chip("gpio-brcmstb@107d508500", 32, {{4, "GPIO4"}});
  const auto expander = chip("raspberrypi-exp-gpio", 8);
  const Lookup cases[] = {
      {"Pi 1-3, Debian's kernel", kPi3, "gpiochip0:4",
       "opened line 4 of pinctrl-bcm2835 through libgpiod\n"},
      {"Pi 3, Raspberry Pi kernel",
       {chip("pinctrl-bcm2835", 54, {{4, "GPIO4"}}), expander},
       "gpiochip0:4",
       "opened line 4 of pinctrl-bcm2835 through libgpiod\n"},
      {"Pi 4, no line names",
       {chip("pinctrl-bcm2711", 58), expander},
       "gpiochip0:4",
       "opened line 4 of pinctrl-bcm2711 through libgpiod\n"},
      {"Pi 5, older kernel: other chips with a line GPIO4 first",
       {brcmstb, brcmstb, brcmstb, brcmstb, chip("pinctrl-rp1", 54, {{4, "PIN7"}})},
       "gpiochip4:4",
       "opened line 4 of pinctrl-rp1 through libgpiod\n"},
      {"Pi 5, current kernel",
       {chip("pinctrl-rp1", 54, {{4, "GPIO4"}}), brcmstb},
       "gpiochip0:4",
       "opened line 4 of pinctrl-rp1 through libgpiod\n"},
      {"firmware expander first",
       {expander, chip("pinctrl-bcm2835", 54)},
       "gpiochip1:4",
       "opened line 4 of pinctrl-bcm2835 through libgpiod\n"},
      {"a chip that cannot be opened does not hide the line",
       {expander, chip("pinctrl-bcm2835", 54)},
       "gpiochip1:4",
       "opened line 4 of pinctrl-bcm2835 through libgpiod\n",
       "chip_open(gpiochip0)",
       EACCES},
      {"no header chip, a line named GPIO4",
       {chip("gpio-mockup", 8), chip("pl061", 8, {{4, "GPIO4"}})},
       "gpiochip1:4",
       "opened line 4 of pl061 through libgpiod\n"},
      {"a line named GPIO4 elsewhere",
       {chip("some-board", 32, {{17, "GPIO4"}})},
       "gpiochip0:17",
       "opened line 17 of some-board through libgpiod\n"},
      {"header chip too short for line 4",
       {chip("pinctrl-bcm2835", 4)},
       "",
       "corvexd: error when initialising GPIO4, errno=2\n"},
      {"chips, none with the line",
       {chip("gpio-mockup", 8)},
       "",
       "corvexd: error when initialising GPIO4, errno=2\n"},
      {"no GPIO chip at all", {}, "", "corvexd: error when initialising GPIO4, errno=2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = pulse(c.failing, c.error, c.chips);
    EXPECT_EQ(outcome.opened, *c.requested != '\0');
    EXPECT_EQ(fake::requested, c.requested);
    EXPECT_EQ(outcome.opened ? outcome.out : outcome.err, c.outcome);
#if CORVEXD_TEST_GPIO == GPIOD2
    EXPECT_EQ(fake::liveObjects(), 0) << "chip infos are freed";
#endif
  }
}
#endif

} // namespace
} // namespace corvexd::test
