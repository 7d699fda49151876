"""The tables a PostgresQueue keeps, created on first use and upgraded by
numbered steps.

`tarnwick_schema` holds one row per step applied. A client applies the steps
it knows and the database lacks, all in one transaction under an advisory
lock, so concurrent first uses do not race; a client that finds a step newer
than any it knows refuses to run rather than misread the tables.
"""

from __future__ import annotations

from typing import List, Tuple

import psycopg

from .schema_v3 import STATEMENTS as _STEP_3
from .schema_v4 import STATEMENTS as _STEP_4
from .schema_v5 import STATEMENTS as _STEP_5

# Taken for the duration of a schema change; any constant, unlikely to
# collide with an application's own advisory locks ("tarnwick" in ASCII).
_LOCK_KEY = 0x7461726E7769636B

# (version, statements). Append new steps; never edit an applied one.
MIGRATIONS: List[Tuple[int, List[str]]] = [
    (1, [
        # due_at: when the message may be delivered (next): the enqueue time,
        # a delayed put's due time, or the end of the current lease. A row is
        # ready when due_at <= now(). `lease` names the current lease, for
        # fencing; NULL when never leased or returned by nack. Only the key
        # is indexed, and pages keep room, so that leasing, extending and
        # returning a message update it in place (HOT).
        """CREATE TABLE tarnwick_messages (
             queue text COLLATE "C" NOT NULL,
             id bigint GENERATED ALWAYS AS IDENTITY (NO CYCLE),
             body bytea NOT NULL,
             enqueued_at timestamptz NOT NULL,
             due_at timestamptz NOT NULL,
             deliveries integer NOT NULL DEFAULT 0,
             lease uuid,
             PRIMARY KEY (queue, id)) WITH (fillfactor = 80)""",
        """CREATE TABLE tarnwick_dead_letters (
             queue text COLLATE "C" NOT NULL,
             id bigint GENERATED ALWAYS AS IDENTITY (NO CYCLE),
             original_id bigint NOT NULL,
             body bytea NOT NULL,
             deliveries integer NOT NULL,
             enqueued_at timestamptz NOT NULL,
             died_at timestamptz NOT NULL,
             reason text NOT NULL,
             PRIMARY KEY (queue, id))""",
    ]),
    (2, [
        # What peek() shows of a leased message's delivery: when it began
        # (a take sets it, an extend keeps it), how often its lease was
        # extended, and the consumer that holds it; NULL (0) otherwise.
        # Added in place to tables made at version 1 (no rewrite: the
        # default is a constant).
        """ALTER TABLE tarnwick_messages
             ADD COLUMN IF NOT EXISTS started_at timestamptz,
             ADD COLUMN IF NOT EXISTS extensions integer NOT NULL DEFAULT 0,
             ADD COLUMN IF NOT EXISTS consumer text""",
    ]),
    (3, _STEP_3),
    (4, _STEP_4),
    (5, _STEP_5),
]

LATEST = MIGRATIONS[-1][0]


class SchemaTooNew(RuntimeError):
    """The database's tables were made by a newer tarnwick_queue."""


def ensure_schema(conn: psycopg.Connection) -> int:
    """Brings the tables up to LATEST; returns the version found before."""
    with conn.transaction():
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_LOCK_KEY,))
        conn.execute("""CREATE TABLE IF NOT EXISTS tarnwick_schema (
                          version integer PRIMARY KEY,
                          applied_at timestamptz NOT NULL DEFAULT now())""")
        row = conn.execute("SELECT coalesce(max(version), 0) FROM tarnwick_schema").fetchone()
        found = 0 if row is None else int(row[0])  # an aggregate always has its row
        if found > LATEST:
            raise SchemaTooNew(f"the tarnwick tables are at schema version {found}, newer than "
                               f"this tarnwick_queue knows ({LATEST}); upgrade tarnwick_queue")
        for version, statements in MIGRATIONS:
            if version <= found:
                continue
            for statement in statements:
                conn.execute(statement)
            conn.execute("INSERT INTO tarnwick_schema (version) VALUES (%s)", (version,))
    return found
