#!/usr/bin/env bash
# The main job on the bundled sample: installs what is needed, builds into
# build/, makes the sample address book (a real SQLite database from which a
# third of the persons were deleted), recovers its contacts and prints them.
# The sample has the newest phones' layout (38 person columns, a label table,
# WAL mode with the latest deletions still in AddressBook.sqlitedb-wal); the
# report is made from the database file alone, with each row's status
# (--details): the printout marks deleted rows from the tool's own statuses and
# compares them with the generator's list.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" >/dev/null

build=$root/build
mkdir -p "$build/sample"
sample=$build/sample/AddressBook.sqlitedb
manifest=$build/sample/manifest.tsv
report=$build/sample/RES_AddressBook.sqlitedb.TXT
"$build/quarrow-make-sample" --manifest "$manifest" "$sample"
"$build/quarrow-cli" contacts --quiet --details --offset 0 "$sample" "$report"
bash "$root/scripts/show-contacts.sh" "$report" "$manifest"
echo
echo "Sample database: $sample"
echo "Contacts report: $report (tab-separated UTF-8, one line per recovered row)"
