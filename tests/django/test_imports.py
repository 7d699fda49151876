"""What a site's process loads for the backend: no worker machinery."""

import json


def test_enqueueing_loads_no_worker(project, tmp_path):
    code = ("import json, sys\n"
            "from taskapp import tasks\n"
            "tasks.add.enqueue(1, 2)\n"
            "print(json.dumps(sorted(sys.modules)))")
    loaded = set(json.loads(project.manage("shell", "-c", code).stdout.strip()
                            .splitlines()[-1]))
    assert "tarnwick_queue.django.backend" in loaded
    assert not loaded & {"tarnwick_queue.worker", "tarnwick_queue.supervisor",
                         "tarnwick_queue.leases", "tarnwick_queue.django.worker"}
