"""The web page as a WSGI application, called in-process on each backend:
what it shows, that markup and binary bodies are shown as text, and how
it refuses what it must (cross-site and tokenless posts, read-only, the
authorisation hook, foreign Host headers, a purge without confirmation);
and a `tarnwick web --read-only` process."""

import io
import re
import subprocess
import urllib.error
import urllib.request
from html.parser import HTMLParser
from urllib.parse import urlencode

import pytest
from processes import start_tarnwick, stop

from tarnwick_queue import Queue
from tarnwick_queue.web import Dashboard, loopback_hosts


class Page(HTMLParser):
    """A page's text, table cells and forms, as a browser would see them."""

    def __init__(self, html):
        super().__init__()
        self.text, self.cells, self.forms, self._cell = [], [], [], None
        self.html = html
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "td":
            self._cell = []
        elif tag == "form":
            self.forms.append({"action": attrs["action"], "fields": {}, "button": None})
        elif tag == "input" and self.forms:
            self.forms[-1]["fields"][attrs["name"]] = attrs["value"]
        elif tag in ("script", "img", "iframe"):
            raise AssertionError(f"a <{tag}> reached the page")

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            self.cells.append("".join(self._cell).strip())
            self._cell = None

    def handle_data(self, data):
        self.text.append(data)
        if self._cell is not None:
            self._cell.append(data)
        if self.forms and self.forms[-1]["button"] is None and data.strip():
            self.forms[-1]["button"] = data.strip()

    def form(self, button):
        return next(f for f in self.forms if f["button"] == button)


class Client:
    def __init__(self, app, host="127.0.0.1:8765", script_name=""):
        self.app, self.host, self.script_name = app, host, script_name

    def request(self, method, path, form=None, headers=None):
        path, _, query = path.partition("?")
        body = urlencode(form or {}).encode()
        environ = {"REQUEST_METHOD": method, "SCRIPT_NAME": self.script_name,
                   "PATH_INFO": path[len(self.script_name):], "QUERY_STRING": query,
                   "HTTP_HOST": self.host, "wsgi.input": io.BytesIO(body),
                   "CONTENT_LENGTH": str(len(body)), "REMOTE_ADDR": "127.0.0.1"}
        if form is not None:
            environ["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
        environ.update(headers or {})
        answer = {}

        def start_response(status, response_headers):
            answer["status"] = int(status.split()[0])
            answer["headers"] = dict(response_headers)
        answer["body"] = b"".join(self.app(environ, start_response)).decode()
        return answer

    def get(self, path):
        answer = self.request("GET", path)
        assert answer["status"] == 200, answer["body"]
        return Page(answer["body"])

    def press(self, page, button, headers=None):
        form = page.form(button)
        return self.request("POST", form["action"], form["fields"], headers)


def fill(queue):
    """Message 0 dead with a marked-up body and reason; 1 acked with a
    result; 2 ready, binary; 3 ready with priority, key, group and headers."""
    queue.put(b"<script>alert('body')</script>")
    queue.get(timeout=5).dead("<b>broken</b>")
    queue.put(b"job")
    queue.get(timeout=5).ack(b"done")
    queue.put(bytes(range(256)))
    queue.put(b"r", priority=7, key="k<1>", group="g", headers={"trace": "<x>"})


@pytest.fixture
def filled(queue):
    fill(queue)
    return queue


@pytest.fixture
def client(filled):
    app = Dashboard({"jobs/a b": filled})
    return Client(app)


QUEUE = "/q/jobs~2fa~20b"


class TestPages:
    def test_the_overview_counts_each_queue(self, client, filled):
        page = client.get("/")
        stats = filled.stats()
        assert page.cells[:5] == ["jobs/a b", str(stats["ready"]), str(stats["scheduled"]),
                                  str(stats["in_flight"]), "1"]
        assert stats["ready"] == 2 and stats["dead_letters"] == 1

    def test_the_overview_shows_acks_per_minute(self, filled):
        now = [1000.0]
        client = Client(Dashboard({"jobs": filled}, clock=lambda: now[0]))
        first = client.get("/").cells[6]
        filled.put_many([b"more"] * 3)
        filled.ack_many(filled.get_many(3, timeout=5))
        now[0] += 30.0
        second = client.get("/").cells[6]
        stats = filled.stats()
        if "acked_total" in stats:
            # From two readings of the totals 30 s apart: 3 acks.
            assert (first, second) == ("—", "6.0")
        elif "acked_last_minute" in stats:
            # The server's count of the last minute: fill()'s ack and these.
            assert (first, second) == ("1.0", "4.0")
        else:
            assert (first, second) == ("—", "—")

    def test_the_queue_page_lists_messages_and_shows_bodies_as_text(self, client):
        assert "alert" not in "".join(client.get(QUEUE).text)  # bodies only on request
        page = client.get(QUEUE + "?bodies=1")
        text = "".join(page.text)
        assert repr(bytes(range(256))[:64])[:40] in text  # binary as its escapes
        assert "trace=<x>" in text and "k<1>" in text  # headers and keys as text
        ready = client.get(QUEUE + "?state=ready")
        assert [c for c in ready.cells if c in ("ready", "leased", "scheduled")] == ["ready"] * 2

    def test_dead_letters_show_markup_as_text(self, client):
        page = client.get(QUEUE + "/dead?bodies=1")
        assert "<b>broken</b>" in page.cells and "<script>alert('body')</script>" in page.cells

    def test_a_message_page_shows_its_status_and_result(self, client, filled):
        acked = next(s for s in filled.outcomes() if s.state == "acked")
        page = client.get(f"{QUEUE}/m/{acked.id}")
        assert "acked" in page.cells and "done" not in page.cells
        assert "done" in client.get(f"{QUEUE}/m/{acked.id}?result=1").cells
        died = next(s for s in filled.outcomes() if s.state == "dead")
        dead = client.get(f"{QUEUE}/m/{died.id}")
        assert "dead" in dead.cells and "<b>broken</b>" in dead.cells
        unknown = client.get(f"{QUEUE}/m/999999")
        assert "no message with this id" in "".join(unknown.text)

    def test_recent_outcomes_filter_by_state(self, client):
        page = client.get(QUEUE + "/outcomes?state=dead")
        assert "dead" in page.cells and "acked" not in page.cells
        assert {"acked", "dead"} <= set(client.get(QUEUE + "/outcomes").cells)

    def test_unknown_pages_queues_and_methods(self, client):
        assert client.request("GET", "/q/nope")["status"] == 404
        assert client.request("GET", QUEUE + "/m/x1")["status"] == 404
        assert client.request("GET", "/elsewhere")["status"] == 404
        assert client.request("DELETE", QUEUE)["status"] == 405

    def test_a_failing_queue_is_shown_and_the_others_still_are(self, filled):
        class Broken:
            def stats(self):
                raise OSError("the disk is gone")
        page = Client(Dashboard({"broken": Broken(), "jobs": filled})).get("/")
        assert "the disk is gone" in page.cells and "jobs" in page.cells

    def test_links_and_forms_keep_the_mount_prefix(self, filled):
        client = Client(Dashboard({"jobs": filled}), script_name="/admin/tarnwick")
        page = client.get("/admin/tarnwick/q/jobs")
        assert page.form("Pause")["action"] == "/admin/tarnwick/q/jobs/pause"
        assert 'href="/admin/tarnwick/style.css"' in page.html
        assert client.press(page, "Pause")["headers"]["Location"] == "/admin/tarnwick/q/jobs"
        assert filled.paused


class TestActions:
    def test_pause_resume_requeue_and_purge(self, client, filled):
        assert client.press(client.get(QUEUE), "Pause")["status"] == 303
        assert filled.paused
        page = client.get(QUEUE)
        assert "paused" in page.cells and client.press(page, "Resume")["status"] == 303
        assert not filled.paused
        before = filled.stats()["ready"]
        assert client.press(client.get(QUEUE + "/dead"), "Requeue")["status"] == 303
        assert len(filled.dead_letters) == 0 and filled.stats()["ready"] == before + 1
        filled.get(timeout=5).dead("again")
        filled.get(timeout=5).dead("and again")
        confirm = client.get(QUEUE + "/dead/purge")
        assert "Delete all 2 dead letters" in "".join(confirm.text)
        assert 'http-equiv="refresh"' not in confirm.html
        assert client.press(confirm, "Purge")["status"] == 303
        assert len(filled.dead_letters) == 0

    def test_a_purge_needs_its_confirmation(self, client, filled):
        form = client.get(QUEUE + "/dead").form("Requeue all")
        refused = client.request("POST", QUEUE + "/dead/purge", {"csrf": form["fields"]["csrf"]})
        assert refused["status"] == 400 and len(filled.dead_letters) == 1

    @pytest.mark.parametrize("headers", [
        {"HTTP_ORIGIN": "http://evil.example"},
        {"HTTP_ORIGIN": "null"},
        {"HTTP_SEC_FETCH_SITE": "cross-site"},
        {"HTTP_SEC_FETCH_SITE": "same-site"},
    ])
    def test_cross_site_posts_are_refused(self, client, filled, headers):
        assert client.press(client.get(QUEUE), "Pause", headers)["status"] == 403
        assert not filled.paused

    def test_a_post_without_the_pages_token_is_refused(self, client, filled):
        assert client.request("POST", QUEUE + "/pause", {})["status"] == 403
        assert client.request("POST", QUEUE + "/pause", {"csrf": "0" * 64})["status"] == 403
        other = Client(Dashboard({"jobs/a b": filled}))  # another process, another secret
        assert other.press(client.get(QUEUE), "Pause")["status"] == 403
        # A GET never acts, and a non-form body is refused.
        assert client.request("GET", QUEUE + "/pause")["status"] == 404
        assert client.request("POST", QUEUE + "/pause")["status"] == 415
        assert not filled.paused

    def test_processes_sharing_a_secret_accept_each_others_forms(self, filled):
        first, second = (Client(Dashboard({"q": filled}, secret=b"s" * 32)) for _ in range(2))
        assert second.press(first.get("/q/q"), "Pause")["status"] == 303 and filled.paused

    def test_read_only_hides_and_refuses_every_action(self, filled):
        client = Client(Dashboard({"jobs": filled}, read_only=True))
        for path in ("/q/jobs", "/q/jobs/dead"):
            assert client.get(path).forms == []
        assert client.request("GET", "/q/jobs/dead/purge")["status"] == 403
        token = Client(Dashboard({"jobs": filled})).get("/q/jobs").form("Pause")["fields"]
        assert client.request("POST", "/q/jobs/pause", token)["status"] == 403
        assert not filled.paused

    def test_the_authorisation_hook_decides_each_action(self, filled):
        asked = []

        def authorize(environ, action):
            asked.append(action)
            return environ.get("HTTP_X_ROLE") == "admin" or action == "view"
        client = Client(Dashboard({"jobs": filled}, authorize=authorize))
        page = client.get("/q/jobs")
        assert client.press(page, "Pause")["status"] == 403 and not filled.paused
        assert client.press(page, "Pause", {"HTTP_X_ROLE": "admin"})["status"] == 303
        assert filled.paused and asked == ["view", "pause", "pause"]
        nobody = Client(Dashboard({"jobs": filled}, authorize=lambda environ, action: False))
        assert nobody.request("GET", "/")["status"] == 403

    def test_only_its_own_host_names_are_answered_on_loopback(self, filled):
        app = Dashboard({"jobs": filled}, allowed_hosts=loopback_hosts("127.0.0.1", 8765))
        assert Client(app, host="localhost:8765").request("GET", "/")["status"] == 200
        # A name rebound to 127.0.0.1 by another site's DNS is not this page.
        assert Client(app, host="evil.example:8765").request("GET", "/")["status"] == 400
        assert loopback_hosts("0.0.0.0", 8765) is None


def test_every_response_forbids_framing_scripts_and_sniffing(client):
    headers = client.request("GET", "/")["headers"]
    assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]
    assert "script-src" not in headers["Content-Security-Policy"]  # default-src 'none' holds
    assert headers["X-Frame-Options"] == "DENY" and headers["X-Content-Type-Options"] == "nosniff"


def test_a_dashboard_needs_distinct_labelled_queues(filled):
    with pytest.raises(ValueError, match="at least one"):
        Dashboard({})
    with pytest.raises(ValueError, match="same label"):
        Dashboard([filled, filled])


def test_a_read_only_server_process_shows_and_refuses(tmp_path):
    where = str(tmp_path / "jobs")
    with Queue(where) as queue:
        fill(queue)
        server = start_tarnwick("web", where, "--read-only", "--port", 0,
                                stdout=subprocess.PIPE, text=True)
        try:
            line = server.stdout.readline().split()
            assert line[:1] == ["serving"], line
            base = line[1].rstrip("/")
            overview = urllib.request.urlopen(base + "/", timeout=30).read().decode()
            page = re.search(r'href="(/q/[^"?]+)"', overview).group(1)
            for path in (page, page + "/dead"):
                shown = urllib.request.urlopen(base + path, timeout=30).read().decode()
                assert "<form" not in shown
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(urllib.request.Request(base + page + "/pause", data=b"x=1"),
                                       timeout=30)
            assert refused.value.code == 403
            assert not queue.paused
        finally:
            assert stop(server) == 0
