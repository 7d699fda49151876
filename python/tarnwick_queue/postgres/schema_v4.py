"""Schema step 4: what became of each message (see docs/postgres.md,
"Outcomes").

A message that leaves the queue (acked, dead, cancelled) leaves its row in
tarnwick_messages, as before, and its outcome is inserted into
tarnwick_outcomes by the same statement. A table of their own, rather than
a finished state in tarnwick_messages, keeps the take's walks and indexes
over live messages only: with 10^6 kept outcomes a take reads exactly what
it read with none, and pruning them never touches the pages the take and
the settles update.

A live message keeps its history so far: `errors` (of the deliveries that
ended with an error, newest last) and `consumers` (who took each delivery,
newest last), both cut to their last ten, so that status() reports them
before the message finishes and its outcome carries them on. Added in place
with constant defaults (no rewrite); the consumer of a message leased at the
upgrade becomes the first of its history.

tarnwick_take is made anew: each lease appends its consumer to the history,
and a message that had its deliveries goes to the dead letters keeping an
outcome (p_keep_dead: the taking handle's retention of dead outcomes).
"""

from typing import List

STATEMENTS: List[str] = [
    """ALTER TABLE tarnwick_messages
         ADD COLUMN IF NOT EXISTS errors text[] NOT NULL DEFAULT '{}',
         ADD COLUMN IF NOT EXISTS consumers text[] NOT NULL DEFAULT '{}'""",
    """UPDATE tarnwick_messages SET consumers = ARRAY[consumer]
       WHERE consumer IS NOT NULL AND consumers = '{}'""",
    # `history` with `item` appended (when not NULL), cut to its last ten:
    # inlined by the planner into the statements that use it.
    """CREATE OR REPLACE FUNCTION tarnwick_history(history text[], item text)
       RETURNS text[] LANGUAGE sql IMMUTABLE AS $fn$
         SELECT CASE WHEN item IS NULL THEN history
                     ELSE (history || item)[greatest(cardinality(history) - 8, 1):] END
       $fn$""",
    # One row per finished message, kept until keep_until (the retention of
    # the handle that finished it, from finished_at). result: what an ack
    # kept; dead_letter_id: a dead message's entry among the dead letters.
    """CREATE TABLE IF NOT EXISTS tarnwick_outcomes (
         queue text COLLATE "C" NOT NULL,
         id bigint NOT NULL,
         state text NOT NULL CHECK (state IN ('acked', 'dead', 'cancelled')),
         deliveries integer NOT NULL,
         enqueued_at timestamptz NOT NULL,
         started_at timestamptz,
         finished_at timestamptz NOT NULL,
         result bytea,
         errors text[] NOT NULL,
         consumers text[] NOT NULL,
         priority smallint NOT NULL,
         key text COLLATE "C",
         grp text COLLATE "C",
         headers jsonb,
         dead_letter_id bigint,
         keep_until timestamptz NOT NULL,
         PRIMARY KEY (queue, id))""",
    # outcomes(): the newest of one state read in index order; of every
    # state, the newest of each of the three merged (a few rows each).
    """CREATE INDEX IF NOT EXISTS tarnwick_outcomes_recent
         ON tarnwick_outcomes (queue, state, finished_at DESC, id DESC)""",
    # Pruning by any client finds the expired ones of every queue here.
    """CREATE INDEX IF NOT EXISTS tarnwick_outcomes_expiry
         ON tarnwick_outcomes (keep_until)""",
    # The take's move to the dead letters of a message that had its
    # deliveries: as bury() does it (its kept key, its dead letter, its
    # outcome), in one statement, the reason as the error that ended it.
    """CREATE OR REPLACE FUNCTION tarnwick_bury_exhausted(
         p_queue text, p_id bigint, p_keep float8)
       RETURNS void LANGUAGE sql AS $fn$
         WITH gone AS (
           DELETE FROM tarnwick_messages t WHERE t.queue = p_queue AND t.id = p_id
           RETURNING t.id, t.body, t.deliveries, t.enqueued_at, t.started_at, t.key,
                     t.unique_for, t.grp, t.priority, t.headers, t.errors, t.consumers),
         kept AS (
           INSERT INTO tarnwick_kept_keys AS k (queue, key, id, until)
           SELECT p_queue, gone.key, gone.id, now() + gone.unique_for * interval '1 second'
           FROM gone WHERE gone.key IS NOT NULL AND gone.unique_for > 0
           ON CONFLICT (queue, key) DO UPDATE SET id = excluded.id, until = excluded.until),
         buried AS (
           INSERT INTO tarnwick_dead_letters
             (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
           SELECT p_queue, gone.id, gone.body, gone.deliveries, gone.enqueued_at, now(),
                  'max deliveries exceeded'
           FROM gone
           RETURNING id, original_id)
         INSERT INTO tarnwick_outcomes
           (queue, id, state, deliveries, enqueued_at, started_at, finished_at, result,
            errors, consumers, priority, key, grp, headers, dead_letter_id, keep_until)
         SELECT p_queue, gone.id, 'dead', gone.deliveries, gone.enqueued_at, gone.started_at,
                now(), NULL, tarnwick_history(gone.errors, 'max deliveries exceeded'),
                gone.consumers, gone.priority, gone.key, gone.grp, gone.headers, buried.id,
                now() + p_keep * interval '1 second'
         FROM gone JOIN buried ON buried.original_id = gone.id
         WHERE p_keep > 0
       $fn$""",
    # The take of step 3 took one argument less.
    """DROP FUNCTION IF EXISTS tarnwick_take(text, integer, float8, integer, text, float8)""",
    # As step 3's, but for the history and the burial's outcome (see above).
    """CREATE OR REPLACE FUNCTION tarnwick_take(
         p_queue text, p_n integer, p_lease float8, p_max integer, p_consumer text,
         p_relook float8, p_keep_dead float8)
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
             PERFORM tarnwick_bury_exhausted(p_queue, c.id, p_keep_dead);
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
                 started_at = now(), extensions = 0, consumer = p_consumer,
                 consumers = tarnwick_history(t.consumers, p_consumer)
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
               PERFORM tarnwick_bury_exhausted(p_queue, c_id, p_keep_dead);
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
                   started_at = now(), extensions = 0, consumer = p_consumer,
                   consumers = tarnwick_history(t.consumers, p_consumer)
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
