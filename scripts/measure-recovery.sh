#!/usr/bin/env bash
# Measures contacts recovery on generated iPhone address books of every layout:
# for each layout and seed, quarrow-make-sample writes a book (and its
# manifest), `quarrow-cli contacts` recovers it, and quarrow-measure-recovery
# scores the report against the manifest. Prints one table: a row per book and
# a total per layout, then the targets.
#
#   scripts/measure-recovery.sh [--persons N] [--deleted P] [--page-size P]
#                               [--seeds "1 2 3"] [--books "34 34-labels 36 38"]
#                               [--markdown] [--keep]
#
# Books: 34 (older phones: no label table, rollback journal), 34-labels (the
# same with a label table in first-use order), 36 and 38 (label table, search
# index, WAL with the latest deletions still in the -wal); also 36-checkpointed
# and 38-checkpointed (every deletion checkpointed into the file, no -wal) and
# 36-rollback and 38-rollback (a rollback journal). Defaults: 300
# persons, 30% deleted, 4096-byte pages, seeds 1 2 3. The report is made from
# the database file alone (not its -wal).
#
# Columns: live persons found by name; their numbers and e-mail addresses filed
# in the person's row under the right label column; deleted persons found by
# name; their numbers and e-mail addresses in the person's row (any label
# column), and anywhere in the report (any label cell of any row). USSD codes
# (# or *) are not counted. The targets are judged on the totals of all books;
# the deleted values' target on "anywhere". With --markdown, the per-layout
# totals follow as a Markdown table (for the README).
#
# BUILD_DIR names the build folder (default build/); the three programs are
# built there (Release) if needed. Work files go to a temporary folder, removed
# at the end unless --keep is given. Each book's folder (the database, its -wal
# and -shm) is compared before and after the contacts command: anything written
# there is reported. Exit status 1 when a step fails or a book's files changed;
# a missed target is reported, not an error.
set -euo pipefail

persons=300
deleted=30
page_size=4096
seeds="1 2 3"
books="34 34-labels 36 38"
keep=0
markdown=0
while (($#)); do
  case "$1" in
    --persons) persons=$2; shift 2 ;;
    --deleted) deleted=$2; shift 2 ;;
    --page-size) page_size=$2; shift 2 ;;
    --seeds) seeds=$2; shift 2 ;;
    --books) books=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --markdown) markdown=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "measure-recovery.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
case $build in /*) ;; *) build=$PWD/$build ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-measure.XXXXXX")
cleanup() { if ((keep)); then echo "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT

if ! { if [[ ! -f $build/CMakeCache.txt ]]; then
         cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
       fi
       cmake --build "$build" -j2 --target quarrow-cli quarrow-make-sample quarrow-measure-recovery
     } > "$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  echo "measure-recovery.sh: the build failed" >&2
  exit 1
fi

counts=$work/counts.tsv
: > "$counts"
changed=0
for book in $books; do
  case $book in
    34|36|38) options=(--layout "$book") ;;
    34-labels) options=(--layout 34 --labels table) ;;
    36-checkpointed|38-checkpointed) options=(--layout "${book%%-*}" --journal wal-checkpointed) ;;
    36-rollback|38-rollback) options=(--layout "${book%%-*}" --journal rollback) ;;
    *) echo "measure-recovery.sh: unknown book $book (see --help)" >&2; exit 2 ;;
  esac
  for seed in $seeds; do
    name=$book-seed$seed
    db=$work/$name/AddressBook.sqlitedb
    mkdir -p "$work/$name"
    "$build/quarrow-make-sample" "${options[@]}" --persons "$persons" --deleted "$deleted" \
      --page-size "$page_size" --seed "$seed" --manifest "$work/$name.manifest" "$db" >/dev/null
    before=$(cd "$work/$name" && ls -l --time-style=+%s.%N && sha256sum -- *)
    "$build/quarrow-cli" contacts --quiet "$db" "$work/$name.report"
    after=$(cd "$work/$name" && ls -l --time-style=+%s.%N && sha256sum -- *)
    if [[ $before != "$after" ]]; then
      echo "measure-recovery.sh: contacts changed the files of $name:" >&2
      diff <(echo "$before") <(echo "$after") >&2 || true
      changed=1
    fi
    "$build/quarrow-measure-recovery" --tsv --name "$book seed $seed" \
      "$work/$name.manifest" "$work/$name.report" >> "$counts"
  done
done

echo "Contacts recovery on generated address books: $persons persons, $deleted% deleted,"
echo "$page_size-byte pages, seeds $seeds"
echo
awk -F'\t' -v markdown="$markdown" '
  function pct(f, t) { return t == 0 ? "-" : sprintf("%.1f%%", int(f * 1000 / t) / 10) }
  function cell(f, t) { return sprintf("%s/%s %s", f, t, pct(f, t)) }
  function line(name, c) {
    printf "%-28s %-20s %-20s %-20s %-20s %-20s\n", name, cell(c[2], c[3]), cell(c[4], c[5]),
      cell(c[6], c[7]), cell(c[9], c[11]), cell(c[10], c[11])
  }
  BEGIN {
    printf "%-28s %-20s %-20s %-20s %-20s %-20s\n", "book", "live persons", "live values",
      "deleted persons", "deleted values", "deleted values"
    printf "%-28s %-20s %-20s %-20s %-20s %-20s\n", "", "by name", "filed right",
      "by name", "in their row", "anywhere"
  }
  {
    split($0, c, "\t")
    line(c[1], c)
    split(c[1], words, " ")
    layout = words[1]
    if (!(layout in seen)) { seen[layout] = 1; order[++layouts] = layout }
    for (i = 2; i <= 12; i++) { sum[layout, i] += c[i]; all[i] += c[i] }
  }
  END {
    print ""
    for (k = 1; k <= layouts; k++) {
      for (i = 2; i <= 12; i++) t[i] = sum[order[k], i]
      line(order[k] " (all seeds)", t)
    }
    line("all books", all)
    print ""
    printf "USSD codes not counted: %d\n", all[12]
    print "Targets (all books):"
    verdict("live persons by name = 100%", all[2], all[3], 100)
    verdict("live values filed right >= 99%", all[4], all[5], 99)
    verdict("deleted persons by name >= 85%", all[6], all[7], 85)
    verdict("deleted values found (anywhere) >= 85%", all[10], all[11], 85)
    if (markdown) {
      print ""
      print "| layout | live persons by name | live numbers and e-mails filed right | deleted persons by name | their numbers and e-mails in their row | their numbers and e-mails anywhere |"
      print "| --- | --- | --- | --- | --- | --- |"
      for (k = 1; k <= layouts; k++) {
        for (i = 2; i <= 12; i++) t[i] = sum[order[k], i]
        printf "| %s | %s | %s | %s | %s | %s |\n", order[k], cell(t[2], t[3]), cell(t[4], t[5]),
          cell(t[6], t[7]), cell(t[9], t[11]), cell(t[10], t[11])
      }
    }
  }
  function verdict(what, f, t, goal) {
    ok = t > 0 && f * 100 >= goal * t
    printf "  %-40s %-8s %s\n", what, pct(f, t), ok ? "met" : "MISSED"
  }
' "$counts"
exit "$changed"
