#!/usr/bin/env bash
# The demo: builds the system, starts the stand-in daemon and the simulated phone under a
# temporary state root, launches brellis, makes a signature through the token plug-in and
# verifies it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)"

if [ -x build/testing/demo/brellis-demo ]; then
  exec build/testing/demo/brellis-demo "$@"
fi

cat <<'TEXT'
The system is built. The end-to-end demo is not assembled yet: the token plug-in and the program
entry of brellis are still to come. When they are, this command will:
  1. make a temporary state root and a test certificate authority,
  2. start the stand-in daemon (signed by the test CA) and the simulated phone,
  3. launch brellis, which checks the feature with the daemon and installs the token configuration,
  4. ask the token plug-in for a signature, which wakes the phone over the simulated beacon and
     peer link, and verify that signature against the installed certificate.
TEXT
