#!/usr/bin/env bash
# Measures contacts recovery on generated iPhone address books of every layout:
# for each layout and seed, quarrow-make-sample writes a book (and its
# manifest), `quarrow-cli contacts --details` recovers it (and again with
# --deleted-only), and quarrow-measure-recovery scores the reports against the
# manifest. Prints two tables: a row per book and a total per layout, of what
# comes back and of what the states say; then the targets.
#
#   scripts/measure-recovery.sh [--persons N] [--deleted P] [--edits P]
#                               [--page-size P] [--seeds "1 2 3"]
#                               [--books "34 34-labels 36 38"] [--markdown] [--keep]
#
# Books: a layout (34: older phones, no label table, rollback journal; 36 and
# 38: label table, search index, WAL with the latest deletions still in the
# -wal), then any of these words, joined by "-": labels (a label table in
# first-use order), checkpointed (every deletion checkpointed into the file,
# no -wal), rollback (a rollback journal), wal, up34 or up36 (begun in that
# older layout: the tables rebuilt with more columns after most persons were
# written and some deleted), badperson (ABPerson's schema text damaged) or
# badindex (another schema text damaged: SQLite refuses the schema). So
# 38-rollback-up34-badindex. Defaults: 300 persons, 30% deleted, none edited
# (--edits: that share of the persons that stay gets a new ModificationDate and
# number, half before the deletions, half after), 4096-byte pages, seeds 1 2 3.
# The reports are made from the database file alone (not its -wal).
#
# Columns: live persons found by name; their numbers and e-mail addresses filed
# in the person's row under the right label column; deleted persons found by
# name; their numbers and e-mail addresses in the person's row (any label
# column), and anywhere in the report (any label cell of any row); of those
# found, the share in their person's row (reunited); of those beside a name
# (in a row with First, Last or Organization), the share beside another
# person's (wrong links). USSD codes
# (# or *) are not counted. The states' table: rows of the deleted-only report
# that carry the name and rowid of a person still in the book (target 0), and
# a live person's name under another rowid; deleted persons the details report
# finds by name that deleted-only keeps (target 100%), and whose rows are all
# deleted or unknown; edits whose earlier version (the old ModificationDate) is
# a row, and those rows' states (target: prior, or unknown where a freeblock
# destroyed the rowid; never deleted or live); persons deleted before an
# upgrade found by name, and with their dates and ExternalUUID in their
# columns. The targets are judged on the totals of all books; the deleted
# values' target on "anywhere". With --markdown, the per-layout totals follow
# as Markdown tables (for the README).
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
edits=0
page_size=4096
seeds="1 2 3"
books="34 34-labels 36 38"
keep=0
markdown=0
while (($#)); do
  case "$1" in
    --persons) persons=$2; shift 2 ;;
    --deleted) deleted=$2; shift 2 ;;
    --edits) edits=$2; shift 2 ;;
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
  IFS=- read -r -a words <<< "$book"
  case ${words[0]} in
    34|36|38) options=(--layout "${words[0]}") ;;
    *) echo "measure-recovery.sh: unknown book $book (see --help)" >&2; exit 2 ;;
  esac
  for word in "${words[@]:1}"; do
    case $word in
      labels) options+=(--labels table) ;;
      checkpointed) options+=(--journal wal-checkpointed) ;;
      rollback|wal) options+=(--journal "$word") ;;
      up34|up36) options+=(--upgrade-from "${word#up}") ;;
      badperson) options+=(--damage-schema person) ;;
      badindex) options+=(--damage-schema other) ;;
      *) echo "measure-recovery.sh: unknown book $book (see --help)" >&2; exit 2 ;;
    esac
  done
  for seed in $seeds; do
    name=$book-seed$seed
    db=$work/$name/AddressBook.sqlitedb
    mkdir -p "$work/$name"
    "$build/quarrow-make-sample" "${options[@]}" --persons "$persons" --deleted "$deleted" \
      --edits "$edits" --page-size "$page_size" --seed "$seed" \
      --manifest "$work/$name.manifest" "$db" >/dev/null
    before=$(cd "$work/$name" && ls -l --time-style=+%s.%N && sha256sum -- *)
    "$build/quarrow-cli" contacts --quiet --details "$db" "$work/$name.report"
    "$build/quarrow-cli" contacts --quiet --details --deleted-only "$db" "$work/$name.deleted"
    after=$(cd "$work/$name" && ls -l --time-style=+%s.%N && sha256sum -- *)
    if [[ $before != "$after" ]]; then
      echo "measure-recovery.sh: contacts changed the files of $name:" >&2
      diff <(echo "$before") <(echo "$after") >&2 || true
      changed=1
    fi
    "$build/quarrow-measure-recovery" --tsv --name "$book seed $seed" \
      --deleted-only "$work/$name.deleted" "$work/$name.manifest" "$work/$name.report" >> "$counts"
  done
done

echo "Contacts recovery on generated address books: $persons persons, $deleted% deleted,"
echo "$edits% of those that stay edited, $page_size-byte pages, seeds $seeds"
echo
awk -F'\t' -v markdown="$markdown" '
  function pct(f, t) { return t == 0 ? "-" : sprintf("%.1f%%", int(f * 1000 / t) / 10) }
  function cell(f, t) { return sprintf("%s/%s %s", f, t, pct(f, t)) }
  function line(name, c) {
    printf "%-28s %-20s %-20s %-20s %-20s %-20s %-20s %-20s\n", name, cell(c[2], c[3]), cell(c[4], c[5]),
      cell(c[6], c[7]), cell(c[9], c[11]), cell(c[10], c[11]), cell(c[9], c[10]), cell(c[28], c[27])
  }
  # The states table: deleted-only rows under a live rowid and name (and under
  # another), deleted persons kept, all deleted or unknown, edits with an
  # earlier version and its rows by state, pre-upgrade persons found and right.
  function earlier(c) { return sprintf("%s/%s/%s", c[21], c[22], c[23]) }
  function states(name, c) {
    printf "%-28s %-9s %-9s %-19s %-19s %-19s %-14s %-19s %-19s\n", name, c[13], c[14],
      cell(c[15], c[16]), cell(c[17], c[18]), cell(c[19], c[20]), earlier(c),
      cell(c[24], c[25]), cell(c[26], c[25])
  }
  BEGIN {
    printf "%-28s %-20s %-20s %-20s %-20s %-20s %-20s %-20s\n", "book", "live persons", "live values",
      "deleted persons", "deleted values", "deleted values", "found ones in", "beside a name:"
    printf "%-28s %-20s %-20s %-20s %-20s %-20s %-20s %-20s\n", "", "by name", "filed right",
      "by name", "in their row", "anywhere", "their row", "other names"
  }
  {
    split($0, c, "\t")
    line(c[1], c)
    rows[NR] = $0
    split(c[1], words, " ")
    layout = words[1]
    if (!(layout in seen)) { seen[layout] = 1; order[++layouts] = layout }
    for (i = 2; i <= 28; i++) { sum[layout, i] += c[i]; all[i] += c[i] }
    # The reunited target is for the layouts with a search index.
    if (layout !~ /^34/) for (i = 2; i <= 28; i++) indexed[i] += c[i]
  }
  END {
    print ""
    for (k = 1; k <= layouts; k++) {
      for (i = 2; i <= 28; i++) t[i] = sum[order[k], i]
      line(order[k] " (all seeds)", t)
    }
    line("all books", all)
    print ""
    printf "%-28s %-9s %-9s %-19s %-19s %-19s %-14s %-19s %-19s\n", "book", "accused", "other",
      "deleted persons", "deleted persons", "edits: earlier", "their rows:", "deleted before", "the upgrade:"
    printf "%-28s %-9s %-9s %-19s %-19s %-19s %-14s %-19s %-19s\n", "", "(rowid)", "rowid",
      "kept", "all deleted/unk.", "version a row", "prior/unk/oth", "upgrade, found", "in their columns"
    for (r = 1; r <= NR; r++) { split(rows[r], c, "\t"); states(c[1], c) }
    print ""
    for (k = 1; k <= layouts; k++) {
      for (i = 2; i <= 28; i++) t[i] = sum[order[k], i]
      states(order[k] " (all seeds)", t)
    }
    states("all books", all)
    print ""
    printf "USSD codes not counted: %d\n", all[12]
    print "Targets (all books):"
    verdict("live persons by name = 100%", all[2], all[3], 100)
    verdict("live values filed right >= 99%", all[4], all[5], 99)
    verdict("deleted persons by name >= 85%", all[6], all[7], 85)
    verdict("deleted values found (anywhere) >= 85%", all[10], all[11], 85)
    verdict("36/38: found deleted values in their row >= 80%", indexed[9], indexed[10], 80)
    printf "  %-40s %-8s %s\n", "deleted values beside other names < 0.5%", pct(all[28], all[27]),
      all[28] * 200 < all[27] || all[27] == 0 ? "met" : "MISSED"
    printf "  %-40s %-8s %s\n", "deleted-only rows of live persons = 0", all[13],
      all[13] == 0 ? "met" : "MISSED"
    verdict("deleted persons kept by deleted-only = 100%", all[15], all[16], 100)
    # An earlier version whose rowid was destroyed (a freeblock over it) is
    # unknown; deleted or live it must never be.
    printf "  %-40s %-8s %s\n", "earlier versions deleted or live = 0", all[23],
      all[23] == 0 ? "met" : "MISSED"
    if (markdown) {
      print ""
      print "| layout | live persons by name | live numbers and e-mails filed right | deleted persons by name | their numbers and e-mails in their row | their numbers and e-mails anywhere | found ones in their row | beside a name, beside another person |"
      print "| --- | --- | --- | --- | --- | --- | --- | --- |"
      for (k = 1; k <= layouts; k++) {
        for (i = 2; i <= 28; i++) t[i] = sum[order[k], i]
        printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", order[k], cell(t[2], t[3]), cell(t[4], t[5]),
          cell(t[6], t[7]), cell(t[9], t[11]), cell(t[10], t[11]), cell(t[9], t[10]), cell(t[28], t[27])
      }
      print ""
      print "| layout | deleted-only rows of live persons (their rowid / another) | deleted persons kept | edits whose earlier version is a row | its rows prior / unknown / other | deleted before the upgrade: found, in their columns |"
      print "| --- | --- | --- | --- | --- | --- |"
      for (k = 1; k <= layouts; k++) {
        for (i = 2; i <= 28; i++) t[i] = sum[order[k], i]
        printf "| %s | %s / %s | %s | %s | %s | %s, %s |\n", order[k], t[13], t[14],
          cell(t[15], t[16]), cell(t[19], t[20]), earlier(t), cell(t[24], t[25]), cell(t[26], t[25])
      }
    }
  }
  function verdict(what, f, t, goal) {
    ok = t > 0 && f * 100 >= goal * t
    printf "  %-40s %-8s %s\n", what, pct(f, t), ok ? "met" : "MISSED"
  }
' "$counts"
exit "$changed"
