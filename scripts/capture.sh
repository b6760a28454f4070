#!/usr/bin/env bash
# Sets up a fresh machine, builds z40k and captures a frame from the simulated camera into ./z40k-frames.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native
./build/z40k capture "$@"
