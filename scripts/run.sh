#!/usr/bin/env bash
# Builds the tool and starts it beside the virtual actuator bus
# (LUMO-D at 1, LUMO-P at 5, LUMO-B at 9), reachable as /tmp/lumo-bus.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumo_install_deps

BUILD=${LUMO_RUN_BUILD:-build-run}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target lumo-tool lumo-sim

"$BUILD/tools/lumo-sim/lumo-sim" --link /tmp/lumo-bus &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e /tmp/lumo-bus ] && break; sleep 0.1; done

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found. To see the window without one, run it under a virtual display:"
  echo "  xvfb-run -a scripts/run.sh"
  echo "(the virtual bus was started and is stopped again now)"
  exit 1
fi
echo "Virtual bus on /tmp/lumo-bus: type that into the port box and press Connect."
"$BUILD/src/app/lumo-tool"
