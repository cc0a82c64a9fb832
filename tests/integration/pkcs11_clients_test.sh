#!/bin/bash
# The PKCS#11 module under the clients people use, against the bench's
# virtual key: OpenSC's pkcs11-tool, GnuTLS's p11tool and OpenSSL with
# libp11's engine. Every signature is checked by OpenSSL against the
# container's certificate as the module hands it out.
#   usage: pkcs11_clients_test.sh MODULE
set -u
module=$(realpath "$1")
export XDG_CONFIG_HOME=${QAVSEAL_BENCH_DIR:-/tmp}/config
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; cd "$work"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect_line() {  # expect_line OUTPUT REGEX WHAT
  grep -Eq -- "$2" <<<"$1" || fail "${3:-output}: no line matching: $2"
}
expect_no_line() {  # expect_no_line OUTPUT REGEX WHAT
  ! grep -Eq -- "$2" <<<"$1" || fail "${3:-output}: a line matching: $2"
}
expect_status() {  # expect_status ACTUAL WANTED WHAT
  [ "$1" = "$2" ] || fail "$3: exit status $1, wanted $2"
}
show() {  # show NAME ARGS...: the program's output in $out, its status in $status
  local name=$1; shift
  out=$("$@" 2>&1); status=$?
  echo "\$ $name ${*:2}"; echo "$out"
}
p11() { show pkcs11-tool pkcs11-tool --module "$module" "$@"; }
pin=12345678
token="ADM Virtual Seal 00 00"
uri_token="pkcs11:token=ADM%20Virtual%20Seal%2000%2000"
head -c 3000 /dev/urandom >data.bin

# The loopback is down in the bench's own network namespace.
ip link set lo up 2>/dev/null || true

# --- Slots, token, mechanisms, objects ----------------------------------
p11 -L
expect_status "$status" 0 "-L"
expect_line "$out" "token label +: $token\$" "-L"
expect_line "$out" 'token flags +:.*login required' "-L"
expect_line "$out" 'token flags +:.*token initialized' "-L"
p11 -I
expect_status "$status" 0 "-I"
expect_line "$out" '^Cryptoki version 2\.40|^Cryptoki version 3\.' "-I"
p11 -M
expect_status "$status" 0 "-M"
mechanisms=$out
for mechanism in 'SHA256-RSA-PKCS' 'RSA-PKCS,' 'mechtype-0x80000A01' 'mechtype-0x80000A02'; do
  expect_line "$mechanisms" "^ +$mechanism" "-M"
done
p11 -O
expect_status "$status" 0 "-O"
for name in QAV-SM2-Seal QAV-RSA1024 QAV-RSA2048; do
  expect_line "$out" "label: +$name\$" "-O"
done
expect_no_line "$out" '^Private Key Object' "-O without login"
expect_no_line "$out" 'QAV-SM2-Spare' "-O: a container without a certificate"
p11 --login --pin "$pin" -O
expect_status "$status" 0 "--login -O"
[ "$(grep -c '^Private Key Object' <<<"$out")" = 3 ] || fail "--login -O: not three private keys"
# The seal pictures, public data objects.
p11 -O --type data
expect_status "$status" 0 "-O --type data"
for n in 1 2; do expect_line "$out" "label: +'Seal picture $n'\$" "-O --type data"; done
expect_line "$out" "application: +'QAVSeal seal picture'\$" "-O --type data"

# The certificates the module hands out, and their keys.
for name in QAV-SM2-Seal QAV-RSA1024 QAV-RSA2048; do
  pkcs11-tool --module "$module" --read-object --type cert --label "$name" -o "$name.der" >/dev/null 2>&1 ||
    fail "reading the certificate of $name"
  openssl x509 -inform DER -in "$name.der" -out "$name.pem" &&
    openssl x509 -in "$name.pem" -noout -pubkey >"$name.pub" ||
    fail "the certificate of $name does not parse"
  subject=$(openssl x509 -in "$name.pem" -noout -subject 2>&1)
  expect_line "$subject" "CN ?= ?$name" "certificate of $name"
done

# --- pkcs11-tool's own tests ---------------------------------------------
p11 --test --login --pin "$pin"
expect_line "$out" '^No errors$' "--test"
p11 --test-fork
expect_status "$status" 0 "--test-fork"
expect_no_line "$out" 'ERROR|error|failed' "--test-fork"
# Four threads at once, each starting, listing and binding the token.
p11 --test-threads ILGISLT0 --test-threads ILGISLT0 --test-threads ILGISLT0 \
  --test-threads ILGISLT0 -L
expect_status "$status" 0 "--test-threads"
expect_line "$out" 'Test thread 3 C_GetSlotList returned CKR_OK' "--test-threads"
expect_no_line "$out" 'failed' "--test-threads"

# --- Signing, verified by OpenSSL ---------------------------------------
# SM2: r || s from the module, DER for OpenSSL.
rs_to_der() {  # rs_to_der IN OUT
  python3 - "$1" "$2" <<'EOF'
import sys
rs = open(sys.argv[1], 'rb').read()
if len(rs) != 64:
    sys.exit("r||s is %d bytes" % len(rs))
def integer(b):
    b = b.lstrip(b'\0') or b'\0'
    if b[0] & 0x80:
        b = b'\0' + b
    return b'\x02' + bytes([len(b)]) + b
body = integer(rs[:32]) + integer(rs[32:])
open(sys.argv[2], 'wb').write(b'\x30' + bytes([len(body)]) + body)
EOF
}
p11 --login --pin "$pin" --sign -m 0x80000A02 --label QAV-SM2-Seal -i data.bin -o sm2sm3.rs
expect_status "$status" 0 "SM2 with SM3"
rs_to_der sm2sm3.rs sm2sm3.der &&
  openssl dgst -sm3 -verify QAV-SM2-Seal.pub -sigopt distid:1234567812345678 \
    -signature sm2sm3.der data.bin >/dev/null 2>&1 ||
  fail "the SM2-with-SM3 signature does not verify"
# The hash mechanism signs e as given: OpenSSL's check of the message makes
# the same e, so a signature of e from the host's own Z verifies.
openssl dgst -sm3 -binary data.bin >m.sm3
p11 --login --pin "$pin" --sign -m 0x80000A01 --label QAV-SM2-Seal -i m.sm3 -o sm2.rs
expect_status "$status" 0 "SM2 of a hash"
rs_to_der sm2.rs sm2.der &&
  openssl pkeyutl -verify -pubin -inkey QAV-SM2-Seal.pub -in m.sm3 -sigfile sm2.der >/dev/null 2>&1 ||
  fail "the SM2 signature of a hash does not verify"

# RSA by CKA_ID: pkcs11-tool picks the key it signs or decrypts with by --id
# alone (--label would give it the first private key).
head -c 32 data.bin >secret.bin
for name in QAV-RSA1024 QAV-RSA2048; do
  id=$(pkcs11-tool --module "$module" -O --type cert 2>/dev/null |
    grep -A3 "label: *$name\$" | sed -n 's/.*ID: *//p')
  [ -n "$id" ] || { fail "no CKA_ID for $name"; continue; }
  p11 --login --pin "$pin" --sign -m SHA256-RSA-PKCS --id "$id" -i data.bin -o "$name.sig"
  expect_status "$status" 0 "SHA256-RSA-PKCS with $name"
  openssl dgst -sha256 -verify "$name.pub" -signature "$name.sig" data.bin >/dev/null 2>&1 ||
    fail "the SHA256-RSA-PKCS signature of $name does not verify"
  openssl pkeyutl -encrypt -pubin -inkey "$name.pub" -in secret.bin -out "$name.enc" ||
    fail "encrypting to $name"
  p11 --login --pin "$pin" --decrypt -m RSA-PKCS --id "$id" -i "$name.enc" -o "$name.dec"
  expect_status "$status" 0 "RSA-PKCS decryption with $name"
  cmp -s "$name.dec" secret.bin || fail "RSA-PKCS decryption with $name gives other bytes"

  # PSS made on the host around the card's raw operation: a salt as long as
  # the digest, as pkcs11-tool asks by default.
  # (pkcs11-tool takes --hash-algorithm only with RSA-PKCS-PSS, whose input
  # is the hash.)
  p11 --login --pin "$pin" --sign -m SHA256-RSA-PKCS-PSS --mgf MGF1-SHA256 \
    --id "$id" -i data.bin -o "$name.pss"
  expect_status "$status" 0 "SHA256-RSA-PKCS-PSS with $name"
  openssl dgst -sha256 -verify "$name.pub" -sigopt rsa_padding_mode:pss \
    -sigopt rsa_pss_saltlen:digest -signature "$name.pss" data.bin >/dev/null 2>&1 ||
    fail "the SHA256-RSA-PKCS-PSS signature of $name does not verify"
  openssl dgst -sha384 -binary data.bin >data.sha384
  p11 --login --pin "$pin" --sign -m RSA-PKCS-PSS --hash-algorithm SHA384 --mgf MGF1-SHA384 \
    --id "$id" -i data.sha384 -o "$name.pss384"
  expect_status "$status" 0 "RSA-PKCS-PSS of a SHA-384 hash with $name"
  openssl pkeyutl -verify -pubin -inkey "$name.pub" -pkeyopt rsa_padding_mode:pss \
    -pkeyopt digest:sha384 -pkeyopt rsa_pss_saltlen:digest -in data.sha384 \
    -sigfile "$name.pss384" >/dev/null 2>&1 ||
    fail "the RSA-PKCS-PSS signature of a hash with $name does not verify"
  # OAEP checked on the host: OpenSSL's block, SHA-256 with MGF1 over SHA-256.
  openssl pkeyutl -encrypt -pubin -inkey "$name.pub" -pkeyopt rsa_padding_mode:oaep \
    -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256 -in secret.bin -out "$name.oaep" ||
    fail "OAEP-encrypting to $name"
  p11 --login --pin "$pin" --decrypt -m RSA-PKCS-OAEP --mgf MGF1-SHA256 --hash-algorithm SHA256 \
    --id "$id" -i "$name.oaep" -o "$name.oaep.dec"
  expect_status "$status" 0 "RSA-PKCS-OAEP decryption with $name"
  cmp -s "$name.oaep.dec" secret.bin || fail "RSA-PKCS-OAEP decryption with $name gives other bytes"
done

# --- PIN: changed and back, a wrong one counting down -------------------
p11 --change-pin --pin "$pin" --new-pin 87654321
expect_status "$status" 0 "--change-pin"
p11 --login --pin 87654321 -O
expect_status "$status" 0 "login with the new PIN"
p11 --login --pin "$pin" -O
expect_line "$out" 'CKR_PIN_INCORRECT' "login with the old PIN after the change"
p11 --change-pin --pin 87654321 --new-pin "$pin"
expect_status "$status" 0 "--change-pin back"
# Tries: 6; five wrong leave 1 (final try),
# the right one restores them.
p11 --login --pin 11112222 -O
expect_line "$out" 'CKR_PIN_INCORRECT' "a wrong PIN"
p11 -L
expect_no_line "$out" 'final user PIN try' "-L after a wrong PIN"
expect_line "$out" 'token flags +:.*user PIN count low' "-L after a wrong PIN"
for _ in 1 2 3; do pkcs11-tool --module "$module" --login --pin 11112222 -O >/dev/null 2>&1; done
p11 --login --pin 11112222 -O
expect_line "$out" 'CKR_PIN_INCORRECT' "the fifth wrong PIN"
p11 -L
expect_line "$out" 'token flags +:.*final user PIN try' "-L with one try left"
p11 --login --pin "$pin" -O
expect_status "$status" 0 "the right PIN on the last try"
p11 -L
expect_no_line "$out" 'final user PIN try|user PIN locked|user PIN count low' "-L after the right PIN"

# --- GnuTLS p11tool -----------------------------------------------------
show p11tool p11tool --provider "$module" --list-tokens
expect_status "$status" 0 "p11tool --list-tokens"
expect_line "$out" "Label: $token\$" "p11tool --list-tokens"
show p11tool p11tool --provider "$module" --list-all-certs "$uri_token"
expect_status "$status" 0 "p11tool --list-all-certs"
for name in QAV-SM2-Seal QAV-RSA1024 QAV-RSA2048; do
  expect_line "$out" "Label: $name\$" "p11tool --list-all-certs"
done
show p11tool env GNUTLS_PIN="$pin" p11tool --provider "$module" --login --test-sign \
  "$uri_token;object=QAV-RSA1024;type=private"
expect_status "$status" 0 "p11tool --test-sign"
expect_line "$out" 'Verifying against public key in the token\.\.\. ok' "p11tool --test-sign"
expect_no_line "$out" 'failed' "p11tool --test-sign"
show p11tool env GNUTLS_PIN="$pin" p11tool --provider "$module" --login --export-pubkey \
  "$uri_token;object=QAV-RSA2048;type=public"
expect_status "$status" 0 "p11tool --export-pubkey"
cmp -s <(openssl pkey -pubin -outform DER <<<"$out" 2>/dev/null) \
  <(openssl pkey -pubin -in QAV-RSA2048.pub -outform DER) ||
  fail "p11tool --export-pubkey gives another key than the certificate's"

# --- OpenSSL with libp11's engine ---------------------------------------
export PKCS11_MODULE_PATH=$module
key="$uri_token;object=QAV-RSA1024;type=private;pin-value=$pin"
show openssl openssl req -new -x509 -engine pkcs11 -keyform engine -key "$key" \
  -subj "/CN=Made through the engine" -sha256 -days 2 -out engine.pem
expect_status "$status" 0 "openssl req through the engine"
show openssl openssl verify -CAfile engine.pem engine.pem
expect_line "$out" '^engine.pem: OK$' "the engine's certificate"
cmp -s <(openssl x509 -in engine.pem -noout -pubkey) QAV-RSA1024.pub ||
  fail "the engine's certificate does not carry the key's public key"

# TLS 1.3 on the loopback, the client authenticated by the seal key: RSA-PSS
# through the engine (RSA-1024 is below OpenSSL's default security level).
openssl req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem -days 1 \
  -subj "/CN=localhost" >/dev/null 2>&1 || fail "making the server's key"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# s_server ends at the end of its input: a pipe the script holds open.
mkfifo server.in
timeout 60 openssl s_server -tls1_3 -accept "127.0.0.1:$port" -naccept 1 -cert server.pem \
  -key server.key -Verify 1 -CAfile QAV-RSA2048.pem <server.in >server.log 2>&1 &
server=$!
exec 3>server.in
for _ in $(seq 50); do
  grep -q '^ACCEPT' server.log && break
  sleep 0.1
done
key="$uri_token;object=QAV-RSA2048;type=private;pin-value=$pin"
show sh sh -c "(sleep 2; echo seal-says-hello) | timeout 60 openssl s_client -tls1_3 \
  -connect 127.0.0.1:$port -engine pkcs11 -keyform engine -key '$key' \
  -cert QAV-RSA2048.pem -CAfile server.pem"
expect_line "$out" '^New, TLSv1\.3, Cipher is ' "s_client"
wait "$server"
exec 3>&-
echo "\$ openssl s_server (its output)"; cat server.log
server_out=$(cat server.log)
expect_line "$server_out" '^subject=.*CN ?= ?QAV-RSA2048' "s_server: the client's certificate"
expect_line "$server_out" '^verify return:1$' "s_server: the client's certificate chain"
expect_line "$server_out" '^Peer signature type: RSA-PSS$' "s_server: the client's signature"
expect_line "$server_out" '^seal-says-hello$' "s_server: data after the handshake"
expect_no_line "$server_out" 'error|alert' "s_server"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all PKCS#11 client checks passed"
