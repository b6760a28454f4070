#!/usr/bin/env bash
# Sets up a fresh machine for the program alone, builds z40k and captures a frame from the simulated
# camera into ./z40k-frames. (scripts/test.sh installs and builds the rest.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh program
bash scripts/build.sh program
./build/z40k capture "$@"
