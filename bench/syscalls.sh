#!/bin/sh
# syscalls.sh: system calls per operation of dbz lookups and stores, counted
# with strace -c: each case runs twice, once with its operations and once
# without (--dry), and the difference is divided by the number of
# operations. Also prints how many candidates per operation the probes
# handed to the base-file comparison.
#
# usage: bench/syscalls.sh [builddir [count]]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
count=${2:-20000}
bench=$build/bin/dbz_bench
if [ ! -x "$bench" ]; then
	echo "syscalls.sh: no $bench; configure with -DQUORLIN_BUILD_BENCHMARKS=ON" >&2
	exit 1
fi
command -v strace >/dev/null || { echo "syscalls.sh: strace not found" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# calls FILE: "name count" for each system call of an strace -c summary.
calls() {
	awk '$4 ~ /^[0-9]+$/ && $NF != "total" { print $NF, $4 }' "$1"
}

for ops in hit miss emptymiss store; do
	for where in core file; do
		flag=
		[ "$where" = file ] && flag=--file
		strace -f -c -o "$tmp/dry" "$bench" --ops=$ops --count=$count $flag --dry >/dev/null
		info=$(strace -f -c -o "$tmp/run" "$bench" --ops=$ops --count=$count $flag)
		cand=$(echo "$info" | awk '{ for (i = 1; i < NF; i++) if ($i == "candidates") print $(i + 1) }')
		calls "$tmp/dry" >"$tmp/dry.calls"
		calls "$tmp/run" >"$tmp/run.calls"
		awk -v name="$ops/$where" -v n="$count" -v cand="$cand" '
			FNR == NR { dry[$1] = $2; next }
			{ run[$1] = $2 }
			END {
				for (s in dry) if (!(s in run)) run[s] = 0
				line = ""; total = 0
				for (s in run) {
					d = (run[s] - dry[s]) / n
					if (d < 0.0005 && d > -0.0005) continue
					line = line sprintf(" %s %.3f", s, d); total += d
				}
				printf "%-14s : %7.3f calls/op %7.3f candidates/op :%s\n",
				    name, total, cand / n, line
			}' "$tmp/dry.calls" "$tmp/run.calls"
	done
done
