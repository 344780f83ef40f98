#!/bin/sh
# man_test.sh: renders every manual page with groff and man, failing on any
# warning (both exit 0 when they warn), checks that each page has the
# sections its kind needs, and that the pages name what the code has: every
# function of dbz/dbz.h in dbz.3, every option of quorlin in quorlin.1 and
# every subcommand of dbz in dbz.1. Given the pages as the build made them
# and the project's version, it checks those, and that each carries the
# version in its title line.
# usage: man_test.sh sourcedir [pagedir version]
set -eu
src=$1
docs=${2:-$src/docs}
version=${3:-}
status=0

fail() {
	echo "man_test: $*" >&2
	status=1
}

command -v groff >/dev/null 2>&1 || { echo "man_test: no groff" >&2; exit 77; }

# sections: the .SH names a page must have, one per line.
sections() {
	case $1 in
	*.1) printf '%s\n' NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" "SEE ALSO" ;;
	*.3) printf '%s\n' NAME SYNOPSIS DESCRIPTION "RETURN VALUES" ERRORS FILES "SEE ALSO" ;;
	*.5) printf '%s\n' NAME SYNOPSIS DESCRIPTION FILES "SEE ALSO" ;;
	esac
}

for page in quorlin.1 dbz.1 dbz.3 dbz.5; do
	file=$docs/$page
	if [ ! -f "$file" ]; then
		fail "$page: missing"
		continue
	fi
	warnings=$(groff -mandoc -ww -z "$file" 2>&1 >/dev/null)
	[ -z "$warnings" ] || fail "$page: groff: $warnings"
	if command -v man >/dev/null 2>&1; then
		warnings=$(MANWIDTH=80 man --warnings -l -Tutf8 "$file" 2>&1 >/dev/null)
		[ -z "$warnings" ] || fail "$page: man: $warnings"
	fi
	if [ -n "$version" ]; then
		sed -n '/^\.TH /p' "$file" | grep -q "\"quorlin $version\"" ||
			fail "$page: the title line does not carry version $version"
		! grep -q '@PROJECT_VERSION@' "$file" || fail "$page: version not filled in"
	fi
	sections "$page" | while IFS= read -r name; do
		grep -qx "\.SH \"$name\"" "$file" || echo "$name"
	done >"${TMPDIR:-/tmp}/man_test.$$"
	missing=$(cat "${TMPDIR:-/tmp}/man_test.$$")
	rm -f "${TMPDIR:-/tmp}/man_test.$$"
	[ -z "$missing" ] || fail "$page: no section: $(echo $missing)"
done

# Every exported function of the library has its prototype in the SYNOPSIS
# of dbz.3 and its name in NAME.
for fn in $(sed -n 's/^DBZ_EXPORT .*[ *]\([a-z]*\)(.*/\1/p' "$src/dbz/dbz.h"); do
	grep -q "^\\\\fB$fn\\\\fR(" "$docs/dbz.3" || fail "dbz.3: $fn is not described"
	sed -n '/^\.SH "NAME"/,/^\.SH/p' "$docs/dbz.3" | grep -q "^\\\\fB$fn\\\\fR" ||
		fail "dbz.3: $fn is not in NAME"
done

# Every option letter of quorlin's getopt string has its entry in quorlin.1.
opts=$(sed -n 's/.*getopt(argc, argv, "+*\([a-z:]*\)").*/\1/p' "$src/tool/main.cc" | tr -d :)
[ -n "$opts" ] || fail "tool/main.cc: no getopt string found"
for letter in $(echo "$opts" | sed 's/./& /g'); do
	grep -A1 '^\.TP' "$docs/quorlin.1" | grep -q "^\\\\fB\\\\-$letter\\\\fR" ||
		fail "quorlin.1: option -$letter is not described"
done

# Every subcommand of the dbz command has its entry in dbz.1.
# The table's entries begin with the name, each on a line of its own.
cmds=$(grep -o '^ *{"[a-z]*",' "$src/admin/main.cc" | sed 's/ *{"\([a-z]*\)".*/\1/')
[ -n "$cmds" ] || fail "admin/main.cc: no subcommands found"
for cmd in $cmds; do
	grep -A1 '^\.TP' "$docs/dbz.1" | grep -q "^\\\\fB$cmd\\\\fR" ||
		fail "dbz.1: subcommand $cmd is not described"
done

exit $status
