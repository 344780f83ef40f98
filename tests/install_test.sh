#!/bin/sh
# install_test.sh: installs the build tree into a scratch prefix, then builds
# and runs the C test program against the installed copy twice: with the
# flags pkg-config gives for dbz, and as a CMake project that finds the
# package and links dbz::dbz. Every installed piece must carry the project's
# version, as the generated version header has it.
# usage: install_test.sh builddir sourcedir c-compiler cmake-generator [cflags]
set -eu
build=$1
src=$2
cc=$3
generator=$4
extra=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/dbz-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
log=$work/log

fail() {
	echo "install_test: $*" >&2
	[ -s "$log" ] && cat "$log" >&2
	exit 1
}
# Runs a command with its output kept for the failure message only.
quiet() {
	"$@" >"$log" 2>&1
}

quiet cmake --install "$build" --prefix "$prefix" || fail "cmake --install failed"
[ -f "$prefix/include/dbz/dbz.h" ] || fail "include/dbz/dbz.h is not installed"
[ ! -e "$prefix/include/dbz/internal.h" ] || fail "the internal header is installed"
pc=$(find "$prefix" -name dbz.pc)
[ -n "$pc" ] || fail "dbz.pc is not installed"
pcdir=$(dirname "$pc")
libdir=$(dirname "$pcdir")
LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export LD_LIBRARY_PATH

version=$(sed -n 's/^#define QUORLIN_VERSION "\(.*\)"$/\1/p' "$build/generated/version.h")
[ -n "$version" ] || fail "no version in $build/generated/version.h"
for page in man1/quorlin.1 man1/dbz.1 man3/dbz.3 man5/dbz.5; do
	file=$(find "$prefix" -path "*/$page")
	[ -n "$file" ] || fail "$page is not installed"
	grep -q "^\.TH .*\"quorlin $version\"" "$file" ||
		fail "$page does not carry version $version"
done

# The program is built from a copy, so that only the installed header can
# satisfy its include.
cp "$src/tests/dbz_c_test.c" "$work/prog.c"

# 1. pkg-config, from wherever the prefix ended up.
command -v pkg-config >/dev/null || fail "pkg-config is not installed"
PKG_CONFIG_PATH=$pcdir
export PKG_CONFIG_PATH
includedir=$(pkg-config --variable=includedir dbz) || fail "pkg-config does not know dbz"
[ "$(cd "$includedir" && pwd -P)" = "$(cd "$prefix/include" && pwd -P)" ] ||
	fail "dbz.pc points at $includedir, not at the installed $prefix/include"
[ "$(pkg-config --modversion dbz)" = "$version" ] ||
	fail "dbz.pc gives version $(pkg-config --modversion dbz), not $version"
flags=$(pkg-config --cflags --libs dbz)
# shellcheck disable=SC2086 # the flags are words
quiet "$cc" -std=c99 -pedantic-errors $extra -o "$work/prog" "$work/prog.c" $flags ||
	fail "cc prog.c \$(pkg-config --cflags --libs dbz) failed"
quiet "$work/prog" || fail "the program built with pkg-config failed"

# 2. find_package(dbz) and the imported target, in a C-only project.
mkdir "$work/consumer"
cp "$work/prog.c" "$work/consumer/prog.c"
cat >"$work/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(dbzconsumer C)
find_package(dbz REQUIRED)
file(WRITE ${CMAKE_BINARY_DIR}/dbz_version "${dbz_VERSION}")
add_executable(prog prog.c)
set_target_properties(prog PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_link_libraries(prog PRIVATE dbz::dbz)
EOF
quiet cmake -S "$work/consumer" -B "$work/consumer/build" -G "$generator" \
	-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
	-DCMAKE_C_FLAGS="$extra" || fail "find_package(dbz) failed"
found=$(sed -n 's/^dbz_DIR:[A-Z]*=//p' "$work/consumer/build/CMakeCache.txt")
case $found in
"$prefix"/*) ;;
*) fail "find_package(dbz) found $found, not the installed package" ;;
esac
[ "$(cat "$work/consumer/build/dbz_version")" = "$version" ] ||
	fail "the CMake package gives version $(cat "$work/consumer/build/dbz_version"), not $version"
quiet cmake --build "$work/consumer/build" || fail "the CMake project did not build"
quiet "$work/consumer/build/prog" || fail "the program built with CMake failed"

echo "install_test: pkg-config and find_package builds passed"
