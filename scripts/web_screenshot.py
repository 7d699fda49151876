"""Makes docs/web-page.png: the web page over a small made-up queue, in
headless Chromium (Debian's chromium and chromium-driver, and selenium).

    .venv/bin/python scripts/web_screenshot.py
"""

import pathlib
import shutil
import tempfile

from selenium import webdriver

from tarnwick_queue import Queue
from tarnwick_queue.web import Dashboard, serve

ROOT = pathlib.Path(__file__).resolve().parents[1]


def fill(queue: Queue) -> None:
    for n in range(4):
        queue.put(b'{"task": "resize", "image": %d}' % n, priority=5 if n == 2 else 0,
                  headers={"task": "images.resize"})
    queue.put(b'{"task": "report"}', delay=3600, key="report:2026-12-10")
    queue.put(b'{"task": "mail", "to": "ops"}', group="customer-17")
    queue.get().ack(b"ok")
    failed = queue.get()
    failed.nack(error="TimeoutError: the image server did not answer")
    queue.get()  # leased now
    queue.get().dead("ValueError: not an image")


def main() -> None:
    where = tempfile.mkdtemp()
    try:
        with Queue(f"{where}/images", max_deliveries=3, lease=600) as images, \
                Queue(f"{where}/mail") as mail:
            fill(images)
            mail.put(b"hello")
            server = serve(Dashboard({"images": images, "mail": mail}), 0)
            options = webdriver.ChromeOptions()
            options.binary_location = shutil.which("chromium") or ""
            for argument in ("--headless=new", "--no-sandbox", "--window-size=1200,720",
                             f"--user-data-dir={where}/chromium"):
                options.add_argument(argument)
            browser = webdriver.Chrome(options=options,
                                       service=webdriver.ChromeService(shutil.which("chromedriver")))
            try:
                browser.get(f"http://127.0.0.1:{server.server_port}/q/images?bodies=1")
                browser.save_screenshot(str(ROOT / "docs" / "web-page.png"))
            finally:
                browser.quit()
                server.shutdown()
                server.server_close()
    finally:
        shutil.rmtree(where)


if __name__ == "__main__":
    main()
