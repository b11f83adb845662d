// Modbus/TCP Security's roles: the role a client's certificate carries
// (the extension 1.3.6.1.4.1.50316.802.1, one ASN.1 UTF8String), the
// configured role of that name, and the requests a read-only role may
// send (the function codes that only read).
#ifndef HUB_GATEWAYS_MBROLES_H
#define HUB_GATEWAYS_MBROLES_H

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/config.h"

namespace hub {

constexpr char kRoleOid[] = "1.3.6.1.4.1.50316.802.1";
constexpr size_t kRoleMax = 64;  // a longer role is no role of ours

enum class RoleRead : uint8_t { kFound, kNone, kBad };
// The certificate's role: kNone without the extension, kBad when it is not
// one UTF8String of 1..kRoleMax bytes (or comes twice).
RoleRead mb_cert_role(X509 *cert, std::string *role);
// The configured role of that name, or null.
const MbRole *mb_find_role(const std::vector<MbRole> &roles, const std::string &name);
// Whether the request (a whole ADU) only reads; whether perm lets it through.
bool mb_reads_only(const uint8_t *adu, size_t len);
bool mb_allowed(MbPerm perm, const uint8_t *adu, size_t len);

}  // namespace hub

#endif
