#!/bin/sh
# run.sh: runs fuzz targets for a while each over their seed corpora, one
# after the other, as CI does. New inputs go to a scratch corpus, so the
# tree's corpus is left as it is. A target that finds a fault fails the run,
# and its reproducer is printed as a hex dump so that it can be rebuilt from
# the log alone (xxd -r or the od lines).
#
# Usage: fuzz/run.sh BINDIR [SECONDS [TARGET...]]
#   BINDIR   where the fuzz_NAME executables are (build-dir/bin)
#   SECONDS  how long each target runs, default 30
#   TARGET   names such as dir or index; default all of them
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: fuzz/run.sh BINDIR [SECONDS [TARGET...]]}
secs=${2:-30}
[ $# -ge 2 ] && shift 2 || shift $#
targets=${*:-$(ls "$here/corpus")}

work=$(mktemp -d "${TMPDIR:-/tmp}/fuzzrun.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT INT TERM
status=0
for t in $targets; do
	exe=$bin/fuzz_$t
	if [ ! -x "$exe" ]; then
		echo "fuzz: $exe: not built" >&2
		status=1
		continue
	fi
	case $t in
	dir|index) dict=-dict=$here/dbz.dict ;;
	*) dict=-dict=$here/quorlin.dict ;;
	esac
	[ -f "${dict#-dict=}" ] || dict=
	mkdir -p "$work/$t/corpus" "$work/$t/tmp"
	echo "fuzz: $t for ${secs}s"
	# The log keeps the start, the coverage lines and the final stats.
	TMPDIR=$work/$t/tmp "$exe" $dict -max_total_time="$secs" -timeout=10 \
		-rss_limit_mb=2048 -print_final_stats=1 \
		-artifact_prefix="$work/$t/" "$work/$t/corpus" "$here/corpus/$t" \
		>"$work/$t/log" 2>&1
	rc=$?
	grep -E '^(INFO: seed|#[0-9]+[[:space:]]+(INITED|DONE))|^stat::' "$work/$t/log"
	if [ $rc -ne 0 ]; then
		status=1
		echo "fuzz: $t FAILED (exit $rc); the end of its log:"
		tail -n 60 "$work/$t/log"
		for a in "$work/$t"/crash-* "$work/$t"/leak-* "$work/$t"/timeout-* \
		         "$work/$t"/oom-* "$work/$t"/slow-unit-*; do
			[ -f "$a" ] || continue
			echo "fuzz: reproducer $(basename "$a") ($(wc -c <"$a") bytes):"
			od -A x -t x1z -v "$a"
		done
	fi
done
[ $status -eq 0 ] && echo "fuzz: no findings"
exit $status
