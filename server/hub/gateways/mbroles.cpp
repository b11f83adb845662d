// A certificate's role and what it may ask for.
#include "gateways/mbroles.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "mbtcp.h"

namespace hub {
namespace {

// Function codes that read and change nothing, with the MEI type a code
// needs (0: any): read coils, discrete inputs, holding and input
// registers, exception status, the communication event counter and log,
// the server ID, file records, a FIFO queue, and the device identification
// (0x2B with MEI 0x0E; 0x0D is CANopen's general reference, which writes).
struct ReadCode {
  uint8_t function, mei;
};
constexpr ReadCode kReads[] = {{0x01, 0}, {0x02, 0}, {0x03, 0}, {0x04, 0}, {0x07, 0},   {0x0B, 0},
                               {0x0C, 0}, {0x11, 0}, {0x14, 0}, {0x18, 0}, {0x2B, 0x0E}};

ASN1_OBJECT *role_oid() {
  static ASN1_OBJECT *const oid = OBJ_txt2obj(kRoleOid, 1);
  return oid;
}

}  // namespace

RoleRead mb_cert_role(X509 *cert, std::string *role) {
  const int at = cert ? X509_get_ext_by_OBJ(cert, role_oid(), -1) : -1;
  if (at < 0) return RoleRead::kNone;
  if (X509_get_ext_by_OBJ(cert, role_oid(), at) >= 0) return RoleRead::kBad;
  const ASN1_OCTET_STRING *der = X509_EXTENSION_get_data(X509_get_ext(cert, at));
  const unsigned char *p = ASN1_STRING_get0_data(der);
  const long n = ASN1_STRING_length(der);
  ASN1_UTF8STRING *s = d2i_ASN1_UTF8STRING(nullptr, &p, n);
  const bool whole = s && p == ASN1_STRING_get0_data(der) + n;
  const int len = s ? ASN1_STRING_length(s) : 0;
  const bool ok = whole && len > 0 && static_cast<size_t>(len) <= kRoleMax;
  if (ok) role->assign(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)), static_cast<size_t>(len));
  ASN1_UTF8STRING_free(s);
  ERR_clear_error();
  return ok ? RoleRead::kFound : RoleRead::kBad;
}

const MbRole *mb_find_role(const std::vector<MbRole> &roles, const std::string &name) {
  for (const MbRole &r : roles) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

bool mb_reads_only(const uint8_t *adu, size_t len) {
  if (len < mbtcp::kMinAdu) return false;
  for (const ReadCode &c : kReads) {
    if (c.function != adu[7]) continue;
    return c.mei == 0 || (len > mbtcp::kMinAdu && adu[8] == c.mei);
  }
  return false;
}

bool mb_allowed(MbPerm perm, const uint8_t *adu, size_t len) {
  return perm == MbPerm::kOperate || mb_reads_only(adu, len);
}

}  // namespace hub
