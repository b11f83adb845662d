// Host name resolution of the server link, without the C library's
// resolver (a static board binary cannot rely on its NSS modules): dotted
// addresses, then the hosts file, then one DNS A query over UDP to the
// first name server of resolv.conf. The same code runs on host and board.
#ifndef QYSC_RESOLVE_H
#define QYSC_RESOLVE_H

#include <netinet/in.h>
#include <stdint.h>

#define RESOLVE_HOSTS_FILE "/etc/hosts"
#define RESOLVE_CONF_FILE "/etc/resolv.conf"
#define DNS_PORT 53
#define DNS_WAIT_MS 3000   // one query, answered within this or given up
#define DNS_MSG_MAX 512

#ifdef __cplusplus
extern "C" {
#endif

// 0 with *out set, or -1 when the name does not resolve.
int qy_resolve(const char *name, struct in_addr *out);

// Building blocks, each on the caller's buffers.
int hosts_lookup(const char *path, const char *name, struct in_addr *out);
int resolv_nameserver(const char *path, struct in_addr *out);
// Query message for an A record of name; its length, or -1 for a name that
// is no valid host name or does not fit len.
int dns_build_query(uint16_t id, const char *name, unsigned char *buf, int len);
// First IPv4 address of an answer to query id: 0; -1 when the message is
// malformed or not the answer to id; -2 when it is the answer but gives no
// address (an error code, or no A record).
int dns_parse_answer(uint16_t id, const unsigned char *msg, int len, struct in_addr *out);
// One query to server (address and port) with the bounded wait.
int dns_query(const struct sockaddr_in *server, const char *name, struct in_addr *out);

#ifdef __cplusplus
}
#endif

#endif
