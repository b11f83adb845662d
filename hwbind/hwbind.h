// Scripting binding library libhwbind.so: watchdog and LED entry points for
// a host that loads the library by file name and looks names up (Python's
// ctypes, for one). None returns a result; the board hardware operations
// declared in quarne.h are exported as well for hosts that need one.
#ifndef QUARNE_HWBIND_H
#define QUARNE_HWBIND_H

#include "quarne.h"

#ifdef __cplusplus
extern "C" {
#endif

void py_wdt_init(void);           // open the watchdog window (once)
void py_wdt_enable(int msTime);   // timeout in ms, then start
void py_wdt_disable(void);
void py_wdt_refresh(void);        // service
void py_wdt_reset(void);          // make the watchdog reset the board
void py_wdt_exit(void);           // close the window; a running watchdog keeps running
void py_led_init(void);           // open the GPIO window (once)
void py_led_set(int no, int lvl); // LED 1..4; lvl 1 lights it, anything else darkens it
void py_led_exit(void);

#ifdef __cplusplus
}
#endif

#endif
