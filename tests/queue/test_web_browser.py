"""The web page in a real browser: Debian's headless chromium, driven by
selenium, against a `tarnwick web` process on loopback serving a directory
and a PostgreSQL queue. Screenshots go to build/screenshots/."""

import os
import pathlib
import subprocess
import textwrap
import threading

import pytest
from debian_packages import Unavailable, command
from processes import start_tarnwick, stop, wait_for

from tarnwick_queue import Queue

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402

SCREENSHOTS = pathlib.Path(__file__).resolve().parents[2] / "build" / "screenshots"
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("TARNWICK_SANITIZED")),
    reason="the browser would start under the sanitizer runtime the run preloads")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    try:
        chromium = command("chromium", "chromium")
        driver_path = command("chromedriver", "chromium-driver")
    except Unavailable as exc:
        pytest.skip(str(exc))
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1280,900", "--disable-gpu",
                     f"--user-data-dir={tmp_path_factory.mktemp('chromium')}"):
        options.add_argument(argument)
    service = webdriver.ChromeService(executable_path=driver_path)
    driver = webdriver.Chrome(options=options, service=service)
    driver.implicitly_wait(0)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    yield driver
    driver.quit()


@pytest.fixture
def site(tmp_path, pg_dsn, pg_name):
    """A `tarnwick web` process over a directory queue and a PostgreSQL
    queue: (base URL, the directory's queue, the PostgreSQL queue)."""
    from tarnwick_queue.postgres import PostgresQueue
    where = str(tmp_path / "jobs")
    local, remote = Queue(where, lease=60.0), PostgresQueue(pg_dsn, pg_name, lease=60.0)
    server = start_tarnwick("web", where, "--dsn", pg_dsn, "--name", pg_name, "--port", 0,
                            stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline().split()
        assert line[:1] == ["serving"], line
        yield line[1].rstrip("/"), local, remote
    finally:
        assert stop(server) == 0
        local.close()
        remote.close()


def shot(browser, name):
    browser.save_screenshot(str(SCREENSHOTS / f"web-{name}.png"))


def cells(row):
    return [td.text for td in row.find_elements(By.TAG_NAME, "td")]


def open_queue_page(browser, base, label):
    browser.get(base + "/")
    browser.find_element(By.LINK_TEXT, label).click()


def test_the_overview_counts_match_each_queue(browser, site):
    base, local, remote = site
    for queue, count in ((local, 3), (remote, 5)):
        for i in range(count):
            queue.put(b"job %d" % i, delay=3600 if i == 0 else 0)
        queue.get(timeout=5).dead("broken")
        queue.get(timeout=5)  # leased
    browser.get(base + "/")
    rows = {cells(r)[0]: cells(r) for r in browser.find_elements(By.CSS_SELECTOR, "tr")[1:]}
    for queue, label in ((local, local.path), (remote, remote.name)):
        stats = queue.stats()
        assert rows[label][1:5] == [str(stats["ready"]), str(stats["scheduled"]),
                                    str(stats["in_flight"]), str(stats["dead_letters"])]
    assert rows[remote.name][1:5] == ["2", "1", "1", "1"]
    shot(browser, "overview")


def test_a_body_with_markup_is_shown_as_text(browser, site):
    base, local, _ = site
    body = "<b>bold</b><img src=x onerror=\"document.title='owned'\">"
    local.put(body.encode(), headers={"task": "<i>it</i>"})
    open_queue_page(browser, base, local.path)
    browser.find_element(By.LINK_TEXT, "show bodies").click()
    shown = browser.find_element(By.CSS_SELECTOR, "td pre")
    assert shown.text == body
    assert browser.find_elements(By.CSS_SELECTOR, "td b, td img, td i") == []
    assert "owned" not in browser.title and "task=<i>it</i>" in browser.page_source.replace(
        "&lt;", "<").replace("&gt;", ">")
    shot(browser, "queue")


def test_clicking_requeue_moves_a_dead_letter_back(browser, site):
    base, _, remote = site
    remote.put(b"will fail")
    remote.get(timeout=5).dead("ValueError: no")
    open_queue_page(browser, base, remote.name)
    browser.find_element(By.LINK_TEXT, "dead letters").click()
    assert "ValueError: no" in browser.page_source
    shot(browser, "dead-letters")
    browser.find_element(By.XPATH, "//button[text()='Requeue']").click()
    wait_for(lambda: len(remote.dead_letters) == 0, 10, "the dead letter to be requeued")
    assert remote.get(timeout=5).body == b"will fail"


def test_pause_stops_a_running_worker_and_resume_lets_it_go_on(browser, site, tmp_path):
    base, local, _ = site
    handled = tmp_path / "handled"
    (tmp_path / "jobs_module.py").write_text(textwrap.dedent(f"""
        import os
        def handle(message):
            fd = os.open({str(handled)!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
            os.write(fd, message.body + b"\\n")
            os.close(fd)
    """))
    worker = start_tarnwick("worker", "jobs_module:handle", "--queue", local.path, cwd=tmp_path)
    try:
        def seen():
            return handled.read_text().split() if handled.exists() else []
        local.put(b"before")
        wait_for(lambda: seen() == ["before"], 30, "the worker to take the first job")
        open_queue_page(browser, base, local.path)
        browser.find_element(By.XPATH, "//button[text()='Pause']").click()
        wait_for(lambda: local.paused, 10, "the click to pause the queue")
        assert browser.find_element(By.CSS_SELECTOR, ".paused").text == "paused"
        local.put(b"during")
        threading.Event().wait(2.0)  # time the worker would need to take it, were it free to
        assert seen() == ["before"] and local.stats()["ready"] == 1
        shot(browser, "paused")
        browser.find_element(By.XPATH, "//button[text()='Resume']").click()
        wait_for(lambda: seen() == ["before", "during"], 30, "the worker to go on")
    finally:
        assert stop(worker) == 0
