#!/usr/bin/env bash
# Whole-process rating speed: `glimmerfen-cli rate` against bogofilter on the same
# 2,000 corpus files, both trained on the same 600 ham and 500 spam, in
# alternating runs so that both see the same machine. Prints messages per second,
# the ratio, and each classifier's accuracy on the same files.
#
# Usage: bench/rate_vs_bogofilter.sh [ROUNDS]     (default 3; needs `make build`)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cli="$repo/out/bin/glimmerfen-cli"
rounds=${1:-3}
[[ -x "$cli" ]] || { echo "build first: make build" >&2; exit 1; }
if ! command -v bogofilter >/dev/null; then
  if [[ "$(id -u)" -eq 0 ]]; then
    apt-get install -y --no-install-recommends bogofilter >/dev/null
  else
    echo "needs bogofilter: sudo apt-get install -y --no-install-recommends bogofilter" >&2
    exit 1
  fi
fi
corpus=$("$repo/scripts/corpus-dir.sh")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mapfile -t ham < <(find "$corpus/ham" -type f -name '*.txt' | sort)
mapfile -t spam < <(find "$corpus/spam" -type f -name '*.txt' | sort)
train_ham=("${ham[@]:0:600}")
train_spam=("${spam[@]:0:500}")
# 1,500 ham the classifiers never saw, and the 500 spam they were trained on.
rated=("${ham[@]:600:1500}" "${spam[@]:0:500}")

echo "training both on ${#train_ham[@]} ham and ${#train_spam[@]} spam"
mkdir -p "$work/store" "$work/bogo"
"$cli" -C "$work/store" init
"$cli" -C "$work/store" import goodA "${train_ham[@]}" >/dev/null
"$cli" -C "$work/store" import badA "${train_spam[@]}" >/dev/null
"$cli" -C "$work/store" build-table
"$cli" -C "$work/store" state --bayes on >/dev/null
bogofilter -d "$work/bogo" -n -B "${train_ham[@]}"
bogofilter -d "$work/bogo" -s -B "${train_spam[@]}"

now() { date +%s.%N; }
best_ours=""
best_theirs=""
for ((round = 1; round <= rounds; round++)); do
  start=$(now)
  "$cli" -C "$work/store" rate "${rated[@]}" >"$work/ours.txt"
  ours=$(echo "$(now) - $start" | bc -l)
  start=$(now)
  bogofilter -d "$work/bogo" -T -B "${rated[@]}" >"$work/theirs.txt" || true
  theirs=$(echo "$(now) - $start" | bc -l)
  printf 'round %d: glimmerfen-cli %.3f s, bogofilter %.3f s\n' "$round" "$ours" "$theirs"
  if [[ -z "$best_ours" ]] || (($(echo "$ours < $best_ours" | bc -l))); then best_ours=$ours; fi
  if [[ -z "$best_theirs" ]] || (($(echo "$theirs < $best_theirs" | bc -l))); then best_theirs=$theirs; fi
done

count=${#rated[@]}
[[ $(wc -l <"$work/ours.txt") -eq $count ]] || { echo "glimmerfen-cli rated $(wc -l <"$work/ours.txt") of $count" >&2; exit 1; }
ours_rate=$(echo "$count / $best_ours" | bc -l)
theirs_rate=$(echo "$count / $best_theirs" | bc -l)
printf '\nbest of %d rounds over %d messages\n' "$rounds" "$count"
printf '  glimmerfen-cli rate  %8.0f messages/s\n' "$ours_rate"
printf '  bogofilter -B        %8.0f messages/s\n' "$theirs_rate"
printf '  ratio                %8.2fx  (target: at least 3x)\n' "$(echo "$ours_rate / $theirs_rate" | bc -l)"

# Accuracy on the same files: held-out ham must be ham, (trained) spam spam.
# bogofilter's "U" (unsure) counts as not spam, as a mail client would file it.
accuracy() {
  awk -v hamdir="$corpus/ham/" -v col="$2" -v spamword="$3" '
    { spam = ($col == spamword); isham = index($1, hamdir) == 1 }
    isham { h++; if (!spam) hok++ }
    !isham { s++; if (spam) sok++ }
    END { printf "  %-20s ham %d/%d (%.1f%%), spam %d/%d (%.1f%%)\n", name, hok, h, 100*hok/h, sok, s, 100*sok/s }
  ' name="$1" "$4"
}
echo
echo "accuracy on the same files"
accuracy "glimmerfen-cli" 2 spam "$work/ours.txt"
awk '{ $2 = ($2 == "S") ? "spam" : "ham"; print }' "$work/theirs.txt" >"$work/theirs-words.txt"
accuracy "bogofilter" 2 spam "$work/theirs-words.txt"
