"""Syncs: the same load run again and again, each run sending only what changed.

    load(session, "SELECT Ext__c, Name FROM accounts", access_info, "Account", "upsert",
         external_id="Ext__c", sync="accounts")                  # or sync=Sync("accounts", ...)

A sync is named, and keeps its state (key -> the fingerprint of the row last sent successfully
and the record's Salesforce Id) in its own file (kavrel.load.sync.state) or, for Snowflake, in a
table of the warehouse (kavrel.load.sync.warehouse). Each run's load reads the query once and
hands its jobs only the rows whose key is new or whose values changed (kavrel.load.sync.compare);
once the jobs are done, what the org reports successful goes into the state
(kavrel.load.sync.confirm), so the state is never ahead of the org. With a mirror, the records
whose keys left the query are then deleted by their Ids, in a load of their own.

A run that stops is finished by `kavrel load resume` (the sync's name is in the load's journal,
and the resumed load reads its rows through the same comparison), or by running the sync again:
a new run first settles the run before it, folding in what that run's jobs confirmed.
"""

from __future__ import annotations

import contextlib
import logging
import math
import secrets
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

from kavrel.load import columns as checks
from kavrel.load import journal as journals
from kavrel.load.summary import LoadSummary, counted
from kavrel.load.sync import confirm
from kavrel.load.sync.compare import ChangedRows, Changes, WarehouseChanges
from kavrel.load.sync.state import (
    LocalRecords,
    SyncFile,
    SyncRefused,
    UnknownSync,
    describe,
    forget,
    names,
    sync_path,
)

__all__ = [
    "NO_SYNC",
    "Sync",
    "SyncOutcome",
    "SyncRefused",
    "UnknownSync",
    "begin",
    "check",
    "describe",
    "forget",
    "names",
    "resuming",
    "sync_path",
]

logger = logging.getLogger("kavrel.load")

SYNCED_OPERATIONS = ("upsert", "update", "insert")
DEFAULT_DELETE_SHARE = 0.1  # of the synced keys, the most a mirror deletes unless told more


@dataclass
class Sync:
    """A sync as a load takes it (`load(..., sync=Sync(...))`, or just its name).

    `key`: for an insert, the column whose keys are inserted once (an upsert's key is its
    external ID field, an update's the Id). `mirror` (upsert only): delete the records whose keys
    left the query, `hard` for good, at most `max_deletes` of them (default: a tenth of the
    synced keys). `full`: send every row and rebuild the state. `state_table` (Snowflake only):
    DATABASE.SCHEMA.TABLE, where the state lives and the comparison runs."""

    name: str
    key: str | None = None
    mirror: bool = False
    hard: bool = False
    max_deletes: int | None = None
    full: bool = False
    state_table: str | None = None

    def as_dict(self) -> dict[str, Any]:
        return {"name": self.name, "key": self.key, "mirror": self.mirror, "hard": self.hard,
                "max_deletes": self.max_deletes, "full": self.full,
                "state_table": self.state_table}  # fmt: skip


@dataclass
class SyncOutcome:
    """What a sync's run did beside its load: the rows it read and what they were, the records
    its mirror deleted (`deletes`, that load's summary) or refused to delete, and a state that
    could not be updated."""

    name: str
    changes: dict[str, Any]
    deleted: int = 0
    deletes: LoadSummary | None = None
    refused: str | None = None
    error: str | None = None
    synced: int | None = None  # keys in the state after the run
    notes: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        done = self.deletes is None or self.deletes.ok
        return done and self.refused is None and self.error is None

    def as_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            **self.changes,
            "deleted": self.deleted,
            "deletes": None if self.deletes is None else self.deletes.as_dict(),
            "delete_refused": self.refused,
            "state_error": self.error,
            "synced_keys": self.synced,
            "ok": self.ok,
        }

    def line(self) -> str:
        c = self.changes
        text = (
            f"Sync {self.name}: {counted(c.get('read') or 0, 'row')} read, "
            f"{c.get('unchanged') or 0:,} unchanged, {c.get('new') or 0:,} new, "
            f"{c.get('changed') or 0:,} changed"
        )
        if c.get("changed_not_sent"):
            text += f" ({c['changed_not_sent']:,} not sent: an insert changes no record)"
        if self.deletes is not None or self.deleted:
            text += f", {self.deleted:,} deleted"
        return text + "."

    def lines(self) -> list[str]:
        lines = [self.line()]
        if self.deletes is not None and not self.deletes.ok:
            lines += ["The mirror's deletes:", str(self.deletes)]
        if self.refused:
            lines.append(self.refused)
        if self.error:
            lines.append(self.error)
        return lines + self.notes


class _NoSync:
    """A load that is no sync: every hook leaves it as it is."""

    def source(self, source: Any) -> Any:
        return source

    def journaled(self) -> None:
        return None

    def started(self, load_id: str) -> None:
        pass

    def finished(self, summary: LoadSummary, _plan: Any, _stop: Any) -> LoadSummary:
        return summary


NO_SYNC: Any = _NoSync()


class _SyncSource:
    """A source whose reads are narrowed to what the sync sends."""

    def __init__(self, inner: Any, syncing: Syncing) -> None:
        self._inner, self._syncing = inner, syncing
        self.kind = inner.kind
        self._query: str | None = None

    def open(self, query: str) -> Any:
        self._query = self._syncing.compared(query)
        return self._syncing.reader(self._inner.open(self._query))

    def describe(self, query: str, reader: Any) -> dict[str, Any]:
        return self._inner.describe(self._query or query, getattr(reader, "_reader", reader))

    def open_again(self, description: Mapping[str, Any]) -> Any:
        return self._syncing.reader(self._inner.open_again(description))

    def close(self) -> None:
        self._inner.close()


class Syncing:
    """One run of a sync, from the settling of the run before it to the state's update."""

    role = "rows"

    def __init__(self, file: SyncFile, options: Sync, load: dict[str, Any], warehouse: Any):
        self.file, self.options, self.name = file, options, options.name
        self.operation, self.sobject = load["operation"], load["object"]
        self.key = str(options.key or checks.key_field(self.operation, load.get("external_id")))
        self.null_clears = bool(load.get("null_clears"))
        self.full, self.mirror = options.full, options.mirror
        self.load = load  # how the run's loads go: the client, the org, the results
        self.records: Any = LocalRecords(file)
        if options.state_table is not None:
            from kavrel.load.sync.warehouse import WarehouseRecords

            if warehouse is None:
                raise SyncRefused("--state-table keeps the state in Snowflake: the rows must come "
                                  "from a Snowflake profile")  # fmt: skip
            self.records = WarehouseRecords(file, warehouse, options.state_table)
        self.changes: Changes | None = None
        self.load_id: str | None = None

    # -- what the readers ask ---------------------------------------------------------------

    def nulls(self, columns: list[str]) -> list[str | None] | None:
        return checks.null_texts(columns, self.key) if self.null_clears else None

    def source(self, source: Any) -> Any:
        return _SyncSource(source, self)

    def compared(self, query: str) -> str:
        if self.options.state_table is None:
            return query
        return self.records.comparison(query, self)

    def reader(self, raw: Any) -> Any:
        made = ChangedRows if self.options.state_table is None else WarehouseChanges
        reader = made(raw, self.file, self)
        self.changes = reader.changes
        return reader

    # -- the run -------------------------------------------------------------------------------

    def journaled(self) -> dict[str, Any]:
        return {**self.options.as_dict(), "role": self.role}

    def started(self, load_id: str) -> None:
        self.load_id = load_id
        self.file.begin_run(load_id, self.role)

    def finished(self, summary: LoadSummary, plan: Any, stop: Any) -> LoadSummary:
        """Once the load is over: the state takes what its jobs confirmed; a load that finished
        ends the run, after its mirror's deletes."""
        record = plan.journal.state()
        outcome = SyncOutcome(self.name, self._counts())
        summary.sync = outcome
        if not record.finished:
            # Its resume reads the rows through the same comparison, against the same records:
            # what its jobs confirmed goes in when it finishes (or when the next run settles it).
            return summary
        try:
            confirm.fold(record, self, plan.client, stop)
        except Exception as error:  # the next run settles this one, folding in what it missed
            outcome.error = (
                f"the state of sync {self.name} could not take what the org confirmed ({error}); "
                "the next run of the sync takes it"
            )
            return summary
        totals = summary.totals()
        if totals["failed"] or totals["not_processed"]:
            outcome.notes.append(
                f"The next run of sync {self.name} sends the "
                f"{totals['failed'] + totals['not_processed']:,} records that failed or were not "
                "processed again."
            )
        if self.mirror and outcome.changes.get("to_delete") is not None:
            self._mirror(outcome, plan, stop)
        outcome.synced = self.records.count()
        self.file.set_about(keys=outcome.synced)
        self.file.end_run(record.load_id, outcome.as_dict(), "ok" if summary.ok else "failed")
        self.file.clear_run()
        return summary

    def _counts(self) -> dict[str, Any]:
        if self.changes is not None:
            return self.changes.as_dict()
        earlier = [r for r in self.file.runs() if r["load_id"] == self.load_id and r["counts"]]
        return dict(earlier[0]["counts"]) if earlier else Changes().as_dict()

    def read_ended(self, changes: Changes) -> None:
        if self.load_id is not None:
            self.file.set_counts(self.load_id, changes.as_dict())

    # -- the mirror ----------------------------------------------------------------------------

    def _mirror(self, outcome: SyncOutcome, plan: Any, stop: Any) -> None:
        gone = self.file.deletes()
        if not gone:
            return
        limit = self.options.max_deletes
        if limit is None:
            limit = math.ceil(self.records.count() * DEFAULT_DELETE_SHARE)
        if len(gone) > limit:
            outcome.refused = (
                f"The mirror did not delete the {len(gone):,} records whose keys left the query: "
                f"more than {limit:,} (--max-deletes); if the query is right, run again with "
                f"--max-deletes {len(gone)}"
            )
            return
        outcome.deletes = self._delete([sf_id for _, sf_id in gone], plan, stop)
        outcome.deleted = outcome.changes["to_delete"] - len(self.file.deletes())

    def _delete(self, ids: list[str], plan: Any, stop: Any) -> LoadSummary:
        from kavrel.load.core import load
        from kavrel.load.resume import _write_records
        from kavrel.sflake.sources import CSVSource

        path = journals.loads_dir() / f"mirror-{self.load_id}-{secrets.token_hex(2)}.records.csv"
        _write_records(path, ["Id"], [[sf_id] for sf_id in ids])
        logger.info("🗑️ Sync %s: deleting %s whose keys left the query", self.name,
                    counted(len(ids), "record"))  # fmt: skip
        asked = plan.journal.state().load
        return load(
            CSVSource(path, f"the records sync {self.name} deletes"), "", plan.access_info,
            self.sobject, "hardDelete" if self.options.hard else "delete",
            batch_size=plan.batch_size or None, parallel=plan.parallel, client=plan.client,
            stop=stop, sync=_Mirror(self),
            results_dir=asked.get("results_dir"), save_success=bool(asked.get("save_success")),
            profiles=asked.get("profiles"),
        )  # fmt: skip


class _Mirror:
    """The mirror's delete load of a sync's run: what it deletes leaves the state."""

    role = "mirror"

    def __init__(self, parent: Syncing | None, file: SyncFile | None = None, options=None) -> None:
        self.file = file or parent.file  # type: ignore[union-attr]
        self.options = options or parent.options  # type: ignore[union-attr]
        self.name = self.options.name
        self.records: Any = parent.records if parent is not None else LocalRecords(self.file)
        self.key = "Id"

    def source(self, source: Any) -> Any:
        return source

    def journaled(self) -> dict[str, Any]:
        return {**self.options.as_dict(), "role": self.role}

    def started(self, load_id: str) -> None:
        self.file.begin_run(load_id, self.role)

    def finished(self, summary: LoadSummary, plan: Any, stop: Any) -> LoadSummary:
        record = plan.journal.state()
        confirm.fold(record, self, plan.client, stop)
        self.file.end_run(record.load_id, None, "ok" if summary.ok else "failed")
        return summary


# --- beginning a run, resuming one ------------------------------------------------------------


def options_of(sync: Any) -> Sync:
    if isinstance(sync, Sync):
        return sync
    if isinstance(sync, str):
        return Sync(sync)
    raise TypeError(f"sync must be a sync's name or a kavrel.load.sync.Sync, not {sync!r}")


def check(options: Sync, operation: str, journal: bool = True) -> None:
    """Raises ValueError when `options` do not suit a sync of `operation`."""
    sync_path(options.name)
    if operation not in SYNCED_OPERATIONS:
        raise ValueError(f"a sync upserts, updates or inserts; it cannot {operation}")
    if not journal:
        raise ValueError("a sync's loads keep their journals: a run that stops is settled from it")
    if operation == "insert" and not options.key:
        raise ValueError("an insert sync needs the column that keys its records (key=)")
    if options.key and operation != "insert":
        raise ValueError(f"an {operation} sync matches records on its own key; key= is an insert's")
    if (options.mirror or options.hard or options.max_deletes is not None) and (
        operation != "upsert"
    ):
        raise ValueError("only an upsert sync mirrors its query (mirror=True)")
    if (options.hard or options.max_deletes is not None) and not options.mirror:
        raise ValueError("hard= and max_deletes= go with mirror=True")
    if options.full and operation == "insert":
        raise ValueError(
            "an insert with full= would insert every record again, doubling those inserted "
            f"before; `kavrel sync forget {options.name}` first if that is what you want"
        )
    if options.state_table is not None:
        from kavrel.load.sync.warehouse import checked_table

        options.state_table = checked_table(options.state_table)


def _bound(file: SyncFile, options: Sync, load: Mapping[str, Any], key: str) -> None:
    """A sync stays the sync of one object, operation, key and place of its state."""
    about = file.about()
    wanted = {"object": load["object"], "operation": load["operation"], "key": key,
              "state_table": options.state_table}  # fmt: skip
    if "object" not in about:
        file.set_about(**wanted, created=journals.time.time())
        return
    for what, value in wanted.items():
        if about.get(what) != value:
            was = about.get(what)
            raise SyncRefused(
                f"sync {options.name} is the sync of {about.get('operation')} {about.get('object')}"
                f" on {about.get('key')} (state table: {about.get('state_table') or 'none'}), "
                f"not one whose {what.replace('_', ' ')} is {value or 'none'} (it is {was}); "
                f"give another name, or `kavrel sync forget {options.name}`"
            )


@contextlib.contextmanager
def begin(sync: Any, source: Any, load: dict[str, Any], client: Any, stop: Any):
    """The run of `sync` for the load `load` describes (its operation, object, external ID,
    null_clears, whether it keeps a journal on disk) through `client` (the load's Bulk API client),
    holding the sync's lock
    for as long as it lasts; the run before it, if it stopped, is settled first."""
    if sync is None:
        yield NO_SYNC
        return
    if isinstance(sync, _Mirror):
        yield sync
        return
    options = options_of(sync)
    check(options, load["operation"], bool(load.get("journal", True)))
    fresh = not sync_path(options.name).is_file()
    file = SyncFile(options.name, create=True)
    try:
        with file.locked():
            syncing = Syncing(file, options, load, _warehouse_of(source))
            _bound(file, options, load, syncing.key)
            _settle(syncing, client, stop)
            if fresh and options.state_table is not None:
                syncing.records.clear()  # a new sync (or one forgotten) starts from nothing
            yield syncing
    finally:
        file.close()


def _warehouse_of(source: Any) -> Any:
    session = getattr(source, "session", None)
    return getattr(session, "connection", None) if source.kind == "Snowflake" else None


def _settle(syncing: Syncing, client: Any, stop: Any) -> None:
    """The run before this one, if it did not end: what its jobs (and its mirror's) confirmed
    goes into the state, and it is closed, so that no resume sends its rows again."""
    about = syncing.file.about()
    for role, held in (("rows", syncing), ("mirror", _Mirror(syncing))):
        load_id = about.get("current_load" if role == "rows" else "current_mirror")
        if not load_id:
            continue
        try:
            record = journals.read(load_id)
        except (journals.UnknownLoad, journals.JournalUnreadable) as error:
            logger.warning("⚠️ Sync %s: its earlier load %s cannot be read (%s); its rows are "
                           "compared anew", syncing.name, load_id, error)  # fmt: skip
            continue
        if record.running_elsewhere is not None:
            raise SyncRefused(f"sync {syncing.name} is running: load {load_id}, process "
                              f"{record.running_elsewhere.get('pid')}")  # fmt: skip
        logger.info("🔁 Sync %s: taking in what its earlier load %s confirmed", syncing.name,
                    load_id)  # fmt: skip
        confirm.fold(record, held, client, stop, settle=not record.finished)
        syncing.file.end_run(load_id, None, "settled by the next run")
    syncing.file.clear_run()


@contextlib.contextmanager
def resuming(record: journals.LoadRecord, source: Any) -> Iterator[Any]:
    """The sync of a load being resumed (NO_SYNC for a load that is no sync's), its lock held;
    refused when a later run of the sync settled the load already."""
    asked = record.load.get("sync")
    if not asked:
        yield NO_SYNC
        return
    options = Sync(**{k: v for k, v in asked.items() if k in Sync.__dataclass_fields__})
    try:
        file = SyncFile(options.name)
    except UnknownSync:
        raise SyncRefused(
            f"load {record.load_id} was a run of sync {options.name}, which was forgotten since"
        ) from None
    try:
        with file.locked():
            role = asked.get("role", "rows")
            current = file.about().get("current_load" if role == "rows" else "current_mirror")
            if current != record.load_id:
                raise SyncRefused(
                    f"load {record.load_id} of sync {options.name} was settled by a later run of "
                    "the sync; run the sync again instead"
                )
            if role == "mirror":
                yield _Mirror(None, file, options)
            else:
                from kavrel.sflake.sources import source_for

                warehouse = None if source is None else _warehouse_of(source_for(source))
                syncing = Syncing(file, options, dict(record.load), warehouse)
                syncing.load_id = record.load_id
                yield syncing
    finally:
        file.close()
