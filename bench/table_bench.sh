#!/bin/sh
# table_bench.sh: what a small batch costs on a huge index. quorlin records
# 100 unseen IDs and then cancels them again (-a to /dev/null), once on an
# index of 1,500,007 slots and once on an index of 150,000,007 slots (a
# 1.2 GB .pag, the size for about 100 million IDs), both holding the same
# 2,000-line history. The two indexes alternate, every run with a batch of
# its own, and the first index of a run alternates too.
#
# usage: bench/table_bench.sh [builddir [runs]]
#
# Prints for each index and pass the median elapsed milliseconds and peak
# resident KiB of `runs` runs (default 7), the instructions of one more run
# under callgrind when valgrind is installed, and the .pag's size and the
# disk space it takes (du) after all runs. The files live under BENCH_DIR
# (default /tmp/quorlin-table-bench) and are removed at the end.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
runs=${2:-7}
work=${BENCH_DIR:-/tmp/quorlin-table-bench}
quorlin=$build/bin/quorlin
dbz=$build/bin/dbz
sizes="1500007 150000007"

if [ ! -x "$quorlin" ] || [ ! -x "$dbz" ]; then
	cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DQUORLIN_BUILD_TESTS=OFF >/dev/null
	cmake --build "$build" --target quorlin dbz-admin >/dev/null
fi
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# ids prefix count: count distinct message IDs of about 35 bytes.
ids() {
	awk -v p="$1" -v n="$2" 'BEGIN {
		for (i = 0; i < n; i++)
			printf "<%s.%d.%x@news%d.Example.COM>\n", p, i, i * 2654435761 % 4294967296, i % 97
	}'
}

# The same history for every index: 2,000 IDs recorded by quorlin into a
# freshly created index of the size.
ids hist 2000 >"$work/history.ids"
for size in $sizes; do
	spool=$work/s$size
	mkdir -p "$spool"
	: >"$spool/history"
	"$dbz" create -s "$size" "$spool/history"
	"$quorlin" -s "$spool" -h history <"$work/history.ids" >/dev/null
done

median() {
	sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# pass size batch [wrapper...]: one quorlin run of the pass (record or
# cancel) over the batch's IDs on the index of size.
pass() {
	p=$1 size=$2 batch=$3
	shift 3
	if [ "$p" = record ]; then
		"$@" "$quorlin" -s "$work/s$size" -h history <"$batch" >/dev/null
	else
		"$@" "$quorlin" -s "$work/s$size" -h history -a 3 <"$batch" \
			>/dev/null 3>/dev/null
	fi
}

# timed pass size batch: appends elapsed milliseconds and peak KiB to the
# pass's figures for the size.
timed() {
	t0=$(date +%s%N)
	pass "$1" "$2" "$3" /usr/bin/time -f %M -o "$work/kib"
	t1=$(date +%s%N)
	echo $(((t1 - t0) / 1000000)) >>"$work/ms.$1.$2"
	cat "$work/kib" >>"$work/kib.$1.$2"
}

i=0
while [ "$i" -lt "$runs" ]; do
	ids "run$i" 100 >"$work/batch"
	if [ $((i % 2)) -eq 0 ]; then order=$sizes; else order="150000007 1500007"; fi
	for size in $order; do
		timed record "$size" "$work/batch"
		timed cancel "$size" "$work/batch"
	done
	i=$((i + 1))
done

# Instructions of one run of each pass, which the machine's load does not
# move.
instructions() {
	if ! command -v valgrind >/dev/null 2>&1; then
		echo "-"
		return
	fi
	pass "$1" "$2" "$3" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
		2>"$work/cg"
	awk '/Collected/ { print $NF }' "$work/cg"
}
ids callgrind 100 >"$work/batch"

echo "quorlin: batches of 100 IDs, recorded then cancelled with -a, on indexes" \
	"holding a 2,000-line history; median of $runs alternating runs; $(nproc) CPUs"
for size in $sizes; do
	for p in record cancel; do
		printf '%-10s %-7s : %7d ms   peak %6d KiB   %12s instructions\n' \
			"$size" "$p" "$(median <"$work/ms.$p.$size")" \
			"$(median <"$work/kib.$p.$size")" \
			"$(instructions "$p" "$size" "$work/batch")"
	done
	pag=$work/s$size/history.pag
	printf '%-10s .pag    : %d bytes, %d KiB on disk\n' "$size" \
		"$(wc -c <"$pag")" "$(du -k "$pag" | cut -f1)"
done
