"""Recordings of the frames of a CAN database's messages, and the tables that
decoding them must give: the reference decoder (signal_reference) over the
frames iteration yields, checked frame by frame against cantools' own
decoding, for the tests of the decode methods and of the command line's
--dbc."""

from __future__ import annotations

import random

import make_recordings as mr
import mdf_writer as mw
import signal_databases as sd
import signal_reference as ref
from cantools.database.errors import DecodeError
from mdf_writer import CanFrame, LinFrame

FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


def group_number(identifier):
    pgn = (identifier >> 8) & 0x3FFFF
    return pgn & ~0xFF if (pgn >> 8) & 0xFF < 240 else pgn


class Lookup:
    """The messages of one database as frames find them: by identifier and
    kind (a later message of the same identifier wins), J1939 messages by
    parameter group number where no identifier equals the frame's."""

    def __init__(self, db):
        self.standard, self.extended, self.groups = {}, {}, {}
        for m in db.messages:
            if m.length > 64:
                continue
            if not m.is_extended_frame:
                self.standard[m.frame_id] = m
                continue
            self.extended[m.frame_id] = m
            if m.protocol == "j1939":
                self.groups[group_number(m.frame_id)] = m

    def find(self, msg):
        if not msg.is_extended_id:
            return self.standard.get(msg.arbitration_id)
        found = self.extended.get(msg.arbitration_id)
        return found if found is not None else self.groups.get(group_number(msg.arbitration_id))


def is_can_data(msg):
    return not msg.is_remote_frame and not msg.is_error_frame and msg.channel.startswith("CAN ")


def expected_tables(messages, served, choices=False, chosen=None, positions=False):
    """The tables of the messages (as iteration gives them) decoded by the
    reference decoder, and how many rows cantools decoded too: `served`
    lists (channels or None for every channel, database, key of a message);
    `chosen` the signal columns per key (None: all); with `positions`, each
    table ends with a column "row" of each row's message's place among the
    messages. Every row is checked against cantools' own decoding where
    cantools decodes the frame (it refuses multiplexer values it does not
    know)."""
    lookups = [(channels, db, key_of, Lookup(db)) for channels, db, key_of in served]
    rows = {}
    checked = 0
    for k, msg in enumerate(messages):
        if not is_can_data(msg):
            continue
        for channels, db, key_of, lookup in lookups:
            if channels is not None and msg.channel not in channels:
                continue
            message = lookup.find(msg)
            if message is None:
                break
            data = bytes(msg.data)
            row = ref.decode_row(message, data, choices)
            try:
                theirs = ref.cantools_row(message, data, choices)
            except DecodeError:
                theirs = None
            if theirs is not None:
                checked += 1
                for name, value in row.items():
                    assert ref.same_value(value, theirs[name]), (message.name, name, data.hex(), value, theirs)
            table = rows.setdefault((id(db), message.name, key_of(message)), [])
            table.append((msg, row, k))
            break
    out = {}
    for _, db, key_of, _ in lookups:
        for message in db.messages:
            key = key_of(message)
            entries = rows.get((id(db), message.name, key))
            if not entries or key in out:
                continue
            names = [s.name for s in message.signals]
            if chosen is not None:
                names = [n for n in names if n in chosen.get(key, ())]
                if not names:
                    continue
            columns = {"timestamp": [m.timestamp for m, _, _ in entries],
                       "channel": [m.channel for m, _, _ in entries]}
            if message.protocol == "j1939":
                columns["source_address"] = [m.arbitration_id & 0xFF for m, _, _ in entries]
            for name in names:
                columns[name] = [row[name] for _, row, _ in entries]
            if positions:
                columns["row"] = [k for _, _, k in entries]
            out[key] = columns
    return out, checked


def frame_lengths(message, rng):
    """A frame's length: mostly the message's, sometimes shorter or longer."""
    fd = message.is_fd or message.length > 8
    choices = FD_LENGTHS if fd else range(9)
    pick = rng.random()
    if pick < 0.6:
        return min((n for n in choices if n >= message.length), default=choices[-1])
    return rng.choice(choices)


def frames_of(db, per_message, seed=1, channels=(1, 2), unknown=0.05):
    """Frames of every message (random payloads whose multiplexers mostly
    select, lengths of the message and others, J1939 identifiers of any
    priority, source and destination), beside remote frames, LIN frames and
    frames no message matches, on the channels in turn."""
    rng = random.Random(seed)
    frames = []
    for message in db.messages:
        if message.length > 64:
            continue
        payloads = sd.selecting_payloads(message, per_message, seed=rng.randrange(1 << 30), unknown=unknown)
        for k, payload in enumerate(payloads):
            n = frame_lengths(message, rng)
            data = (payload + bytes(rng.getrandbits(8) for _ in range(64)))[:n]
            identifier = message.frame_id
            if message.protocol == "j1939" and k % 2:
                identifier = (identifier & 0x03FFFF00) | rng.randrange(8) << 26 | rng.randrange(256)
                if (identifier >> 16) & 0xFF < 240:
                    identifier = (identifier & ~0xFF00) | rng.randrange(256) << 8
            fd = message.is_fd or n > 8
            frames.append(CanFrame(0, identifier, data, is_extended_id=message.is_extended_frame, is_fd=fd,
                                   bitrate_switch=fd, channel=channels[k % len(channels)]))
        frames.append(CanFrame(0, message.frame_id, is_remote_frame=True, is_extended_id=message.is_extended_frame,
                               data_length=min(message.length, 8), channel=channels[0]))
    for k in range(max(1, len(frames) // 20)):
        frames.append(CanFrame(0, 0x7FE - k % 3, bytes(8), channel=channels[k % len(channels)]))
        frames.append(LinFrame(0, k % 64, bytes(8), channel=1))
    rng.shuffle(frames)
    return frames


def write_recording(path, frames, groups=2, seed=4):
    """The frames over `groups` data groups (each with classic, FD, remote
    and LIN channel groups), timestamps interleaved, ties included."""
    rng = random.Random(seed)
    w = mw.RecordingWriter(mr.START_NS)
    writers = []
    for _ in range(groups):
        g = w.data_group(record_id_size=1)
        g.can_channel_group(fd=False)
        g.can_channel_group(fd=True)
        g.can_remote_channel_group()
        g.lin_channel_group()
        writers.append(g)
    times = [0.0] * groups
    for k, f in enumerate(frames):
        g = k % groups
        times[g] = round(times[g] + rng.choice((0.0, 0.001, 0.002)), 6)
        f.timestamp = times[g]
        writers[g].add_frame(f)
    w.write(str(path))
    return str(path)


