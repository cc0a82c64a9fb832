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
# A reader that does not exist answers exit 1 the moment the key is opened:
# exit 2 with the message shows the problem was found before.
expect_usage() {  # expect_usage REGEX ARGS...
  local regex=$1; shift
  run --device "No Such Reader" "$@"
  expect_status "$status" 2 "usage: $*"; expect_line "$out" "$regex"
}
expect_json_usage() {  # expect_json_usage ARGS...: exit 2, stdout one JSON usage error
  local doc; doc=$("$tool" --json "$@" 2>/dev/null); expect_status $? 2 "--json $*"
  python3 -c 'import json,sys; e=json.loads(sys.argv[1])["error"]; assert e["kind"]=="usage" and e["message"], e' "$doc" ||
    fail "--json $*: no JSON usage error: $doc"
}
echo 12345678 >pin
seal=QAV-SM2-Seal
# Keys travel in files, never on the command line.
echo 11223344556677889900AABBCCDDEEFF >mac.key; echo 00223344556677889900AABBCCDDEEFF >badmac.key
echo 0F1E2D3C4B5A69788796A5B4C3D2E1F0 >enc.key; echo 0011223344556677 >short.key
echo 404142434445464748494A4B4C4D4E4F >ext.key; echo 004142434445464748494A4B4C4D4E4F >badext.key
: >empty.bin

# Usage errors never reach the card.
for args in "" "apdu 0084G0" "random --length 0" "sign -c $seal" "pin" "no-such-command"; do
  run $args; expect_status "$status" 2 "usage: '$args'"
done
run pin verify </dev/null; expect_status "$status" 2 "a PIN without a terminal or --pin-fd"
run pin change --help; expect_status "$status" 0 "help"; expect_line "$out" 'Usage: qavseal pin change'
run pin verify --pin-pad; expect_status "$status" 2 "the PIN-pad flag is gone"

# Arguments that cannot work: exit 2 saying what is wrong, the key untouched.
head -c 700 /dev/urandom >plain.bin; head -c 16 /dev/urandom >key.bin; head -c 64 /dev/urandom >blocks.bin
head -c 32 /dev/urandom >hash32.bin
iv16=000102030405060708090A0B0C0D0E0F
expect_usage 'a command APDU begins with 4 bytes \(CLA INS P1 P2\); 00 has 1$' apdu 00
expect_usage '; 00A404 has 3$' apdu 0084000008 00A404
expect_usage 'give the data to hash with --in FILE$' hash
expect_usage 'cannot read missing\.bin: No such file or directory$' hash -i missing.bin
for args in "hash -i empty.bin" "sign -c $seal --data-file empty.bin" "file write --fid 2004 -i empty.bin" \
    "key-calc -c $seal -i empty.bin" "seal-write -i empty.bin --digest $(printf '%064d' 0)" \
    "verify-cert --key-pair A --issuer B --store C -i empty.bin"; do
  expect_usage '^qavseal: empty\.bin is empty: there is nothing to send to the card$' $args
done
expect_usage 'an SM3 digest is 32 bytes, not 1$' seal-write -i plain.bin --digest 00
expect_usage 'holds 700 bytes: the seal signs a 32-byte hash$' sign -c $seal --hash-file plain.bin
expect_usage 'hash with sm3 or sha256$' sign -c $seal --data-file plain.bin -a sha1
expect_usage 'at most 64 bytes of text, not 65$' sign -c $seal --hash-file hash32.bin --text "$(printf '%065d' 0)"
expect_usage '--mac-key-file requires --enc-key-file' file write --fid 2004 -i plain.bin --mac-key-file mac.key
expect_usage '--enc-key-file requires --mac-key-file' file write --fid 2004 -i plain.bin --enc-key-file enc.key
expect_usage '--mac-key-file short\.key: the key is 8 bytes long, an SM4 key 16$' \
  file write --fid 2004 -i plain.bin --mac-key-file short.key --enc-key-file enc.key
expect_usage '--mac-key-file short\.key: the key is 8 bytes long' pin reload --mac-key-file short.key
expect_usage '--mac-key-file plain\.bin: the file must hold the key in hexadecimal digits$' key-write -c $seal -t sm2 -i plain.bin --mac-key-file plain.bin
expect_usage '--key-file short\.key: the key is 8 bytes long' auth external --key-file short.key
expect_usage '--mac-key' pin reload --mac-key 11223344556677889900AABBCCDDEEFF  # no key on the command line
expect_usage '--cbc requires --iv' session-key encrypt --key-file key.bin --cbc -i blocks.bin
expect_usage '--iv requires --cbc' session-key encrypt --key-file key.bin --iv $iv16 -i blocks.bin
expect_usage 'initial vector is 16 bytes, not 2$' session-key encrypt --key-file key.bin --cbc --iv 0001 -i blocks.bin
expect_usage 'initial vector is 8 bytes, not 16$' session-key decrypt -a des --key-file key.bin --cbc --iv $iv16 -i blocks.bin
expect_usage 'plain\.bin is 700 bytes long: the cipher decrypts whole 16-byte blocks$' session-key decrypt --key-file key.bin -i plain.bin
expect_usage 'initial vector is 16 bytes, not 8$' cipher encrypt --iv 0001020304050607 -i blocks.bin
expect_usage 'whole 16-byte blocks$' cipher mac --key-file mac.key -i plain.bin
expect_usage '65536 not in range' file read --fid 2004 -n 65536
expect_usage 'offset 100 and 65500 bytes run past the last position of a card file' file read --fid 2004 --offset 100 -n 65500
expect_usage '--pin-fd 9: descriptor 9 is not open' --pin-fd 9 pin verify
expect_usage 'the card encrypts exactly 16 bytes, not 2$' auth internal --data 0001
run --pin-fd 0 pin verify </dev/null
expect_status "$status" 2 "no PIN line"; expect_line "$out" '--pin-fd 0: the descriptor ended before a line with the PIN$'
# With --json the same errors are JSON documents on stdout too.
for args in "hash" "hash -i missing.bin" "no-such-command" "apdu 00" "--pin-fd 9 pin verify" "file write --fid 1 -i plain.bin --mac-key-file mac.key"; do
  expect_json_usage $args
done

# Help that says what is offered, and what is not.
for entry in "pin change|two lines: the current PIN, then the new one" "sign|at most 64 bytes" \
    "sign|the 32-byte hash to sign \(SM3 or SHA-256" "pubkey|not RSA-2048, RSA-1280" "state|no kind 3" \
    "file read|1\.\.65535" "cipher mac|the card's MAC takes no key of its own"; do
  run ${entry%%|*} --help; expect_line "$out" "${entry#*|}"
done
run cipher mac --help; grep -q "default: the card's cipher key" <<<"$out" && fail "cipher mac offers the card's key"

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
run --pin-fd 0 pin reload --mac-key-file mac.key <pin
expect_status "$status" 0 "reload"
run --pin-fd 0 pin reload --mac-key-file badmac.key <pin
expect_line "$out" 'QAV_CARD_STATUS\(6988\)'
run --pin-fd 0 pin change < <(printf '12345678\n87654321\n')
expect_status "$status" 0 "change"
run --pin-fd 0 --json pin change < <(printf '87654321\n12345678\n')
expect_line "$out" '"pin": "changed"'
run state --kind 1; expect_line "$out" '^State: +1$'
run reset; expect_status "$status" 0 "reset"
run pin tries; expect_status "$status" 0 "tries"; expect_line "$out" '^Tries left: +6$'
run apdu 0020000000; expect_line "$out" '^< 63C6$'  # tries back at the maximum, nothing spent

# The spare container: no certificate yet, keys of its own type only.
run cert -c QAV-SM2-Spare
expect_status "$status" 1 "cert of an empty certificate file"; expect_line "$out" 'container QAV-SM2-Spare holds no certificate'
run keygen -c QAV-SM2-Spare -t rsa1024
expect_status "$status" 2 "an RSA key in an SM2 container"
expect_line "$out" 'container QAV-SM2-Spare holds sm2 keys: generate with -t sm2, not rsa1024$'
run --pin-fd 0 keygen -c QAV-SM2-Spare -t sm2 <pin; expect_status "$status" 0 "keygen"
run pubkey -c QAV-SM2-Spare; expect_line "$out" '^Public key: +[0-9A-F]{128}$'
run pubkey -c QAV-RSA2048
expect_status "$status" 1 "pubkey of RSA-2048"; expect_line "$out" 'RSA-1024 and SM2 containers only'
run state --kind 3; expect_status "$status" 1 "state kind 3"

# Files: plain and secured writes read back, progress only on a terminal.
head -c 300 /dev/urandom >secured.bin
run --pin-fd 0 file write --fid 2004 -i plain.bin <pin; expect_status "$status" 0 "file write"
run file read --fid 2004 -n 700 -o back.bin
cmp -s plain.bin back.bin || fail "file read back"
[ -z "$("$tool" file read --fid 2004 -n 700 -o back.bin 2>&1 >/dev/null)" ] || fail "a progress bar without a terminal"
bar=$(script -qec "$tool file read --fid 2004 -n 700 -o back.bin" /dev/null)
grep -q 'reading \[#\{30\}\] 100%' <<<"$bar" || fail "no progress bar on a terminal: $bar"
run file write --fid 2004 --offset 100 -i secured.bin --mac-key-file mac.key --enc-key-file enc.key
run file read --fid 2004 --offset 100 -n 300 -o back.bin
cmp -s secured.bin back.bin || fail "secured write read back"
for range in "0 65535" "60000 5000"; do  # the last piece short, or none at all
  run file read --fid 2004 --offset ${range% *} -n ${range#* }
  expect_status "$status" 1 "a read past the end"
  expect_line "$out" "the card file is shorter than offset ${range% *} plus ${range#* } bytes"
done

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
run --pin-fd 0 sign -c $seal --hash-file hash.bin -o rs.bin <pin
cat hash.bin rs.bin >verify.in
run key-calc -c $seal --mode 0 -i verify.in; expect_status "$status" 0 "verify"; expect_line "$out" '^Signature: +verified$'
(cat hash.bin; head -c 63 rs.bin; printf '\001') >forged.in
run key-calc -c $seal --mode 0 -i forged.in; expect_status "$status" 1 "a forged signature verifies"
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
run session-key export --key-file key.bin --wrap QAV-RSA1024; expect_line "$out" '^Key: +[0-9A-F]{256}$'
run session-key delete --card-key
expect_status "$status" 0 "delete --card-key"; expect_line "$out" "the card's cipher key stays on the card"
xxd -p key.bin >key.hex
run cipher encrypt --key-file key.hex -i blocks.bin -o enc.bin
cmp -s enc.bin <(openssl enc -sm4-ecb -nopad -K "$(xxd -p key.bin)" -in blocks.bin) || fail "cipher encrypt"

# Authentication with the card's keys.
run auth external --key-ref 1 --key-file ext.key; expect_status "$status" 0 "external auth"
run auth external --key-ref 1 --key-file badext.key
expect_line "$out" '^Tries left: +4$'
run auth internal --key-ref 1 --data 000102030405060708090A0B0C0D0E0F
expect_line "$out" "^Answer: +$(printf '000102030405060708090A0B0C0D0E0F' | xxd -r -p |
  openssl enc -sm4-ecb -nopad -K 505152535455565758595A5B5C5D5E5F | xxd -p | tr a-f A-F)\$"

# watch: the key present at the start, its removal and its return, until SIGINT.
# With --json, one JSON object a line.
"$tool" watch >watch.out 2>&1 &
watcher=$!
"$tool" --json watch >watch.json 2>&1 &
json_watcher=$!
sleep 1
echo remove >"$QAVSEAL_VCARD_CTL"; sleep 1
echo insert >"$QAVSEAL_VCARD_CTL"; sleep 1
kill -INT "$watcher" "$json_watcher"
wait "$watcher"; expect_status $? 0 "watch after SIGINT"
wait "$json_watcher"; expect_status $? 0 "watch --json after SIGINT"
expected=$(printf 'arrived: %s\nremoved: %s\narrived: %s' "$QAVSEAL_READER" "$QAVSEAL_READER" "$QAVSEAL_READER")
[ "$(cat watch.out)" = "$expected" ] || fail "watch printed: $(cat watch.out)"
python3 - watch.json "$QAVSEAL_READER" <<'PY' || fail "watch --json printed: $(cat watch.json)"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert events == [{"event": e, "device": sys.argv[2]} for e in ("arrived", "removed", "arrived")], events
PY

[ "$failures" -eq 0 ] && echo "tool: all checks passed"
exit $((failures > 0))
