#!/usr/bin/env bash
# The main job: builds and installs everything, then runs the demo application, which registers
# a module, has zelt_tool change its "log_level", and prints the change its callback and
# get_change_notes() report.
set -euo pipefail
cd "$(dirname "$0")/.."
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
as_root cmake --install build >/dev/null
as_root ldconfig
/opt/tovana/hvx/tov-zelt/tools/zelt_demo
