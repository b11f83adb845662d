// The daemon's packets: the send and receive buffers and the builders.
// Every builder lays one packet out from buf[0] within cap bytes and
// returns its length; it changes no setting and keeps no pointer.
#ifndef QYSC_PACKET_H
#define QYSC_PACKET_H

#include <stdint.h>

#include "qylink.h"  // the layout both ends agree on

#define BRIDGE_BUF_SIZE 1024  // the bridge's working buffer: 6 header bytes + the response
#define INIT_SERVER_DELAY 50  // the server delay every init packet announces

#ifdef __cplusplus
extern "C" {
#endif

extern unsigned char ucSendData[PACKET_BUF_SIZE];
extern uint16_t usSendDataLen;
extern unsigned char ucRecvData[PACKET_BUF_SIZE];
extern PackageHeader *M_PackageHeader;

int build_init(unsigned char *buf, int cap);
int build_heartbeat(unsigned char *buf, int cap);
int build_verify(unsigned char *buf, int cap, int32_t answer);
// Data packet of slot 1 (RS-485, port 1) or 2 (RS-232, port 2) with n
// bytes taken from the slot's port (bridged: the Modbus TCP response made
// of them). 0 when there is nothing to send: the port delivered nothing,
// or a bridged response was dropped.
int build_line_data(unsigned char *buf, int cap, int slot, int n);
// A data packet of one section of port with the n bytes at data.
int build_section(unsigned char *buf, int cap, uint16_t port, const unsigned char *data, int n);
// The pending replies of the ring of port 256 (M_Job4Cmd) or 257
// (VIO_Reply) that fit one packet, taken from the ring; the rest stay.
int build_replies(unsigned char *buf, int cap, uint16_t port);
// The heartbeat burst: the scrambled heartbeat of len bytes at buf[0]
// copied on as the link's burst rule says (wire_heartbeat_copies); the
// burst's length.
int build_heartbeat_burst(unsigned char *buf, int cap, int len);

// The builders under the names the system fixes: they build into buf
// (always ucSendData), set usSendDataLen, and point M_PackageHeader at the
// packet. makeInitPack also stores the announced server delay in the
// settings; makeCOM2Pack / makeCOM3Pack take iRS485Len / iRS232Len bytes.
void makeInitPack(unsigned char *buf);
void makeHearbeatPack(unsigned char *buf);
void makeVerifyPack(unsigned char *buf);
void makeCOM2Pack(unsigned char *buf);
void makeCOM3Pack(unsigned char *buf);
void makeQYCOMPack(unsigned char *buf);
void makeQYIOPack(unsigned char *buf);
// build_heartbeat_burst into ucSendData's 1500 bytes; sets usSendDataLen.
int makeHeartbeatBurst(unsigned char *buf, int len);

// Most serial bytes one data packet of slot 1 (RS-485) or 2 (RS-232) can
// carry with the current virtual IP: what fits the send buffer, and when
// the slot is bridged what fits the bridge's working buffer (n + 6 <= 1024).
int BurstCapacity(int slot);

#ifdef __cplusplus
}
#endif

#endif
