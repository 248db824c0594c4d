# Types of the extension module python_can_tolvar_mf4.
import io
import pathlib
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal, Mapping, Optional, Sequence, Union, final

import can
from can.io.generic import MessageReader

if TYPE_CHECKING:
    import numpy
    import pandas  # type: ignore
    import pyarrow  # type: ignore

# A path, or a binary file object (anything else raises ValueError).
_Source = Union[str, pathlib.Path, io.IOBase]

# python-can's filter dicts: "can_id" and "can_mask", and optionally "extended".
_CanFilter = Mapping[str, Union[int, bool]]

@final
class CanMsgExtension(can.Message):
    """A can.Message ordered by timestamp, as read from an MDF 4 recording."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __hash__(self) -> int: ...
    # Only timestamps are compared; anything but a can.Message raises TypeError.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __lt__(self, value: can.Message, /) -> bool: ...
    def __le__(self, value: can.Message, /) -> bool: ...
    def __gt__(self, value: can.Message, /) -> bool: ...
    def __ge__(self, value: can.Message, /) -> bool: ...

@final
class MdfFileIterator:
    """The frames of one data group of an MdfFile."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __iter__(self) -> MdfFileIterator: ...
    def __next__(self) -> CanMsgExtension: ...

@final
class MdfFile(MessageReader):
    def __init__(
        self,
        file: _Source,
        *args: Any,
        passwords: Optional[Mapping[str, str]] = ...,
        can_filters: Optional[Sequence[_CanFilter]] = ...,
        channels: Optional[Iterable[str]] = ...,
        start: Optional[float] = ...,
        stop: Optional[float] = ...,
        **kwargs: Any,
    ) -> None: ...
    def __iter__(self) -> Iterator[CanMsgExtension]: ...
    def close(self, *args: Any) -> Any: ...
    def stop(self) -> None: ...
    def get_metadata(self) -> dict[str, dict[str, Union[str, bool]]]: ...
    # The timestamp of a frame at time 0 of the recording (seconds since 1970).
    @property
    def start_timestamp(self) -> float: ...
    # One entry per column: timestamp, arbitration_id, is_extended_id,
    # is_remote_frame, is_error_frame, is_fd, bitrate_switch,
    # error_state_indicator, is_rx, dlc, channel and data (rows x widest payload).
    def to_numpy(self) -> dict[str, numpy.ndarray]: ...
    # data="arrow": binary Arrow-backed data column; data="bytes": bytes objects.
    def to_pandas(self, *, data: Literal["arrow", "bytes"] = ...) -> pandas.DataFrame: ...
    def to_arrow(self) -> pyarrow.Table: ...
