// The daemon's own secure-link code in a loop, for measuring it: what one
// handshake costs (instructions under qemu-arm -cpu pxa270, bytes, round
// trips) and that the library's memory comes back at every drop.
//
//   qysc_tlsbench <count> [full]
//
// Run in a sandbox directory (./board/quarne/qysc/qyserver.ini names the
// hub, tls.ini beside it, the gateway pair in ./board/quarne/qysc/tls/).
// Makes <count> connections with a handshake each and drops them; "full"
// forgets the session before each, so none resumes. Count 0 does the
// start-up alone (the baseline for an instruction count).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "net.h"
#include "qycomm.h"
#include "settings.h"
#include "tlsarena.h"
#include "tlslink.h"
#include "tlssession.h"

namespace {

void report(const char *when, int done) {
  const TlsArenaStats *a = tls_arena_stats();
  const TlsStats *s = tls_stats();
  printf("%s: %d handshakes (%u resumed), arena high water %u, peak %u, in use %u in %u blocks,"
         " failed %u\n", when, done, s->resumed, a->highWater, a->peakInUse, a->inUse, a->blocks,
         s->failures + s->refusedCert + s->refusedPin + s->timeouts);
}

// One connection with its handshake, dropped at once; true when it was done.
bool one(bool full) {
  if (full) tls_session_forget();
  if (!tls_ready()) return false;
  const int fd = net_connect(baseInfo.ucServerIP, baseInfo.usServerPort);
  if (fd < 0) return false;
  int rc = tls_begin(fd) == 0 ? TLS_HS_MORE : TLS_HS_FAILED;
  while (rc == TLS_HS_MORE) rc = tls_handshake_pass();
  const bool done = rc == TLS_HS_DONE;
  net_close(fd);
  return done;
}

}  // namespace

int main(int argc, char **argv) {
  const int count = argc > 1 ? atoi(argv[1]) : 1;
  const bool full = argc > 2 && strcmp(argv[2], "full") == 0;
  Default_BaseInfo();
  ReadConfig();
  tls_start();
  int done = 0;
  for (int i = 0; i < count; i++) {
    done += one(full) ? 1 : 0;
    if (i == 9) report("after 10", done);
  }
  report("at the end", done);
  return done == count ? 0 : 1;
}
