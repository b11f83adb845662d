// LAN discovery responder: answers every datagram on UDP port 54410 with
// one broadcast naming the board and the address, netmask and hardware
// address of eth0.
#ifndef SEEKRESP_SEEKRESP_H
#define SEEKRESP_SEEKRESP_H

#include <stddef.h>
#include <sys/types.h>

struct sockaddr_in;

constexpr unsigned short kRequestPort = 54410;
constexpr unsigned short kReplyPort = 54321;
constexpr size_t kRequestMax = 256;   // bytes of a request that are read
constexpr size_t kReplySize = 256;
constexpr size_t kValueSize = 32;     // one field value
constexpr const char *kInterface = "eth0";

// Field texts of eth0: "192:0:2:10", "02:00:00:12:34:56", "255:255:255:0".
// 0, or -1 (no hardware address), -2 (no IPv4 address), -3 (no netmask);
// the values read before a failure are kept, the later ones stay as given.
int get_ifInfo(char *ipAddr, char *hwAddr, char *ipMask);

// The same for any interface name.
int get_if_info_of(const char *ifname, char *ipAddr, char *hwAddr, char *ipMask);

// Reply text for the three values; its length.
int format_reply(char *out, size_t size, const char *ip, const char *mask, const char *mac);

// Field forms of one address: four bytes with colons, six bytes in hex.
void format_ipv4(const unsigned char bytes[4], char *out, size_t size);
void format_mac(const unsigned char bytes[6], char *out, size_t size);

// Logs one received request: n bytes (the receive's result, at most
// kRequestMax) in buf, which has room for one more, and the sender. false
// when n is no datagram but a receive error (reported).
bool take_request(char *buf, ssize_t n, const struct sockaddr_in *from);

// Builds the reply for eth0 and broadcasts it out of eth0.
void replyBroadcast();

#endif
