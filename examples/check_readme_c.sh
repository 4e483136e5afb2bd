#!/usr/bin/env bash
# Runs the shell lines of the README's "Use from C" section as written, in a
# clean copy of the source tree with HOME in a scratch directory: the
# library-only build, then the quickstart compiled and run against the build
# tree and against an installed prefix found through pkg-config.
# Usage: check_readme_c.sh [source dir]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-readme-c.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src" "$work/home"

# The files a fresh clone has, nothing built.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$work/src" -xf -
else
  (cd "$root" && tar --exclude=./build --exclude='./build-*' --exclude=./.git -cf - .) |
    tar -C "$work/src" -xf -
fi

# Every ```sh block between "## Use from C" and the next section.
script=$(awk '/^## /{in_c = ($0 == "## Use from C")} in_c && /^```/{if (in_sh) {in_sh = 0} else if ($0 == "```sh") {in_sh = 1}; next} in_c && in_sh' \
  "$root/README.md")
test -n "$script"
printf '%s\n' "$script"

out=$(cd "$work/src" && env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH HOME="$work/home" \
  bash -euo pipefail -c "$script" 2>&1) || { printf '%s\n' "$out"; exit 1; }
printf '%s\n' "$out"

# The library only: no test or example program was configured.
test -f "$work/src/build/lib/engine/libzv_runtime.so.1"
test ! -e "$work/src/build/lib/tests"
test ! -e "$work/src/build/lib/examples"
# The last program was linked against the installed copy.
readelf -d "$work/src/quickstart" | grep -q "RUNPATH.*$work/home/.local/lib"
# Both runs of the quickstart finished.
test "$(grep -c '^version 2, 19999 visible rows$' <<<"$out")" -eq 2
echo "README C lines ok"
