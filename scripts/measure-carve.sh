#!/usr/bin/env bash
# Measures the table carver on generated scenarios: for each family, seed, page
# size and journal mode, quarrow-make-carve-scenario writes a database with
# deleted, updated and dropped rows (and its truth), `quarrow-cli find --table T
# --format jsonl --details` carves each table from the database, its -wal and
# its -journal (one report per table, the inputs' reports one after the other,
# and once more with --deleted-only), and quarrow-measure-carve scores the
# reports against the truth. Prints a summary table per family, then the
# targets.
#
#   scripts/measure-carve.sh [--families "ipk noipk ..."] [--seeds "1 2 3"]
#                            [--page-sizes "512 4096 65536"]
#                            [--journals "wal delete"] [--keep]
#
# Defaults: every family (ipk noipk runs bulk reuse overflow drop similar addcol
# ints all), seeds 1 2 3, page sizes 512 4096 65536, journals wal and delete.
#
# Columns (sums over the family's scenarios and tables): deleted rows in the
# truth; those whose record bytes survive in the files; surviving deleted rows
# brought back with every value right; the same for surviving overflow and
# dropped rows; false rows (equal to no row version that ever existed) of all
# report rows; live rows claimed deleted or unknown (the larger count of the
# full and the --deleted-only report); prior versions seen as prior; find runs
# that failed. Targets, on all scenarios: >= 99% of surviving deleted rows
# right, 100% of surviving overflow rows, >= 95% of surviving dropped rows, no
# live row claimed deleted, false rows under 2% of the report.
#
# A find run that fails (a table the carver does not know yet, say) is counted
# and its message shown, not an error; so is a report without the carver's
# keys. BUILD_DIR names the build folder (default build/, made with
# scripts/build.sh when missing); the three programs are brought up to date
# there, and when that build fails the programs already there are used. Work
# files go to a temporary folder, removed at the end unless --keep is given.
# Each scenario's files are compared before and after the find runs. Exit
# status 1 when a scenario or a measure cannot be made or a scenario's files
# changed; a missed target is reported, not an error.
set -euo pipefail

families="ipk noipk runs bulk reuse overflow drop similar addcol ints all"
seeds="1 2 3"
page_sizes="512 4096 65536"
journals="wal delete"
keep=0
while (($#)); do
  case "$1" in
    --families) families=$2; shift 2 ;;
    --seeds) seeds=$2; shift 2 ;;
    --page-sizes) page_sizes=$2; shift 2 ;;
    --journals) journals=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "measure-carve.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
case $build in /*) ;; *) build=$PWD/$build ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-carve.XXXXXX")
cleanup() { if ((keep)); then echo "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT

programs="quarrow-cli quarrow-make-carve-scenario quarrow-measure-carve"
if ! { if [[ ! -f $build/CMakeCache.txt ]]; then
         if [[ $build == "$root/build" ]]; then
           bash "$root/scripts/build.sh"
         else
           cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
         fi
       fi
       cmake --build "$build" -j2 --target $programs
     } > "$work/build.log" 2>&1; then
  for program in $programs; do
    if [[ ! -x $build/$program ]]; then
      tail -n 40 "$work/build.log" >&2
      echo "measure-carve.sh: the build failed and $build/$program is missing" >&2
      exit 1
    fi
  done
  echo "measure-carve.sh: the build failed; measuring with the programs already in $build" >&2
fi

# The scenario's files, for the comparison before and after the find runs.
fingerprint() { (cd "$1" && ls -l --time-style=+%s.%N db.sqlite* && sha256sum db.sqlite*); }

counts=$work/counts.tsv
failures=$work/failures.txt
: > "$counts"
: > "$failures"
status=0
for family in $families; do
  for journal in $journals; do
    for page_size in $page_sizes; do
      for seed in $seeds; do
        name=$family-$journal-$page_size-$seed
        dir=$work/$name
        if ! "$build/quarrow-make-carve-scenario" --family "$family" --seed "$seed" \
             --page-size "$page_size" --journal "$journal" "$dir"; then
          echo "measure-carve.sh: no scenario $name" >&2
          status=1
          continue
        fi
        inputs=()
        for input in db.sqlite db.sqlite-wal db.sqlite-journal; do
          [[ -f $dir/$input ]] && inputs+=("$dir/$input")
        done
        before=$(fingerprint "$dir")
        for table in $("$build/quarrow-measure-carve" --tables "$dir/truth.jsonl"); do
          for mode in full deleted-only; do
            report=$work/$name.$table.$mode.jsonl
            : > "$report"
            options=(--table "$table" --format jsonl --details --quiet)
            [[ $mode == deleted-only ]] && options+=(--deleted-only)
            for input in "${inputs[@]}"; do
              if "$build/quarrow-cli" find "${options[@]}" "$input" "$work/part.jsonl" \
                   2> "$work/find.err"; then
                cat "$work/part.jsonl" >> "$report"
              else
                # The message without the work folder, so that like messages group.
                printf '%s\t%s\t%s\n' "$family" "$name ${input##*/} $table $mode" \
                  "$(head -n 1 "$work/find.err" | sed "s|$work/||g")" >> "$failures"
              fi
            done
            measure_options=()
            [[ $mode == deleted-only ]] && measure_options+=(--deleted-only-report)
            if ! "$build/quarrow-measure-carve" "${measure_options[@]}" --no-header \
                 --table "$table" "$dir/truth.jsonl" "$report" > "$work/measure.tsv"; then
              echo "measure-carve.sh: cannot measure $name table $table ($mode)" >&2
              status=1
              continue
            fi
            # Each line: family, mode, then the measure's table, measure, count, of.
            awk -F'\t' -v family="$family" -v mode="$mode" \
              '{ printf "%s\t%s\t%s\t%s\t%s\t%s\n", family, mode, $1, $2, $3, $4 }' \
              "$work/measure.tsv" >> "$counts"
          done
        done
        after=$(fingerprint "$dir")
        if [[ $before != "$after" ]]; then
          echo "measure-carve.sh: find changed the files of $name:" >&2
          diff <(echo "$before") <(echo "$after") >&2 || true
          status=1
        fi
        rm -f "$work/$name".*.jsonl
      done
    done
  done
done

echo "Table carver on generated scenarios: families $families;"
echo "seeds $seeds; page sizes $page_sizes; journals $journals"
echo
awk -F'\t' -v families="$families" -v failures_file="$failures" '
  function pct(c, o) { return o == 0 ? "-" : sprintf("%.1f%%", int(c * 1000 / o) / 10) }
  function cell(f, m) { return sprintf("%d/%d %s", n[f, m], of[f, m], pct(n[f, m], of[f, m])) }
  # "total" sums every family (a family is named "all").
  function add(f, m, c, o) { n[f, m] += c; of[f, m] += o; n["total", m] += c; of["total", m] += o }
  function line(f) {
    printf "%-9s %-19s %-19s %-19s %-17s %-17s %-19s %-15s %-15s %s\n", f, cell(f, "deleted"),
      cell(f, "surviving"), cell(f, "right_of_surviving"), cell(f, "overflow_right"),
      cell(f, "dropped_right"), cell(f, "false_rows"), cell(f, "live_under_deleted_only"),
      cell(f, "prior_seen"), failed[f] + 0
  }
  function verdict(what, ok, m) {
    printf "  %-44s %-8s %s\n", what, pct(n["total", m], of["total", m]), ok ? "met" : "MISSED"
  }
  FILENAME == failures_file { failed[$1]++; failed["total"]++; next }
  {
    family = $1; mode = $2; key = $3; measure = $4
    if (measure == "live_under_deleted_only") {
      # The larger count of the two reports of one table of one scenario, in turn.
      if (mode == "full") { live_full = $5; live_of = $6; next }
      add(family, measure, ($5 > live_full ? $5 : live_full), live_of)
      next
    }
    if (mode == "full") add(family, measure, $5, $6)
  }
  END {
    printf "%-9s %-19s %-19s %-19s %-17s %-17s %-19s %-15s %-15s %s\n", "family", "deleted rows",
      "surviving", "right (surviving)", "overflow right", "dropped right", "false rows",
      "live claimed", "prior seen", "failed finds"
    count = split(families, list, " ")
    for (i = 1; i <= count; i++) line(list[i])
    line("total")
    print ""
    print "Targets (all scenarios):"
    verdict(">= 99% of surviving deleted rows right", n["total", "right_of_surviving"] * 100 >= of["total", "right_of_surviving"] * 99, "right_of_surviving")
    verdict("100% of surviving overflow rows right", n["total", "overflow_right"] == of["total", "overflow_right"], "overflow_right")
    verdict(">= 95% of surviving dropped rows right", n["total", "dropped_right"] * 100 >= of["total", "dropped_right"] * 95, "dropped_right")
    verdict("no live row claimed deleted", n["total", "live_under_deleted_only"] == 0, "live_under_deleted_only")
    verdict("false rows under 2% of the report", n["total", "false_rows"] * 100 < of["total", "false_rows"] * 2 || n["total", "false_rows"] == 0, "false_rows")
  }
' "$failures" "$counts"

if [[ -s $failures ]]; then
  echo
  echo "Failed find runs: $(wc -l < "$failures"); their messages:"
  cut -f3 "$failures" | sort | uniq -c | sort -rn | head -n 10
fi
exit "$status"
