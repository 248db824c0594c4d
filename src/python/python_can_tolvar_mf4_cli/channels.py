"""The channel names messages carry ("CAN 1", "LIN 2"), read in one place:
which bus a name stands for, and so which kind of frame a message is."""

from __future__ import annotations

import functools
import re
from typing import TYPE_CHECKING, FrozenSet, Optional, Tuple

if TYPE_CHECKING:
    import can

# Kinds of frame, as a format carries them or not.
CAN, CAN_FD, REMOTE, ERROR, LIN = "CAN", "CAN FD", "remote", "error", "LIN"
CAN_KINDS: FrozenSet[str] = frozenset({CAN, CAN_FD, REMOTE, ERROR})
EVERY_KIND: FrozenSet[str] = CAN_KINDS | {LIN}

_CHANNEL = re.compile(r"(CAN|LIN) ([0-9]+)")


def bus_of(channel: object) -> Optional[Tuple[str, int]]:
    """("CAN", 1) for "CAN 1", ("LIN", 2) for "LIN 2": the bus a channel
    name stands for; None for anything else."""
    return _parse(channel) if isinstance(channel, str) else None


# The reader gives one name object per bus (at most 512), so a conversion
# parses each name once, not once per frame.
@functools.lru_cache(maxsize=1024)
def _parse(channel: str) -> Optional[Tuple[str, int]]:
    match = _CHANNEL.fullmatch(channel)
    return (match.group(1), int(match.group(2))) if match else None


def kind_of(message: can.Message) -> str:
    """The kind of frame a message is: LIN for a LIN bus's, otherwise by
    its flags."""
    bus = bus_of(message.channel)
    if bus is not None and bus[0] == LIN:
        return LIN
    if message.is_error_frame:
        return ERROR
    if message.is_remote_frame:
        return REMOTE
    return CAN_FD if message.is_fd else CAN
