# Small helpers every test module shares: 32-bit float views, exact comparison, deterministic
# vectors, the panic type check, and a plain SipHash (the reference the encoders are compared against).
from __future__ import annotations

import functools
import struct
from typing import Any

import numpy as np

F32 = np.float32
M64 = (1 << 64) - 1


def f32(x: float) -> float:
    # x rounded to a 32-bit float, widened back exactly.
    return float(F32(x))


def bits(xs: Any) -> list[int]:
    # The 32-bit patterns of a vector, so NaN payloads and -0.0 compare exactly.
    return np.asarray(xs, dtype=np.float32).view(np.uint32).tolist()


def canon(x: Any) -> Any:
    # A value with every float replaced by its 64-bit pattern (exact comparison of nested results).
    if isinstance(x, float):
        return ("f", struct.pack("<d", x))
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, tuple(canon(v) for v in x))
    if isinstance(x, dict):
        return ("d", tuple(sorted((k, canon(v)) for k, v in x.items())))
    return x


def bipolar(n: int, seed: int) -> list[float]:
    # A deterministic bipolar vector (a tiny LCG; no generator state shared with the module).
    out, x = [], (seed * 2654435761 + 12345) & 0xFFFFFFFF
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(1.0 if (x >> 16) & 1 else -1.0)
    return out


def is_panic(exc: BaseException) -> bool:
    t = type(exc)
    return t.__module__ == "pyo3_runtime" and t.__name__ == "PanicException"


def unsendable(cls_name: str) -> str:
    return f"morvelan_hdc::py_api::{cls_name} is unsendable, but sent to another thread"


def _rotl(x: int, b: int) -> int:
    return ((x << b) | (x >> (64 - b))) & M64


def siphash(c: int, d: int, k0: int, k1: int, msg: bytes) -> int:
    # SipHash-c-d; the library uses c=1, d=3 with an all-zero key (`sip13`).
    v0, v1 = k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D
    v2, v3 = k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573

    def rnd(v0: int, v1: int, v2: int, v3: int) -> tuple[int, int, int, int]:
        v0 = (v0 + v1) & M64; v1 = _rotl(v1, 13) ^ v0; v0 = _rotl(v0, 32)  # noqa: E702
        v2 = (v2 + v3) & M64; v3 = _rotl(v3, 16) ^ v2  # noqa: E702
        v0 = (v0 + v3) & M64; v3 = _rotl(v3, 21) ^ v0  # noqa: E702
        v2 = (v2 + v1) & M64; v1 = _rotl(v1, 17) ^ v2; v2 = _rotl(v2, 32)  # noqa: E702
        return v0, v1, v2, v3

    blocks = msg + b"\0" * (7 - len(msg) % 8) + bytes([len(msg) & 0xFF])
    for off in range(0, len(blocks), 8):
        w = int.from_bytes(blocks[off:off + 8], "little")
        v3 ^= w
        for _ in range(c):
            v0, v1, v2, v3 = rnd(v0, v1, v2, v3)
        v0 ^= w
    v2 ^= 0xFF
    for _ in range(d):
        v0, v1, v2, v3 = rnd(v0, v1, v2, v3)
    return v0 ^ v1 ^ v2 ^ v3


@functools.lru_cache(maxsize=1 << 16)
def sip13(data: bytes) -> int:
    return siphash(1, 3, 0, 0, data)
