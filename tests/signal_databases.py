"""CAN databases for the signal decoding tests, made with cantools' own
classes or DBC text, covering: little- and big-endian signals at every bit
position and length 1 to 64, signed, float16/32/64, scale and offset
(negative and fractional), CAN FD payloads to 64 bytes, simple and extended
multiplexing (cascaded, several ranges per value), J1939, value tables, and
several databases for several channels. Each maker returns a
cantools.database.can.Database; random_payloads gives frames to decode."""

from __future__ import annotations

import random
from typing import Iterator, List, Sequence, Tuple

import cantools
from cantools.database.can import Database, Message, Signal
from cantools.database.conversion import BaseConversion


def signal(name: str, start: int, length: int, byte_order: str = "little_endian", is_signed: bool = False,
           scale: float = 1, offset: float = 0, is_float: bool = False, choices=None, **extra) -> Signal:
    return Signal(name, start, length, byte_order=byte_order, is_signed=is_signed,
                  conversion=BaseConversion.factory(scale=scale, offset=offset, choices=choices, is_float=is_float),
                  **extra)


def sawtooth(network_bit: int) -> int:
    """The start bit cantools numbers a big-endian signal by, for the signal
    whose most significant bit is `network_bit` (bit 7 of byte 0 being 0)."""
    return 8 * (network_bit // 8) + 7 - network_bit % 8


def every_position(lengths: Sequence[int] = range(1, 65), first_id: int = 0x1000) -> Database:
    """For each length, byte order and signedness, messages of 64 bytes
    (extended identifiers from first_id) that together place a signal of that
    length at every bit position where it fits: message r of a length holds
    the signals at r, r + length, r + 2 * length ... (in network order for
    big-endian signals), so that no two overlap."""
    messages: List[Message] = []
    frame_id = first_id
    for length in lengths:
        for order in ("little_endian", "big_endian"):
            for is_signed in (False, True):
                for r in range(length):
                    signals = []
                    for first in range(r, 512 - length + 1, length):
                        start = first if order == "little_endian" else sawtooth(first)
                        signals.append(signal(f"s{first}", start, length, order, is_signed))
                    if not signals:
                        continue
                    name = f"L{length}_{order[0]}{'s' if is_signed else 'u'}_{r}"
                    # Not checked for overlaps (strict=False): none overlap by
                    # construction, and the check is most of the time taken.
                    messages.append(Message(frame_id, name, 64, signals, is_extended_frame=True, is_fd=True,
                                            strict=False))
                    frame_id += 1
    return Database(messages, strict=False)


def numbers() -> Database:
    """Floats of 16, 32 and 64 bits in both orders, and scale and offset
    negative and fractional, in classic and FD messages."""
    floats = Message(0x101, "Floats", 32, [
        signal("h_le", 0, 16, is_float=True),
        signal("h_be", sawtooth(16), 16, "big_endian", is_float=True),
        signal("f_le", 32, 32, is_float=True),
        signal("f_be", sawtooth(64), 32, "big_endian", is_float=True),
        signal("d_le", 96, 64, is_float=True),
        signal("d_be", sawtooth(160), 64, "big_endian", is_float=True),
        signal("d_scaled", 224, 32, is_float=True, scale=-0.5, offset=2.25),
    ], is_fd=True)
    scaled = Message(0x102, "Scaled", 8, [
        signal("speed", 0, 16, scale=0.01, offset=0),
        signal("temp", 16, 8, is_signed=True, scale=0.5, offset=-40),
        signal("torque", sawtooth(24), 12, "big_endian", is_signed=True, scale=-0.1, offset=3.7),
        signal("ratio", 40, 8, scale=1 / 3, offset=-1e-3),
        signal("count", 48, 16, scale=3, offset=-7),
    ])
    wide = Message(0x103, "Wide", 24, [
        signal("u64_le", 3, 64),  # nine bytes
        signal("s60_be", sawtooth(77), 60, "big_endian", is_signed=True),  # nine bytes
    ], is_fd=True)
    return Database([floats, scaled, wide])


MULTIPLEXED_DBC = """VERSION ""
BS_:
BU_: ECU
BO_ 512 Simple: 8 ECU
 SG_ Mux M : 0|8@1+ (1,0) [0|255] "" ECU
 SG_ Always : 56|8@1+ (1,0) [0|255] "" ECU
 SG_ A m1 : 8|16@1+ (0.5,0) [0|0] "" ECU
 SG_ B m2 : 8|16@1- (1,-10) [0|0] "" ECU
 SG_ C m3 : 31|8@0+ (1,0) [0|0] "" ECU
BO_ 513 Cascaded: 8 ECU
 SG_ Outer M : 0|4@1+ (1,0) [0|15] "" ECU
 SG_ Inner m1M : 8|8@1+ (1,0) [0|255] "" ECU
 SG_ Leaf m5 : 16|16@1+ (1,0) [0|0] "" ECU
 SG_ Other m7 : 16|8@1+ (1,0) [0|0] "" ECU
 SG_ Deep m2M : 32|8@1+ (1,0) [0|255] "" ECU
 SG_ Deepest m4 : 40|8@1+ (1,0) [0|0] "" ECU
SG_MUL_VAL_ 513 Inner Outer 1-1, 3-4;
SG_MUL_VAL_ 513 Leaf Inner 5-6, 10-12;
SG_MUL_VAL_ 513 Other Inner 7-7;
SG_MUL_VAL_ 513 Deep Inner 2-2, 20-21;
SG_MUL_VAL_ 513 Deepest Deep 4-4, 9-9;
"""


def multiplexed() -> Database:
    """Simple multiplexing (Simple) and extended multiplexing three deep with
    several ranges per signal (Cascaded)."""
    return cantools.database.load_string(MULTIPLEXED_DBC, "dbc")


J1939_DBC = """VERSION ""
BS_:
BU_: ECU
BO_ 2364540158 EEC1: 8 ECU
 SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] "rpm" ECU
BO_ 2565537790 Request: 8 ECU
 SG_ RequestedPgn : 0|24@1+ (1,0) [0|16777215] "" ECU
BO_ 2364540159 Plain: 8 ECU
 SG_ Value : 0|8@1+ (1,0) [0|255] "" ECU
BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";
BA_DEF_DEF_ "VFrameFormat" "ExtendedCAN";
BA_ "VFrameFormat" BO_ 2364540158 3;
BA_ "VFrameFormat" BO_ 2565537790 3;
"""


def j1939() -> Database:
    """Two J1939 messages, EEC1 (0x0CF004FE: PGN 0xF004, format 240 and
    above) and Request (0x18EAFFFE: PGN 0xEA00, format below 240, whose PS
    byte is a destination address), beside a plain extended message whose
    identifier differs from EEC1's in the source address alone (0x0CF004FF:
    frames of that identifier are its, the others of PGN 0xF004 EEC1's)."""
    return cantools.database.load_string(J1939_DBC, "dbc")


VALUE_TABLE_DBC = """VERSION ""
BS_:
BU_: ECU
BO_ 768 Gear: 8 ECU
 SG_ Position : 0|4@1+ (1,0) [0|15] "" ECU
 SG_ Signed : 8|8@1- (1,0) [-128|127] "" ECU
 SG_ Scaled : 16|8@1+ (2,100) [0|0] "" ECU
 SG_ Plain : 24|8@1+ (1,0) [0|255] "" ECU
VAL_ 768 Position 0 "Park" 1 "Reverse" 2 "Neutral" 3 "Drive" 15 "Invalid";
VAL_ 768 Signed -1 "Minus" 0 "Zero" 1 "Plus";
VAL_ 768 Scaled 3 "Three";
"""


def value_tables() -> Database:
    return cantools.database.load_string(VALUE_TABLE_DBC, "dbc")


# The database of the README's examples: two messages of the project's
# sample recording (CAN 3: 0x200 of 8 bytes, 0x206 of 64).
VEHICLE_DBC = """VERSION ""
BS_:
BU_: ECU
BO_ 512 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" ECU
 SG_ Temperature : 16|8@1- (1,-40) [-168|87] "degC" ECU
 SG_ Gear : 24|4@1+ (1,0) [0|15] "" ECU
BO_ 518 Battery: 64 ECU
 SG_ Current : 0|16@1- (0.1,0) [-3276.8|3276.7] "A" ECU
 SG_ Voltage : 16|16@1+ (0.01,0) [0|655.35] "V" ECU
VAL_ 512 Gear 0 "Park" 1 "Reverse" 2 "Neutral" 3 "Drive";
"""


def per_channel() -> Tuple[Database, Database]:
    """Two databases for two buses that share a message name and identifier
    with different signals."""
    one = Database([Message(0x200, "Status", 8, [signal("a", 0, 8), signal("b", 8, 8)]),
                    Message(0x201, "OnlyOne", 8, [signal("x", 0, 16)])])
    two = Database([Message(0x200, "Status", 8, [signal("c", 0, 16, is_signed=True)]),
                    Message(0x202, "OnlyTwo", 8, [signal("y", 7, 16, "big_endian")])])
    return one, two


def set_raw(data: bytearray, signal: Signal, raw: int) -> None:
    """Writes the raw value's bits into data, bit by bit in the signal's
    numbering (the inverse of signal_reference.raw_bits)."""
    bits = raw & ((1 << signal.length) - 1)
    positions = []
    at = signal.start
    for _ in range(signal.length):
        positions.append(at)
        if signal.byte_order == "little_endian":
            at += 1
        else:
            at = at + 15 if at % 8 == 0 else at - 1
    if signal.byte_order == "big_endian":
        positions.reverse()  # least significant bit first, as for little-endian
    for k, i in enumerate(positions):
        data[i // 8] = (data[i // 8] & ~(1 << (i % 8))) | (((bits >> k) & 1) << (i % 8))


def selecting_payloads(message: Message, count: int, seed: int = 1, unknown: float = 0.1) -> Iterator[bytes]:
    """Random payloads whose multiplexers mostly hold values that select
    signals (a fraction `unknown` of them a value that selects none)."""
    rng = random.Random(seed)
    selectors = {}
    for s in message.signals:
        if s.multiplexer_signal is not None:
            selectors.setdefault(s.multiplexer_signal, set()).update(s.multiplexer_ids or ())
    for data in random_payloads(message, count, seed):
        data = bytearray(data)
        for s in message.signals:
            known = sorted(selectors.get(s.name, ()))
            if not known:
                continue
            value = rng.choice(known)
            if rng.random() < unknown:
                value = max(known) + 1
            set_raw(data, s, value)
        yield bytes(data)


def random_payloads(message: Message, count: int, seed: int = 1,
                    lengths: Sequence[int] = ()) -> Iterator[bytes]:
    """Random payloads of the message's length, or of the lengths given
    (shorter or longer frames) in turn."""
    rng = random.Random(seed)
    for i in range(count):
        n = lengths[i % len(lengths)] if lengths else message.length
        yield bytes(rng.getrandbits(8) for _ in range(n))
