#!/usr/bin/env bash
# The adapters against the frameworks themselves:
#   1. tests/contrib (worker crashes, leases, delays, dead letters, a
#      Celery prefork worker whose pool child is killed mid-task, remote
#      control, events and a real Flower on loopback, dramatiq's Prometheus
#      middleware and OpenTelemetry's Celery instrumentation; the FastAPI
#      example under uvicorn, killed mid-flight, with a `tarnwick worker`);
#   2. dramatiq's own test files, with TarnwickBroker as the broker;
#   3. kombu's shared transport test classes, on the tarnwick transport;
#   4. tests/django: TarnwickBackend and tarnwick_worker in a small Django
#      project, on Django 6.1 (Python 3.12+) and on Django 5.2 with the
#      django-tasks backport (Python 3.11), each in a virtual environment
#      of its own with the abi3 wheel built from this tree; and Django's own
#      tests/tasks that apply to a third-party backend, on TarnwickBackend.
# Framework releases are pinned: the lists of what each suite leaves out
# (tests/contrib/run_*_suite.py) are for these releases.
source "$(dirname "$0")/common.sh"

ensure_venv pytest pytest-timeout "dramatiq==2.2.1" "kombu==5.7.0" "celery==5.7.0" "flower==2.0.1" pika redis \
  "fastapi==0.163.2" "uvicorn==0.54.0" "prometheus-client==0.26.0" "opentelemetry-sdk==1.45.2" \
  "opentelemetry-instrumentation-celery==0.66b2" "a2wsgi==1.10.10"
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

echo "== Django's tasks on TarnwickBackend"
# The wheel of what install_module built (the same build directory, so
# nothing is compiled again), installed beside each Django release.
wheels="$ROOT/build/wheel-django"
rm -rf "$wheels"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -w "$wheels" "$ROOT"
django_suite() {  # python, venv dir, packages...
  local python="$1" env="$2" status=0
  shift 2
  [ -x "$env/bin/python" ] || "$python" -m venv "$env"
  "$env/bin/python" -m pip install -q --disable-pip-version-check pytest pytest-timeout \
    "psycopg[binary]>=3.1" "$@"
  "$env/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    "$wheels"/*.whl
  "$env/bin/python" -m pytest tests/django -q -p no:cacheprovider --timeout 300 || status=$?
  if [ "$status" -eq 5 ]; then echo "error: pytest collected no tests" >&2; return 1; fi
  return "$status"
}
python_at_least() {  # minor: the first interpreter of 3.minor or newer
  local candidate
  while read -r candidate; do
    if "$candidate" -c "import sys; sys.exit(sys.version_info < (3, $1))"; then
      echo "$candidate"; return
    fi
  done < <(find_pythons)
}
py312="$(python_at_least 12)"
if [ -z "$py312" ]; then echo "error: Django 6 needs Python 3.12 or newer" >&2; exit 1; fi
echo "-- Django 6.1 on $("$py312" -c 'import sys; print(sys.version.split()[0])')"
django_suite "$py312" "$ROOT/build/venv-django" "django==6.1.4"
echo "-- Django's own tests/tasks on TarnwickBackend"
"$ROOT/build/venv-django/bin/python" tests/django/run_django_suite.py
echo "-- Django 5.2 with the django-tasks backport on $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
django_suite "$PYTHON" "$ROOT/build/venv-django-backport" "django==5.2.20" "django-tasks==0.12.0"
