#!/usr/bin/env bash
# The main job: builds both platforms' plug-ins and tools and shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j2
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j2
echo
echo "Built:"
find build/linux-release build/windows-release -maxdepth 3 -type f \
  \( -name '*.so' -o -name '*.dll' -o -name 'tolvane-*' \) -not -path '*/CMakeFiles/*' | sort | sed 's/^/  /'
