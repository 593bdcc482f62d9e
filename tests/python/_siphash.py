"""SipHash in plain Python: the reference the encoder tests compare against.

`siphash(c, d, k0, k1, msg)` is the general construction (c compression and d finalisation rounds),
checked against the published SipHash-2-4 vectors in test_review_scheduler.py; the library uses
SipHash-1-3 with an all-zero key, `sip13`.
"""
from __future__ import annotations

import functools

_M64 = (1 << 64) - 1


def _rotl(x: int, b: int) -> int:
    return ((x << b) | (x >> (64 - b))) & _M64


def siphash(c: int, d: int, k0: int, k1: int, msg: bytes) -> int:
    v0, v1 = k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D
    v2, v3 = k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573

    def sipround(v0: int, v1: int, v2: int, v3: int) -> tuple[int, int, int, int]:
        v0 = (v0 + v1) & _M64; v1 = _rotl(v1, 13) ^ v0; v0 = _rotl(v0, 32)  # noqa: E702
        v2 = (v2 + v3) & _M64; v3 = _rotl(v3, 16) ^ v2  # noqa: E702
        v0 = (v0 + v3) & _M64; v3 = _rotl(v3, 21) ^ v0  # noqa: E702
        v2 = (v2 + v1) & _M64; v1 = _rotl(v1, 17) ^ v2; v2 = _rotl(v2, 32)  # noqa: E702
        return v0, v1, v2, v3

    blocks = msg + b"\0" * (7 - len(msg) % 8) + bytes([len(msg) & 0xFF])
    for off in range(0, len(blocks), 8):
        w = int.from_bytes(blocks[off:off + 8], "little")
        v3 ^= w
        for _ in range(c):
            v0, v1, v2, v3 = sipround(v0, v1, v2, v3)
        v0 ^= w
    v2 ^= 0xFF
    for _ in range(d):
        v0, v1, v2, v3 = sipround(v0, v1, v2, v3)
    return v0 ^ v1 ^ v2 ^ v3


@functools.lru_cache(maxsize=1 << 16)
def sip13(data: bytes) -> int:
    return siphash(1, 3, 0, 0, data)
