"""python_can_tolvar_mf4.scan_polars: a recording as a polars LazyFrame.

The frames come from the reader's stream of record batches, one polars
DataFrame per batch. What polars pushes into the scan reaches the reader
before the walk: the projection chooses the columns filled; the parts of the
predicate on arbitration_id, is_extended_id, channel and timestamp that the
reader's own filters can state exactly (==, is_in, comparisons, is_between,
and & of these) become its can_filters, channels, start and stop; a row
limit stops the walk. polars' own predicate is then applied to what the
reader gives, so the result is polars' filter of the whole table (for a
recording whose data groups are each in time order, as the reader's window
takes them)."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Dict, FrozenSet, Iterator, List, Optional, Sequence, Tuple

import polars as pl

import python_can_tolvar_mf4 as _mf4

# The columns as polars reads them from the reader's stream.
SCHEMA: Dict[str, Any] = {
    "timestamp": pl.Float64,
    "arbitration_id": pl.UInt32,
    "is_extended_id": pl.Boolean,
    "is_remote_frame": pl.Boolean,
    "is_error_frame": pl.Boolean,
    "is_fd": pl.Boolean,
    "bitrate_switch": pl.Boolean,
    "error_state_indicator": pl.Boolean,
    "is_rx": pl.Boolean,
    "dlc": pl.UInt8,
    "channel": pl.Categorical,
    "data": pl.Binary,
}

_LARGEST_ID = 0xFFFFFFFF
# More identifier filters than this are not worth a filter list: the
# identifiers are left to polars' own filter.
_MOST_ID_FILTERS = 256


@dataclasses.dataclass
class Selection:
    """What the pushed predicates select: a union of closed identifier
    ranges (None: any), the identifier kind, the channel names and a window
    start <= timestamp < stop. `bounded` says an upper bound on the timestamp
    was pushed: polars orders NaN above every number, so a lower bound alone
    would keep NaN timestamps that the reader's window leaves out."""

    ids: Optional[List[Tuple[int, int]]] = None
    extended: Optional[bool] = None
    channels: Optional[FrozenSet[str]] = None
    start: Optional[float] = None
    stop: Optional[float] = None
    bounded: bool = False
    empty: bool = False

    def both(self, other: Selection) -> Selection:
        """The frames both select."""
        out = Selection(empty=self.empty or other.empty, bounded=self.bounded or other.bounded)
        out.ids = _intersect(self.ids, other.ids)
        if self.extended is not None and other.extended is not None and self.extended != other.extended:
            out.empty = True
        out.extended = self.extended if self.extended is not None else other.extended
        if self.channels is not None and other.channels is not None:
            out.channels = self.channels & other.channels
        else:
            out.channels = self.channels if self.channels is not None else other.channels
        out.start = _pick(max, self.start, other.start)
        out.stop = _pick(min, self.stop, other.stop)
        return out


def _pick(choose: Any, a: Optional[float], b: Optional[float]) -> Optional[float]:
    if a is None:
        return b
    return a if b is None else choose(a, b)


def _intersect(a: Optional[List[Tuple[int, int]]],
               b: Optional[List[Tuple[int, int]]]) -> Optional[List[Tuple[int, int]]]:
    if a is None:
        return b
    if b is None:
        return a
    out = [(max(lo, blo), min(hi, bhi)) for lo, hi in a for blo, bhi in b]
    return _merged([(lo, hi) for lo, hi in out if lo <= hi])


def _merged(ranges: List[Tuple[int, int]]) -> List[Tuple[int, int]]:
    out: List[Tuple[int, int]] = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], hi))
        else:
            out.append((lo, hi))
    return out


def id_filters(ranges: Sequence[Tuple[int, int]]) -> List[Tuple[int, int]]:
    """(can_id, can_mask) pairs that match exactly the identifiers of the
    closed ranges: each range split into aligned blocks of a power of two."""
    out = []
    for lo, hi in ranges:
        while lo <= hi:
            size = lo & -lo if lo else 1 << 32
            while size > hi - lo + 1:
                size >>= 1
            out.append((lo, _LARGEST_ID & ~(size - 1)))
            lo += size
    return out


# -- reading polars' expressions ----------------------------------------------
# An expression is recognised by rebuilding it from its inputs
# (expr.meta.pop(), which lists them last first) with each form known here
# and asking polars whether the two are the same (expr.meta.eq): no parsing
# of polars' printed or serialised forms, which change between releases.

_COMPARISONS = {
    "==": lambda a, b: a == b, "<": lambda a, b: a < b, "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b, ">=": lambda a, b: a >= b,
}
_MIRRORED = {"==": "==", "<": ">", "<=": ">=", ">": "<", ">=": "<="}


def _column(expr: pl.Expr) -> Optional[str]:
    if not expr.meta.is_column():
        return None
    return expr.meta.output_name()


def _literal(expr: pl.Expr) -> Any:
    """The value of a literal expression; raises ValueError for any other."""
    if expr.meta.root_names():
        raise ValueError("not a literal")
    series = pl.select(expr).to_series()
    if len(series) != 1:
        raise ValueError("not one value")
    return series.item()


def _literal_values(expr: pl.Expr) -> List[Any]:
    if expr.meta.root_names():
        raise ValueError("not a literal")
    series = pl.select(expr).to_series()
    if series.dtype == pl.List or isinstance(series.dtype, pl.List):
        series = series.explode()
    return series.to_list()


def read_predicate(expr: pl.Expr) -> Optional[Selection]:
    """The Selection that `expr` states exactly, or None when it states
    nothing the reader can take (polars' filter then does all)."""
    inputs = expr.meta.pop()
    if len(inputs) == 2 and expr.meta.eq(inputs[1] & inputs[0]):
        left, right = read_predicate(inputs[1]), read_predicate(inputs[0])
        if left is None or right is None:
            return left or right
        return left.both(right)
    try:
        return _atom(expr, inputs)
    except (ValueError, TypeError, OverflowError, pl.exceptions.PolarsError):
        return None


def _atom(expr: pl.Expr, inputs: List[pl.Expr]) -> Optional[Selection]:
    name = _column(expr)
    if name == "is_extended_id":
        return Selection(extended=True)
    if len(inputs) == 1 and _column(inputs[0]) == "is_extended_id" and expr.meta.eq(~inputs[0]):
        return Selection(extended=False)
    if len(inputs) == 2:
        for op, make in _COMPARISONS.items():
            if expr.meta.eq(make(inputs[1], inputs[0])):
                if _column(inputs[1]) is not None:
                    return _compare(_column(inputs[1]), op, _literal(inputs[0]))
                if _column(inputs[0]) is not None:
                    return _compare(_column(inputs[0]), _MIRRORED[op], _literal(inputs[1]))
                return None
        column = _column(inputs[1])
        if column is not None and expr.meta.eq(inputs[1].is_in(inputs[0])):
            return _member(column, _literal_values(inputs[0]))
    if len(inputs) == 3 and _column(inputs[2]) is not None:
        for closed in ("both", "left", "right", "none"):
            if expr.meta.eq(inputs[2].is_between(inputs[1], inputs[0], closed=closed)):
                return _between(_column(inputs[2]), _literal(inputs[1]), _literal(inputs[0]), closed)
    return None


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _compare(column: Optional[str], op: str, value: Any) -> Optional[Selection]:
    if column == "arbitration_id" and _is_int(value):
        ranges = {"==": (value, value), "<": (0, value - 1), "<=": (0, value), ">": (value + 1, _LARGEST_ID),
                  ">=": (value, _LARGEST_ID)}[op]
        lo, hi = max(ranges[0], 0), min(ranges[1], _LARGEST_ID)
        return Selection(ids=[(lo, hi)] if lo <= hi else [])
    if column == "is_extended_id" and op == "==" and isinstance(value, bool):
        return Selection(extended=value)
    if column == "channel" and op == "==" and isinstance(value, str):
        return Selection(channels=frozenset([value]))
    if column == "timestamp" and isinstance(value, (int, float)) and not isinstance(value, bool):
        t = float(value)
        if math.isnan(t):
            return None
        after = math.nextafter(t, math.inf)
        if op == "==":
            return Selection(start=t, stop=after, bounded=True)
        if op in ("<", "<="):
            return Selection(stop=t if op == "<" else after, bounded=True)
        return Selection(start=after if op == ">" else t)
    return None


def _member(column: str, values: List[Any]) -> Optional[Selection]:
    if column == "arbitration_id" and all(_is_int(v) for v in values):
        return Selection(ids=_merged([(v, v) for v in values if 0 <= v <= _LARGEST_ID]))
    if column == "channel" and all(isinstance(v, str) for v in values):
        return Selection(channels=frozenset(values))
    return None


def _between(column: Optional[str], lower: Any, upper: Any, closed: str) -> Optional[Selection]:
    low_open, high_open = closed in ("right", "none"), closed in ("left", "none")
    if column == "arbitration_id" and _is_int(lower) and _is_int(upper):
        lo = max(lower + low_open, 0)
        hi = min(upper - high_open, _LARGEST_ID)
        return Selection(ids=[(lo, hi)] if lo <= hi else [])
    if column == "timestamp" and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in (lower, upper)):
        lo, hi = float(lower), float(upper)
        if math.isnan(lo) or math.isnan(hi):
            return None
        return Selection(start=math.nextafter(lo, math.inf) if low_open else lo,
                         stop=hi if high_open else math.nextafter(hi, math.inf), bounded=True)
    return None


def reader_keywords(selection: Selection, keywords: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The reader's keywords with `selection` added to the filters already
    given; None when nothing can pass."""
    out = dict(keywords)
    if selection.empty or selection.ids == []:
        return None
    if "can_filters" not in keywords or keywords["can_filters"] is None:
        filters: List[Dict[str, Any]] = []
        if selection.ids is not None:
            pairs = id_filters(selection.ids)
            if len(pairs) <= _MOST_ID_FILTERS:
                filters = [{"can_id": can_id, "can_mask": mask} for can_id, mask in pairs]
        if not filters and selection.extended is not None:
            filters = [{"can_id": 0, "can_mask": 0}]
        if selection.extended is not None:
            for f in filters:
                f["extended"] = selection.extended
        if filters:
            out["can_filters"] = filters
    if selection.channels is not None:
        given = keywords.get("channels")
        channels = selection.channels if given is None else selection.channels & set(given)
        if not channels:
            return None
        out["channels"] = sorted(channels)
    start = selection.start if selection.bounded else None
    out["start"] = _pick(max, start, keywords.get("start"))
    out["stop"] = _pick(min, selection.stop, keywords.get("stop"))
    if out["start"] is not None and out["stop"] is not None and out["start"] >= out["stop"]:
        return None
    return out


# -- the scan -------------------------------------------------------------------


def _dataframe(capsule: object) -> pl.DataFrame:
    """A DataFrame of a stream capsule of record batches. polars before
    1.5 or so makes a stream of structs one struct column: it is unnested
    (without a copy)."""
    frame = pl.DataFrame(_OneBatch(capsule))
    if frame.width == 1 and isinstance(frame.dtypes[0], pl.Struct):
        frame = frame.unnest(frame.columns[0])
    return frame


class _OneBatch:
    """A stream capsule handed to polars.DataFrame once."""

    __slots__ = ("_capsule",)

    def __init__(self, capsule: object) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        capsule, self._capsule = self._capsule, None
        return capsule


def _batches(reader: Any, columns: Optional[List[str]]) -> Iterator[pl.DataFrame]:
    """The reader's batches as DataFrames, one stream of one batch each: the
    walk runs without the interpreter lock, and every polars release reads
    a whole stream (some early ones read only the first batch of a longer
    one)."""
    # pylint: disable=protected-access
    stream = reader._batch_stream(columns=columns, binary_view=True)
    while True:
        one = reader._take_batch(stream)
        if one is None:
            return
        yield _dataframe(one)


def _frames(source: Any, keywords: Dict[str, Any], columns: Optional[List[str]]) -> Iterator[pl.DataFrame]:
    with _mf4.MdfFile(source, **keywords) as reader:
        yield from _batches(reader, columns)


def frame(reader: Any) -> pl.DataFrame:
    """MdfFile.to_polars(): the reader's stream as one DataFrame, a chunk per
    batch (joined without a copy), the payloads handed over as binary_view
    (polars' own form, taken without converting)."""
    frames = list(_batches(reader, None))
    if not frames:
        return pl.DataFrame(schema=SCHEMA)
    return pl.concat(frames, rechunk=False)


def scan(source: Any, **options: Any) -> pl.LazyFrame:
    """A LazyFrame of the frames of the recording at `source` read with the
    reader's keywords (passwords, any_writer, the filters, batch_rows)."""
    try:
        from polars.io.plugins import register_io_source
    except ImportError:
        raise ImportError(f"scan_polars needs a polars with IO plugins (polars.io.plugins), not polars "
                          f"{pl.__version__}: pip install --upgrade polars") from None
    # Opened once here, so that a recording that does not open fails now.
    _mf4.MdfFile(source, **options).close()

    def frames(with_columns: Optional[List[str]], predicate: Optional[pl.Expr], n_rows: Optional[int],
               batch_size: Optional[int]) -> Iterator[pl.DataFrame]:
        keywords: Optional[Dict[str, Any]] = dict(options)
        # A row limit counts the rows before the predicate: nothing is
        # pushed then.
        if predicate is not None and n_rows is None:
            selection = read_predicate(predicate)
            if selection is not None:
                keywords = reader_keywords(selection, options)
        if keywords is None:
            return
        if "batch_rows" not in keywords and batch_size:
            keywords["batch_rows"] = batch_size
        if n_rows is not None:
            keywords["batch_rows"] = max(1, min(keywords.get("batch_rows", 65536), n_rows))
        needed = None
        if with_columns is not None:
            wanted = set(with_columns) | set(predicate.meta.root_names() if predicate is not None else ())
            needed = [c for c in SCHEMA if c in wanted] or ["timestamp"]
        left = n_rows
        for frame in _frames(source, keywords, needed):
            if left is not None:
                if left <= 0:
                    return
                frame = frame.head(left)
                left -= frame.height
            if predicate is not None:
                frame = frame.filter(predicate)
            if with_columns is not None:
                frame = frame.select(with_columns)
            yield frame

    return register_io_source(frames, schema=SCHEMA)

