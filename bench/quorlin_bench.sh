#!/bin/sh
# quorlin_bench.sh: IDs per second and system calls per ID of quorlin,
# recording a million unseen IDs and then cancelling the same IDs again.
#
# usage: bench/quorlin_bench.sh [builddir [ids [runs]]]
#
# With BASELINE set to another quorlin binary (one built from an older
# commit), every run of a pass is made with both binaries in turn, on the
# same machine in the same minutes, and the ratio of the median rates is
# printed: the comparison that a noisy shared machine still allows.
#
# Every run starts from an empty history with an index sized for the IDs
# and for the history they make (dbz create -e -t). The record pass reads the IDs on standard input; the
# cancel pass reads them again with -a to /dev/null, so nothing is removed.
# Each pass runs `runs` times (default 5) and the median rate and peak
# resident memory are printed; one more run of each pass under strace -c -f
# gives the system calls, in all and per ID, with the calls that make up
# the per-ID cost.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
ids=${2:-1000000}
runs=${3:-5}
work=${BENCH_DIR:-/tmp/quorlin-bench}
quorlin=$build/bin/quorlin
dbz=$build/bin/dbz
baseline=${BASELINE:-}

if [ ! -x "$quorlin" ] || [ ! -x "$dbz" ]; then
	cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DQUORLIN_BUILD_TESTS=OFF >/dev/null
	cmake --build "$build" --target quorlin dbz-admin >/dev/null
fi
mkdir -p "$work"
input=$work/ids.$ids
spool=$work/spool

# Message IDs of about 35 bytes with mixed-case hosts, all distinct.
if [ ! -s "$input" ]; then
	awk -v n="$ids" 'BEGIN {
		srand(1);
		for (i = 0; i < n; i++)
			printf "<%d.%x@%s%d.Example.COM>\n", i, int(rand() * 2147483647),
				(i % 3 == 0) ? "News" : "news", i % 97;
	}' >"$input.tmp"
	mv "$input.tmp" "$input"
fi

# The tag layout for the history the record pass leaves: each line is the
# ID, a tab, ten digits of time and "~-". Offsets beyond the tag layout's
# room are stored untagged, and every probe that meets an untagged slot
# must read the history to compare the key; the layout that dbz create
# picks for an empty history leaves room for 16 MiB only.
histbytes=$(($(wc -c <"$input") + 13 * ids))
tagmask=$(awk -v n="$histbytes" 'BEGIN {
	for (bit = 30; bit >= 24; bit--)
		if (n >= 2 ^ bit) break
	if (bit == 30) print 1
	else if (bit < 24) print 2130706432
	else print 2 ^ 31 - 2 ^ (bit + 1)
}')

# A fresh spool: an empty history and an empty index for the IDs.
freshspool() {
	rm -rf "$spool"
	mkdir -p "$spool"
	: >"$spool/history"
	"$dbz" create -e "$ids" -t "$tagmask" "$spool/history"
}

median() {
	sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# run pass [wrapper...]: one pass over the IDs, under the wrapper command
# if one is given. The cancel pass hands the paths to descriptor 3, which
# is /dev/null.
run() {
	if [ "$1" = record ]; then
		shift
		"$@" "$bin" -s "$spool" -h history <"$feed" >/dev/null
	else
		shift
		"$@" "$bin" -s "$spool" -h history -a 3 <"$feed" >/dev/null 3>/dev/null
	fi
}
bin=$quorlin
feed=$input

# Runs pass `runs` times, each on a spool just recorded when the pass is
# cancel; prints the median IDs per second and peak resident KiB. With a
# baseline, each run is made by both binaries in turn.
measure() {
	pass=$1
	for tag in new base; do
		: >"$work/rates.$tag.$$"
		: >"$work/mems.$tag.$$"
	done
	i=0
	while [ "$i" -lt "$runs" ]; do
		for tag in new ${baseline:+base}; do
			if [ "$tag" = new ]; then bin=$quorlin; else bin=$baseline; fi
			freshspool
			if [ "$pass" = cancel ]; then run record; fi
			run "$pass" /usr/bin/time -f "%e %M" -o "$work/time.$$"
			read -r secs kib <"$work/time.$$"
			awk -v n="$ids" -v s="$secs" 'BEGIN { printf "%.0f\n", (s > 0 ? n / s : 0) }' \
				>>"$work/rates.$tag.$$"
			echo "$kib" >>"$work/mems.$tag.$$"
		done
		i=$((i + 1))
	done
	bin=$quorlin
	for tag in new ${baseline:+base}; do
		printf '%-12s : %11.0f IDs/s   (median of %d; runs: %s)   peak %s KiB\n' \
			"$pass${baseline:+/$tag}" "$(median <"$work/rates.$tag.$$")" "$runs" \
			"$(tr '\n' ' ' <"$work/rates.$tag.$$" | sed 's/ $//')" \
			"$(median <"$work/mems.$tag.$$")"
	done
	if [ -n "$baseline" ]; then
		awk -v a="$(median <"$work/rates.new.$$")" -v b="$(median <"$work/rates.base.$$")" \
			-v pass="$pass" 'BEGIN { printf "%-12s : %11.3f new/base\n", pass "/ratio", a / b }'
	fi
	rm -f "$work"/rates.*.$$ "$work"/mems.*.$$ "$work/time.$$"
}

# One traced run of pass: all calls per ID, and the calls that occur at
# least once per hundred IDs, each per ID.
syscalls() {
	pass=$1
	freshspool
	if [ "$pass" = cancel ]; then run record; fi
	out=$work/strace.$$
	run "$pass" strace -c -f -o "$out"
	awk -v n="$ids" -v pass="$pass" '
		$NF == "total" { total = $(NF - 2) }
		$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {
			calls = $4; name = $NF
			if (calls >= n / 100)
				detail = detail sprintf(" %s %.3f", name, calls / n)
		}
		END {
			printf "%-12s : %11.3f syscalls/ID (%d calls for %d IDs;%s)\n",
				pass, total / n, total, n, detail
		}' "$out"
	rm -f "$out"
}

# Instructions per ID of pass, counted by callgrind over the first 100000
# IDs for the binary and the baseline: a figure that the machine's noise
# does not move.
instructions() {
	pass=$1
	small=$work/ids.small.$$
	head -n 100000 "$input" >"$small"
	n=$(wc -l <"$small")
	for tag in new base; do
		if [ "$tag" = new ]; then bin=$quorlin; else bin=$baseline; fi
		freshspool
		feed=$small
		if [ "$pass" = cancel ]; then run record; fi
		run "$pass" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
			--log-file="$work/cg.$tag.$$"
	done
	bin=$quorlin
	feed=$input
	awk -v n="$n" -v pass="$pass" '
		/Collected :/ { v[FILENAME ~ /cg\.new/ ? "new" : "base"] = $NF }
		END {
			printf "%-12s : %11.0f instructions/ID new, %.0f base, ratio %.3f\n",
				pass, v["new"] / n, v["base"] / n, v["new"] / v["base"]
		}' "$work/cg.new.$$" "$work/cg.base.$$"
	rm -f "$small" "$work"/cg.*.$$
}

echo "quorlin: $ids unseen IDs ($(wc -c <"$input") bytes of input, $histbytes of" \
	"history), index from dbz create -e $ids -t $tagmask, in-core table on;" \
	"$runs runs per pass; $(nproc) CPUs"
measure record
measure cancel
if command -v strace >/dev/null 2>&1; then
	syscalls record
	syscalls cancel
else
	echo "strace not installed: no system call counts" >&2
fi
if [ -n "$baseline" ] && command -v valgrind >/dev/null 2>&1; then
	instructions record
	instructions cancel
fi
rm -rf "$spool"
