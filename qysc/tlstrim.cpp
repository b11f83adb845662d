// What the daemon links of the TLS library, trimmed. Debian's archives are
// built without per-function sections, so one reference to a member links
// all of it; these members are linked only because a table or a path the
// daemon never takes names them: the library's self-test certificates, the
// server side of the handshake, the debug printer (the daemon sets no debug
// callback), finite-field DH (no DHE suite is offered), MD4 and RIPEMD-160
// (no certificate signed with them is accepted), DES, Camellia, Blowfish
// and RC4 (only AES-GCM and ChaCha20-Poly1305 are offered), and the
// password-based encryption of key files (the gateway key is stored
// unencrypted, readable by root only).
//
// Defining their entry points here keeps the linker from taking the
// members: any call fails (a feature-unavailable error, or nothing for the
// debug printer) instead of running. This file goes into the program's own
// objects, ahead of the archives, and deliberately includes none of the
// library's headers (the stubs' signatures are not the real ones: only the
// names matter to the linker, and none of them is ever called).
#include <stddef.h>

namespace {

constexpr int kUnavailable = -0x6080;  // the cipher module's "feature unavailable"

}  // namespace

#define QYSC_TLS_STUB(name) \
  extern "C" int name() { return kUnavailable; }

extern "C" {
extern const char mbedtls_test_ca_crt[1] = "";  // extern: const alone would be file-local
extern const char mbedtls_test_cli_crt[1] = "";
extern const size_t mbedtls_test_ca_crt_len = 0;
extern const size_t mbedtls_test_cli_crt_len = 0;
void mbedtls_debug_print_msg(const void *, int, const char *, int, const char *, ...) {}
void mbedtls_debug_print_ret(const void *, int, const char *, int, const char *, int) {}
void mbedtls_debug_print_buf(const void *, int, const char *, int, const char *, const void *, size_t) {}
void mbedtls_debug_print_mpi(const void *, int, const char *, int, const char *, const void *) {}
void mbedtls_debug_print_crt(const void *, int, const char *, int, const char *, const void *) {}
void mbedtls_debug_printf_ecdh(const void *, int, const char *, int, const void *, int) {}
void mbedtls_dhm_init(void *) {}
void mbedtls_dhm_free(void *) {}
}

QYSC_TLS_STUB(mbedtls_ssl_handshake_server_step)
QYSC_TLS_STUB(mbedtls_dhm_calc_secret)
QYSC_TLS_STUB(mbedtls_dhm_make_public)
QYSC_TLS_STUB(mbedtls_dhm_read_params)
QYSC_TLS_STUB(mbedtls_internal_ripemd160_process)
QYSC_TLS_STUB(mbedtls_ripemd160_clone)
QYSC_TLS_STUB(mbedtls_ripemd160_finish_ret)
QYSC_TLS_STUB(mbedtls_ripemd160_free)
QYSC_TLS_STUB(mbedtls_ripemd160_init)
QYSC_TLS_STUB(mbedtls_ripemd160_ret)
QYSC_TLS_STUB(mbedtls_ripemd160_starts_ret)
QYSC_TLS_STUB(mbedtls_ripemd160_update_ret)
QYSC_TLS_STUB(mbedtls_internal_md4_process)
QYSC_TLS_STUB(mbedtls_md4_clone)
QYSC_TLS_STUB(mbedtls_md4_finish_ret)
QYSC_TLS_STUB(mbedtls_md4_free)
QYSC_TLS_STUB(mbedtls_md4_init)
QYSC_TLS_STUB(mbedtls_md4_ret)
QYSC_TLS_STUB(mbedtls_md4_starts_ret)
QYSC_TLS_STUB(mbedtls_md4_update_ret)
QYSC_TLS_STUB(mbedtls_des3_crypt_cbc)
QYSC_TLS_STUB(mbedtls_des3_crypt_ecb)
QYSC_TLS_STUB(mbedtls_des3_free)
QYSC_TLS_STUB(mbedtls_des3_init)
QYSC_TLS_STUB(mbedtls_des3_set2key_dec)
QYSC_TLS_STUB(mbedtls_des3_set2key_enc)
QYSC_TLS_STUB(mbedtls_des3_set3key_dec)
QYSC_TLS_STUB(mbedtls_des3_set3key_enc)
QYSC_TLS_STUB(mbedtls_des_crypt_cbc)
QYSC_TLS_STUB(mbedtls_des_crypt_ecb)
QYSC_TLS_STUB(mbedtls_des_free)
QYSC_TLS_STUB(mbedtls_des_init)
QYSC_TLS_STUB(mbedtls_des_setkey_dec)
QYSC_TLS_STUB(mbedtls_des_setkey_enc)
QYSC_TLS_STUB(mbedtls_camellia_crypt_cbc)
QYSC_TLS_STUB(mbedtls_camellia_crypt_cfb128)
QYSC_TLS_STUB(mbedtls_camellia_crypt_ctr)
QYSC_TLS_STUB(mbedtls_camellia_crypt_ecb)
QYSC_TLS_STUB(mbedtls_camellia_free)
QYSC_TLS_STUB(mbedtls_camellia_init)
QYSC_TLS_STUB(mbedtls_camellia_setkey_dec)
QYSC_TLS_STUB(mbedtls_camellia_setkey_enc)
QYSC_TLS_STUB(mbedtls_blowfish_crypt_cbc)
QYSC_TLS_STUB(mbedtls_blowfish_crypt_cfb64)
QYSC_TLS_STUB(mbedtls_blowfish_crypt_ctr)
QYSC_TLS_STUB(mbedtls_blowfish_crypt_ecb)
QYSC_TLS_STUB(mbedtls_blowfish_free)
QYSC_TLS_STUB(mbedtls_blowfish_init)
QYSC_TLS_STUB(mbedtls_blowfish_setkey)
QYSC_TLS_STUB(mbedtls_arc4_crypt)
QYSC_TLS_STUB(mbedtls_arc4_free)
QYSC_TLS_STUB(mbedtls_arc4_init)
QYSC_TLS_STUB(mbedtls_arc4_setup)
QYSC_TLS_STUB(mbedtls_pkcs12_pbe)
QYSC_TLS_STUB(mbedtls_pkcs12_pbe_sha1_rc4_128)
QYSC_TLS_STUB(mbedtls_pkcs5_pbes2)
