"""Four misuses of the package's native module, each marked on its line:
its stub must make a type checker catch them."""
from typing import List

from tarnwick_queue import _native


def drain_once(path: str) -> List[bytes]:
    engine = _native.Engine(path, 0, 30_000, 0)
    taken, _, _ = engine.take(10, None, 0)
    bodies = [body for _, body, _, _, _ in taken]
    for seq, _, deliveries, enqueued_ms, deadline_ms in taken:
        engine.ack((seq, enqueued_ms, deliveries, deadline_ms))
        engine.ack(seq)  # mistake: ack takes the lease token, not the id
    text: str = taken[0][1]  # mistake: a body is bytes
    engine.put_one(b"x", delay_ms=0)  # mistake: arguments are positional only
    due: int = engine.next_due()  # mistake: None when nothing is due
    print(engine.stats()["ready"] + len(engine.verify()["damaged"]), text, due)
    return bodies
