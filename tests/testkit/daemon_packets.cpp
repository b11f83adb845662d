// The daemon's packets as whole steps; see daemon_packets.h.
#include "daemon_packets.h"

#include "daemon.h"
#include "settings.h"

namespace {

void made(unsigned char *buf, int len) {
  usSendDataLen = static_cast<uint16_t>(len);
  M_PackageHeader = reinterpret_cast<PackageHeader *>(buf);
}

}  // namespace

void makeInitPack(unsigned char *buf) {
  baseInfo.usServerTimeDelay = INIT_SERVER_DELAY;
  made(buf, build_init(buf, PACKET_BUF_SIZE));
}

void makeHearbeatPack(unsigned char *buf) { made(buf, build_heartbeat(buf, PACKET_BUF_SIZE)); }

void makeVerifyPack(unsigned char *buf) { made(buf, build_verify(buf, PACKET_BUF_SIZE, lVerifyData)); }

void makeCOM2Pack(unsigned char *buf) { made(buf, build_line_data(buf, PACKET_BUF_SIZE, 1, iRS485Len)); }

void makeCOM3Pack(unsigned char *buf) { made(buf, build_line_data(buf, PACKET_BUF_SIZE, 2, iRS232Len)); }

void makeQYCOMPack(unsigned char *buf) { made(buf, build_replies(buf, PACKET_BUF_SIZE, COM_PORT_QYCOM)); }

void makeQYIOPack(unsigned char *buf) { made(buf, build_replies(buf, PACKET_BUF_SIZE, COM_PORT_QYIO)); }

int makeHeartbeatBurst(unsigned char *buf, int len) {
  usSendDataLen = static_cast<uint16_t>(build_heartbeat_burst(buf, PACKET_BUF_SIZE, len));
  return usSendDataLen;
}
