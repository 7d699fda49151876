#!/usr/bin/env bash
# The adapters against the frameworks themselves:
#   1. tests/contrib (worker crashes, leases, delays, dead letters, a
#      Celery prefork worker whose pool child is killed mid-task, remote
#      control, events and a real Flower on loopback);
#   2. dramatiq's own test files, with TarnwickBroker as the broker;
#   3. kombu's shared transport test classes, on the tarnwick transport.
# Framework releases are pinned: the lists of what each suite leaves out
# (tests/contrib/run_*_suite.py) are for these releases.
source "$(dirname "$0")/common.sh"

ensure_venv pytest pytest-timeout "dramatiq==2.2.1" "kombu==5.7.0" "celery==5.7.0" "flower==2.0.1" pika redis
install_module
export PATH="$VENV/bin:$PATH"
cd "$ROOT"

echo "== Adapter tests"
status=0
"$VENV/bin/python" -m pytest tests/contrib -q -p no:cacheprovider --timeout 300 \
  --ignore=tests/contrib/dramatiq_suite --ignore=tests/contrib/kombu_suite || status=$?
if [ "$status" -eq 5 ]; then echo "error: pytest collected no tests" >&2; exit 1; fi
[ "$status" -eq 0 ] || exit "$status"

echo "== dramatiq's test files on TarnwickBroker"
"$VENV/bin/python" tests/contrib/run_dramatiq_suite.py

echo "== kombu's transport tests on the tarnwick transport"
"$VENV/bin/python" tests/contrib/run_kombu_suite.py
