#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora under fuzz/corpus/<target>/: small real
SQLite files (512-byte pages, secure_delete off, rows deleted so that their
records stay in the free space), a WAL and a rollback journal, each prefixed
with the parameter bytes its target reads first. Python's sqlite3 module is
SQLite's C library. The output is small (a few KB a file); run it again only to
change the seeds, then commit what it wrote."""
import os
import sqlite3
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

PERSON_SQL = (
    "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, "
    "Last TEXT, Middle TEXT, FirstPhonetic TEXT, MiddlePhonetic TEXT, "
    "LastPhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, "
    "Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname TEXT, Prefix TEXT, "
    "Suffix TEXT, FirstSort TEXT, LastSort TEXT, CreationDate INTEGER, "
    "ModificationDate INTEGER, CompositeNameFallback TEXT, "
    "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, "
    "StoreID INTEGER, DisplayName TEXT, ExternalRepresentation BLOB, "
    "FirstSortSection TEXT, LastSortSection TEXT, "
    "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, "
    "LastSortLanguageIndex INTEGER DEFAULT 2147483647, "
    "PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1)")
MULTI_SQL = ("CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
             "property INTEGER, identifier INTEGER, label INTEGER, value TEXT)")
LABEL_SQL = "CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))"


def build(statements, journal_mode="DELETE", keep=None):
    """Runs `statements` on a fresh database; returns {suffix: bytes} of the files
    left (the database, and "-wal" or "-journal" when `keep` asks for them)."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "seed.db")
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA page_size=512")
    db.execute("PRAGMA secure_delete=OFF")
    db.execute("PRAGMA journal_mode=%s" % journal_mode)
    if keep == "-wal":
        db.execute("PRAGMA wal_autocheckpoint=0")
    for sql, *params in statements:
        db.execute(sql, *params)
    files = {}
    if keep == "-journal":
        # A rollback journal as a crash leaves it: copied while a write is open.
        db.execute("PRAGMA journal_mode=DELETE")
        db.execute("BEGIN")
        db.execute("DELETE FROM t WHERE id % 2 = 0")
        with open(path + "-journal", "rb") as f:
            files["-journal"] = f.read()
        db.execute("ROLLBACK")
    if keep == "-wal":
        with open(path + "-wal", "rb") as f:
            files["-wal"] = f.read()
    db.close()
    with open(path, "rb") as f:
        files[""] = f.read()
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    os.rmdir(folder)
    return files


def plain_table():
    rows = [("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, age INTEGER, pic BLOB, score REAL)",)]
    names = ["Ada", "Brünhild", "Cy", "", "Đorđe", "Eve Long Name " * 3, "Fa", "Gil"]
    for i, name in enumerate(names):
        rows.append(("INSERT INTO t VALUES (?, ?, ?, ?, ?)",
                     (i + 1, name, [0, 1, -1, 127, 40000, 2**40, -2**63, None][i],
                      bytes(range(i * 3)) if i % 3 else None, i * 1.5)))
    rows.append(("DELETE FROM t WHERE id IN (2, 5, 7)",))
    return rows


def address_book(persons):
    rows = [(PERSON_SQL,), (MULTI_SQL,), (LABEL_SQL,)]
    for label in ["_$!<Mobile>!$_", "iPhone", "_$!<Home>!$_", "_$!<Work>!$_"]:
        rows.append(("INSERT INTO ABMultiValueLabel VALUES (?)", (label,)))
    uid = 1
    for p in range(1, persons + 1):
        rows.append(("INSERT INTO ABPerson (ROWID, First, Last, Organization, Kind, "
                     "CreationDate, DisplayName) VALUES (?, ?, ?, ?, 0, ?, ?)",
                     (p, "First%d" % p, "Läst%d" % p, "Org" if p % 2 else None,
                      600000000 + p, "First%d Läst%d" % (p, p))))
        for k in range(2):
            value = ("+49 170 %07d" % (p * 10 + k)) if k == 0 else ("p%d@example.org" % p)
            rows.append(("INSERT INTO ABMultiValue VALUES (?, ?, ?, ?, ?, ?)",
                         (uid, p, 3 + k, k, 1 + (p + k) % 4, value)))
            uid += 1
    rows.append(("DELETE FROM ABPerson WHERE ROWID % 3 = 2",))
    rows.append(("DELETE FROM ABMultiValue WHERE record_id % 3 = 2",))
    return rows


def carve_wal_seed():
    """The carve target's WAL-mode input: records of its table t spilling into
    overflow pages, deleted, and a log restarted by a checkpoint, so that its
    first frames are the current generation's and the rest an earlier one's."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "seed.db")
    db = sqlite3.connect(path, isolation_level=None)
    for pragma in ["page_size=512", "secure_delete=OFF", "journal_mode=WAL",
                   "wal_autocheckpoint=0"]:
        db.execute("PRAGMA " + pragma)
    db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL)")
    for i in range(1, 41):
        name = ("name%d " % i) * (120 if i % 8 == 0 else 2)
        db.execute("INSERT INTO t VALUES (?, ?, ?, ?)", (i, name, i * 1000 - 7, i / 3))
    db.execute("PRAGMA wal_checkpoint(RESTART)")
    db.execute("DELETE FROM t WHERE id % 8 = 0 OR id % 5 = 1")
    db.execute("INSERT INTO t VALUES (100, 'later', 1, 2.5)")
    with open(path + "-wal", "rb") as f:
        wal = f.read()
    db.close()
    with open(path, "rb") as f:
        database = f.read()
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    os.rmdir(folder)
    pages = len(database) // 512
    assert 1 <= pages <= 255
    out = bytearray([0x41, pages]) + database[:pages * 512]
    salt = wal[16:24]
    for at in range(32, len(wal) - 24 - 512 + 1, 24 + 512):
        number, size = struct.unpack(">II", wal[at:at + 8])
        flags = (1 if size else 0) | (0 if wal[at + 8:at + 16] == salt else 2)
        out += struct.pack(">I", number - 1) + bytes([flags]) + wal[at + 24:at + 24 + 512]
    return bytes(out)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    write("carve", "wal-overflow", carve_wal_seed())
    if sys.argv[1:] == ["carve-wal"]:
        return 0
    table = build(plain_table())[""]
    wal = build(plain_table(), "WAL", "-wal")["-wal"]
    journal = build(plain_table(), keep="-journal")["-journal"]
    book = build(address_book(6))[""]
    book_wal = build(address_book(4), "WAL", "-wal")["-wal"]
    seeds = {"table.db": table, "table.db-wal": wal, "table.db-journal": journal,
             "book.db": book, "book.db-wal": book_wal}

    # header: column count, a byte per column (kind 1 INTEGER, 2 BLOB, 3 TEXT,
    # 4 ANY, +8 suppressed), settings, page size.
    layouts = {
        "t": bytes([5, 1, 3, 1, 2, 4]),
        "window": bytes([3, 1, 1, 3]),
        "multi": bytes([6, 1, 1, 1, 1, 1, 3]),
    }
    for seed_name, data in seeds.items():
        for layout_name, layout in layouts.items():
            flags = 0x04 * 2 if layout_name != "window" else 0x01 | 0x02 | 0x04
            write("header", "%s.%s" % (seed_name, layout_name),
                  layout + bytes([flags, 63]) + data)

    ddl = {
        "t": b"id INTEGER\nname TEXT\nage INTEGER\npic BLOB\nscore *\n",
        "multi": b"UID INTEGER\nrecord_id INTEGER\nproperty INTEGER\nidentifier INTEGER\n"
                 b"label INTEGER\nvalue TEXT\n",
    }
    for seed_name, data in seeds.items():
        for ddl_name, text in ddl.items():
            write("find_data", "%s.%s" % (seed_name, ddl_name),
                  struct.pack("<H", len(text)) + text + data)
        write("window_scan", seed_name, bytes([0, 255]) + data)
        write("contacts", seed_name, bytes([0]) + data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
