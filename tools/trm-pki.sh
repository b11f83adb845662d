#!/usr/bin/env bash
# Keys and certificates for the secure link, made with openssl (ECDSA P-256):
#
#   trm-pki.sh ca DIR [--name NAME] [--days N]
#       a factory CA: DIR/ca.key, DIR/ca.crt
#   trm-pki.sh hub DIR --name HOST [--ca CADIR] [--days N]
#       the hub's key and certificate (DIR/hub.key, DIR/hub.crt) for HOST (a
#       host name or an IPv4 address), signed by the CA in CADIR or self-signed;
#       prints the pin a gateway's tls.ini takes
#   trm-pki.sh gateway DIR --id ID [--ca CADIR] [--days N]
#       a gateway's key and certificate (DIR/gateway.key, DIR/gateway.crt)
#       naming ID, signed by the factory CA in CADIR (admitted at once by a
#       hub that trusts it) or self-signed; prints its fingerprint
#   trm-pki.sh modbus DIR --name NAME --role ROLE --ca CADIR [--days N]
#       a Modbus/TCP Security client's key and certificate (DIR/client.key,
#       DIR/client.crt) for NAME, carrying ROLE in the role extension
#       (1.3.6.1.4.1.50316.802.1, a UTF8String), signed by the CA in CADIR
#       (the one the hub's [modbus] tls_ca names)
#   trm-pki.sh pin FILE
#       the SHA-256 of the public key of a certificate or key (PEM), as the
#       hub and the daemon show it: 64 lower-case hex digits
#
# Keys are written readable by their owner only (umask 077) and never printed.
set -euo pipefail

die() { echo "trm-pki: $*" >&2; exit 2; }

pin() {
  local f=$1 der
  [ -r "$f" ] || die "$f: cannot read"
  if grep -q 'BEGIN CERTIFICATE' "$f"; then
    der=$(openssl x509 -in "$f" -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum)
  else
    der=$(openssl pkey -in "$f" -pubout -outform DER | sha256sum)
  fi
  echo "${der%% *}"
}

newkey() { (umask 077; openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null); }

# sign KEY CERT SUBJECT DAYS CADIR EXTFILE: a certificate for KEY, by the CA in CADIR or by KEY itself.
sign() {
  local key=$1 crt=$2 subj=$3 days=$4 ca=$5 ext=$6
  if [ -n "$ca" ]; then
    [ -r "$ca/ca.key" ] && [ -r "$ca/ca.crt" ] || die "$ca: no ca.key and ca.crt there (trm-pki.sh ca $ca)"
    openssl req -new -key "$key" -subj "$subj" 2>/dev/null |
      openssl x509 -req -CA "$ca/ca.crt" -CAkey "$ca/ca.key" -CAcreateserial -days "$days" \
        -sha256 -extfile "$ext" -out "$crt" 2>/dev/null
  else
    openssl req -new -x509 -key "$key" -subj "$subj" -days "$days" -sha256 \
      -extensions v3 -config <(printf '[req]\ndistinguished_name=dn\n[dn]\n[v3]\n'; cat "$ext") -out "$crt" 2>/dev/null
  fi
}

main() {
  [ $# -ge 2 ] || die "usage: trm-pki.sh ca|hub|gateway|modbus DIR [options], or pin FILE (see the top of this file)"
  local what=$1 dir=$2 name="" id="" ca="" role="" days=3650
  shift 2
  [ "$what" = pin ] && { pin "$dir"; return; }
  while [ $# -gt 0 ]; do
    case $1 in
      --name) name=${2:?}; shift 2 ;;
      --id) id=${2:?}; shift 2 ;;
      --ca) ca=${2:?}; shift 2 ;;
      --role) role=${2:?}; shift 2 ;;
      --days) days=${2:?}; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  mkdir -p "$dir"
  EXT=$(mktemp)
  trap 'rm -f "$EXT"' EXIT
  local ext=$EXT
  case $what in
    ca)
      newkey "$dir/ca.key"
      printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n' >"$ext"
      sign "$dir/ca.key" "$dir/ca.crt" "/CN=${name:-TRM-310 factory CA}" "$days" "" "$ext"
      echo "CA: $dir/ca.crt" ;;
    hub)
      [ -n "$name" ] || die "hub: --name HOST is needed (the name gateways connect to)"
      local san="DNS:$name"
      [[ $name =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && san="IP:$name"
      newkey "$dir/hub.key"
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$san" >"$ext"
      sign "$dir/hub.key" "$dir/hub.crt" "/CN=$name" "$days" "$ca" "$ext"
      echo "hub: $dir/hub.crt; pin=$(pin "$dir/hub.crt")" ;;
    gateway)
      [ -n "$id" ] || die "gateway: --id ID is needed (the ID its packets declare)"
      [[ $id =~ ^[A-Za-z0-9._:-]{1,31}$ ]] || die "gateway: $id is not a gateway ID"
      newkey "$dir/gateway.key"
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n' >"$ext"
      sign "$dir/gateway.key" "$dir/gateway.crt" "/CN=$id" "$days" "$ca" "$ext"
      echo "gateway $id: $dir/gateway.crt; fingerprint $(pin "$dir/gateway.crt")" ;;
    modbus)
      [ -n "$name" ] && [ -n "$ca" ] || die "modbus: --name NAME and --ca CADIR are needed"
      [[ $role =~ ^[A-Za-z0-9._:-]{1,64}$ ]] || die "modbus: --role ROLE is needed (1..64 letters, digits, . _ : -)"
      newkey "$dir/client.key"
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:%s\n' "$role" >"$ext"
      sign "$dir/client.key" "$dir/client.crt" "/CN=$name" "$days" "$ca" "$ext"
      echo "modbus client $name, role $role: $dir/client.crt" ;;
    *) die "$what: want ca, hub, gateway, modbus or pin" ;;
  esac
}

main "$@"
