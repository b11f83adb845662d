// Board hardware library: physical register windows through /dev/mem, the
// PXA270 GPIO lines, the status LEDs and the board watchdog.
#ifndef QUARNE_SYS_QUARNE_H
#define QUARNE_SYS_QUARNE_H

#include <sys/types.h>

typedef struct quarne_device_driver {
  const char *name;
  int access_type;
  int fd;
  int type;
  void *user_data;
  int (*open)(void);
  int (*connect)(void);
  int (*disconnect)(void);
  int (*config)(void);
  int (*write)(void);
  int (*read)(void);
  int (*close)(void);
} quarne_device_driver;

typedef struct mapping_table {
  off_t pa_base;          // physical address of the register block
  unsigned int size;      // window length, a power of two
  int mmio_fd;            // descriptor of the memory device, -1 while closed
  void *va_base;          // start of the window, NULL while closed
} mapping_table;

// Window kinds: index into quarne_mapping_table.
#define MMIO_GPIO 0
#define MMIO_BOARD 1
#define MMIO_OSTIMER 2

#ifdef __cplusplus
extern "C" {
#endif

extern mapping_table quarne_mapping_table[3];
extern quarne_device_driver wdt_device;
extern int open_flags;

int mmio_init(int kind);
void *mmio_map(int kind, off_t offset);
int mmio_destroy(int kind);

int gpio_init(void);
void gpio_exit(void);
int getGPIO(unsigned int pin);
int setOGPIO(unsigned int pin);
int clearOGPIO(unsigned int pin);
int setGPIO(unsigned int pin, int value);
int setFunGPIO(unsigned int pin, unsigned int fun);
int setDirGPIO(unsigned int pin, char dir, unsigned int fun);

int led_init(void);
void led_exit(void);
// Active-low form: LEDs 1..4, value 1 lights the LED.
int SetLED(unsigned int addr, unsigned int value);
// Pass-through form (the LED test): LEDs 0..4, value handed to setGPIO
// unchanged, so non-zero drives the line high.
int SetLEDPassThru(unsigned int addr, unsigned int value);

int wdt_init(void);
void wdt_exit(void);
int Enable_WDT(int msecs);
void Disable_WDT(void);
int Refresh_WDT(void);
int Reset_WDT(void);

#ifdef __cplusplus
}
#endif

#endif
