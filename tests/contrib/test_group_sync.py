"""GroupSync: every caller returns only after a sync that began after its
write; concurrent callers share syncs; a failed sync is retried."""

import threading
import time

import pytest

from tarnwick_queue import Queue
from tarnwick_queue.contrib._sync import GroupSync, NoSync, open_queue


class FakeLog:
    """Counts writes; a flush covers the writes made before it started."""

    def __init__(self, fail_first=0):
        self.lock = threading.Lock()
        self.written = 0
        self.durable = 0
        self.flushes = 0
        self.fail_first = fail_first

    def write(self):
        with self.lock:
            self.written += 1
            return self.written

    def flush(self):
        with self.lock:
            covered = self.written
            self.flushes += 1
            failing = self.flushes <= self.fail_first
        time.sleep(0.005)
        if failing:
            raise OSError("sync failed")
        with self.lock:
            self.durable = max(self.durable, covered)


def test_each_write_is_synced_before_its_caller_returns_and_syncs_are_shared():
    log = FakeLog()
    group = GroupSync(log)
    late = []

    def writer():
        for _ in range(20):
            mine = log.write()
            group.wait()
            if log.durable < mine:
                late.append(mine)

    threads = [threading.Thread(target=writer) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert late == []
    assert log.durable == 160
    assert log.flushes < 160 / 2  # shared, not one per write


def test_a_failed_sync_raises_and_the_next_caller_syncs_again():
    log = FakeLog(fail_first=1)
    group = GroupSync(log)
    log.write()
    with pytest.raises(OSError):
        group.wait()
    mine = log.write()
    group.wait()
    assert log.durable >= mine


def test_open_queue_picks_the_sync_by_interval(tmp_path):
    queue, sync = open_queue(str(tmp_path / "a"), sync_interval=0.0)
    assert isinstance(sync, GroupSync)
    queue.put(b"x")
    sync.wait()
    queue.close()
    queue, sync = open_queue(str(tmp_path / "b"), sync_interval=1.0)
    assert isinstance(sync, NoSync) and isinstance(queue, Queue)
    queue.close()
