#!/usr/bin/env bash
# The demo: the whole road on one machine, every process real. Under a temporary state root it
# starts the stand-in daemon (signed by a test certificate authority) and the simulated phone,
# launches brellis (launch check, login window, token configuration), makes an ECDSA signature
# through the PKCS#11 module and the token plug-in with pkcs11-tool, verifies it with openssl,
# and asks brellis for a beacon through its XPC interface.
#   scripts/demo.sh            build what is missing, then run the demo
#   scripts/demo.sh --stay     the same, then keep the daemon, the phone and brellis running
#                              (until Ctrl-C) so the module can be driven by hand
#   BUILD_DIR=...              the build folder (default build/)
# Exit status 0 when every step passed; otherwise non-zero, naming the step that failed. Every
# process it started is stopped on exit, on failure and on Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

stay=false
case "${1:-}" in
  "") ;;
  --stay) stay=true ;;
  *) echo "usage: scripts/demo.sh [--stay]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "${BUILD_JOBS:-$(nproc)}" --target \
  brellis brellis-test-daemon brellis-phone brellis-codesign brellis-fixtures \
  brellis-beacon-client BrellisToken brellis_pkcs11 >/dev/null

bin() { find "$repo/$build" -type f -name "$1" -perm -u+x -print -quit; }
daemon_exe=$(bin brellis-test-daemon)
phone_exe=$(bin brellis-phone)
codesign_exe=$(bin brellis-codesign)
fixtures_exe=$(bin brellis-fixtures)
brellis_exe=$(bin brellis)
beacon_client_exe=$(bin brellis-beacon-client)
module=$(find "$repo/$build" -type f -name 'brellis-pkcs11.so' -print -quit)
manifest="$repo/$build/plugins/BrellisToken/Info.plist"

# --- the run -------------------------------------------------------------------------------------
started=$(date +%s.%N)
current="start"
pids=()
step() {
  current="$1"
  printf '[%s] %s\n' "$(date +%T.%3N)" "$1"
}
stop_all() {
  local pid
  for pid in "${pids[@]:-}"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]:-}"; do
    [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
  done
  pids=()
}
on_exit() {
  local status=$?
  stop_all
  if [ "$status" -ne 0 ]; then
    printf '[%s] FAILED at step: %s (status %d)\n' "$(date +%T.%3N)" "$current" "$status" >&2
    [ -n "${root:-}" ] && printf 'state root kept for inspection: %s\n' "$root" >&2
  fi
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until the command succeeds, at most $1 seconds.
wait_for() {
  local limit=$1
  shift
  local deadline=$(($(date +%s) + limit))
  until "$@"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "gave up after ${limit}s waiting for: $*" >&2
      return 1
    fi
    sleep 0.05
  done
}

root=$(mktemp -d /tmp/brellis-demo.XXXXXX)
export BRELLIS_ROOT="$root"
export BRELLIS_TOKEN_MANIFEST="$manifest"
mkdir -p "$root/bin" "$root/demo" "$root/radio"
demo="$root/demo"
log_file=/tmp/velkor_brellis.log
log_start=$( [ -f "$log_file" ] && wc -l <"$log_file" || echo 0)

step "test certificate authority made; it signs the stand-in daemon"
"$codesign_exe" make-ca "$root/ca"
"$codesign_exe" install-anchor "$root/ca" "$root"
cp "$daemon_exe" "$root/bin/brellis-test-daemon"
"$codesign_exe" sign "$root/ca" "$root/bin/brellis-test-daemon" com.velkor.tarvo.daemon 1.0

step "the phone's P-256 key and certificate made; the daemon's records written"
openssl ecparam -name prime256v1 -genkey -noout -out "$demo/key.pem" 2>/dev/null
openssl req -new -x509 -key "$demo/key.pem" -subj "/CN=Velkor Unlock demo" -days 2 \
  -out "$demo/certificate.pem" 2>/dev/null
openssl x509 -in "$demo/certificate.pem" -outform DER -out "$demo/certificate.der"
openssl x509 -in "$demo/certificate.pem" -pubkey -noout >"$demo/public.pem"
container=$(python3 -c 'import uuid; print(str(uuid.uuid4()).upper())')
salt=$(openssl rand -hex 16)
pin=246810  # the PIN the phone expects; the unlock data asks for one on every use
head -c 32 /dev/urandom >"$demo/shared-secret"
"$fixtures_exe" unlock-data --certificate "$demo/certificate.der" --container "$container" \
  --driver BrellisToken --phone PHONE-1 --salt "$salt" --require-pin --version 1 \
  --out "$demo/unlock-data"
"$fixtures_exe" unlock-status --enabled --out "$demo/unlock-status"

step "stand-in daemon started"
"$root/bin/brellis-test-daemon" --unlock-data "$demo/unlock-data" \
  --unlock-status "$demo/unlock-status" --shared-secret "$demo/shared-secret" \
  >"$demo/daemon.out" 2>&1 &
pids+=($!)
wait_for 10 test -f "$root/test_daemon/ready"

step "managed settings ask for the feature at login; a window-server session with a 1440 x 900 screen"
python3 - "$root" <<'PY'
import os, plistlib, sys
root = sys.argv[1]
os.makedirs(os.path.join(root, "defaults"), exist_ok=True)
with open(os.path.join(root, "defaults", "com.velkor.tarvo.plist"), "wb") as f:
    plistlib.dump({"Unlock": {"EnableUnlock": True, "EnableUnlockForLogin": True,
                              "RequirePIN": False}}, f, fmt=plistlib.FMT_BINARY)
PY
mkdir -p "$root/window_server"
printf '0 0 1440 900\n' >"$root/window_server/screens"
touch "$root/window_server/session"

step "simulated phone waiting for its beacon"
# certID 6275328 is the key object ID of the installed key item (0x5FC100).
"$phone_exe" --identifier PHONE-1 --salt "$salt" --container "$container" \
  --shared-secret "$demo/shared-secret" --key "6275328=$demo/key.pem" --pin "$pin" \
  --events "$demo/phone.events" >"$demo/phone.out" 2>&1 &
pids+=($!)
wait_for 10 grep -qs '^ready' "$demo/phone.events"

step "token plug-in found by the token service; its token class registered"
# Loading the PKCS#11 module starts the token service, which reads the plug-in's manifest and
# registers its token class, as the system does when a token extension is installed.
# No token is configured yet, so pkcs11-tool finds no slot (and says so with a non-zero status).
pkcs11-tool --module "$module" --list-slots >"$demo/pkcs11-slots-before.out" 2>&1 || true
test -f "$root/token/com.velkor.tarvo.brellis.token.plist"

step "brellis launched"
"$brellis_exe" >"$demo/brellis.out" 2>&1 &
brellis_pid=$!
pids+=("$brellis_pid")

step "launch check passed: group defaults written"
wait_for 20 test -f "$root/defaults/group.com.velkor.tarvo.plist"
wait_for 20 grep -q 'registerBrellisListenerEndpoint' "$root/test_daemon/calls.jsonl"

step "login window shown and rendered"
wait_for 20 sh -c "ls '$root/window_server/windows/'*.png >/dev/null 2>&1"

step "token manager installed the token configuration"
wait_for 20 sh -c "grep -q UnlockToken '$root/token/com.velkor.tarvo.brellis.token.plist' 2>/dev/null"

step "signature asked through the PKCS#11 module (pkcs11-tool, with the PIN); the phone wakes and answers"
printf 'Sign me, phone: %s\n' "$(date -u +%FT%TZ)" >"$demo/message.txt"
pkcs11-tool --module "$module" --login --pin "$pin" --sign --mechanism ECDSA-SHA256 --signature-format openssl \
  --input-file "$demo/message.txt" --output-file "$demo/message.sig" >"$demo/pkcs11-tool.out" 2>&1

step "openssl verifies the signature against the certificate"
openssl dgst -sha256 -verify "$demo/public.pem" -signature "$demo/message.sig" \
  "$demo/message.txt"

step "beacon asked of brellis through its XPC interface; the phone sees it"
before=$(grep -c '^beacon ' "$demo/phone.events" || true)
"$beacon_client_exe" start "$(id -un)" --timeout 60 >"$demo/beacon-client.out" 2>"$demo/beacon-client.err" &
client_pid=$!
pids+=("$client_pid")
wait_for 20 sh -c "[ \$(grep -c '^beacon ' '$demo/phone.events') -gt $before ]"
"$beacon_client_exe" stop >>"$demo/beacon-client.out" 2>>"$demo/beacon-client.err"
wait "$client_pid"
grep -q '"reply":"success"' "$demo/beacon-client.out"

step "done in $(python3 -c "import time; print(f'{time.time() - $started:.1f}')") s"
if $stay; then
  current="staying up"
  cat <<TEXT

Still running: the daemon, the phone and brellis. In another shell:
  export BRELLIS_ROOT=$root BRELLIS_TOKEN_MANIFEST=$manifest
  pkcs11-tool --module $module --list-objects
  pkcs11-tool --module $module --login --pin $pin --sign --mechanism ECDSA-SHA256 \\
    --signature-format openssl --input-file FILE --output-file FILE.sig
  openssl dgst -sha256 -verify $demo/public.pem -signature FILE.sig FILE
Ctrl-C stops them all.
TEXT
  trap 'exit 0' INT
  while kill -0 "$brellis_pid" 2>/dev/null; do sleep 1; done
  exit 1  # brellis ended by itself
fi
stop_all
png=$(ls "$root/window_server/windows/"*.png | head -n 1)
tail -n +"$((log_start + 1))" "$log_file" >"$demo/shared-log.txt" 2>/dev/null || true
cat <<TEXT

What the run left behind (state root $root):
  the login window, rendered:      $png
  the shared log file's lines:     $demo/shared-log.txt (from $log_file)
  the message and its signature:   $demo/message.txt  $demo/message.sig
  the certificate it verifies with: $demo/certificate.pem
  what the phone saw:              $demo/phone.events
  what the daemon was asked:       $root/test_daemon/calls.jsonl
TEXT
