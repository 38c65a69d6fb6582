#!/usr/bin/env bash
# Installs what is missing, builds, and starts the utility on a simulated bus:
# krm4610-sim --demo on a new pseudo-terminal, and krm4610w with COM1 pointing
# at it. Closing the window stops the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target krm4610w krm4610-sim

coproc SIM { exec ./build/sim/krm4610-sim --demo; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
read -r -t 10 device <&"${SIM[0]}" || { echo "the simulator did not start" >&2; exit 1; }
echo "Simulated bus (converters 05, 1F and 2A in initial step) on $device as COM1"

run=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running under xvfb-run (nothing will be visible)" >&2
  run=(xvfb-run -a)
fi
KRM4610_COM1="$device" "${run[@]}" ./build/app/krm4610w
