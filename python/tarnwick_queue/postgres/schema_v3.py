"""Schema step 3: priorities, unique keys, ordered groups, headers, pause and
the group limit (see docs/postgres.md, "How it works").

Added in place to tables made by steps 1 and 2: the new columns have
constant defaults (no rewrite), and a message written before reads as
priority 0, no key, no group, no headers. The indexes are built inside the
upgrade's transaction, holding the table's lock for as long as that takes.

The invariant the group limit rests on: tarnwick_groups.leased is the number
of the group's messages whose `lease` is not NULL (leased, or leased and
expired but not taken again). Every statement that sets or clears a grouped
message's lease, or deletes a leased one, changes that count in the same
transaction; a take leases a grouped message only while holding its group's
row lock, reading the count from the locked (newest) row version.
"""

from typing import List

STATEMENTS: List[str] = [
    # grp, not "group" (a reserved word). unique_for: the seconds a key is
    # kept after its message leaves. headers NULL: none.
    """ALTER TABLE tarnwick_messages
         ADD COLUMN IF NOT EXISTS priority smallint NOT NULL DEFAULT 0,
         ADD COLUMN IF NOT EXISTS key text COLLATE "C",
         ADD COLUMN IF NOT EXISTS unique_for float8 NOT NULL DEFAULT 0,
         ADD COLUMN IF NOT EXISTS grp text COLLATE "C",
         ADD COLUMN IF NOT EXISTS headers jsonb""",
    # The take's walks: highest priority, then smallest id, over every
    # message and over the ungrouped ones (grouped ones join the latter by
    # their group's first, below). None of the indexed columns changes when
    # a message is leased, extended or returned, so those updates stay HOT.
    """CREATE INDEX IF NOT EXISTS tarnwick_messages_next
         ON tarnwick_messages (queue, priority DESC, id)""",
    """CREATE INDEX IF NOT EXISTS tarnwick_messages_ungrouped
         ON tarnwick_messages (queue, priority DESC, id) WHERE grp IS NULL""",
    # A key belongs to one live message: the rows of the table are the live
    # messages, so the index is the whole rule, enforced by the server.
    """CREATE UNIQUE INDEX IF NOT EXISTS tarnwick_messages_key
         ON tarnwick_messages (queue, key) WHERE key IS NOT NULL""",
    # A group's first ready message, found without reading the others.
    """CREATE INDEX IF NOT EXISTS tarnwick_messages_group
         ON tarnwick_messages (queue, grp, id) WHERE grp IS NOT NULL""",
    # The queue's settings: a row read by every take.
    """CREATE TABLE IF NOT EXISTS tarnwick_queues (
         queue text COLLATE "C" PRIMARY KEY,
         paused boolean NOT NULL DEFAULT false,
         group_limit integer NOT NULL DEFAULT 1 CHECK (group_limit >= 1))""",
    # One row per group: its lock orders the takes of the group, its count
    # holds the limit (see the invariant above). The CHECK turns a count
    # gone wrong into an error instead of a slot given twice.
    """CREATE TABLE IF NOT EXISTS tarnwick_groups (
         queue text COLLATE "C" NOT NULL,
         grp text COLLATE "C" NOT NULL,
         leased integer NOT NULL DEFAULT 0 CHECK (leased >= 0),
         PRIMARY KEY (queue, grp))""",
    # The keys of messages that left (ack, dead, cancel) with a unique_for:
    # a put with the key returns `id` until `until`.
    """CREATE TABLE IF NOT EXISTS tarnwick_kept_keys (
         queue text COLLATE "C" NOT NULL,
         key text COLLATE "C" NOT NULL,
         id bigint NOT NULL,
         until timestamptz NOT NULL,
         PRIMARY KEY (queue, key))""",
    # A keyed put. In a volatile function each statement reads a new
    # snapshot (READ COMMITTED), which is what makes it race-free:
    # - the insert goes first, so the unique index decides between two
    #   puts of one key (ON CONFLICT waits for the other's transaction);
    # - the kept keys are read after it: a message that left with its key
    #   committed its kept key in the transaction that freed the index
    #   entry, so an insert that got past the index sees that kept key,
    #   and withdraws its row.
    """CREATE OR REPLACE FUNCTION tarnwick_put_keyed(
         p_queue text, p_body bytea, p_delay float8, p_priority integer, p_key text,
         p_unique_for float8, p_grp text, p_headers jsonb, p_channel text)
       RETURNS bigint LANGUAGE plpgsql AS $fn$
       #variable_conflict use_column
       DECLARE
         v_at timestamptz := clock_timestamp();
         v_id bigint;
         v_old bigint;
       BEGIN
         LOOP
           INSERT INTO tarnwick_messages AS t
             (queue, body, enqueued_at, due_at, priority, key, unique_for, grp, headers)
           VALUES (p_queue, p_body, v_at, v_at + p_delay * interval '1 second', p_priority,
                   p_key, p_unique_for, p_grp, p_headers)
           ON CONFLICT (queue, key) WHERE key IS NOT NULL DO NOTHING
           RETURNING t.id INTO v_id;
           IF v_id IS NOT NULL THEN
             SELECT k.id INTO v_old FROM tarnwick_kept_keys k
             WHERE k.queue = p_queue AND k.key = p_key AND k.until > clock_timestamp();
             IF v_old IS NOT NULL THEN
               DELETE FROM tarnwick_messages t WHERE t.queue = p_queue AND t.id = v_id;
               RETURN v_old;
             END IF;
             IF p_grp IS NOT NULL THEN
               INSERT INTO tarnwick_groups (queue, grp) VALUES (p_queue, p_grp)
               ON CONFLICT DO NOTHING;
             END IF;
             PERFORM pg_notify(p_channel, '');
             RETURN v_id;
           END IF;
           -- The live message that holds the key, else the one that left
           -- with it; when neither (it left with no window), insert again.
           SELECT t.id INTO v_old FROM tarnwick_messages t
           WHERE t.queue = p_queue AND t.key = p_key;
           IF v_old IS NULL THEN
             SELECT k.id INTO v_old FROM tarnwick_kept_keys k
             WHERE k.queue = p_queue AND k.key = p_key AND k.until > clock_timestamp();
           END IF;
           IF v_old IS NOT NULL THEN
             RETURN v_old;
           END IF;
         END LOOP;
       END $fn$""",
    # The take: walks the ready candidates, highest priority then smallest
    # id, and leases up to p_n of them. The candidates are the ungrouped
    # ready messages (tarnwick_messages_next, read in order and only as
    # far as needed) merged with each group's first ready message (one
    # lookup in tarnwick_messages_group per group row: a group competes at
    # its first message's priority, and its later messages are never read).
    # Groups at their limit are left out, unless their first is a message
    # whose own expired lease holds a slot. Passed over in the walk:
    # - a group whose row another take holds (SKIP LOCKED: never waits),
    # - a group whose first ready message, looked up again under its lock,
    #   is another one (it is looked at in the next take),
    # - a message another take holds.
    # Once a group's message is leased (or dead-lettered), the group's next
    # ready message joins the merge in its place. With p_max, a message that
    # had its deliveries goes to the dead letters instead. Returns the
    # leased rows, or one row of NULLs whose first column is the seconds
    # until the earliest lease or delay ends
    # (p_relook when a ready message was passed over as locked: that take's
    # lease end is not visible yet), NULL when nothing is pending or the
    # queue is paused.
    """CREATE OR REPLACE FUNCTION tarnwick_take(
         p_queue text, p_n integer, p_lease float8, p_max integer, p_consumer text,
         p_relook float8)
       RETURNS TABLE (until_due float8, id bigint, body bytea, deliveries integer,
                      enqueued_at float8, lease_ends float8, lease uuid, priority smallint,
                      key text, grp text, headers jsonb)
       -- The walk must follow tarnwick_messages_next (merged with the
       -- sorted group firsts) and stop early: with priorities spread over
       -- the table, the planner would rather read every ready row and sort
       -- them (the cheaper plan for all of them). The cost enable_sort adds
       -- to the group firsts' sort (there is no other plan) would make
       -- the server compile that query (JIT) in every take: jit off.
       LANGUAGE plpgsql SET enable_sort = off SET enable_bitmapscan = off SET jit = off
       AS $fn$
       #variable_conflict use_column
       DECLARE
         v_paused boolean;
         v_limit integer;
         v_head bigint;
         v_leased integer;
         v_deliveries integer;
         v_held boolean;
         v_taken integer := 0;
         v_locked boolean := false;
         -- The two ordered walks and the next row of each (id NULL: done),
         -- and the next ready message of each group leased from in this
         -- take (its first when the walk passed it), id NULL once used.
         v_plain refcursor;
         v_firsts refcursor;
         v_pid bigint;
         v_ppri smallint;
         v_fid bigint;
         v_fgrp text;
         v_fpri smallint;
         v_nid bigint[] := '{}';
         v_npri smallint[] := '{}';
         v_ngrp text[] := '{}';
         v_src integer;
         v_i integer;
         v_bid bigint;
         v_bpri smallint;
         c_id bigint;
         c_grp text;
         c record;
         v_rows integer := 0;
         v_groups integer := 0;
         -- Per group met in the first walk: its first ready id, 0 once
         -- passed over (full or held elsewhere); dropped when a message of it
         -- is leased, so the next one is looked up again.
         v_seen jsonb := '{}';
         v_known bigint;
       BEGIN
         SELECT s.paused, s.group_limit INTO v_paused, v_limit
         FROM tarnwick_queues s WHERE s.queue = p_queue;
         IF v_paused THEN
           RETURN QUERY SELECT NULL::float8, NULL::bigint, NULL::bytea, NULL::integer,
             NULL::float8, NULL::float8, NULL::uuid, NULL::smallint, NULL::text, NULL::text,
             NULL::jsonb;
           RETURN;
         END IF;
         v_limit := coalesce(v_limit, 1);
         -- First the walk over every ready message by priority and id: cheap
         -- while few rows ahead cannot be leased and they belong to few
         -- groups (a group's messages share a priority). Once it has passed
         -- 1000 rows or met 65 groups it gives way to the merge below, whose
         -- cost is one lookup per group.
         FOR c IN SELECT t.id, t.grp FROM tarnwick_messages t
                  WHERE t.queue = p_queue AND t.due_at <= now()
                  ORDER BY t.priority DESC, t.id LOOP
           EXIT WHEN v_taken >= p_n;
           v_rows := v_rows + 1;
           EXIT WHEN v_rows - v_taken > 1000 OR v_groups > 64;
           v_leased := NULL;
           IF c.grp IS NOT NULL THEN
             v_known := (v_seen ->> c.grp)::bigint;
             CONTINUE WHEN v_known <> c.id;
             IF v_known IS NULL THEN
               v_groups := v_groups + 1;
               SELECT t.id INTO v_head FROM tarnwick_messages t
               WHERE t.queue = p_queue AND t.grp = c.grp AND t.due_at <= clock_timestamp()
               ORDER BY t.id LIMIT 1;
               v_seen := v_seen || jsonb_build_object(c.grp, coalesce(v_head, 0));
               CONTINUE WHEN v_head IS DISTINCT FROM c.id;
             END IF;
             SELECT g.leased INTO v_leased FROM tarnwick_groups g
             WHERE g.queue = p_queue AND g.grp = c.grp FOR UPDATE SKIP LOCKED;
             IF NOT FOUND THEN
               -- Another take holds it; or the row is missing (written by
               -- hand), and is made for the next look.
               INSERT INTO tarnwick_groups (queue, grp) VALUES (p_queue, c.grp)
               ON CONFLICT DO NOTHING;
               v_locked := true;
               v_seen := v_seen || jsonb_build_object(c.grp, 0);
               CONTINUE;
             END IF;
             -- Looked up again under the lock: a nack of an earlier message
             -- of the group (which needs this lock) committed before it is
             -- seen now, and none can commit until this take does. By the
             -- clock, not now(): that nack's due time may be later than
             -- this transaction's start.
             SELECT t.id INTO v_head FROM tarnwick_messages t
             WHERE t.queue = p_queue AND t.grp = c.grp AND t.due_at <= clock_timestamp()
             ORDER BY t.id LIMIT 1;
             IF v_head IS DISTINCT FROM c.id THEN
               v_seen := v_seen || jsonb_build_object(c.grp, coalesce(v_head, 0));
               CONTINUE;
             END IF;
           END IF;
           SELECT t.deliveries, t.lease IS NOT NULL INTO v_deliveries, v_held
           FROM tarnwick_messages t
           WHERE t.queue = p_queue AND t.id = c.id AND t.due_at <= now()
           FOR UPDATE SKIP LOCKED;
           IF NOT FOUND THEN
             -- Locked by another take, or taken since the walk began.
             v_locked := v_locked OR EXISTS (
               SELECT FROM tarnwick_messages t
               WHERE t.queue = p_queue AND t.id = c.id AND t.due_at <= now());
             CONTINUE;
           END IF;
           IF c.grp IS NOT NULL AND NOT v_held AND v_leased >= v_limit THEN
             v_seen := v_seen || jsonb_build_object(c.grp, 0);
             CONTINUE;
           END IF;
           IF c.grp IS NOT NULL THEN
             v_seen := v_seen - c.grp;
           END IF;
           IF p_max IS NOT NULL AND v_deliveries >= p_max THEN
             WITH gone AS (
               DELETE FROM tarnwick_messages t WHERE t.queue = p_queue AND t.id = c.id
               RETURNING t.id, t.body, t.deliveries, t.enqueued_at, t.key, t.unique_for),
             kept AS (
               INSERT INTO tarnwick_kept_keys AS k (queue, key, id, until)
               SELECT p_queue, gone.key, gone.id, now() + gone.unique_for * interval '1 second'
               FROM gone WHERE gone.key IS NOT NULL AND gone.unique_for > 0
               ON CONFLICT (queue, key) DO UPDATE SET id = excluded.id, until = excluded.until)
             INSERT INTO tarnwick_dead_letters
               (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
             SELECT p_queue, gone.id, gone.body, gone.deliveries, gone.enqueued_at, now(),
                    'max deliveries exceeded'
             FROM gone;
             IF c.grp IS NOT NULL AND v_held THEN
               UPDATE tarnwick_groups g SET leased = g.leased - 1
               WHERE g.queue = p_queue AND g.grp = c.grp;
             END IF;
             CONTINUE;
           END IF;
           RETURN QUERY
             UPDATE tarnwick_messages t
             SET deliveries = t.deliveries + 1, lease = gen_random_uuid(),
                 due_at = now() + p_lease * interval '1 second',
                 started_at = now(), extensions = 0, consumer = p_consumer
             WHERE t.queue = p_queue AND t.id = c.id
             RETURNING NULL::float8, t.id, t.body, t.deliveries,
                       extract(epoch FROM t.enqueued_at)::float8,
                       extract(epoch FROM t.due_at)::float8, t.lease, t.priority, t.key,
                       t.grp, t.headers;
           IF c.grp IS NOT NULL AND NOT v_held THEN
             UPDATE tarnwick_groups g SET leased = g.leased + 1
             WHERE g.queue = p_queue AND g.grp = c.grp;
           END IF;
           v_taken := v_taken + 1;
         END LOOP;
         IF v_taken < p_n AND (v_rows - v_taken > 1000 OR v_groups > 64) THEN
           OPEN v_plain FOR SELECT u.id, u.priority FROM tarnwick_messages u
             WHERE u.queue = p_queue AND u.grp IS NULL AND u.due_at <= now()
             ORDER BY u.priority DESC, u.id;
           OPEN v_firsts FOR SELECT h.id, g.grp, h.priority FROM tarnwick_groups g
             CROSS JOIN LATERAL (
               SELECT t.id, t.priority, t.lease FROM tarnwick_messages t
               WHERE t.queue = p_queue AND t.grp = g.grp AND t.due_at <= now()
               ORDER BY t.id LIMIT 1) h
             WHERE g.queue = p_queue AND (g.leased < v_limit OR h.lease IS NOT NULL)
             ORDER BY h.priority DESC, h.id;
           FETCH v_plain INTO v_pid, v_ppri;
           FETCH v_firsts INTO v_fid, v_fgrp, v_fpri;
           LOOP
             EXIT WHEN v_taken >= p_n;
             -- The first of the three by (priority DESC, id).
             v_src := 0;
             IF v_pid IS NOT NULL THEN
               v_src := 1; v_bid := v_pid; v_bpri := v_ppri;
             END IF;
             IF v_fid IS NOT NULL AND (v_src = 0 OR v_fpri > v_bpri
                                       OR (v_fpri = v_bpri AND v_fid < v_bid)) THEN
               v_src := 2; v_bid := v_fid; v_bpri := v_fpri;
             END IF;
             FOR i IN 1 .. coalesce(array_length(v_nid, 1), 0) LOOP
               IF v_nid[i] IS NOT NULL AND (v_src = 0 OR v_npri[i] > v_bpri
                                            OR (v_npri[i] = v_bpri AND v_nid[i] < v_bid)) THEN
                 v_src := 3; v_i := i; v_bid := v_nid[i]; v_bpri := v_npri[i];
               END IF;
             END LOOP;
             EXIT WHEN v_src = 0;
             c_id := v_bid;
             IF v_src = 1 THEN
               c_grp := NULL;
               FETCH v_plain INTO v_pid, v_ppri;
             ELSIF v_src = 2 THEN
               c_grp := v_fgrp;
               FETCH v_firsts INTO v_fid, v_fgrp, v_fpri;
             ELSE
               c_grp := v_ngrp[v_i];
               v_nid[v_i] := NULL;
             END IF;
             v_leased := NULL;
             IF c_grp IS NOT NULL THEN
               SELECT g.leased INTO v_leased FROM tarnwick_groups g
               WHERE g.queue = p_queue AND g.grp = c_grp FOR UPDATE SKIP LOCKED;
               IF NOT FOUND THEN
                 v_locked := true;
                 CONTINUE;
               END IF;
               -- Looked up again under the lock: a nack of an earlier message
               -- of the group (which needs this lock) committed before it is
               -- seen now, and none can commit until this take does. By the
               -- clock, not now(): that nack's due time may be later than
               -- this transaction's start.
               SELECT t.id INTO v_head FROM tarnwick_messages t
               WHERE t.queue = p_queue AND t.grp = c_grp AND t.due_at <= clock_timestamp()
               ORDER BY t.id LIMIT 1;
               CONTINUE WHEN v_head IS DISTINCT FROM c_id;
             END IF;
             SELECT t.deliveries, t.lease IS NOT NULL INTO v_deliveries, v_held
             FROM tarnwick_messages t
             WHERE t.queue = p_queue AND t.id = c_id AND t.due_at <= now()
             FOR UPDATE SKIP LOCKED;
             IF NOT FOUND THEN
               -- Locked by another take, or taken since the walk began.
               v_locked := v_locked OR EXISTS (
                 SELECT FROM tarnwick_messages t
                 WHERE t.queue = p_queue AND t.id = c_id AND t.due_at <= now());
               CONTINUE;
             END IF;
             CONTINUE WHEN c_grp IS NOT NULL AND NOT v_held AND v_leased >= v_limit;
             IF c_grp IS NOT NULL THEN
               -- The group's next ready message joins the walk (a lease
               -- under a microsecond ends at now(): it would be this one).
               SELECT t.id, t.priority INTO v_head, v_bpri FROM tarnwick_messages t
               WHERE t.queue = p_queue AND t.grp = c_grp AND t.due_at <= now()
                 AND t.id <> c_id
               ORDER BY t.id LIMIT 1;
               IF v_head IS NOT NULL THEN
                 v_nid := v_nid || v_head;
                 v_npri := v_npri || v_bpri;
                 v_ngrp := v_ngrp || c_grp;
               END IF;
             END IF;
             IF p_max IS NOT NULL AND v_deliveries >= p_max THEN
               WITH gone AS (
                 DELETE FROM tarnwick_messages t WHERE t.queue = p_queue AND t.id = c_id
                 RETURNING t.id, t.body, t.deliveries, t.enqueued_at, t.key, t.unique_for),
               kept AS (
                 INSERT INTO tarnwick_kept_keys AS k (queue, key, id, until)
                 SELECT p_queue, gone.key, gone.id,
                        now() + gone.unique_for * interval '1 second'
                 FROM gone WHERE gone.key IS NOT NULL AND gone.unique_for > 0
                 ON CONFLICT (queue, key) DO UPDATE SET id = excluded.id, until = excluded.until)
               INSERT INTO tarnwick_dead_letters
                 (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
               SELECT p_queue, gone.id, gone.body, gone.deliveries, gone.enqueued_at, now(),
                      'max deliveries exceeded'
               FROM gone;
               IF c_grp IS NOT NULL AND v_held THEN
                 UPDATE tarnwick_groups g SET leased = g.leased - 1
                 WHERE g.queue = p_queue AND g.grp = c_grp;
               END IF;
               CONTINUE;
             END IF;
             RETURN QUERY
               UPDATE tarnwick_messages t
               SET deliveries = t.deliveries + 1, lease = gen_random_uuid(),
                   due_at = now() + p_lease * interval '1 second',
                   started_at = now(), extensions = 0, consumer = p_consumer
               WHERE t.queue = p_queue AND t.id = c_id
               RETURNING NULL::float8, t.id, t.body, t.deliveries,
                         extract(epoch FROM t.enqueued_at)::float8,
                         extract(epoch FROM t.due_at)::float8, t.lease, t.priority, t.key,
                         t.grp, t.headers;
             IF c_grp IS NOT NULL AND NOT v_held THEN
               UPDATE tarnwick_groups g SET leased = g.leased + 1
               WHERE g.queue = p_queue AND g.grp = c_grp;
             END IF;
             v_taken := v_taken + 1;
           END LOOP;
           CLOSE v_plain;
           CLOSE v_firsts;
         END IF;
         IF v_taken = 0 THEN
           RETURN QUERY SELECT
             CASE WHEN v_locked THEN p_relook
                  ELSE (SELECT extract(epoch FROM min(t.due_at) - now())::float8
                        FROM tarnwick_messages t
                        WHERE t.queue = p_queue AND t.due_at > now()) END,
             NULL::bigint, NULL::bytea, NULL::integer, NULL::float8, NULL::float8,
             NULL::uuid, NULL::smallint, NULL::text, NULL::text, NULL::jsonb;
         END IF;
       END $fn$""",
]
