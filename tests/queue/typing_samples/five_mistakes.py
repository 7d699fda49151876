"""Five mistakes a type checker must catch, each marked on its line."""
from tarnwick_queue import AsyncQueue, Message, Queue, Worker


def on_body(body: bytes) -> None:
    print(body)


async def main() -> None:
    q = Queue("jobs")
    aq = AsyncQueue("jobs")
    q.put("resize 42")  # mistake: a str body
    aq.put(b"resize 42")  # mistake: no await
    q.get(timeout="10")  # mistake: a str timeout
    Worker(q, on_body)  # mistake: a handler that takes the body
    print(q.get().payload)  # mistake: no such field
