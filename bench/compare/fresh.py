"""What the tables measured one figure per fresh process share: running a task in a child
process, and the command line of such a table run alone."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def spawn(module, env, task, **args):
    """Runs `task` of `module` (e.g. "bench.compare.views") in a fresh process and returns the
    JSON it prints last."""
    command = [sys.executable, "-m", module, "--task", task, json.dumps(args)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, cwd=ROOT)
    if done.returncode != 0:
        name = module.rsplit(".", 1)[-1]
        raise RuntimeError(f"{name} {task} failed: {done.stderr.strip().splitlines()[-1:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def table(title, rows):
    """The table's text: its title, then one line per (name, value, note or None)."""
    lines = [title]
    for name, value, note in rows:
        lines.append(f"  {name:<58} {value:>12,.1f}" + (f"   {note}" if note else ""))
    return "\n".join(lines)


def main(argv, module, description, tasks, compare):
    """`--task NAME ARGS` runs one task (in the child); otherwise the whole table, in a work
    directory under build/bench-tmp that is removed afterwards."""
    if len(argv) == 3 and argv[0] == "--task":
        print(json.dumps(tasks[argv[1]](**json.loads(argv[2]))))
        return
    parser = argparse.ArgumentParser(prog=f"python3 -m {module}", description=description)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    base = ROOT / "build" / "bench-tmp"
    base.mkdir(parents=True, exist_ok=True)
    name = module.rsplit(".", 1)[-1]
    workdir = tempfile.mkdtemp(prefix=f"{name}-", dir=base)
    try:
        print(compare(workdir, dict(os.environ), args.quick))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
