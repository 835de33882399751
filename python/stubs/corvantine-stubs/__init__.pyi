# Types of the extension module `corvantine`, for type checkers. The module's
# own signatures are the reference: python/tests/test_stubs.py keeps these
# equal to them, name for name and default for default.
from types import TracebackType
from typing import Any, Literal, TypedDict

from typing_extensions import NotRequired

__version__: str

class Row(TypedDict):
    offset: int
    timestamp_ms: int
    event_id: str
    batch_id: str
    batch_index: int
    branch_id: str
    namespace: str | None
    stream_revision: int
    event_type: str
    schema_version: int
    codec: Literal["json", "bytes"]
    metadata: dict[str, bytes]
    body: Any

class Receipt(TypedDict):
    batch_id: str
    first_position: int
    last_position: int
    stream_id: str
    previous_revision: int | None
    current_revision: int
    durability: Literal["buffered", "flushed", "synced"]

class BatchEvent(TypedDict):
    body: Any
    event_type: NotRequired[str]
    schema_version: NotRequired[int]
    event_id: NotRequired[str]
    metadata: NotRequired[dict[str, bytes | str]]

class Page(TypedDict):
    records: list[Row]
    continuation: int
    done: bool

class Snapshot(TypedDict):
    id: str
    projection: str
    cursor: int
    created_at_unix_nanos: int
    state_bytes: int

class Branch(TypedDict):
    id: str
    name: str
    parent_id: str | None
    fork_position: int | None
    created_at_unix_nanos: int
    status: Literal["active", "archived"]
    metadata: dict[str, bytes]

class DiffSide(TypedDict):
    branch: str
    until: int
    suffix: Reader

class Diff(TypedDict):
    common_ancestor: str
    divergence_offset: int
    shared: Reader
    left: DiffSide
    right: DiffSide

class FeedBootstrapDescriptor(TypedDict):
    database_id: str
    generation: int
    floor: int
    consumer_id: str
    checkpoint_id: str
    branches: list[str]
    streams: list[str]
    event_types: list[str]
    byte_length: int
    checksum: int
    resume_from: int
    codec: str
    codec_version: int

class Segment(TypedDict):
    base_position: int
    bytes: int

class Blocker(TypedDict):
    """One blocker; beside "kind", the keys its kind carries."""
    kind: Literal["engine_anchor_unavailable", "branch_requires_bootstrap",
                  "projection_requires_bootstrap", "consumer_requires_bootstrap",
                  "maintenance_handles_open"]
    branch: NotRequired[str]
    fork_position: NotRequired[int]
    name: NotRequired[str]
    consumer_id: NotRequired[str]
    position: NotRequired[int]
    readers: NotRequired[int]
    feeds: NotRequired[int]

class Plan(TypedDict):
    plan_id: str
    generation: int
    requested_floor: int
    effective_floor: int
    current_floor: int
    durable_head: int
    reclaimable_bytes: int
    reclaimable_segments: list[Segment]
    blockers: list[Blocker]

class Consumer(TypedDict):
    consumer_id: str
    position: int
    behind_effective_floor: bool
    bootstrap_available: bool

class Cleanup(TypedDict):
    complete: bool
    pending_bytes: int
    pending_segments: list[Segment]

class RetentionStatus(TypedDict):
    database_id: str
    generation: int
    floor: int
    durable_head: int
    requested_floor: int
    effective_floor: int
    anchor_ready: bool
    reclaimable_bytes: int
    reclaimable_segments: list[Segment]
    blockers: list[Blocker]
    open_readers: int
    open_feeds: int
    consumers: list[Consumer]
    cleanup: Cleanup

class PolicyPreview(TypedDict):
    policy: str
    value: int
    selected_floor: int
    target_satisfied: bool
    explanation: str
    plan: Plan

class Anchor(TypedDict):
    format_version: int
    database_id: str
    floor: int
    head: int
    bytes: int
    checksum: int
    projection_checkpoints: int
    branch_bootstraps: int
    consumer_bootstraps: int
    bootstrap_bytes: int
    system_records: int

class RetentionApplied(TypedDict):
    generation: int
    floor: int
    reclaimed_bytes: int

class Corvantine:
    @staticmethod
    def open(path: str, commit_every_bytes: int | None = None,
             commit_every_count: int | None = None, commit_every_millis: int | None = None,
             snapshot_every_events: int | None = None, snapshot_every_bytes: int | None = None,
             snapshot_every_millis: int | None = None) -> Corvantine: ...
    def append(self, namespace: str, event: Any) -> int: ...
    def append_receipt(self, namespace: str, event: Any) -> Receipt: ...
    def append_batch(self, namespace: str, events: list[BatchEvent] | list[dict[str, Any]], *,
                     branch: str | None = None,
                     expected_revision: int | Literal["any", "no_stream"] | None = None,
                     idempotency_key: bytes | str | None = None,
                     durability: Literal["buffered", "flush", "sync"] = "buffered") -> Receipt: ...
    def append_branch(self, branch: str, namespace: str, event: Any) -> int: ...
    def commit(self) -> int: ...
    def head(self) -> int: ...
    def durable_head(self) -> int: ...
    def retention_floor(self) -> int: ...
    def retention_status(self, keep_from: int | None = None) -> RetentionStatus: ...
    def plan_retention(self, keep_from: int) -> Plan: ...
    def plan_retention_policy(self, policy: str, value: int) -> PolicyPreview: ...
    def create_retention_anchor(self, keep_from: int) -> Anchor: ...
    def apply_retention(self, plan_id: str) -> RetentionApplied: ...
    def register_branch_bootstrap(self, branch: str, keep_from: int, checkpoint: bytes) -> int: ...
    def register_consumer_bootstrap(self, consumer_id: str, keep_from: int,
                                    checkpoint: bytes) -> int: ...
    def register_feed_bootstrap(self, consumer_id: str, keep_from: int, checkpoint: bytes,
                                branch: str | None = None, codec: str = "opaque",
                                codec_version: int = 1) -> int: ...
    def fetch_feed_bootstrap(self, descriptor: FeedBootstrapDescriptor | dict[str, Any],
                             maximum_bytes: int) -> bytes: ...
    def resume_watch(self, descriptor: FeedBootstrapDescriptor | dict[str, Any],
                     namespace: str | None = None, timeout: float | None = None,
                     page_batches: int = 128, page_bytes: int = 1048576) -> Watch: ...
    def branch_bootstrap(self, branch: str) -> bytes | None: ...
    def consumer_bootstrap(self, consumer_id: str) -> bytes | None: ...
    def uncommitted_count(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> Corvantine: ...
    def __exit__(self, _exc_type: type[BaseException] | None = None,
                 _exc_value: BaseException | None = None,
                 _traceback: TracebackType | None = None) -> Literal[False]: ...
    def replay(self, namespace: str, start: int = 0, end: int | None = None) -> list[Row]: ...
    def open_reader(self, namespace: str, start: int = 0, end: int | None = None,
                    page_events: int = 256, page_bytes: int = 1048576) -> Reader: ...
    def register_view(self, name: str, key: str, indexes: dict[str, str] | None = None,
                      where_field: str | None = None, where_value: Any = None) -> None: ...
    def deregister_view(self, name: str) -> bool: ...
    def view(self, name: str) -> View: ...
    def fork(self, namespace: str, at: int, parent: str | None = None) -> str: ...
    def watch(self, namespace: str | None = None, branch: str | None = None,
              start: int | None = None, consumer_id: str | None = None,
              timeout: float | None = None, page_batches: int = 128,
              page_bytes: int = 1048576) -> Watch: ...
    def diff(self, left: str, right: str, namespace: str | None = None,
             left_until: int | None = None, right_until: int | None = None,
             page_events: int = 256, page_bytes: int = 1048576) -> Diff: ...
    def history(self, namespace: str) -> list[Row]: ...
    def branch_history(self, branch: str, namespace: str) -> list[Row]: ...
    def branch_ancestry(self, branch: str) -> list[Branch]: ...
    def archive_branch(self, branch: str) -> Branch: ...
    def create_snapshot(self, projection: str) -> Snapshot: ...
    def list_snapshots(self, projection: str) -> list[Snapshot]: ...
    def verify_snapshot(self, snapshot_id: str) -> Snapshot: ...
    def delete_snapshot(self, snapshot_id: str) -> bool: ...
    def delete_all_derived_state(self) -> None: ...
    def rebuild_projection(self, projection: str) -> None: ...

class View:
    def get(self, key: str) -> Any: ...
    def by(self, index: str, key: Any) -> list[Any]: ...
    def range(self, lo: str, hi: str) -> list[Any]: ...
    def prefix(self, prefix: str) -> list[Any]: ...
    def len(self) -> int: ...

class Reader:
    def next_page(self) -> Page: ...
    def cancel(self) -> None: ...
    def close(self) -> None: ...

class Watch:
    def __iter__(self) -> Watch: ...
    def __next__(self) -> Row: ...
    def ack(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> Watch: ...
    def __exit__(self, _exc_type: type[BaseException] | None = None,
                 _exc_value: BaseException | None = None,
                 _traceback: TracebackType | None = None) -> Literal[False]: ...

def open(path: str, commit_every_bytes: int | None = None,
         commit_every_count: int | None = None, commit_every_millis: int | None = None,
         snapshot_every_events: int | None = None, snapshot_every_bytes: int | None = None,
         snapshot_every_millis: int | None = None) -> Corvantine: ...

class CorvantineError(RuntimeError): ...
class InvalidArgumentError(ValueError): ...
class ConflictError(ValueError): ...
class NotFoundError(KeyError): ...
class LockedError(OSError): ...
class IoError(OSError): ...
class CorruptionError(RuntimeError): ...
class UnsupportedFormatError(RuntimeError): ...
class CodecError(ValueError): ...
class ResourceLimitError(ValueError): ...
class CancelledError(RuntimeError): ...

class PositionUnavailableError(ValueError):
    bootstrap: FeedBootstrapDescriptor | None
