"""Runs every workload against every store, each in a fresh process, and prints the table."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import events, floor, opens, report, retention, stores, views

ROOT = Path(__file__).resolve().parents[2]
TASK_TIMEOUT_S = 180
OPEN_REPEATS = 3
SYNC_ROUNDS = 4


def main(argv):
    parser = argparse.ArgumentParser(prog="python3 -m bench.compare", description=__doc__)
    parser.add_argument("--module-dir", type=Path, default=ROOT / "build" / "release" / "python",
                        help="directory holding the built corvantine module")
    parser.add_argument("--quick", action="store_true",
                        help="one tenth of every count: a smoke run, not a measurement")
    args = parser.parse_args(argv)
    scale = 10 if args.quick else 1
    counts = {"events": events.EVENTS // scale, "sync_events": events.SYNC_EVENTS // scale,
              "big_events": events.BIG_EVENTS // scale, "many_events": events.MANY_EVENTS // scale,
              "aggregate_events": events.AGGREGATE_EVENTS // scale}

    base = ROOT / "build" / "bench-tmp"
    base.mkdir(parents=True, exist_ok=True)
    workdir = Path(tempfile.mkdtemp(prefix="compare-", dir=base))
    try:
        bench = Comparison(workdir, args.module_dir, counts)
        if args.quick:
            bench.notes.append("QUICK RUN: every count is one tenth; the bars are not judged "
                               "at full scale.")
        bench.run()
        view_table = "Views: skipped, no built corvantine module."
        retention_table = "Retention: skipped, no built corvantine module."
        open_table = "Opens: skipped, no built corvantine module."
        if report.CORVANTINE in bench.stores:
            print("views: appends with a view, lookups, open with a snapshot", file=sys.stderr,
                  flush=True)
            view_table = views.compare(workdir, bench.env, args.quick)
            print("retention: 90% of a 1 GiB log", file=sys.stderr, flush=True)
            retention_table = retention.compare(workdir, bench.env, args.quick)
            print("opens: single-event batches against reading the checkpoint", file=sys.stderr,
                  flush=True)
            open_table = opens.compare(workdir, bench.env, args.quick)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(report.render(bench.rows, bench.stores, bench.floor, bench.notes, counts), flush=True)
    print(view_table, flush=True)
    print(retention_table, flush=True)
    print(open_table, flush=True)


class Comparison:
    def __init__(self, workdir, module_dir, counts):
        self.workdir = workdir
        self.counts = counts
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = os.pathsep.join(
            [str(module_dir), str(ROOT)] + self.env.get("PYTHONPATH", "").split(os.pathsep))
        self.rows = report.make_rows(counts)
        self.notes = []
        self.floor = {}
        self.started = time.monotonic()
        self.load_at_start = os.getloadavg()[0]
        self.stores = [key for key in stores.KEYS if self._importable(key)]

    def run(self):
        self._progress("floor", "fdatasync latency and sequential bandwidth")
        self.floor["fdatasync_us"] = floor.fdatasync_latency_us(self.workdir)
        self.floor["write_mb_s"] = floor.write_bandwidth_mb_s(self.workdir)
        self._single_appends()
        self._sync_appends()
        n = self.counts["events"]
        for key in self.stores:
            self._each_fresh(key, "batch", "batches", {"rate": "batch"},
                             count=n, size=events.BATCH)
        for key in self.stores:
            self._each_fresh(key, "group", "singles", {"rate": "group"}, mode="group", count=n)
        for key in self.stores:
            self._each_fresh(key, "threads", "concurrent", {"rate": "threads"},
                             count=n, threads=events.THREADS)
        for key in self.stores:
            self._replay_and_head(key)
        for key in self.stores:
            self._large_database(key)
        for key in self.stores:
            self._many_streams(key)
        for key in self.stores:
            self._aggregates(key)
        if report.CORVANTINE in self.stores:
            self._watch()
        self.notes.append(f"Total run time {time.monotonic() - self.started:.0f} s on "
                          f"{os.cpu_count()} CPUs; load average {self.load_at_start:.1f} at the "
                          f"start, {os.getloadavg()[0]:.1f} at the end.")

    def _single_appends(self):
        n = self.counts["events"]
        for key in self.stores:
            self._each_fresh(key, "buffered", "singles",
                             {"rate": "buffered", "rss_mib": "rss_load"}, mode="buffered", count=n)
        if report.CORVANTINE in self.stores:
            self._each_fresh(report.CORVANTINE, "flush", "singles", {"rate": "flush"},
                             mode="flush", count=n)
        for key in self.stores:
            if key != report.CORVANTINE:
                self.rows["flush"].cells[key] = self.rows["buffered"].cells.get(key)

    def _sync_appends(self):
        """The stores take turns over several rounds, each round after a fresh look at the
        floor: the disk's flush latency drifts, and every store should meet the same drift."""
        per_round = self.counts["sync_events"] // SYNC_ROUNDS
        results = {key: [] for key in self.stores}
        threaded = {key: [] for key in self.stores}
        floors = {key: [] for key in self.stores}
        for _ in range(SYNC_ROUNDS):
            for key in self.stores:
                if None in results[key]:
                    continue
                floors[key].append(floor.fdatasync_latency_us(self.workdir, count=100))
                results[key].append(self._each_fresh(key, "sync", "singles", {}, mode="sync",
                                                     count=per_round, latencies=True))
                threaded[key].append(self._each_fresh(
                    key, "sync_threads", "concurrent", {}, mode="sync", count=per_round,
                    threads=events.SYNC_THREADS))
        for key, runs in results.items():
            if None in runs:
                continue
            self.rows["sync"].cells[key] = per_round * len(runs) / sum(r["seconds"] for r in runs)
            self.rows["sync_latency"].cells[key] = statistics.median(
                sample for r in runs for sample in r["latencies_us"])
            self.rows["sync_floor"].cells[key] = statistics.median(floors[key])
        for key, runs in threaded.items():
            if None not in runs:
                self.rows["sync_threads"].cells[key] = len(runs) / sum(1 / r["rate"] for r in runs)

    def _replay_and_head(self, key):
        path = self._fresh_path(key, "replay")
        n = self.counts["events"]
        if self._task(key, "replay", "build", path, {}, count=n, streams=1, batch=1_000):
            self._task(key, "replay", "replay", path, {"ms": "replay"}, count=n)
            self._task(key, "head", "head", path, {"us": "head"})
        shutil.rmtree(path, ignore_errors=True)

    def _watch(self):
        """Corvantine alone: the peers have no feed of durable events."""
        key = report.CORVANTINE
        self._each_fresh(key, "watch_latency", "watch_latency",
                         {"median_us": "watch_latency", "p99_us": "watch_p99",
                          "alone_us": "watch_sync_alone"}, count=self.counts["sync_events"])
        path = self._fresh_path(key, "watch")
        n = self.counts["big_events"]
        if self._task(key, "watch_rate", "build", path, {}, count=n, streams=1, batch=1_000):
            self._task(key, "watch_rate", "watch_throughput", path,
                       {"watch_rate": "watch_rate", "replay_rate": "watch_replay_rate"}, count=n)
        shutil.rmtree(path, ignore_errors=True)

    def _large_database(self, key):
        path = self._fresh_path(key, "large")
        big = self.counts["big_events"]
        built = self._task(key, "disk", "build", path, {}, count=big, streams=events.STREAMS,
                           batch=events.BIG_BATCH)
        if built:
            self.rows["disk"].cells[key] = built["disk_bytes"] / 1e6
            opens = [self._task(key, "open", "open_db", path, {}) for _ in range(OPEN_REPEATS)]
            self._record_opens(key, opens, "open", "rss_open")
            if key == report.CORVANTINE:
                rebuilds = [self._task(key, "rebuild", "open_db", path, {}, rebuild=True)
                            for _ in range(OPEN_REPEATS)]
                if self._record_opens(key, rebuilds, "rebuild", None):
                    seconds = self.rows["rebuild"].cells[key] / 1e3
                    self.rows["rebuild_rate"].cells[key] = rebuilds[0]["log_bytes"] / 1e6 / seconds
            self._task(key, "read_stream", "read_stream", path, {"ms": "read_stream"},
                       length=big // events.STREAMS)
        shutil.rmtree(path, ignore_errors=True)

    def _many_streams(self, key):
        path = self._fresh_path(key, "many")
        n = self.counts["many_events"]
        if self._task(key, "many_streams", "build", path, {}, count=n,
                      streams=events.MANY_STREAMS, batch=1):
            self._task(key, "many_streams", "read_streams", path, {"ms": "many_streams"},
                       streams=events.MANY_STREAMS, length=n // events.MANY_STREAMS)
            self._task(key, "read_log", "read_log", path, {"ms": "read_log"}, start=n // 2,
                       count=events.LOG_READ)
        shutil.rmtree(path, ignore_errors=True)

    def _aggregates(self, key):
        path = self._fresh_path(key, "aggregates")
        n = self.counts["aggregate_events"]
        if self._task(key, "aggregate", "build", path, {}, count=n, streams=events.AGGREGATES,
                      batch=1):
            self._task(key, "aggregate", "read_stream", path, {"ms": "aggregate"},
                       length=n // events.AGGREGATES, streams=events.AGGREGATES)
        shutil.rmtree(path, ignore_errors=True)

    def _record_opens(self, key, results, row, rss_row):
        if not all(results):
            return False
        self.rows[row].cells[key] = statistics.median(r["ms"] for r in results)
        if rss_row:
            self.rows[rss_row].cells[key] = max(r["rss_mib"] for r in results)
        return True

    def _each_fresh(self, key, row, task, fields, **args):
        path = self._fresh_path(key, row)
        result = self._task(key, row, task, path, fields, **args)
        shutil.rmtree(path, ignore_errors=True)
        return result

    def _task(self, key, row, task, path, fields, **args):
        """Runs one task in a fresh process; records fields (result name -> row) or the error."""
        self._progress(key, " ".join([task] + [f"{k}={v}" for k, v in args.items()]))
        result = self._spawn({"store": key, "task": task, "path": str(path), "args": args})
        if "error" in result:
            self.rows[row].cells[key] = "error"
            self.notes.append(f"{key} {task} failed: {result['error']}")
            return None
        for name, target in fields.items():
            self.rows[target].cells[key] = result[name]
        return result

    def _spawn(self, job):
        command = [sys.executable, "-m", "bench.compare", "--task", json.dumps(job)]
        try:
            done = subprocess.run(command, cwd=ROOT, env=self.env, capture_output=True, text=True,
                                  timeout=TASK_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return {"error": f"no answer within {TASK_TIMEOUT_S} s"}
        if done.returncode != 0:
            lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
            return {"error": lines[-1]}
        return json.loads(done.stdout.strip().splitlines()[-1])

    def _importable(self, key):
        code = f"from bench.compare import stores; stores.load({key!r})"
        done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=self.env,
                              capture_output=True, text=True)
        if done.returncode != 0:
            reason = (done.stderr.strip().splitlines() or ["import failed"])[-1]
            self.notes.append(f"{key} not measured: {reason}")
        return done.returncode == 0

    def _fresh_path(self, key, name):
        return self.workdir / f"{key}-{name}"

    def _progress(self, who, what):
        elapsed = time.monotonic() - self.started
        print(f"[{elapsed:5.0f} s] {who:<10} {what}", file=sys.stderr, flush=True)
