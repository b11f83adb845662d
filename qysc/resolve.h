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

#define RESOLVE_OK 0
#define RESOLVE_FAILED (-1)
#define DNS_MALFORMED (-1)   // not the answer to our query, or cut short
#define DNS_NO_ADDRESS (-2)  // the answer, but without an IPv4 address

#ifdef __cplusplus
extern "C" {
#endif

// RESOLVE_OK with *out set, or RESOLVE_FAILED.
int qy_resolve(const char *name, struct in_addr *out);

// Building blocks, each on the caller's buffers.
int hosts_lookup(const char *path, const char *name, struct in_addr *out);
int resolv_nameserver(const char *path, struct in_addr *out);
// Query message for an A record of name; its length, or -1 for a name that
// is no valid host name or does not fit len.
int dns_build_query(uint16_t id, const char *name, unsigned char *buf, int len);
// First IPv4 address of an answer to query id: RESOLVE_OK; DNS_MALFORMED
// when the message is malformed or not the answer to id; DNS_NO_ADDRESS
// when it is the answer but gives no address (an error code, or no A record).
int dns_parse_answer(uint16_t id, const unsigned char *msg, int len, struct in_addr *out);
// One query to server (address and port) with the bounded wait.
int dns_query(const struct sockaddr_in *server, const char *name, struct in_addr *out);

#ifdef __cplusplus
}
#endif

#endif
