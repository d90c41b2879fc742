#!/usr/bin/env bash
# Prints a contacts report as a readable table: rowid, name, organisation,
# phone numbers and e-mail addresses of every row that has any of them. With
# the sample's manifest (quarrow-make-sample --manifest), marks the rows that
# belong to deleted persons (by rowid or by name: deletion may overwrite a
# record's rowid) and counts how many of their names, numbers and addresses
# the report holds (scripts/measure-recovery.sh gives the full measure).
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
      if (f[1] == "person" && f[3] == "deleted") {
        people++
        by_id[f[2]] = 1
        name = f[4] (f[5] != "" ? " " f[5] : "")
        if (name != "") by_name[name] = 1
        deleted_id[f[2]] = 1
      } else if (f[1] == "value" && (f[2] in deleted_id) && (f[3] == 3 || f[3] == 4) &&
                 f[5] !~ /[#*]/) {
        values[++total] = f[5]
      }
    }
    fmt = "%-6s %-8s %-26s %-24s %-40s %s\n"
    printf fmt, "rowid", "", "name", "organization", "phones", "e-mails"
  }
  FNR == 1 { next }  # the header line
  {
    text = text $0 "\n"
    phones = ""; mails = ""
    for (i = 33; i <= 39; i++) if ($i != "") phones = add(phones, $i)
    for (i = 40; i <= 46; i++) if ($i != "") mails = add(mails, $i)
    name = $5 ($6 != "" ? " " $6 : "")
    if (name == "" && $11 == "" && phones == "" && mails == "") next
    mark = ($2 in by_id || (name != "" && name in by_name)) ? "deleted" : ""
    if (name != "" && name in by_name) found_name[name] = 1
    printf fmt, $2, mark, name, $11, phones, mails
  }
  END {
    if (people == 0) exit
    for (n in found_name) back++
    for (i = 1; i <= total; i++) if (index(text, values[i]) > 0) seen++
    printf "\nThe sample deleted %d persons: %d of them are back by name, and %d of their %d phone numbers and e-mail addresses are in the report.\n", people, back, seen, total
  }
' "$report"
