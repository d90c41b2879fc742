#!/usr/bin/env bash
# Prints a contacts report as a readable table: rowid, status, state, name,
# organisation, phone numbers and e-mail addresses of every row that has any of
# them. A report made with --details carries each row's STATUS (where it lies,
# from the tool's own page map: live, superseded, freeblock, freelist, wal:N,
# journal, unknown) and STATE (what it is, from the live rows of the database:
# live, prior, deleted, unknown). Deleted persons are counted from STATE: a
# person whose rows are all deleted or unknown. Rows of STATE prior (earlier
# versions of persons still in the book) are listed apart, after the others.
# With the sample's manifest (quarrow-make-sample --manifest), the last lines
# compare the tool's states with the generator's own list of deleted persons
# (scripts/measure-recovery.sh gives the full measure).
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
        name_of_id[f[2]] = name != "" ? name : "org:" f[6]
      } else if (f[1] == "person" && name != "") {
        live_name[name] = 1
        live_rowid[name] = f[2]
      } else if (f[1] == "value" && (f[2] in deleted_id) && (f[3] == 3 || f[3] == 4) &&
                 f[5] !~ /[#*]/) {
        values[++total] = f[5]
        owner[total] = name_of_id[f[2]]
      }
    }
    fmt = "%-6s %-11s %-8s %-26s %-24s %-40s %s\n"
    printf fmt, "rowid", "status", "state", "name", "organization", "phones", "e-mails"
  }
  FNR == 1 { details = ($49 == "STATE"); next }  # the header line
  {
    text = text $0 "\n"
    phones = ""; mails = ""
    for (i = 33; i <= 39; i++) if ($i != "") phones = add(phones, $i)
    for (i = 40; i <= 46; i++) if ($i != "") mails = add(mails, $i)
    name = $5 ($6 != "" ? " " $6 : "")
    if (name == "" && $11 == "" && phones == "" && mails == "") next
    # Which values stand beside which name: a value in the row of its person is
    # reunited with the person.
    for (i = 33; i <= 46; i++) {
      n = split($i, items, ",")
      for (k = 1; k <= n; k++) {
        item = items[k]; gsub(/^ +| +$/, "", item)
        if (item != "") beside[item SUBSEP (name != "" ? name : "org:" $11)] = 1
      }
    }
    status = details ? $48 : ""
    state = details ? $49 : ""
    line = sprintf(fmt, $2, status, state, name, $11, phones, mails)
    if (state == "prior") {
      prior_lines = prior_lines line
      priors++
    } else {
      printf "%s", line
    }
    # Chance bytes read as a record give names of control bytes (shown as
    # spaces) and stray characters: those are no person.
    if (name != "" && name !~ /  |[\001-\037]/) {
      if (state == "deleted" || state == "unknown") marked_deleted[name] = 1
      else if (state != "") marked_kept[name] = 1
      if (state == "deleted" && (name in live_rowid) && $2 == live_rowid[name]) accused++
      if (name in deleted_name) found_name[name] = 1
    }
  }
  END {
    if (details) {
      for (n in marked_deleted) if (!(n in marked_kept)) only_deleted++
      if (priors > 0) {
        printf "\nEarlier versions of persons still in the book (STATE prior: their rowid is live, their bytes differ):\n"
        printf "%s", prior_lines
      }
      printf "\nThe tool marks %d persons by name as deleted: every row of theirs is deleted or unknown (STATE), none live or prior.\n", only_deleted
      printf "%d rows are earlier versions of persons still in the book (STATE prior), listed apart above.\n", priors
    }
    if (people == 0) exit
    for (n in found_name) {
      back++
      if (n in marked_kept) wrong++
    }
    for (i = 1; i <= total; i++) {
      if (index(text, values[i]) > 0) seen++
      if (owner[i] != "org:" && ((values[i] SUBSEP owner[i]) in beside)) reunited++
    }
    printf "The generator deleted %d persons: %d of them are back by name, and %d of their %d phone numbers and e-mail addresses are in the report, %d of those in their person'"'"'s row (reunited).\n", people, back, seen, total, reunited
    if (details)
      printf "Of those %d, the tool counts %d as deleted from STATE and %d as live or prior; %d rows mark a person the generator kept deleted under that person'"'"'s own rowid.\n", back, back - wrong, wrong, accused
  }
' "$report"
