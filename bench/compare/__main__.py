import json
import sys

from . import runner, tasks

if len(sys.argv) == 3 and sys.argv[1] == "--task":
    # A worker process: one task, its figures as one JSON line.
    print(json.dumps(tasks.run(json.loads(sys.argv[2]))))
else:
    runner.main(sys.argv[1:])
