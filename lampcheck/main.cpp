// LED blink test: LEDs 0 to 4 switched on (line high) one after another,
// a second later off (line low), and so on until the program is killed.
// Each switch prints one line with the result of the pass-through SetLED
// (0, or -1 on failure).
#include <errno.h>
#include <stdio.h>
#include <time.h>

#include "quarne.h"

namespace {

constexpr unsigned kLeds = 5;
constexpr time_t kHalfCycleSeconds = 1;

constexpr const char *kOnFormat[kLeds] = {
    "LED0 ON! -%d\n", "LED1 ON! -%d\n", "LED2 ON! -%d\n", "LED3 ON! -%d\n", "LED4 ON! -%d\n",
};
constexpr const char *kOffFormat[kLeds] = {
    "LED0 OFF! -%d\n", "LED1 OFF! -%d\n", "LED2 OFF! -%d\n", "LED3 OFF! -%d\n", "LED4 OFF! -%d\n",
};

void switch_all(unsigned value, const char *const (&formats)[kLeds]) {
  for (unsigned led = 0; led < kLeds; led++) {
    const int rc = SetLEDPassThru(led, value);
    printf(formats[led], rc);
  }
}

// The whole half cycle, also when a signal cuts the sleep short.
void half_cycle_pause() {
  timespec left = {kHalfCycleSeconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

int lampcheck_main(int, char **) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  led_init();  // without the window every line reports -1 and the test goes on
  for (;;) {
    switch_all(1, kOnFormat);
    half_cycle_pause();
    switch_all(0, kOffFormat);
    half_cycle_pause();
  }
}
