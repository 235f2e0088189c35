#!/usr/bin/env bash
# CI job: a clone of the repository on its own passes the tests that read mail.
#
# Usage: .ci/clone-alone.sh [corpus|full]
#   corpus (default)  configure and build the clone, run `ctest -L corpus`
#   full              run the README's `make test` in the clone (long)
#
# The committed HEAD of this repository is cloned into a fresh directory under
# /tmp with nothing beside it, so no ../shared/corpus can be found: the corpus
# must come from the npm registry through scripts/corpus-dir.sh, cached in the
# clone's own out/. The scratch directory is removed at the end.
set -euo pipefail

die() {
  echo "clone-alone: $*" >&2
  exit 1
}

mode=${1:-corpus}
case "$mode" in
  corpus | full) ;;
  *) die "usage: .ci/clone-alone.sh [corpus|full]" ;;
esac

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
jobs=${JOBS:-2}
scratch="$(mktemp -d /tmp/glimmerfen-clone-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
clone="$scratch/glimmerfen"

git clone --quiet --no-local "$repo" "$clone" || die "cannot clone $repo"
[[ ! -e "$clone/../shared" ]] || die "$scratch/shared exists; the clone must stand alone"
echo "clone-alone: $(git -C "$clone" log -1 --format='%h %s') in $clone"

# What a fresh machine would install for these tests. npm is asked for only
# when missing: a node.js from elsewhere brings its own npm, and Debian's npm
# package conflicts with it.
bash "$clone/scripts/install-deps.sh" build test e2e
command -v npm >/dev/null 2>&1 || bash "$clone/scripts/install-deps.sh" corpus

build="$clone/out"
if [[ "$mode" == full ]]; then
  make -C "$clone" test JOBS="$jobs"
else
  # Only what the mail tests need: no desktop program, no benchmarks.
  launcher=()
  if command -v ccache >/dev/null 2>&1; then
    # Paths relative to the clone, so a clone in another scratch directory
    # reuses the objects.
    export CCACHE_BASEDIR="$clone"
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  build="$clone/out/alone"
  cmake -S "$clone" -B "$build" -G Ninja -DGLIMMERFEN_UI=OFF -DGLIMMERFEN_BENCH=OFF \
    "${launcher[@]}" >/dev/null
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" -L corpus --output-on-failure --no-tests=error -j"$jobs"
fi

# The run must have used the clone's own download, not a corpus found elsewhere.
used="$(readlink "$build/mail-corpus")" || die "the corpus fixture left no $build/mail-corpus link"
[[ "$used" == "$clone/out/corpus" ]] || die "the tests read $used, not the clone's $clone/out/corpus"
tarball="$(find "$clone/out/corpus-download" -maxdepth 1 -name '*.tgz' -print -quit)"
[[ -n "$tarball" ]] || die "no downloaded corpus in $clone/out/corpus-download"
echo "clone-alone: mail from $(basename "$tarball"): $(find "$used/ham" -type f | wc -l) ham," \
  "$(find "$used/spam" -type f | wc -l) spam"
