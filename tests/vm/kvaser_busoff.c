/* kvaser_busoff.so: takes the tool's own CANlib channel off bus in the middle of a transfer, so
 * that the tool meets on a send what a bus-off controller gives (qemu's controllers signal no
 * errors, so no bus-off comes from the bus; and CANlib's bus state is per handle, so no other
 * program can make it). Preloaded into the tool (LD_PRELOAD) with KV_BUSOFF_AFTER=N: just before
 * the Nth frame goes to Kvaser's driver (its send ioctl, as libcanlib's canWrite makes it), it
 * calls the real library's canBusOff on handle 0 (the tool's only one); that frame and every later
 * one then meet what the library gives a bus-off channel. Writes "kvaser_busoff: ..." to stderr.
 * Build: cc -shared -fPIC -o kvaser_busoff.so kvaser_busoff.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>

/* linuxcan's include/vcan_ioctl.h: VCAN_IOC_SENDMSG is _IOW(VCAN_IOC_MAGIC, 101, int), 'v'. */
#define KV_SENDMSG _IOW('v', 101, int)

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*bus_off_fn)(int);

static long sends;

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list args;
  va_start(args, request);
  void *argument = va_arg(args, void *);
  va_end(args);
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  if (request == KV_SENDMSG) {
    const char *after = getenv("KV_BUSOFF_AFTER");
    if (after && ++sends == atol(after)) {
      void *canlib = dlopen("libcanlib.so.1", RTLD_NOW | RTLD_NOLOAD);
      bus_off_fn bus_off = canlib ? (bus_off_fn)dlsym(canlib, "canBusOff") : NULL;
      const int status = bus_off ? bus_off(0) : -999;
      fprintf(stderr, "kvaser_busoff: canBusOff(0) before send %ld -> %d\n", sends, status);
    }
  }
  return real(fd, request, argument);
}
