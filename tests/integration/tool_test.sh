#!/bin/bash
# The qavseal tool against the bench's virtual key: what `info` and `apdu`
# print, and how they fail. usage: tool_test.sh QAVSEAL_PROGRAM
set -u
tool=$1
export XDG_CONFIG_HOME=${QAVSEAL_BENCH_DIR:-/tmp}/config
failures=0

expect_line() {  # expect_line OUTPUT REGEX
  if ! grep -Eq -- "$2" <<<"$1"; then
    echo "missing a line matching: $2"; failures=$((failures + 1))
  fi
}
expect_status() {  # expect_status ACTUAL WANTED WHAT
  if [ "$1" != "$2" ]; then
    echo "$3: exit status $1, wanted $2"; failures=$((failures + 1))
  fi
}

out=$("$tool" info); status=$?
echo "$out"
expect_status "$status" 0 "info"
expect_line "$out" '^Reader: +ADM Virtual Seal 00 00$'
expect_line "$out" '^ATR: +3B( [0-9A-F]{2})+$'
expect_line "$out" '^Abilities: +flag1 1, flag2 1$'
# The card's 01 02 come out low byte first.
expect_line "$out" '^Ability data: +02 01( [0-9A-F]{2}){30}$'
expect_line "$out" '^PIN changed: +0$'
expect_line "$out" '^Payment application: +1$'

out=$("$tool" apdu --reader "$QAVSEAL_READER" 0084000008 "00 A4 00 00 02 99 99"); status=$?
echo "$out"
expect_status "$status" 0 "apdu"
expect_line "$out" '^> 00 84 00 00 08$'
expect_line "$out" '^< ([0-9A-F]{2} ){8}9000$'
expect_line "$out" '^< 6A82$'

"$tool" apdu 0084G0; expect_status $? 2 "apdu with bad hexadecimal"
out=$("$tool" info --reader "No Such Reader" 2>&1); status=$?
echo "$out"
expect_status "$status" 1 "info on a missing reader"
expect_line "$out" '\(0x80100009\)$'

echo remove >"$QAVSEAL_VCARD_CTL"
sleep 1
out=$("$tool" info 2>&1); status=$?
echo "$out"
expect_status "$status" 1 "info without a key"
expect_line "$out" '\(0xE0170019\)$'
echo insert >"$QAVSEAL_VCARD_CTL"

# watch: the key present at the start, its removal and its return, until SIGINT.
sleep 1
"$tool" watch >"$QAVSEAL_BENCH_DIR/watch.out" 2>&1 &
watcher=$!
sleep 1
echo remove >"$QAVSEAL_VCARD_CTL"; sleep 1
echo insert >"$QAVSEAL_VCARD_CTL"; sleep 1
kill -INT "$watcher"; wait "$watcher"; expect_status $? 0 "watch after SIGINT"
out=$(cat "$QAVSEAL_BENCH_DIR/watch.out")
echo "$out"
expected=$(printf 'arrived: %s\nremoved: %s\narrived: %s' "$QAVSEAL_READER" "$QAVSEAL_READER" "$QAVSEAL_READER")
[ "$out" = "$expected" ] || { echo "watch printed something else"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "tool: all checks passed"
exit $((failures > 0))
