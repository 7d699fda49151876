"""Schema step 5: schedules, named states the face keeps in the queue and
changes by compare-and-set, each change putting the messages of the slots
it fires in the same transaction.

One row per schedule; the driver never reads `state` beyond comparing it.
"""

from typing import List

STATEMENTS: List[str] = [
    """CREATE TABLE IF NOT EXISTS tarnwick_schedules (
         queue text COLLATE "C" NOT NULL,
         name text COLLATE "C" NOT NULL,
         state bytea NOT NULL,
         PRIMARY KEY (queue, name))""",
    # One change: when the schedule holds p_expected (NULL: there is none),
    # stores p_new (NULL: removes it) and puts one ready message per element
    # of p_bodies (the other arrays give each its options), returning their
    # ids; NULL when the schedule held something else, with nothing written.
    #
    # Why racing changes have one winner (READ COMMITTED):
    # - UPDATE/DELETE ... WHERE state = p_expected: a change that meets a
    #   row another change holds waits for it, then checks the condition
    #   again on the row that one left (or finds it deleted), so of several
    #   changes expecting one state, one matches.
    # - the insert of a schedule expected absent: ON CONFLICT waits for an
    #   insert or delete of the name in progress and does nothing while a
    #   row holds the name. Expected absent and staying absent (p_new NULL)
    #   inserts the row and deletes it again, which holds off any other
    #   insert of the name until this transaction ends.
    # Only the winner puts.
    # A keyed message is put by tarnwick_put_keyed (step 3), exactly as
    # put() does; an id already holding the key is returned in its place.
    """CREATE OR REPLACE FUNCTION tarnwick_schedule_change(
         p_queue text, p_name text, p_expected bytea, p_new bytea,
         p_bodies bytea[], p_priorities integer[], p_keys text[], p_unique_fors float8[],
         p_headers jsonb[], p_channel text)
       RETURNS bigint[] LANGUAGE plpgsql AS $fn$
       #variable_conflict use_column
       DECLARE
         v_ids bigint[] := '{}';
         v_id bigint;
         v_at timestamptz;
       BEGIN
         IF p_expected IS NULL THEN
           INSERT INTO tarnwick_schedules AS s (queue, name, state)
           VALUES (p_queue, p_name, coalesce(p_new, ''::bytea))
           ON CONFLICT (queue, name) DO NOTHING;
           IF NOT FOUND THEN
             RETURN NULL;
           END IF;
           IF p_new IS NULL THEN
             DELETE FROM tarnwick_schedules s WHERE s.queue = p_queue AND s.name = p_name;
           END IF;
         ELSIF p_new IS NULL THEN
           DELETE FROM tarnwick_schedules s
           WHERE s.queue = p_queue AND s.name = p_name AND s.state = p_expected;
           IF NOT FOUND THEN
             RETURN NULL;
           END IF;
         ELSE
           UPDATE tarnwick_schedules s SET state = p_new
           WHERE s.queue = p_queue AND s.name = p_name AND s.state = p_expected;
           IF NOT FOUND THEN
             RETURN NULL;
           END IF;
         END IF;
         FOR i IN 1 .. coalesce(cardinality(p_bodies), 0) LOOP
           IF p_keys[i] IS NULL THEN
             v_at := clock_timestamp();
             INSERT INTO tarnwick_messages AS t
               (queue, body, enqueued_at, due_at, priority, headers)
             VALUES (p_queue, p_bodies[i], v_at, v_at, p_priorities[i], p_headers[i])
             RETURNING t.id INTO v_id;
           ELSE
             v_id := tarnwick_put_keyed(p_queue, p_bodies[i], 0, p_priorities[i], p_keys[i],
                                        p_unique_fors[i], NULL, p_headers[i], p_channel);
           END IF;
           v_ids := v_ids || v_id;
         END LOOP;
         -- Sent at the commit: every handle's waiters look again (a new
         -- schedule may come due before what they wait for).
         PERFORM pg_notify(p_channel, '');
         RETURN v_ids;
       END $fn$""",
]
