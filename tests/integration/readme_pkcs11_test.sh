#!/bin/bash
# The README's PKCS#11 commands, taken from README.md at run time and run as
# they stand, against the bench's virtual key: in a scratch copy of the
# source folder's layout (the README, the module where a build puts it), so
# their files and the NSS database they make are temporary.
#   usage: readme_pkcs11_test.sh README MODULE
set -u
readme=$(realpath "$1") module=$(realpath "$2")
export XDG_CONFIG_HOME=${QAVSEAL_BENCH_DIR:-/tmp}/config
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# The first fenced sh block after the PKCS#11 heading.
awk '/^## / { in_section = ($0 == "## PKCS#11") }
     in_section && !inside && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" >"$work/block.sh"
[ -s "$work/block.sh" ] || { echo "FAILED: README.md has no sh block under '## PKCS#11'"; exit 1; }

mkdir -p "$work/src/build/pkcs11"
cp "$readme" "$work/src/README.md"
ln -s "$module" "$work/src/build/pkcs11/libqavseal-pkcs11.so"
echo "--- the README's block"
cat "$work/block.sh"
echo "--- its run"
out=$(cd "$work/src" && bash -e -o pipefail "$work/block.sh" 2>&1)
status=$?
echo "$out"
[ "$status" = 0 ] || fail "the block ended with status $status"

expect_line() {  # expect_line REGEX WHAT
  grep -Eq -- "$1" <<<"$out" || fail "$2: no line matching: $1"
}
expect_line 'token label +: ADM Virtual Seal 00 00$' "pkcs11-tool --list-token-slots"
expect_line '^Verified OK$' "openssl dgst -verify of the signature pkcs11-tool made"
expect_line "label: +'Seal picture 2'$" "pkcs11-tool --list-objects --type data"
expect_line '^seal-self\.pem: OK$' "openssl verify of the engine's certificate"
expect_line '^Name: QAVSeal$' "modutil -list"
for name in QAV-SM2-Seal QAV-RSA1024 QAV-RSA2048; do
  expect_line "^ADM Virtual Seal 00 00:$name +u,u,u\$" "certutil -L on the token"
done
# The signature is by the key the README means: its certificate's key.
subject=$(openssl x509 -inform DER -in "$work/src/seal.der" -noout -subject 2>&1)
grep -Eq 'CN ?= ?QAV-RSA1024' <<<"$subject" || fail "the key's certificate is not QAV-RSA1024's: $subject"
cmp -s <(openssl x509 -in "$work/src/seal-self.pem" -noout -pubkey 2>/dev/null) "$work/src/seal-key.pem" ||
  fail "the engine's certificate does not carry QAV-RSA1024's public key"
[ "$(head -c 8 "$work/src/seal1.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "seal1.png is not the PNG image of the first seal picture"
[ -f "$work/src/nssdb/cert9.db" ] || fail "no NSS database was made"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the README's PKCS#11 block ran as written"
