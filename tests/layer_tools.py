"""Builders of container layers for tests: the layer header, an LZSS encoder
with real back-references, the CRC-32 footer, and encrypted layers made with
the `cryptography` package's AES-GCM and hashlib's PBKDF2.

Everything here writes bytes only; nothing depends on the module under test.
"""

from __future__ import annotations

import hashlib
import os
import zlib
from typing import Optional

MAGIC = b"Generic File"
LAYER_COMPRESSED = 34
LAYER_ENCRYPTED = 17
PREFIX_SIZE = 52


def layer_header(layer_type: int, key_id: int = 0, flag: int = 0, footer: int = 0,
                 version: int = 1, magic: bytes = MAGIC) -> bytes:
    """The 20-byte header: magic, flag byte, footer flag, type, version, key id."""
    return magic + bytes([flag, footer, layer_type, version]) + key_id.to_bytes(4, "big")


def crc32_layer(data: bytes) -> int:
    """CRC-32 as compressed layers store it: the common CRC-32 without its
    final inversion."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


class BitWriter:
    """Writes numbers most significant bit first; the last byte is padded
    with zero bits."""

    def __init__(self) -> None:
        self._out = bytearray()
        self._acc = 0
        self._bits = 0

    def write(self, value: int, count: int) -> None:
        if value >> count:
            raise ValueError(f"{value} does not fit in {count} bits")
        self._acc = (self._acc << count) | value
        self._bits += count
        while self._bits >= 8:
            self._bits -= 8
            self._out.append((self._acc >> self._bits) & 0xFF)
        self._acc &= (1 << self._bits) - 1

    def literal(self, byte: int) -> None:
        self.write(1, 1)
        self.write(byte, 8)

    def reference(self, distance: int, length: int, window_bits: int, lookahead_bits: int) -> None:
        self.write(0, 1)
        self.write(distance - 1, window_bits)
        self.write(length - 1, lookahead_bits)

    def getvalue(self) -> bytes:
        if self._bits:
            return bytes(self._out) + bytes([(self._acc << (8 - self._bits)) & 0xFF])
        return bytes(self._out)


def check_parameters(window_bits: int, lookahead_bits: int) -> None:
    if not 4 <= window_bits <= 15:
        raise ValueError("window_bits must be 4..15")
    if not 3 <= lookahead_bits < window_bits:
        raise ValueError("lookahead_bits must be 3..window_bits-1")


def lzss_encode(data: bytes, window_bits: int = 12, lookahead_bits: int = 4, chain: int = 32) -> bytes:
    """Greedy LZSS with hash chains over 3-byte prefixes. Back-references reach
    up to 2**window_bits bytes back, are up to 2**lookahead_bits long, and may
    overlap the bytes they produce."""
    check_parameters(window_bits, lookahead_bits)
    window = 1 << window_bits
    max_length = 1 << lookahead_bits
    reference_bits = 1 + window_bits + lookahead_bits
    # A reference pays when it is shorter than the literals it replaces.
    min_length = reference_bits // 9 + 1
    out = BitWriter()
    heads: dict = {}
    n = len(data)
    pos = 0

    def remember(at: int) -> None:
        if at + 3 <= n:
            heads.setdefault(data[at:at + 3], []).append(at)

    while pos < n:
        best_length, best_distance = 0, 0
        limit = min(max_length, n - pos)
        if limit >= 3:
            candidates = heads.get(data[pos:pos + 3], [])
            for cand in reversed(candidates[-chain:]):
                distance = pos - cand
                if distance > window:
                    break
                length = 0
                while length < limit and data[cand + length] == data[pos + length]:
                    length += 1
                if length > best_length:
                    best_length, best_distance = length, distance
                    if length == limit:
                        break
        if best_length >= max(min_length, 1) and best_length >= 3:
            out.reference(best_distance, best_length, window_bits, lookahead_bits)
            for at in range(pos, pos + best_length):
                remember(at)
            pos += best_length
        else:
            out.literal(data[pos])
            remember(pos)
            pos += 1
    return out.getvalue()


def lzss_decode(payload: bytes, window_bits: int, lookahead_bits: int) -> bytes:
    """Reference decoder of the bitstream (for checking the encoder itself)."""
    check_parameters(window_bits, lookahead_bits)
    size = 1 << window_bits
    ring = bytearray(size)
    out = bytearray()
    bits = int.from_bytes(payload, "big") if payload else 0
    total = len(payload) * 8
    at = 0

    def take(count: int) -> Optional[int]:
        nonlocal at
        if at + count > total:
            return None
        value = (bits >> (total - at - count)) & ((1 << count) - 1)
        at += count
        return value

    produced = 0
    while True:
        tag = take(1)
        if tag is None:
            break
        if tag:
            byte = take(8)
            if byte is None:
                break
            ring[produced % size] = byte
            out.append(byte)
            produced += 1
            continue
        index = take(window_bits)
        count = None if index is None else take(lookahead_bits)
        if count is None:
            break
        for _ in range(count + 1):
            byte = ring[(produced - index - 1) % size]
            ring[produced % size] = byte
            out.append(byte)
            produced += 1
    return bytes(out)


def compressed_layer(content: bytes = b"", window_bits: int = 12, lookahead_bits: int = 4,
                     footer: bool = True, payload: Optional[bytes] = None,
                     window_word: Optional[int] = None, lookahead_word: Optional[int] = None,
                     crc: Optional[int] = None, flag: Optional[int] = None, key_id: int = 0,
                     version: int = 1, layer_type: int = LAYER_COMPRESSED) -> bytes:
    """A compressed layer of `content` (or of a ready `payload` bitstream).
    The parameter words, flag byte and footer value can be overridden to
    build damaged layers."""
    if payload is None:
        payload = lzss_encode(content, window_bits, lookahead_bits)
    if window_word is None:
        window_word = 1 << window_bits
    if lookahead_word is None:
        lookahead_word = lookahead_bits
    footer_flag = 1 if footer else 0
    header = layer_header(layer_type, key_id, flag=footer_flag if flag is None else flag,
                          footer=footer_flag, version=version)
    body = header + lookahead_word.to_bytes(4, "big") + window_word.to_bytes(4, "big") + payload
    if footer:
        body += (crc32_layer(payload) if crc is None else crc).to_bytes(4, "big")
    return body


def derive_key(password: bytes, salt: bytes, iterations: int) -> bytes:
    return hashlib.pbkdf2_hmac("sha256", password, salt, iterations, 32)


def encrypted_layer(plaintext: bytes, password: str | bytes, key_id: int = 0, iterations: int = 1000,
                    salt: Optional[bytes] = None, iv: Optional[bytes] = None, flag: int = 0,
                    footer: int = 0, version: int = 1, layer_type: int = LAYER_ENCRYPTED) -> bytes:
    """An encrypted layer: prefix (header, IV, iteration count, salt), then
    AES-256-GCM ciphertext and tag, the prefix authenticated as additional data."""
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    if isinstance(password, str):
        password = password.encode("ascii")
    salt = os.urandom(16) if salt is None else salt
    iv = os.urandom(12) if iv is None else iv
    assert len(salt) == 16 and len(iv) == 12
    prefix = (layer_header(layer_type, key_id, flag=flag, footer=footer, version=version)
              + iv + iterations.to_bytes(4, "big") + salt)
    assert len(prefix) == PREFIX_SIZE
    key = derive_key(password, salt, iterations)
    return prefix + AESGCM(key).encrypt(iv, plaintext, prefix)


def lzss_bomb(decoded_size: int, window_bits: int = 15, lookahead_bits: int = 14) -> bytes:
    """A bitstream of one zero literal and then back-references of distance 1
    and the greatest length: the densest expansion the format allows
    (2**lookahead_bits bytes per 1 + window_bits + lookahead_bits bits)."""
    check_parameters(window_bits, lookahead_bits)
    longest = 1 << lookahead_bits
    out = BitWriter()
    out.literal(0)
    left = decoded_size - 1
    while left > 0:
        length = min(longest, left)
        out.reference(1, length, window_bits, lookahead_bits)
        left -= length
    return out.getvalue()


def log_like(size: int, seed: int = 1) -> bytes:
    """Text resembling a bus log: timestamps, identifiers and payload bytes
    with plenty of short-range repetition."""
    import random

    rng = random.Random(seed)
    ids = [rng.randrange(0x7FF) for _ in range(24)]
    lines = []
    t = 0.0
    total = 0
    while total < size:
        t += rng.random() * 0.01
        ident = rng.choice(ids)
        data = " ".join(f"{rng.randrange(4) * 17:02X}" for _ in range(8))
        line = f"{t:12.6f} 1 {ident:03X} Rx d 8 {data} Length = 240000 BitCount = 128\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode("ascii")[:size]
