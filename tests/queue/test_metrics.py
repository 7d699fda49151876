"""Prometheus metrics: a scrape of QueueCollector parsed back and checked
against the queue on each backend, Debian's promtool on it, a real
Prometheus server scraping `tarnwick metrics`, and a Worker's job timings."""

import json
import re
import subprocess
import time
import urllib.parse
import urllib.request

import pytest
from debian_packages import Unavailable, command
from processes import run_until, start_tarnwick, wait_for

prometheus_client = pytest.importorskip("prometheus_client")
from prometheus_client import CollectorRegistry, generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from tarnwick_queue import Worker  # noqa: E402
from tarnwick_queue.metrics import JobMetrics, QueueCollector  # noqa: E402


def scrape(collector):
    registry = CollectorRegistry(auto_describe=False)
    registry.register(collector)
    return generate_latest(registry).decode()


def samples(text):
    """{(name, frozenset(labels)): value} of a scrape."""
    return {(s.name, frozenset(s.labels.items())): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def fill(queue):
    """3 ready, 1 scheduled, 1 leased, 1 dead letter; paused."""
    for body in (b"a", b"b", b"c", b"d"):
        queue.put(body)
    queue.get(timeout=5).dead("broken")
    queue.put(b"later", delay=3600)
    queue.put(b"e")
    leased = queue.get(timeout=5)
    queue.pause()
    return leased


class TestScrape:
    def test_every_value_matches_the_queue(self, queue, backend):
        leased = fill(queue)
        clock = time.time() + 100.0
        found = samples(scrape(QueueCollector({"jobs": queue}, clock=lambda: clock)))
        stats = queue.stats()

        def value(name, **labels):
            return found[(name, frozenset({"queue": "jobs", **labels}.items()))]
        assert value("tarnwick_up") == 1 and value("tarnwick_paused") == 1
        assert [value("tarnwick_messages", state=s) for s in ("ready", "scheduled", "leased",
                                                             "dead")] == [3, 1, 1, 1]
        assert value("tarnwick_oldest_ready_age_seconds") == pytest.approx(
            clock - stats["oldest_ready_at"])
        assert 100 < value("tarnwick_oldest_ready_age_seconds") < 200
        totals = {name for (name, _) in found if name.endswith("_total")}
        if backend in ("disk", "memory"):
            assert value("tarnwick_enqueued_total") == stats["enqueued_total"] == 6
            assert value("tarnwick_dead_total") == 1 and value("tarnwick_acked_total") == 0
        else:  # the other drivers count nothing queue-wide
            assert totals == set()
        leased.ack()

    def test_nacks_and_leases_that_ran_out_are_counted_apart(self, open_queue, backend):
        if backend not in ("disk", "memory"):
            pytest.skip("only a directory's log counts them")
        queue = open_queue(lease=30.0)
        queue.put_many([b"a", b"b"])
        queue.put(b"later", delay=0.05)  # coming due is no nack either
        queue.get(timeout=5).nack()
        queue.get(timeout=5, lease=0.05)
        time.sleep(0.3)  # the short lease and the delay run out on purpose
        assert {queue.get(timeout=5).body for _ in range(3)} == {b"a", b"b", b"later"}
        assert queue.stats()["requeued_total"] == 3
        found = samples(scrape(QueueCollector({"jobs": queue})))
        assert found[("tarnwick_nacked_total", frozenset({("queue", "jobs")}))] == 1
        assert found[("tarnwick_lease_expired_total", frozenset({("queue", "jobs")}))] == 1

    def test_a_failing_queue_is_down_and_the_others_still_reported(self, open_queue):
        good, bad = open_queue(), open_queue() if open_queue.shared_store else None
        if bad is None:
            pytest.skip("one handle only")
        good.put(b"x")
        bad.close()
        found = samples(scrape(QueueCollector({"good": good, "bad": bad})))
        assert found[("tarnwick_up", frozenset({"queue": "bad"}.items()))] == 0
        assert found[("tarnwick_up", frozenset({"queue": "good"}.items()))] == 1
        assert found[("tarnwick_messages", frozenset({"queue": "good", "state": "ready"}.items()))] == 1
        assert not any(dict(labels).get("queue") == "bad" for name, labels in found
                       if name != "tarnwick_up")

    def test_promtool_accepts_the_scrape(self, open_queue, tmp_path):
        try:
            promtool = command("promtool", "prometheus")
        except Unavailable as exc:
            pytest.skip(str(exc))
        queue = open_queue()
        fill(queue)
        registry = CollectorRegistry(auto_describe=False)
        registry.register(QueueCollector([queue]))
        Worker(queue, lambda m: None, on_job_done=JobMetrics(registry))  # histograms, empty
        text = generate_latest(registry).decode()
        checked = subprocess.run([promtool, "check", "metrics"], input=text, text=True,
                                 capture_output=True, timeout=60)
        assert checked.returncode == 0, checked.stdout + checked.stderr


class TestJobMetrics:
    def test_a_worker_s_jobs_are_timed_by_outcome(self, open_queue):
        queue = open_queue()
        registry = CollectorRegistry()
        failed = []

        def handle(message):
            if message.body == b"flaky" and not failed:
                failed.append(message.id)
                raise RuntimeError("once")
        for body in (b"a", b"flaky", b"b"):
            queue.put(body)
        worker = Worker(queue, handle, backoff=(0.01, 1.0, 0.01),
                        on_job_done=JobMetrics(registry))
        run_until(worker, lambda: worker.counts["acked"] == 3)
        found = samples(generate_latest(registry).decode())
        label = getattr(queue, "name", None) or getattr(queue, "path", None) or repr(queue)

        def value(name, **labels):
            return found.get((name, frozenset({"queue": label, **labels}.items())), 0)
        assert value("tarnwick_job_duration_seconds_count", outcome="acked") == 3
        assert value("tarnwick_job_duration_seconds_count", outcome="retried") == 1
        assert value("tarnwick_job_wait_seconds_count") == 3  # first deliveries only

    def test_a_failing_observer_does_not_stop_the_worker(self, open_queue):
        queue = open_queue()
        queue.put(b"x")

        def broken(done):
            raise ValueError("observer bug")
        worker = Worker(queue, lambda m: None, on_job_done=broken)
        run_until(worker, lambda: worker.counts["acked"] == 1)


class TestServed:
    def test_prometheus_scrapes_tarnwick_metrics(self, tmp_path):
        try:
            prometheus = command("prometheus", "prometheus")
        except Unavailable as exc:
            pytest.skip(str(exc))
        import tarnwick_queue
        path = str(tmp_path / "jobs")
        with tarnwick_queue.Queue(path) as queue:
            fill(queue)
        exporter = start_tarnwick("metrics", path, "--port", "0", stdout=subprocess.PIPE,
                                  text=True)
        server = None
        try:
            line = exporter.stdout.readline()
            port = int(re.search(r":(\d+)/metrics", line).group(1))
            config = tmp_path / "prometheus.yml"
            config.write_text(json.dumps({
                "global": {"scrape_interval": "1s"},
                "scrape_configs": [{"job_name": "tarnwick",
                                    "static_configs": [{"targets": [f"127.0.0.1:{port}"]}]}]}))
            web = _free_port()
            server = subprocess.Popen(
                [prometheus, f"--config.file={config}", f"--storage.tsdb.path={tmp_path}/tsdb",
                 f"--web.listen-address=127.0.0.1:{web}"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            def ready_count():
                query = urllib.parse.urlencode(
                    {"query": f'tarnwick_messages{{queue="{path}",state="ready"}}'})
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{web}/api/v1/query?{query}",
                                                timeout=5) as reply:
                        result = json.load(reply)["data"]["result"]
                except OSError:
                    return None
                return result[0]["value"][1] if result else None
            wait_for(ready_count, 90, "Prometheus to scrape the queue")
            assert ready_count() == "3"
        finally:
            for process in (server, exporter):
                if process is not None:
                    process.terminate()
                    process.wait(30)
        assert exporter.returncode == 0


class TestCommandLine:
    @pytest.mark.parametrize("args, text", [
        ([], "at least one queue"), (["--name", "x"], "--dsn"), (["q", "--port", "70000"], "port")])
    def test_bad_command_lines_are_refused(self, tmp_path, args, text):
        from processes import run_tarnwick
        if "--port" not in args:
            args = args + ["--port", "0"]
        done = run_tarnwick("metrics", *args, cwd=tmp_path)
        assert done.returncode != 0 and text in done.stderr.decode()


def _free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

