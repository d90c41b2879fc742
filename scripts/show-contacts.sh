#!/usr/bin/env bash
# Prints a contacts report as a readable table: rowid, name, organisation,
# phone numbers and e-mail addresses of every row that has any of them. With
# the sample's manifest of deleted persons, marks the rows that belong to them
# (by rowid or by name: deletion may overwrite a record's rowid) and counts how
# many of their names, numbers and addresses the report holds.
#   scripts/show-contacts.sh REPORT [MANIFEST]
set -euo pipefail
report=$1
manifest=${2:-/dev/null}
awk -F'\t' -v manifest="$manifest" '
  function add(list, item) { return list (list == "" ? "" : "; ") item }
  BEGIN {
    while ((getline line < manifest) > 0) {
      if (line ~ /^#/) continue
      split(line, f, "\t")
      people++
      by_id[f[1]] = 1
      name = f[2] (f[3] != "" ? " " f[3] : "")
      by_name[name] = 1
      names[people] = name
      values[people] = f[5] (f[5] != "" && f[6] != "" ? "," : "") f[6]
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
    for (p = 1; p <= people; p++) {
      count = split(values[p], v, ",")
      for (i = 1; i <= count; i++) {
        sub(/^[0-9]+:/, "", v[i])
        total++
        if (index(text, v[i]) > 0) seen++
      }
    }
    printf "\nThe sample deleted %d persons: %d of them are back by name, and %d of their %d phone numbers and e-mail addresses are in the report.\n", people, back, seen, total
  }
' "$report"
