"""Periodic messages kept in the queue itself: queue.schedules.

A schedule is a named state the driver stores (driver.schedule_change): its
definition and `after`, the last slot handled. Firing is a compare-and-set
of that state together with the slot's messages, so however many processes
fire at once, each slot is handled once: the loser of a race re-reads the
state and finds the slot gone. The slots themselves are computed here, from
the definition, with the caller's clock.
"""

from __future__ import annotations

import base64
import json
import logging
import math
import time
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

from . import _checks
from .driver import (
    MAX_SCHEDULE_NAME_BYTES,
    MAX_SCHEDULE_STATE_BYTES,
    Driver,
    SchedulePut,
)

if TYPE_CHECKING:
    from ._face import Body

log = logging.getLogger("tarnwick_queue.schedules")

CATCH_UP_MODES = ("one", "all", "none")
#: With catch_up="all", the most messages one fire gives a schedule: the
#: latest missed slots; older ones are skipped (and logged).
MAX_CATCH_UP = 100
#: A slot counts as missed (skipped with catch_up="none") once it is this
#: many seconds late, or half the time to its next slot if that is shorter.
MISSED_AFTER = 60.0
#: How long a fired slot's key is remembered after its message left, so that
#: a fire retried after an unknown outcome cannot put it again.
SLOT_KEY_MEMORY = 600.0
#: The largest body a schedule keeps (it is stored with the definition).
MAX_SCHEDULE_BODY_BYTES = 64 << 10
#: Headers every fired message carries, beside the schedule's own.
SCHEDULE_HEADER, SLOT_HEADER = "tarnwick-schedule", "tarnwick-slot"

_FORMAT = 1   # of the stored state; a newer one is listed but never fired
_MICRO = 1_000_000
_RACE_RETRIES = 8


@dataclass(frozen=True)
class ScheduleInfo:
    """One schedule as list() shows it. `last_fire` is the slot (epoch
    seconds) of the last message it fired (None: none yet); `next_fire` the
    next slot it will fire (None while paused)."""

    name: str
    body: bytes
    cron: Optional[str]
    every: Optional[float]
    priority: int
    headers: Dict[str, str]
    catch_up: str
    tz: str
    paused: bool
    added_at: float
    last_fire: Optional[float]
    next_fire: Optional[float]


class _Definition:
    """A decoded state: what add() was given, and the slots handled."""

    def __init__(self, fields: Dict[str, Any]) -> None:
        self.fields = fields
        self.cron: Optional[str] = fields.get("cron")
        self.every_us: Optional[int] = fields.get("every_us")
        self.tz: str = fields["tz"]
        self.after_us: int = fields["after_us"]       # slots up to here are handled
        self.last_us: Optional[int] = fields.get("last_us")  # the last one fired
        self.paused: bool = fields.get("paused", False)
        self._zone: Any = None

    @classmethod
    def decode(cls, state: bytes) -> Optional[_Definition]:
        """None for a state this release cannot read (a newer one's)."""
        try:
            fields = json.loads(state.decode("utf-8"))
            if not isinstance(fields, dict) or fields.get("v") != _FORMAT:
                return None
            return cls(fields)
        except (ValueError, KeyError, TypeError):
            return None

    def encode(self, **changes: Any) -> bytes:
        fields = {**self.fields, **changes}
        return json.dumps(fields, sort_keys=True, separators=(",", ":")).encode("utf-8")

    def body(self) -> bytes:
        return base64.b64decode(self.fields["body"])

    def zone(self) -> Any:
        if self._zone is None:
            self._zone = _zone(self.tz)
        return self._zone

    # --- slots, in integer microseconds since the epoch (exact to compare) ---

    def next_after(self, t_us: int) -> int:
        """The first slot strictly after `t_us`."""
        if self.every_us is not None:
            return (t_us // self.every_us + 1) * self.every_us
        start = datetime.fromtimestamp(t_us / _MICRO, self.zone())
        it = _croniter(self.cron, start)  # type: ignore[arg-type]
        while True:
            slot = _us(it.get_next(float))
            if slot > t_us and not self._repeated_wall_time(slot):
                return slot

    def latest(self, now_us: int, count: int) -> List[int]:
        """Up to `count` slots in (after, now], the latest last."""
        if self.every_us is not None:
            last = now_us // self.every_us * self.every_us
            first = max(last - (count - 1) * self.every_us,
                        (self.after_us // self.every_us + 1) * self.every_us)
            return list(range(first, last + 1, self.every_us)) if first <= last else []
        # Back from a second past now: croniter's get_prev() is strictly before its start.
        it = _croniter(self.cron, datetime.fromtimestamp(now_us / _MICRO + 1, self.zone()))  # type: ignore[arg-type]
        slots: List[int] = []
        while len(slots) < count:
            slot = _us(it.get_prev(float))
            if slot <= self.after_us:
                break
            if slot <= now_us and not self._repeated_wall_time(slot):
                slots.append(slot)
        return slots[::-1]

    def _repeated_wall_time(self, slot_us: int) -> bool:
        """The second pass of a local time the clocks went back over, for an
        expression with fixed hours: as cron does, "30 2 * * *" runs once on
        that night, while "*/30 * * * *" runs at each real half hour."""
        if self.cron is None or self.cron.split()[1].startswith("*"):
            return False
        return datetime.fromtimestamp(slot_us / _MICRO, self.zone()).fold == 1


class Schedules:
    """The schedules of one queue (queue.schedules), stored in the queue and
    seen by every process that opens it. fire_due() puts the messages of the
    slots that have come due; any number of processes may call it at once,
    and each slot is fired once. `clock` gives the time in epoch seconds."""

    def __init__(self, driver: Driver, *, clock: Callable[[], float] = time.time) -> None:
        self._driver = driver
        self._clock = clock
        self._unfireable: Dict[str, str] = {}  # name: the failure last logged

    # --- changing them ---

    def add(self, name: str, body: Body, *, cron: Optional[str] = None,
            every: Optional[float] = None, priority: int = 0,
            headers: Optional[Dict[str, str]] = None, catch_up: str = "one",
            tz: str = "UTC") -> None:
        """Stores a schedule that puts `body` (with `priority` and `headers`)
        at each slot of `cron` (five fields, read in time zone `tz`) or of
        `every` seconds (at least 1; the slots are the multiples of it since
        the epoch, so every=3600 fires at the top of each hour). The first
        slot is the first after now. After downtime, `catch_up` says what
        the missed slots give: "one" message, one for "all" of them (the
        last MAX_CATCH_UP at most), or "none". ValueError for a name in use,
        and for any option that is not right; nothing is stored then."""
        name = _name(name)
        data = _checks.body(body)
        if len(data) > MAX_SCHEDULE_BODY_BYTES:
            raise ValueError(f"a schedule's body must be at most {MAX_SCHEDULE_BODY_BYTES} bytes, "
                             f"not {len(data)}")
        _checks.body_size(data, self._driver.max_body_size)
        if (cron is None) == (every is None):
            raise ValueError("give a schedule exactly one of cron= and every=")
        fields: Dict[str, Any] = {"v": _FORMAT, "body": base64.b64encode(data).decode("ascii"),
                                  "priority": _checks.priority(priority),
                                  "headers": _own_headers(headers), "catch_up": _catch_up(catch_up),
                                  "tz": _tz_name(tz), "paused": False}
        if cron is not None:
            fields["cron"] = _cron(cron, fields["tz"])
        else:
            seconds = _checks.positive_seconds(every, "every")
            if seconds < 1.0:
                raise ValueError(f"every must be at least 1 second, not {seconds!r}")
            fields["every_us"] = round(seconds * _MICRO)
        now = self._clock()
        fields["added_at"] = now
        fields["after_us"] = _us(now)
        state = _Definition(fields).encode()
        if len(state) > MAX_SCHEDULE_STATE_BYTES:
            raise ValueError("the schedule's body and headers are too large to store together")
        if self._driver.schedule_change(name, None, state) is None:
            raise ValueError(f"a schedule named {name!r} exists already")

    def remove(self, name: str) -> None:
        """Deletes the schedule; KeyError when there is none of that name."""
        self._change(name, lambda definition: None)

    def pause(self, name: str) -> None:
        """Stops the schedule firing until resume(); its slots meanwhile are
        skipped. KeyError when there is none of that name."""
        self._change(name, lambda definition: definition.encode(paused=True))

    def resume(self, name: str) -> None:
        """Fires the schedule again from its next slot after now (the slots
        it was paused over are skipped). KeyError when there is none."""
        now_us = _us(self._clock())

        def resumed(definition: _Definition) -> Optional[bytes]:
            if not definition.paused:
                return definition.encode()
            return definition.encode(paused=False, after_us=max(definition.after_us, now_us))
        self._change(name, resumed)

    def _change(self, name: str, change: Callable[[_Definition], Optional[bytes]]) -> None:
        name = _name(name)
        for _ in range(_RACE_RETRIES):
            state = self._driver.schedules().get(name)
            if state is None:
                raise KeyError(name)
            definition = _Definition.decode(state)
            if definition is None:
                raise ValueError(f"the schedule {name!r} was stored by a newer release")
            if self._driver.schedule_change(name, state, change(definition)) is not None:
                return
        raise RuntimeError(f"the schedule {name!r} kept changing under this call")

    # --- looking at them ---

    def list(self) -> List[ScheduleInfo]:
        """Every schedule, by name (those a newer release stored are left out)."""
        out = []
        for name, state in sorted(self._driver.schedules().items()):
            definition = _Definition.decode(state)
            if definition is not None:
                out.append(_info(name, definition))
        return out

    def __len__(self) -> int:
        return len(self._driver.schedules())

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name in self._driver.schedules()

    # --- firing ---

    def fire_due(self) -> int:
        """Puts one message for each slot that has come due and was not fired
        yet (as catch_up says for missed ones), in one atomic step per
        schedule; returns how many this call put."""
        return self.fire_and_next()[0]

    def fire_and_next(self) -> Tuple[int, Optional[float]]:
        """fire_due(), and the epoch seconds of the next slot of any schedule
        after it (None: no schedule fires): when a worker should look again."""
        now = self._clock()
        fired, soonest = 0, None
        for name, state in self._driver.schedules().items():
            count, next_us = self._fire(name, state, now)
            fired += count
            if next_us is not None and (soonest is None or next_us < soonest):
                soonest = next_us
        return fired, None if soonest is None else soonest / _MICRO

    def _fire(self, name: str, state: Optional[bytes], now: float
              ) -> Tuple[int, Optional[int]]:
        now_us = _us(now)
        for _ in range(_RACE_RETRIES):
            if state is None:
                return 0, None  # removed meanwhile
            definition = _Definition.decode(state)
            if definition is None:
                log.warning("schedule %r was stored by a newer release: not fired", name)
                return 0, None
            if definition.paused:
                return 0, None
            try:
                plan = self._plan(name, definition, now_us)
            except Exception as exc:
                # Its slots cannot be told here (croniter or the time zone
                # missing on this machine): the other schedules still fire.
                self._report_unfireable(name, exc)
                return 0, None
            self._unfireable.pop(name, None)
            if plan.new is None:
                return 0, plan.next_us
            if self._driver.schedule_change(name, state, plan.new, plan.puts) is not None:
                if plan.skipped:
                    log.info("schedule %r: %d missed slot(s) skipped", name, plan.skipped)
                return len(plan.puts), plan.next_us
            state = self._driver.schedules().get(name)  # another process changed it
        return 0, None

    def _plan(self, name: str, definition: _Definition, now_us: int) -> _Plan:
        """What firing `definition` now would put and store; computed alone,
        so that a failure here changes nothing."""
        slots = self._due(name, definition, now_us)
        if not slots:
            return _Plan(None, [], 0, definition.next_after(max(definition.after_us, now_us)))
        fire = slots if definition.fields["catch_up"] == "all" else slots[-1:]
        if definition.fields["catch_up"] == "none" and _missed(definition, slots[-1], now_us):
            fire = []
        new = definition.encode(after_us=slots[-1],
                                last_us=fire[-1] if fire else definition.last_us)
        return _Plan(new, [_put(name, definition, slot) for slot in fire],
                     len(slots) - len(fire), definition.next_after(max(slots[-1], now_us)))

    def _report_unfireable(self, name: str, exc: Exception) -> None:
        """A WARNING once per schedule and failure, not once per look."""
        said = f"{type(exc).__name__}: {exc}"
        if self._unfireable.get(name) != said:
            self._unfireable[name] = said
            log.warning("schedule %r cannot be fired by this process: %s", name, said)

    @staticmethod
    def _due(name: str, definition: _Definition, now_us: int) -> List[int]:
        """The slots in (after, now] a fire handles: all of them for "all"
        (capped), else the latest (and whether there were more matters not)."""
        if definition.next_after(definition.after_us) > now_us:
            return []
        many = MAX_CATCH_UP if definition.fields["catch_up"] == "all" else 1
        slots = definition.latest(now_us, many)
        if many > 1 and slots and definition.next_after(definition.after_us) < slots[0]:
            log.warning("schedule %r: more than %d slots were missed; the older ones are "
                        "skipped", name, MAX_CATCH_UP)
        return slots


# --- helpers ---

@dataclass
class _Plan:
    new: Optional[bytes]        # the state to store (None: nothing is due)
    puts: List[SchedulePut]     # the messages that change puts
    skipped: int                # missed slots left out
    next_us: Optional[int]      # the next slot after the change


def _put(name: str, definition: _Definition, slot_us: int) -> SchedulePut:
    slot = _slot_text(slot_us)
    headers = dict(definition.fields["headers"] or {})
    headers.update({SCHEDULE_HEADER: name, SLOT_HEADER: slot})
    return SchedulePut(definition.body(), definition.fields["priority"],
                       f"schedule:{name}:{slot}", SLOT_KEY_MEMORY, headers)


def _missed(definition: _Definition, slot_us: int, now_us: int) -> bool:
    gap = definition.next_after(slot_us) - slot_us
    return now_us - slot_us > min(MISSED_AFTER * _MICRO, gap / 2)


def _info(name: str, definition: _Definition) -> ScheduleInfo:
    fields = definition.fields
    every = None if definition.every_us is None else definition.every_us / _MICRO
    last = None if definition.last_us is None else definition.last_us / _MICRO
    upcoming = None
    if not definition.paused:
        upcoming = definition.next_after(definition.after_us) / _MICRO
    return ScheduleInfo(name, definition.body(), definition.cron, every, fields["priority"],
                        dict(fields["headers"] or {}), fields["catch_up"], definition.tz,
                        definition.paused, fields["added_at"], last, upcoming)


def _us(seconds: float) -> int:
    return math.floor(seconds * _MICRO)


def _slot_text(slot_us: int) -> str:
    moment = datetime.fromtimestamp(slot_us // _MICRO, timezone.utc).replace(
        microsecond=slot_us % _MICRO)
    precision = "microseconds" if slot_us % _MICRO else "seconds"
    return moment.isoformat(timespec=precision).replace("+00:00", "Z")


def _name(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"a schedule's name must be a str, not {type(value).__name__}")
    try:
        size = len(value.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError("a schedule's name is not valid Unicode") from None
    if not 0 < size <= MAX_SCHEDULE_NAME_BYTES or "\x00" in value:
        raise ValueError(f"a schedule's name must be 1 to {MAX_SCHEDULE_NAME_BYTES} bytes in "
                         "UTF-8, without NUL")
    return value


def _own_headers(value: Any) -> Optional[Dict[str, str]]:
    headers = _checks.headers(value)
    for reserved in (SCHEDULE_HEADER, SLOT_HEADER):
        if headers and reserved in headers:
            raise ValueError(f"the header {reserved!r} is set by the schedule itself")
    # Room for the two the schedule adds to each message.
    _checks.headers({**(headers or {}), SCHEDULE_HEADER: "x" * MAX_SCHEDULE_NAME_BYTES,
                     SLOT_HEADER: "2000-01-01T00:00:00.000000Z"})
    return headers


def _catch_up(value: Any) -> str:
    if value not in CATCH_UP_MODES:
        raise ValueError(f"catch_up must be one of {', '.join(map(repr, CATCH_UP_MODES))}, "
                         f"not {value!r}")
    return str(value)


def _zone(name: str) -> Any:
    if name == "UTC":
        return timezone.utc
    from zoneinfo import ZoneInfo
    return ZoneInfo(name)


def _tz_name(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"tz must be the name of a time zone, not {type(value).__name__}")
    try:
        _zone(value)
    except Exception:  # zoneinfo's own errors differ between versions
        raise ValueError(f"tz {value!r} is not a known time zone") from None
    return value


def _croniter(expression: str, start: datetime) -> Any:
    try:
        from croniter import croniter
    except ImportError:
        raise ImportError("cron schedules need croniter: pip install 'tarnwick[cron]'") from None
    return croniter(expression, start)


def _cron(value: Any, tz: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"cron must be a str, not {type(value).__name__}")
    expression = " ".join(value.split())
    if len(expression.split()) != 5:
        raise ValueError(f"cron must have five fields (minute hour day month weekday), "
                         f"not {value!r}")
    try:
        _croniter(expression, datetime.now(_zone(tz))).get_next(float)
    except ImportError:
        raise
    except Exception as exc:  # croniter's errors are several classes
        raise ValueError(f"cron {value!r} is not a valid expression: {exc}") from None
    return expression


__all__ = ["CATCH_UP_MODES", "MAX_CATCH_UP", "MISSED_AFTER", "ScheduleInfo", "Schedules"]
