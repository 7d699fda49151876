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
    # The take's walk: highest priority, then smallest id. None of the
    # indexed columns changes when a message is leased, extended or
    # returned, so those updates stay HOT.
    """CREATE INDEX IF NOT EXISTS tarnwick_messages_next
         ON tarnwick_messages (queue, priority DESC, id)""",
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
    # The take: walks the ready messages, highest priority then smallest id
    # (tarnwick_messages_next), and leases up to p_n of them, passing over
    # - a grouped message that is not its group's first ready one (id order
    #   within a group; the group competes at its first message's priority),
    # - a group whose row another take holds (SKIP LOCKED: never waits),
    # - a group at its limit (unless the message holds a slot already: its
    #   own lease expired), and every later message of such a group,
    # - a message another take holds.
    # With p_max, a message that had its deliveries goes to the dead letters
    # instead. Returns the leased rows, or one row of NULLs whose first
    # column is the seconds until the earliest lease or delay ends (p_relook
    # when a ready message was passed over as locked: that take's lease end
    # is not visible yet), NULL when nothing is pending or the queue is
    # paused.
    """CREATE OR REPLACE FUNCTION tarnwick_take(
         p_queue text, p_n integer, p_lease float8, p_max integer, p_consumer text,
         p_relook float8)
       RETURNS TABLE (until_due float8, id bigint, body bytea, deliveries integer,
                      enqueued_at float8, lease_ends float8, lease uuid, priority smallint,
                      key text, grp text, headers jsonb)
       -- The walk must follow tarnwick_messages_next and stop early: with
       -- priorities spread over the table, the planner would rather read
       -- every ready row and sort them (the cheaper plan for all of them).
       LANGUAGE plpgsql SET enable_sort = off SET enable_bitmapscan = off AS $fn$
       #variable_conflict use_column
       DECLARE
         v_paused boolean;
         v_limit integer;
         c record;
         v_head bigint;
         v_leased integer;
         v_deliveries integer;
         v_held boolean;
         v_taken integer := 0;
         v_locked boolean := false;
         -- Per group met in this walk: its first ready id, 0 once passed
         -- over (full or held elsewhere); dropped when a message of it is
         -- leased, so the next one is looked up again.
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
         FOR c IN SELECT t.id, t.grp FROM tarnwick_messages t
                  WHERE t.queue = p_queue AND t.due_at <= now()
                  ORDER BY t.priority DESC, t.id LOOP
           EXIT WHEN v_taken >= p_n;
           v_leased := NULL;
           IF c.grp IS NOT NULL THEN
             v_known := (v_seen ->> c.grp)::bigint;
             CONTINUE WHEN v_known <> c.id;
             IF v_known IS NULL THEN
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
