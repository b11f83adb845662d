// The daemon's loop: the link and upload state machines, the one place
// each changes state, the loop's own state in one record, and the seams
// (clock, pause) through which tests run it a pass at a time.
//
// Who calls whom, file by file: each file calls only files below it but
// for the one back edge marked ^, and every file calls pause.cpp.
//
//   main.cpp     main                           -> daemon
//   daemon.cpp   start-up, the pass, status LED -> link receive upload net
//                                                  my_uart wait, settings
//   link.cpp     link state machine, drop_link  -> receive upload net wait
//   receive.cpp  receive step, packets, their   -> upload (request_verify),
//                sections to the lines, the        qycom qyio tcp2rtu,
//                command channels, the bridge      net my_uart wait
//   upload.cpp   upload state machine           -> bursts packet, qycom
//                                                  qyio, net my_uart wait
//                                                  linehold (the counts)
//              ^ checkWriteStaus -> drop_link (link.cpp): the fourth failed
//                write drops the link where the write is judged
//   bursts.cpp   packetising rule               -> packet (BurstCapacity)
//   packet.cpp   the builders                   -> tcp2rtu my_uart
//   qycom.cpp, qyio.cpp, tcp2rtu.cpp: the command channels and the Modbus
//                bridge                         -> my_uart, settings
//   net.cpp      the link's socket              -> resolve wait waitset
//   resolve.cpp  host names                     -> wait (net_wait)
//   my_uart.cpp  UART wrappers                  -> wait (watch_line) linehold
//   wait.cpp     waits on descriptors, the      -> waitset linehold
//                lines read as they come
//   waitset.cpp  one wait on a set (epoll, ppoll)
//   pause.cpp    the pass's clock, pauses, watchdog service: calls none
//                of them
//
// So a step that finds the link gone (the "@RELINK" reply out, the server
// closed or reset) returns why, and link.cpp drops it. The globals
// (iGPRSStep, qysc_loop, qysc_lines, ...) are data these files share.
#ifndef QYSC_DAEMON_H
#define QYSC_DAEMON_H

#include <stdint.h>

// Link state iGPRSStep.
#define GPRS_IDLE 0     // connect on the next pass
#define GPRS_CONNECT 1  // connect now
#define GPRS_ONLINE 2   // serve the link
#define GPRS_WAIT 3     // wait before the next connect
#define GPRS_TLS 4      // the secure link's handshake, a pass at a time (tlslink.h)

// Upload state iUploadPackageFlag: what the next packet on the link is.
#define UPLOAD_INIT 0
#define UPLOAD_NORMAL 1  // serial bursts and command replies
#define UPLOAD_HEARTBEAT 2
#define UPLOAD_VERIFY 3

// iCOMStep: the serial ports are opened once, by the first pass.
#define COM_STEP_TO_OPEN 0
#define COM_STEP_OPEN 1

#define WriteCounterMax 3

// checkWriteStaus results.
#define WRITE_OK 0
#define WRITE_COUNTED (-1)  // failed, counted; the link stays
#define WRITE_DROPPED (-2)  // the failure that dropped the link

#ifdef __cplusplus
extern "C" {
#endif

extern int iGPRSStep;
extern int iUploadPackageFlag;
extern int iCOMStep;
extern uint32_t ulHeartbeatOldTime;
extern uint32_t ulGPRSReconWaitTime;
extern int32_t lVerifyData;

// The daemon's one clock: monotonic milliseconds cut to 32 bits (qy_ticks),
// so every elapsed-time test subtracts in unsigned 32-bit arithmetic.
uint32_t GetTimeTicks(void);
void setStaLed(int sta);
// Judges one write to the server (rc: the write's result) on the link
// sockfd, which is the daemon's link: WRITE_OK, WRITE_COUNTED, or on the
// fourth failure since the last drop WRITE_DROPPED (the link is dropped).
int checkWriteStaus(int rc, int sockfd);

// Services the watchdog unless a reboot was requested; every long wait
// calls it between its slices.
void ServiceWatchdog(void);

// Start-up up to the loop: returns 0 when the daemon is to exit with 0
// ("--ver"), else 1. One pass of the endless loop.
int DaemonStart(int argc, char **argv);
void DaemonPass(void);

// Packetising rule for slot 1 (RS-485) or 2 (RS-232), after the pass has
// stored the queue length in the line's lenNow: non-zero when the burst is
// due, with the line's len the bytes to take.
int BurstDue(int slot, uint32_t now);
// The same, in whole ticks and us microseconds into the tick `now` (the
// daemon's own timing; BurstDue is this with us 0). And the microseconds
// until the slot's burst comes due if its queue stays as last counted: 0
// when due now, UINT32_MAX when the queue is empty.
int BurstDueAt(int slot, uint32_t now, uint32_t us);
uint32_t BurstDueInUs(int slot, uint32_t now, uint32_t us);

// The n bytes one read of the link delivered (still scrambled): logged,
// unscrambled in place, cut into packets (completing a packet begun by an
// earlier read, keeping one not yet complete), each checked whole, then its
// sections dispatched.
void HandleServerPacket(unsigned char *buf, int n);

#ifdef __cplusplus
}
#endif

// ---- the state machines (C++ linkage: used inside the daemon and by tests)

// One serial line's packetising state (bursts.cpp), by slot: 1 RS-485,
// 2 RS-232 (0 unused).
struct SerialLine {
  int len;            // the bytes last counted; after a send 0
  int lenNow;         // the bytes counted in this pass
  uint32_t lastTime;  // the tick the count last changed
  uint32_t lastUs;    // and the microseconds into that tick
};
extern SerialLine qysc_lines[3];
// The fields under the names the system fixes.
extern int &iRS485Len, &iRS232Len, &iRS485LenNow, &iRS232LenNow;
extern uint32_t &ulRS485LastTime, &ulRS232LastTime;

// Why a live link is dropped; drop_link's table gives the next link state.
enum class Drop {
  kPeerClosed,     // the server closed the connection: reconnect at once
  kWriteFailures,  // the fourth failed write: reconnect at once
  kRelink,         // "@RELINK" answered: connect again from GPRS_IDLE
  kDead,           // a read failed: TCP found the link dead, or it was reset;
                   // reconnect at once
  kHole,           // the acknowledged link's buffer gave way on a live link:
                   // reconnect at once
};

// The one place that changes iGPRSStep, with the entry actions of the new
// state (ONLINE: upload state INIT; WAIT: the wait starts now).
void link_set(int state);
// The one place that changes iUploadPackageFlag, with the entry actions:
// (re)entering NORMAL after a packet restarts the heartbeat timer
// ulHeartbeatOldTime (after the init packet it stays timed from the
// connect).
void upload_set(int state);
// A packet of the upload state went out (a write judged WRITE_OK): the
// heartbeat is timed from it, and the state returns to NORMAL.
void packet_sent(void);
// Closes the link and moves to the state the reason calls for.
void drop_link(Drop why);
// The receive side's request for a verify answer: the answer to send and
// the upload state that sends it next.
void request_verify(int32_t answer);
// Forgets a packet begun on a link that is gone (receive.cpp).
void receive_reset(void);

// The loop's own state beside the named globals above.
struct DaemonLoop {
  int sockfd;             // the server link, -1 when there is none
  int writeFailures;      // failed writes since the last drop (iWriteFailCounter)
  int lastSent;           // the upload source that sent last (upload.cpp)
  int ledOn;              // status LED state (setStaLed's now_sta)
  uint32_t ledSince;      // last LED toggle (tmStaLed)
  uint32_t modemSince;    // last read of the modem information (tmGetModemInfo)
};
extern DaemonLoop qysc_loop;

// Every piece of loop and state-machine state as start-up leaves it (the
// settings are not touched). For tests.
void DaemonReset(void);

// The daemon's pauses (after a connect, before a reconnect) go through
// here: sleeps of at most ms milliseconds, the watchdog serviced between
// slices. A test installs its own (null: real sleeps again); with one
// installed, the pass's wait does not wait either: it looks at its
// descriptors once and hands the time it would have waited to the pause.
void daemon_pause(uint32_t ms);
void daemon_pause_install(void (*pause)(uint32_t ms));
bool daemon_pause_faked(void);

// The pass's clock (pause.cpp): the tick and in *us (may be null) the
// microseconds into it, read at most once between two waits, so the steps
// of a pass judge their timers against one reading (on the board every
// reading is a system call). pass_clock_stale: something waited or wrote
// to the link, the next step reads the clock again.
uint32_t pass_ticks(uint32_t *us);
void pass_clock_stale(void);
// Microseconds from tick now (us into it) until tick due begins; 0 when it
// has (due is at most 2^31 ticks ahead).
uint32_t us_until(uint32_t due, uint32_t now, uint32_t us);

// A pass services the watchdog when WDT_PASS_SERVICE_MS have passed since
// the last service (every pass of a busy loop need not), and no wait of
// the loop lasts past WDT_LONGEST_WAIT_MS after it, 3.5 s inside the 5 s
// time-out; the LED and the reconnect wait bring a pass sooner anyway.
// watchdog_due: the tick by which the loop must service it.
#define WDT_PASS_SERVICE_MS 100
#define WDT_LONGEST_WAIT_MS 1500
void watchdog_pass(uint32_t now);
uint32_t watchdog_due(void);

// The steps of one pass while the link is up: the upload state machine
// (one packet at most, upload.cpp), then the wait, as long as upload_wait_us
// allows (microseconds: 0 when a packet waits its turn, the 5 ms pace while
// one is to be sent again, else until the earliest thing due: a burst's
// gap, the heartbeat, an acknowledgement), that ends the pass with the
// receive (receive.cpp), itself bounded by a packet begun (its time limit).
// upload_step is true when its packet was the reply to "@RELINK";
// receive_step handles what arrived, and is true when it found the link
// gone, with why. Either way the link state machine (link_step, link.cpp)
// drops the link. link_step's limit_us: the longest any wait of the step
// may last (the loop's own timers: LED, modem file, watchdog).
bool upload_step(void);
uint32_t upload_wait_us(uint32_t now, uint32_t us);
bool receive_step(uint32_t wait_us, Drop *why);
void link_step(uint32_t limit_us);

// The waits (wait.cpp). watch_link: the link to wait on (-1: none).
// watch_line: the slot's port was (re)opened. loop_wait: up to us
// microseconds for events on fd (-1: none) and, when lines is true, bytes
// on the lines, which it reads into their holding queues (linehold.h): 1
// when fd is ready. pass_wait: loop_wait on the link and both lines, true
// when the link has something to read (or was closed by the server).
void watch_link(int fd);
void watch_line(int slot);
int loop_wait(int fd, short events, uint32_t us, bool lines);
bool pass_wait(uint32_t us);
// The wait of a write for room in the link's socket, up to total_ms with
// the watchdog serviced meanwhile; both lines are read into their holding
// queues while it lasts. poll's result: > 0 the link can take bytes (or
// failed), 0 time out, -1 error.
int write_wait(int fd, int total_ms);
// While spill is set (null: not), every wait reads both lines into their
// holding queues and hands a queue half full to spill (slot), and the
// link's pauses are such waits (hold_pause; else daemon_pause).
void wait_keep_lines(void (*spill)(int slot));
bool lines_kept(void);
void hold_pause(uint32_t ms);

#endif
