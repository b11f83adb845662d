// The daemon's packets built into ucSendData as whole steps, for tests and
// the daemon's fuzz target: each builds with the daemon's own builders
// (packet.h), sets usSendDataLen and points M_PackageHeader at the packet,
// as the daemon's upload step does for what it sends.
#ifndef TESTKIT_DAEMON_PACKETS_H
#define TESTKIT_DAEMON_PACKETS_H

#include "packet.h"

// makeInitPack also stores the announced server delay in the settings;
// makeCOM2Pack / makeCOM3Pack take iRS485Len / iRS232Len bytes of their line.
void makeInitPack(unsigned char *buf);
void makeHearbeatPack(unsigned char *buf);
void makeVerifyPack(unsigned char *buf);
void makeCOM2Pack(unsigned char *buf);
void makeCOM3Pack(unsigned char *buf);
void makeQYCOMPack(unsigned char *buf);
void makeQYIOPack(unsigned char *buf);
// build_heartbeat_burst into ucSendData's 1500 bytes; sets usSendDataLen.
int makeHeartbeatBurst(unsigned char *buf, int len);

#endif
