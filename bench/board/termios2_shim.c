/* Preloaded into Debian's armel ser2net when it runs under qemu-arm 7.2,
 * whose user mode does not emulate the termios2 ioctls (TCGETS2, TCSETS2,
 * TCSETSW2, TCSETSF2: ENOSYS) that gensio's serial device opens with: each
 * is turned into its plain termios form, which qemu does emulate. The
 * speeds of termios2 (BOTHER) are not carried: a pseudo-terminal has none.
 * Built by bench/board/loop_cost.py:
 *   arm-linux-gnueabi-gcc -O2 -shared -fPIC -o termios2_shim.so termios2_shim.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

struct kernel_termios { /* the kernel's struct termios (TCGETS) */
  unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
  unsigned char c_line;
  unsigned char c_cc[19];
};

struct kernel_termios2 { /* and struct termios2 (TCGETS2) */
  struct kernel_termios t;
  unsigned int c_ispeed, c_ospeed;
};

#define T2_GET 0x802c542aUL /* _IOR('T', 0x2A, struct termios2) */
#define T2_SET 0x402c542bUL /* TCSETS2; then TCSETSW2, TCSETSF2 */
#define T_GET 0x5401UL      /* TCGETS; TCSETS, TCSETSW, TCSETSF follow it */

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  if (real == 0) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  struct kernel_termios2 *t2 = arg;
  if (request == T2_GET) {
    memset(t2, 0, sizeof *t2);
    return real(fd, T_GET, &t2->t);
  }
  if (request >= T2_SET && request <= T2_SET + 2) return real(fd, T_GET + 1 + (request - T2_SET), &t2->t);
  return real(fd, request, arg);
}
