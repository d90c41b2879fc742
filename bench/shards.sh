#!/usr/bin/env bash
# What cutting an input into shards (--range) costs, and what Slurm gains.
#
#   bench/shards.sh [--size-mib N] [--shards N] [--build-dir DIR] [--no-slurm]
#                   [--instructions]
#
# Over an address-book image of N MiB (default 1024: copies of a 2000-person
# sample book, as bench/run.sh makes it), with quarrow-cli and
# quarrow-make-sample from DIR (default build-bench/, built as bench/run.sh
# builds it when missing):
#   1. find (the 29 initial lines), find --ddl (the 6 multi-value lines) and
#      contacts over the whole image, then over --shards (default 64)
#      consecutive ranges, one worker each: the joined (contacts: merged)
#      reports must equal the whole run's byte for byte, and the CPU time
#      (user + system) of all shards (and the merge) is set against one run's
#      (one worker too). Target: at most 10% more. With --instructions, each
#      command runs once more under valgrind's callgrind, and the instructions
#      it executed are set against one run's too: a figure the machine's
#      other work does not move (the times here vary by 10% or more), but
#      valgrind hides the processor's SHA instructions, so a contacts shard's
#      input fingerprint counts at the portable code's cost. Also printed: the
#      contacts parts' size against the report's.
#   2. Through a one-node Slurm cluster (scripts/slurm-test.sh --run; root,
#      slurm-wlm and munge), find over the same shards with
#      quarrow-slurm: two one-CPU array tasks at once, each running half the
#      shards in turn, against one task running them all in turn (from the
#      first task's start to the last one's end, as the tasks record it).
#      Best of three each (the find --ddl reports, hundreds of MB, would time
#      the disk). Target: at least 1.7x faster. Skipped with --no-slurm.
# Prints each figure; exit 1 when a report differs or a command fails, 3
# when a target is missed.
set -euo pipefail

size_mib=1024
shards=64
build_dir=build-bench
slurm=1
slurm_part=0
instructions=0
while (($#)); do
  case "$1" in
    --size-mib) size_mib=$2; shift 2 ;;
    --shards) shards=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --no-slurm) slurm=0; shift ;;
    --instructions) instructions=1; shift ;;
    --slurm-part) slurm_part=1; work=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/shards.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
cli=$build_dir/quarrow-cli
make_sample=$build_dir/quarrow-make-sample

now() { echo "${EPOCHREALTIME/,/.}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# --- inside the cluster: the Slurm figures ------------------------------------
# Submits, waits for the job to end (polling scontrol), prints its wall time.
if ((slurm_part)); then
  image=$work/image.bin
  size=$(stat -c %s "$image")
  shard=$(((size + shards - 1) / shards))
  # run_array TASKS: the shards as an array of TASKS one-CPU tasks; sets
  # $span to the seconds from the first task's start to the last one's end.
  run_array() {
    local out=$work/tasks-$1
    "$root/scripts/quarrow-slurm" --cli "$cli" --shard-size "$shard" --tasks "$1" --poll 0.2 \
      --output-dir "$out" --sbatch-option --cpus-per-task=1 \
      find --threads 1 -- "$image" > "$work/array.log" 2>&1 ||
      { echo "   slurm array of $1 tasks failed:" >&2; cat "$work/array.log" >&2; exit 1; }
    cmp -s "$out/image.bin.tsv" "$work/whole-find.tsv" ||
      { echo "   slurm array of $1 tasks: the joined report differs" >&2; exit 1; }
    span=$(cat "$out"/times/* | awk 'NR == 1 || $1 < s { s = $1 } NR == 1 || $2 > e { e = $2 }
                                      END { printf "%.2f", e - s }')
  }
  # Best of three each: the machine's two cores are shared.
  in_turn= at_once=
  for _ in 1 2 3; do
    run_array 1
    [[ -z $in_turn ]] || awk -v a="$span" -v b="$in_turn" 'BEGIN { exit !(a < b) }' && in_turn=$span
    run_array 2
    [[ -z $at_once ]] || awk -v a="$span" -v b="$at_once" 'BEGIN { exit !(a < b) }' && at_once=$span
  done
  speedup=$(ratio "$in_turn" "$at_once")
  echo "   slurm: find over $shards shards: one task running them in turn $in_turn s, two tasks at once $at_once s: ${speedup}x (target >= 1.7x)"
  awk -v s="$speedup" 'BEGIN { exit !(s >= 1.7) }' || exit 3
  exit 0
fi

# --- the input --------------------------------------------------------------
if [[ ! -x $cli || ! -x $make_sample ]]; then
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_TESTS=OFF \
    -DQUARROW_BUILD_WINDOW=OFF >/dev/null
  cmake --build "$build_dir" --parallel --target quarrow-cli quarrow-make-sample >/dev/null
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-shards.XXXXXX")
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
size=$((size_mib * 1024 * 1024))
"$make_sample" --layout 34 --persons 2000 --seed 1 "$work/sample.db" >/dev/null
sample_size=$(stat -c %s "$work/sample.db")
for ((k = 0; k < size / sample_size; k++)); do cat "$work/sample.db"; done > "$work/image.bin"
head -c $((size % sample_size)) "$work/sample.db" >> "$work/image.bin"
cat "$work/image.bin" > /dev/null
printf '%s\n' "UID INTEGER" "record_id INTEGER" "property INTEGER" "identifier INTEGER" \
  "label INTEGER" "value TEXT" > "$work/mv.ddl"
shard=$(((size + shards - 1) / shards))
echo "== $size_mib MiB address-book image, $shards shards of $shard bytes"

# --- CPU of the shards against one run ----------------------------------------
missed=0
# cpu_of CMD...: sets $cpu to the command's user + system seconds and, with
# --instructions, $ir to the instructions it executes (else 0).
cpu_of() {
  local times
  times=$( { TIMEFORMAT='%U %S'; time "$@" >/dev/null 2>&1; } 2>&1 ) || return 1
  cpu=$(awk '{ printf "%.3f", $1 + $2 }' <<< "$times")
  ir=0
  if ((instructions)); then
    ir=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
         awk '/refs:/ { gsub(",", "", $NF); print $NF }')
    [[ -n $ir ]] || return 1
  fi
}
# print_instructions WHOLE SHARDS: the instructions line, with --instructions.
print_instructions() {
  ((instructions)) || return 0
  echo "      instructions: one run $1, $shards shards $2:" \
       "$(awk -v s="$2" -v w="$1" 'BEGIN { printf "%.1f", (s / w - 1) * 100 }')% more"
}
for name in find find-mv; do
  args=(find --quiet --threads 1)
  [[ $name == find-mv ]] && args+=(--ddl "$work/mv.ddl")
  cpu_of "$cli" "${args[@]}" "$work/image.bin" "$work/whole-$name.tsv"
  whole_cpu=$cpu whole_ir=$ir
  "$cli" "${args[@]}" --range 0:0 "$work/image.bin" "$work/head.tsv"
  head_size=$(stat -c %s "$work/head.tsv")
  cp "$work/head.tsv" "$work/joined.tsv"
  shards_cpu=0 shards_ir=0
  for ((start = 0; start < size; start += shard)); do
    cpu_of "$cli" "${args[@]}" --range "$start:$((start + shard))" "$work/image.bin" "$work/part.tsv"
    shards_cpu=$(awk -v a="$shards_cpu" -v b="$cpu" 'BEGIN { printf "%.3f", a + b }')
    shards_ir=$((shards_ir + ir))
    tail -c +$((head_size + 1)) "$work/part.tsv" >> "$work/joined.tsv"
  done
  if ! cmp -s "$work/joined.tsv" "$work/whole-$name.tsv"; then
    echo "   $name: the joined report differs from the whole run's" >&2
    exit 1
  fi
  more=$(awk -v s="$shards_cpu" -v w="$whole_cpu" 'BEGIN { printf "%.1f", (s / w - 1) * 100 }')
  echo "   $name: joined report equal ($(($(wc -l < "$work/joined.tsv") - 1)) records); CPU: one run $whole_cpu s, $shards shards $shards_cpu s: $more% more (target <= 10%)"
  print_instructions "$whole_ir" "$shards_ir"
  awk -v m="$more" 'BEGIN { exit !(m <= 10) }' || missed=1
done

# Contacts: shards write parts, merged into the report.
cpu_of "$cli" contacts --quiet --threads 1 "$work/image.bin" "$work/whole-contacts.tsv"
whole_cpu=$cpu whole_ir=$ir
shards_cpu=0 shards_ir=0
parts=()
for ((start = 0; start < size; start += shard)); do
  parts+=("$work/part.$start")
  cpu_of "$cli" contacts --quiet --threads 1 --range "$start:$((start + shard))" --parts \
    "$work/image.bin" "${parts[-1]}"
  shards_cpu=$(awk -v a="$shards_cpu" -v b="$cpu" 'BEGIN { printf "%.3f", a + b }')
  shards_ir=$((shards_ir + ir))
done
cpu_of "$cli" merge --quiet "${parts[@]}" "$work/merged.tsv"
merge_cpu=$cpu merge_ir=$ir
parts_size=$(cat "${parts[@]}" | wc -c)
rm -f "${parts[@]}"
cmp -s "$work/merged.tsv" "$work/whole-contacts.tsv" ||
  { echo "   contacts: the merged report differs from the whole run's" >&2; exit 1; }
total=$(awk -v a="$shards_cpu" -v b="$merge_cpu" 'BEGIN { printf "%.3f", a + b }')
more=$(awk -v s="$total" -v w="$whole_cpu" 'BEGIN { printf "%.1f", (s / w - 1) * 100 }')
echo "   contacts: merged report equal ($(($(wc -l < "$work/merged.tsv") - 1)) rows); CPU: one run $whole_cpu s, $shards shards $shards_cpu s + merge $merge_cpu s: $more% more (target <= 10%)"
echo "      parts: $parts_size bytes, the report $(stat -c %s "$work/merged.tsv")"
print_instructions "$whole_ir" "$((shards_ir + merge_ir))"
awk -v m="$more" 'BEGIN { exit !(m <= 10) }' || missed=1
rm -f "$work/merged.tsv" "$work/whole-contacts.tsv" "$work/whole-find-mv.tsv" "$work/joined.tsv"

# --- Slurm ------------------------------------------------------------------
if ((slurm)); then
  status=0
  bash "$root/scripts/slurm-test.sh" "$build_dir" --run \
    bash "$0" --build-dir "$build_dir" --shards "$shards" --slurm-part "$work" || status=$?
  ((status == 3)) && missed=1
  ((status == 0 || status == 3)) || exit 1
fi
((missed == 0)) || exit 3
