// Server packets: the packed header and section head, the send and receive
// buffers, and the builders of the daemon's packets. All integers are
// little-endian on the wire.
#ifndef QYSC_PACKET_H
#define QYSC_PACKET_H

#include <stdint.h>

#include "qylink.h"  // the layout both ends agree on

#define BRIDGE_BUF_SIZE 1024  // the bridge's working buffer: 6 header bytes + the response

#ifdef __cplusplus
extern "C" {
#endif

extern unsigned char ucSendData[PACKET_BUF_SIZE];
extern uint16_t usSendDataLen;
extern unsigned char ucRecvData[PACKET_BUF_SIZE];
extern PackageHeader *M_PackageHeader;

// Each builder writes one packet from offset 0 of buf (always ucSendData)
// and sets usSendDataLen and usPackageLen. makeCOM2Pack / makeCOM3Pack
// leave usSendDataLen 0 when the burst was taken from the port but there is
// nothing to send (a bridged response that was dropped).
void makeInitPack(unsigned char *buf);
void makeHearbeatPack(unsigned char *buf);
void makeVerifyPack(unsigned char *buf);
void makeCOM2Pack(unsigned char *buf);
void makeCOM3Pack(unsigned char *buf);
void makeQYCOMPack(unsigned char *buf);
void makeQYIOPack(unsigned char *buf);

// Heartbeat burst: the scrambled heartbeat packet of len bytes at the start
// of buf is copied on while the end stays below HEARTBEAT_BURST_LIMIT; one
// copy fewer than the buffer then holds is sent. Sets usSendDataLen to the
// burst length and returns it.
int makeHeartbeatBurst(unsigned char *buf, int len);

// Most serial bytes one data packet of slot 1 (RS-485) or 2 (RS-232) can
// carry with the current virtual IP: what fits the send buffer, and when
// the slot is bridged what fits the bridge's working buffer (n + 6 <= 1024).
int BurstCapacity(int slot);

#ifdef __cplusplus
}
#endif

#endif
