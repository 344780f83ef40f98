#!/bin/sh
# make_golden_test.sh: the golden fixture in tests/golden is what its
# generator makes. Skips (77) without python3.
set -eu
golden=$1/tests/golden
command -v python3 >/dev/null 2>&1 || { echo "no python3: skipped"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 "$golden/make_golden.py" "$out"
for f in history history.dir history.pag; do
	cmp "$golden/$f" "$out/$f"
done
