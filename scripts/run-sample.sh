#!/usr/bin/env bash
# The main job on the bundled sample: installs what is needed, builds into
# build/, makes the sample address book (a real SQLite database from which a
# third of the persons were deleted), recovers its contacts and prints them.
# The sample has the newest phones' layout (38 person columns, a label table,
# WAL mode with the latest deletions and edits still in
# AddressBook.sqlitedb-wal), and a phone's history: persons edited before and
# after the deletions. The report is made from the database file alone, with
# each row's status and state (--details): the printout counts deleted persons
# from the tool's own states, lists the earlier versions of persons still in
# the book apart, and compares them with the generator's list.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" >/dev/null

build=$root/build
mkdir -p "$build/sample"
sample=$build/sample/AddressBook.sqlitedb
manifest=$build/sample/manifest.tsv
report=$build/sample/RES_AddressBook.sqlitedb.TXT
"$build/quarrow-make-sample" --edits 10 --manifest "$manifest" "$sample"
"$build/quarrow-cli" contacts --quiet --details --offset 0 "$sample" "$report"
bash "$root/scripts/show-contacts.sh" "$report" "$manifest"
echo
echo "Sample database: $sample"
echo "Contacts report: $report (tab-separated UTF-8, one line per recovered row)"
