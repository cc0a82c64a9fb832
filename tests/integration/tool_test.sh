#!/bin/bash
# The qavseal tool against the bench's virtual key, one block per command
# family: what it prints, the files it writes (checked by OpenSSL and a PNG
# decoder), and its exit status. usage: tool_test.sh QAVSEAL_PROGRAM
set -u
tool=$(realpath "$1")
export XDG_CONFIG_HOME=${QAVSEAL_BENCH_DIR:-/tmp}/config
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; cd "$work"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect_line() {  # expect_line OUTPUT REGEX
  grep -Eq -- "$2" <<<"$1" || fail "no line matching: $2"
}
expect_status() {  # expect_status ACTUAL WANTED WHAT
  [ "$1" = "$2" ] || fail "$3: exit status $1, wanted $2"
}
run() {  # run ARGS...: the tool's stdout and stderr in $out, its status in $status
  out=$("$tool" "$@" 2>&1); status=$?
  echo "\$ qavseal $*"; echo "$out"
}
echo 12345678 >pin
seal=QAV-SM2-Seal

# Usage errors never reach the card.
for args in "" "apdu 0084G0" "random --length 0" "sign -c $seal" "pin" "no-such-command"; do
  run $args; expect_status "$status" 2 "usage: '$args'"
done
run pin verify </dev/null; expect_status "$status" 2 "a PIN without a terminal or --pin-fd"
run pin change --help; expect_status "$status" 0 "help"; expect_line "$out" 'Usage: qavseal pin change'

# Devices and info, as text and JSON.
run info
expect_status "$status" 0 "info"
expect_line "$out" '^Reader: +ADM Virtual Seal 00 00$'
expect_line "$out" '^ATR: +3B( [0-9A-F]{2})+$'
expect_line "$out" '^Abilities: +flag1 1, flag2 1$'
expect_line "$out" '^Ability data: +02 01( [0-9A-F]{2}){62}$'  # low byte first
expect_line "$out" '^Payment application: +1$'
run --json info
python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert d["abilities"]=={"flag1":1,"flag2":1} and d["pin_changed"]==0, d' "$out" ||
  fail "info --json"
run info --device "No Such Reader"
expect_status "$status" 1 "info on a missing reader"
expect_line "$out" 'Unknown reader\. \(SCARD_E_UNKNOWN_READER, 0x80100009\)$'
run apdu --lock 0084000008 "00 A4 00 00 02 99 99"
expect_line "$out" '^< ([0-9A-F]{2} ){8}9000$'
expect_line "$out" '^< 6A82$'

# PIN: wrong, unblocked with a MAC-secured reload, changed and changed back.
run --pin-fd 0 pin verify <<<11112222
expect_status "$status" 1 "wrong PIN"
expect_line "$out" '^Tries left: +5$'
expect_line "$out" 'Wrong PIN\. \(QAV_E_PIN_WRONG, 0xE0170044\)$'
run --pin-fd 0 pin reload --mac-key 11223344556677889900AABBCCDDEEFF <pin
expect_status "$status" 0 "reload"
run --pin-fd 0 pin reload --mac-key 00223344556677889900AABBCCDDEEFF <pin
expect_line "$out" 'QAV_CARD_STATUS\(6988\)'
run --pin-fd 0 pin change < <(printf '12345678\n87654321\n')
expect_status "$status" 0 "change"
run --pin-fd 0 --json pin change < <(printf '87654321\n12345678\n')
expect_line "$out" '"pin": "changed"'
run state --kind 1; expect_line "$out" '^State: +1$'
run reset; expect_status "$status" 0 "reset"
run apdu 0020000000; expect_line "$out" '^< 63C6$'  # tries back at the maximum

# Files: plain and secured writes read back, progress only on a terminal.
head -c 700 /dev/urandom >plain.bin; head -c 300 /dev/urandom >secured.bin
run --pin-fd 0 file write --fid 2004 -i plain.bin <pin; expect_status "$status" 0 "file write"
run file read --fid 2004 -n 700 -o back.bin
cmp -s plain.bin back.bin || fail "file read back"
[ -z "$("$tool" file read --fid 2004 -n 700 -o back.bin 2>&1 >/dev/null)" ] || fail "a progress bar without a terminal"
bar=$(script -qec "$tool file read --fid 2004 -n 700 -o back.bin" /dev/null)
grep -q 'reading \[#\{30\}\] 100%' <<<"$bar" || fail "no progress bar on a terminal: $bar"
run file write --fid 2004 --offset 100 -i secured.bin --mac-key 11223344556677889900AABBCCDDEEFF \
  --enc-key 0F1E2D3C4B5A69788796A5B4C3D2E1F0
run file read --fid 2004 --offset 100 -n 300 -o back.bin
cmp -s secured.bin back.bin || fail "secured write read back"

# Random bytes and the card's hash.
run random -n 17; expect_line "$out" '^Random: +[0-9A-F]{34}$'
run hash -a sha256 -i plain.bin
expect_line "$out" "^Digest: +$(sha256sum plain.bin | cut -c1-64 | tr a-f A-F)\$"

# Containers, certificates (DER and PEM) and the public key they hold.
run containers; expect_line "$out" "^$seal\$"; expect_line "$out" '^QAV-RSA2048$'
run cert -c $seal -o cert.der
run cert -c $seal --pem -o cert.pem
openssl x509 -inform DER -in cert.der -pubkey -noout >pub.pem || fail "the DER certificate"
cmp -s <(openssl x509 -in cert.pem -outform DER) cert.der || fail "the PEM certificate"
run pubkey -c $seal -o key.bin
cmp -s <(openssl pkey -pubin -in pub.pem -outform DER | tail -c 64) key.bin || fail "pubkey"
run cert -c NoSuchContainer; expect_status "$status" 1 "cert of no container"

# Seals: the signature verifies on the host, the pictures decode as PNG.
run --pin-fd 0 sign -c $seal --data-file plain.bin --der -o sig.der <pin
openssl dgst -sm3 -binary plain.bin >hash.bin
expect_line "$out" "^Hash: +$(xxd -p -c 32 hash.bin | tr a-f A-F)\$"
openssl pkeyutl -verify -pubin -inkey pub.pem -in hash.bin -sigfile sig.der >/dev/null ||
  fail "the seal signature does not verify"
run clear-state; run sign -c $seal --hash-file hash.bin
expect_line "$out" 'verify the PIN .*\(QAV_CARD_STATUS\(6982\), 0xE0186982\)$'
run picture -p 2 -o seal.png
run --pin-fd 0 watermark -c $seal --hash-file hash.bin --text Approved -o sealed.png <pin
python3 - seal.png 200 sealed.png 256 <<'PY' || fail "the pictures are not PNG images of their size"
import struct, sys, zlib
for path, edge in zip(sys.argv[1::2], sys.argv[2::2]):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat, size = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        assert zlib.crc32(kind + body) == struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        if kind == b"IHDR": size = struct.unpack(">II", body[:8])
        if kind == b"IDAT": idat += body
        pos += 12 + length
    assert size == (int(edge), int(edge)) and len(zlib.decompress(idat)) >= size[0] * size[1], path
PY
run --pin-fd 0 seal-write -i plain.bin --digest "$(openssl dgst -sm3 -hex plain.bin | cut -d' ' -f2)" <pin
expect_status "$status" 0 "seal-write"
run cardnumber; expect_line "$out" '^Card number: +6225880012345678$'

# Symmetric keys: session keys and the card's SM4 agree with OpenSSL.
head -c 16 /dev/urandom >key.bin; head -c 64 /dev/urandom >blocks.bin
run session-key encrypt --key-file key.bin -i blocks.bin -o enc.bin
cmp -s enc.bin <(openssl enc -sm4-ecb -nopad -K "$(xxd -p key.bin)" -in blocks.bin) || fail "session-key encrypt"
run session-key decrypt --key-file key.bin --cbc --iv 000102030405060708090A0B0C0D0E0F --padding 80 -i enc.bin
expect_status "$status" 1 "decrypting random bytes as padded"
run --json session-key export --key-file key.bin
expect_line "$out" "\"key\": \"$(xxd -p key.bin | tr a-f A-F)\""
run cipher encrypt --key "$(xxd -p key.bin)" -i blocks.bin -o enc.bin
cmp -s enc.bin <(openssl enc -sm4-ecb -nopad -K "$(xxd -p key.bin)" -in blocks.bin) || fail "cipher encrypt"

# Authentication with the card's keys.
run auth external --key-ref 1 --key 404142434445464748494A4B4C4D4E4F; expect_status "$status" 0 "external auth"
run auth external --key-ref 1 --key 004142434445464748494A4B4C4D4E4F
expect_line "$out" '^Tries left: +4$'
run auth internal --key-ref 1 --data 000102030405060708090A0B0C0D0E0F
expect_line "$out" "^Answer: +$(printf '000102030405060708090A0B0C0D0E0F' | xxd -r -p |
  openssl enc -sm4-ecb -nopad -K 505152535455565758595A5B5C5D5E5F | xxd -p | tr a-f A-F)\$"

# watch: the key present at the start, its removal and its return, until SIGINT.
"$tool" watch >watch.out 2>&1 &
watcher=$!
sleep 1
echo remove >"$QAVSEAL_VCARD_CTL"; sleep 1
echo insert >"$QAVSEAL_VCARD_CTL"; sleep 1
kill -INT "$watcher"; wait "$watcher"; expect_status $? 0 "watch after SIGINT"
expected=$(printf 'arrived: %s\nremoved: %s\narrived: %s' "$QAVSEAL_READER" "$QAVSEAL_READER" "$QAVSEAL_READER")
[ "$(cat watch.out)" = "$expected" ] || fail "watch printed: $(cat watch.out)"

[ "$failures" -eq 0 ] && echo "tool: all checks passed"
exit $((failures > 0))
