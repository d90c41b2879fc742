#!/usr/bin/env bash
# Prints a contacts report as a readable table: rowid, status, name,
# organisation, phone numbers and e-mail addresses of every row that has any of
# them. A report made with --details carries each row's status from the tool's
# own page map (live, superseded, freeblock, freelist, wal:N, journal,
# unknown); every other status is deleted data. With the sample's manifest
# (quarrow-make-sample --manifest), the last lines compare the tool's statuses
# with the generator's own list of deleted persons (scripts/measure-recovery.sh
# gives the full measure).
#   scripts/show-contacts.sh REPORT [MANIFEST]
set -euo pipefail
report=$1
manifest=${2:-/dev/null}
awk -F'\t' -v manifest="$manifest" '
  function add(list, item) { return list (list == "" ? "" : "; ") item }
  BEGIN {
    while ((getline line < manifest) > 0) {
      if (line ~ /^#/) continue
      n = split(line, f, "\t")
      name = f[4] (f[5] != "" ? " " f[5] : "")
      if (f[1] == "person" && f[3] == "deleted") {
        people++
        if (name != "") deleted_name[name] = 1
        deleted_id[f[2]] = 1
      } else if (f[1] == "person" && name != "") {
        live_name[name] = 1
      } else if (f[1] == "value" && (f[2] in deleted_id) && (f[3] == 3 || f[3] == 4) &&
                 f[5] !~ /[#*]/) {
        values[++total] = f[5]
      }
    }
    fmt = "%-6s %-11s %-26s %-24s %-40s %s\n"
    printf fmt, "rowid", "status", "name", "organization", "phones", "e-mails"
  }
  FNR == 1 { details = ($48 == "STATUS"); next }  # the header line
  {
    text = text $0 "\n"
    phones = ""; mails = ""
    for (i = 33; i <= 39; i++) if ($i != "") phones = add(phones, $i)
    for (i = 40; i <= 46; i++) if ($i != "") mails = add(mails, $i)
    name = $5 ($6 != "" ? " " $6 : "")
    if (name == "" && $11 == "" && phones == "" && mails == "") next
    status = details ? $48 : ""
    if (name != "") {
      if (status == "live") marked_live[name] = 1
      else if (status != "") marked_deleted[name] = 1
      if (name in deleted_name) found_name[name] = 1
    }
    printf fmt, $2, status, name, $11, phones, mails
  }
  END {
    for (n in marked_deleted) if (!(n in marked_live)) only_deleted++
    if (details)
      printf "\nThe tool marks %d persons by name as deleted data only (no live record of theirs).\n", only_deleted
    if (people == 0) exit
    for (n in found_name) {
      back++
      if (n in marked_live) wrong++
    }
    for (n in marked_deleted) if (!(n in marked_live) && (n in live_name)) old_copies++
    for (i = 1; i <= total; i++) if (index(text, values[i]) > 0) seen++
    printf "The generator deleted %d persons: %d of them are back by name, and %d of their %d phone numbers and e-mail addresses are in the report.\n", people, back, seen, total
    if (details)
      printf "Of those %d, the tool marks %d as deleted (no row of theirs is live) and %d as live.\n%d persons the generator kept appear here only as superseded or freed images: their current records lie elsewhere (in the WAL, for a page it rewrote).\n", back, back - wrong, wrong, old_copies
  }
' "$report"
