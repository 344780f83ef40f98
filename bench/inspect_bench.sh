#!/bin/sh
# inspect_bench.sh: time, peak memory and system calls of dbz stats and
# dbz check on a large history (ten million lines by default).
#
# usage: bench/inspect_bench.sh [builddir [lines [runs]]]
#
# The history and its index are made once under $BENCH_DIR (default
# /tmp/quorlin-inspect-bench) and reused. Each command runs `runs` times
# (default 5); the medians of the elapsed time, the processor time (user and
# system) and the peak resident memory are printed, with the system-call
# count of one run when strace is installed (BENCH_STRACE=0 skips it; it
# slows the run it counts several times over). On a shared machine the
# processor time and the call count drift far less than the elapsed time.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
lines=${2:-10000000}
runs=${3:-5}
work=${BENCH_DIR:-/tmp/quorlin-inspect-bench}
dbz=$build/bin/dbz

if [ ! -x "$dbz" ]; then
	cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DQUORLIN_BUILD_TESTS=OFF >/dev/null
	cmake --build "$build" --target dbz-admin >/dev/null
fi
mkdir -p "$work"
hist=$work/history.$lines

# A history in the tool's own line format: message IDs with mixed-case
# hosts, a date field and one or two article locations.
if [ ! -s "$hist" ]; then
	echo "making $hist ($lines lines)" >&2
	awk -v n="$lines" 'BEGIN {
		srand(1);
		for (i = 0; i < n; i++) {
			host = (i % 3 == 0) ? "News" : "news";
			printf "<%d.%x@%s%d.Example.COM>\t%d~-\tcomp.lang.c/%d", \
				i, int(rand() * 2147483647), host, i % 97, 1700000000 + i, i;
			if (i % 4 == 0)
				printf " alt.test/%d", i;
			printf "\n";
		}
	}' >"$hist.tmp"
	mv "$hist.tmp" "$hist"
fi
if [ ! -s "$hist.pag" ] || [ "$hist.pag" -ot "$hist" ]; then
	echo "building the index of $hist" >&2
	"$dbz" build -q "$hist"
fi

median() {
	sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo "history: $lines lines, $(wc -c <"$hist") bytes;" \
	"index: $(wc -c <"$hist.pag") bytes of .pag; $runs runs each"
for cmd in stats check; do
	times=$work/times.$$
	: >"$times"
	i=0
	while [ "$i" -lt "$runs" ]; do
		# shellcheck disable=SC2086 # cmd is a command and its options
		/usr/bin/time -f "%e %U %S %M" -a -o "$times" "$dbz" $cmd "$hist" \
			>/dev/null
		i=$((i + 1))
	done
	secs=$(cut -d' ' -f1 "$times" | median)
	cpu=$(awk '{ print $2 + $3 }' "$times" | median)
	peak=$(cut -d' ' -f4 "$times" | median)
	calls=""
	if [ "${BENCH_STRACE:-1}" != 0 ] && command -v strace >/dev/null 2>&1; then
		# shellcheck disable=SC2086
		strace -f -c -o "$work/strace.$$" "$dbz" $cmd "$hist" >/dev/null
		calls=" $(awk '$NF == "total" { print $4 }' "$work/strace.$$") syscalls"
		rm -f "$work/strace.$$"
	fi
	rm -f "$times"
	printf '%-12s : %11.3f micros/line  %7.2f s elapsed  %7.2f s cpu  %8d KiB peak%s\n' \
		"$cmd" "$(echo "$secs $lines" | awk '{ print $1 * 1e6 / $2 }')" \
		"$secs" "$cpu" "$peak" "$calls"
done
