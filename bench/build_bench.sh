#!/bin/sh
# build_bench.sh: time, peak memory and system calls of dbz build on
# histories of one and ten million lines, and on one million lines plus a
# single 64 MiB line (the memory must not follow the line's length).
#
# usage: bench/build_bench.sh [builddir [runs [sizes]]]
#
# sizes is a blank-separated list of line counts (default "1000000
# 10000000"). The histories are made once under $BENCH_DIR (default
# /tmp/quorlin-build-bench) and reused. Each build runs `runs` times
# (default 5); the median elapsed time (as micros per history line) and
# the median peak resident memory are printed, beside the size of the
# in-core table that the build holds (8 bytes a slot) and what the process
# needs beyond it. One more run under strace -c gives the system calls,
# and for the histories of a million lines one under callgrind the
# instructions.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
runs=${2:-5}
sizes=${3:-"1000000 10000000"}
work=${BENCH_DIR:-/tmp/quorlin-build-bench}
dbz=$build/bin/dbz

if [ ! -x "$dbz" ]; then
	cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DQUORLIN_BUILD_TESTS=OFF >/dev/null
	cmake --build "$build" --target dbz-admin >/dev/null
fi
mkdir -p "$work"

# A history in the tool's own line format: message IDs with mixed-case
# hosts, a date field and one or two article locations.
makehistory() {
	lines=$1 out=$2
	[ -s "$out" ] && return 0
	echo "making $out ($lines lines)" >&2
	awk -v n="$lines" 'BEGIN {
		srand(1);
		for (i = 0; i < n; i++) {
			printf "<%d.%x@%s%d.Example.COM>\t%d~-\tcomp.lang.c/%d", i,
				int(rand() * 2147483647), (i % 3 == 0) ? "News" : "news",
				i % 97, 1700000000 + i, i;
			if (i % 4 == 0)
				printf " news.software.b/%d", i;
			printf "\n";
		}
	}' >"$out.tmp"
	mv "$out.tmp" "$out"
}

median() {
	sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# bench NAME HISTORY LINES
bench() {
	name=$1 hist=$2 lines=$3
	: >"$work/secs" && : >"$work/kb"
	i=0
	while [ "$i" -lt "$runs" ]; do
		/usr/bin/time -v "$dbz" build -q "$hist" 2>"$work/time.out"
		awk -F': ' '/Elapsed \(wall clock\)/ {
			n = split($2, t, ":"); s = 0;
			for (k = 1; k <= n; k++) s = s * 60 + t[k];
			print s }' "$work/time.out" >>"$work/secs"
		awk -F': ' '/Maximum resident set size/ { print $2 }' \
			"$work/time.out" >>"$work/kb"
		i=$((i + 1))
	done
	secs=$(median <"$work/secs")
	kb=$(median <"$work/kb")
	size=$(awk 'NR == 1 { print $3 }' "$hist.dir")
	tablekb=$((size * 8 / 1024))
	printf '%-22s : %11.3f micros/op (%s lines, median of %s: %s s)\n' \
		"build $name" "$(echo "$secs $lines" | awk '{ print $1 * 1e6 / $2 }')" \
		"$lines" "$runs" "$secs"
	printf '%-22s : %11d KiB peak (in-core table %d KiB, %d slots; beyond it %d KiB)\n' \
		"memory $name" "$kb" "$tablekb" "$size" "$((kb - tablekb))"
	if command -v strace >/dev/null 2>&1; then
		strace -c -o "$work/strace.out" "$dbz" build -q "$hist"
		calls=$(awk '$NF == "total" { print $4 }' "$work/strace.out")
		printf '%-22s : %11d system calls (%s per 1000 lines)\n' "syscalls $name" \
			"$calls" "$(echo "$calls $lines" | awk '{ printf "%.2f", $1 * 1000 / $2 }')"
	fi
	# Instructions do not drift with the machine's load; counted for the
	# smaller histories only, callgrind being some fifty times slower.
	if [ "$lines" -le 1000001 ] && command -v valgrind >/dev/null 2>&1; then
		valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
			"$dbz" build -q "$hist" 2>"$work/callgrind.err"
		refs=$(awk '/Collected :/ { print $NF }' "$work/callgrind.err")
		printf '%-22s : %11d instructions (%s per line)\n' "instr $name" \
			"$refs" "$(echo "$refs $lines" | awk '{ printf "%.0f", $1 / $2 }')"
	fi
}

for lines in $sizes; do
	hist=$work/history.$lines
	makehistory "$lines" "$hist"
	bench "$((lines / 1000000))M" "$hist" "$lines"
done

# One million lines and a single line of 64 MiB in the middle.
long=$work/history.longline
if [ ! -s "$long" ]; then
	makehistory 1000000 "$work/history.1000000"
	{
		head -n 500000 "$work/history.1000000"
		printf '<long@line.example>\t1~-\t'
		head -c 67108864 /dev/zero | tr '\0' 'x'
		printf '\n'
		tail -n 500000 "$work/history.1000000"
	} >"$long.tmp"
	mv "$long.tmp" "$long"
fi
bench "1M+64MiB line" "$long" 1000001
