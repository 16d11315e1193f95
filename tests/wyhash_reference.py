"""wyhash (final version 4, default secret) written out in Python, to check the C++ one."""

from pathlib import Path

SECRET = (0x2D358DCCAA6C78A5, 0x8BB84B93962EACC9, 0x4B33A62ED433D4A3, 0x4D5A2DA51DE1AA47)
MASK = (1 << 64) - 1


def _mix(a: int, b: int) -> int:
    r = a * b
    return (r & MASK) ^ (r >> 64)


def _mum(a: int, b: int) -> tuple[int, int]:
    r = a * b
    return r & MASK, r >> 64


def _r(data: bytes, at: int, n: int) -> int:
    return int.from_bytes(data[at:at + n], "little")


def wyhash(data: bytes, seed: int = 0) -> int:
    n = len(data)
    seed ^= _mix(seed ^ SECRET[0], SECRET[1])
    if n <= 16:
        if n >= 4:
            a = (_r(data, 0, 4) << 32) | _r(data, (n >> 3) << 2, 4)
            b = (_r(data, n - 4, 4) << 32) | _r(data, n - 4 - ((n >> 3) << 2), 4)
        elif n > 0:
            a, b = (data[0] << 16) | (data[n >> 1] << 8) | data[n - 1], 0
        else:
            a = b = 0
    else:
        p, i = 0, n
        if i > 48:
            see1 = see2 = seed
            while True:
                seed = _mix(_r(data, p, 8) ^ SECRET[1], _r(data, p + 8, 8) ^ seed)
                see1 = _mix(_r(data, p + 16, 8) ^ SECRET[2], _r(data, p + 24, 8) ^ see1)
                see2 = _mix(_r(data, p + 32, 8) ^ SECRET[3], _r(data, p + 40, 8) ^ see2)
                p, i = p + 48, i - 48
                if i <= 48:
                    break
            seed ^= see1 ^ see2
        while i > 16:
            seed = _mix(_r(data, p, 8) ^ SECRET[1], _r(data, p + 8, 8) ^ seed)
            p, i = p + 16, i - 16
        a, b = _r(data, p + i - 16, 8), _r(data, p + i - 8, 8)
    a, b = _mum(a ^ SECRET[1], b ^ seed)
    return _mix(a ^ SECRET[0] ^ n, b ^ SECRET[1])


def vectors(path: Path):
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            digest, seed, message = line.split("\t", 2)
            yield int(digest, 16), int(seed), message[1:-1].encode()
