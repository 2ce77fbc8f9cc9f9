"""SHA-224/256/384/512 in pure Python, for the glibc 2.31 test interpreter only
(tools/vehicle.sh): the interpreter's own module is built from sources that
the tool root does not have, and random and hashlib need one. Slow, exact:
tools/vehicle.sh checks it against the tool root's hashlib when it installs it."""


def _primes(count):
    found, n = [], 2
    while len(found) < count:
        if all(n % p for p in found if p * p <= n):
            found.append(n)
        n += 1
    return found


def _root_bits(value, power, bits):
    """The first `bits` bits of the fractional part of value ** (1 / power)."""
    scaled = value << (power * bits)
    low, high = 0, 1 << (bits + 8)
    while low < high:  # the integer power-th root of scaled
        mid = (low + high + 1) // 2
        if mid**power <= scaled:
            low = mid
        else:
            high = mid - 1
    return low & ((1 << bits) - 1)


class _Sha2:
    def __init__(self, data=b"", *, usedforsecurity=True, string=None):
        self._h = list(self._initial)
        self._buffer = b""
        self._length = 0
        if string is not None:
            data = string
        self.update(data)

    def copy(self):
        other = object.__new__(type(self))
        other._h, other._buffer, other._length = list(self._h), self._buffer, self._length
        return other

    def update(self, data):
        data = bytes(memoryview(data))
        self._length += len(data)
        data = self._buffer + data
        block = self.block_size
        whole = len(data) - len(data) % block
        for start in range(0, whole, block):
            self._compress(data[start : start + block])
        self._buffer = data[whole:]

    def _compress(self, chunk):
        bits, mask = self._bits, self._mask
        r = self._rotations
        size = bits // 8
        w = [int.from_bytes(chunk[i : i + size], "big") for i in range(0, 16 * size, size)]

        def rotr(x, n):
            return ((x >> n) | (x << (bits - n))) & mask

        for i in range(16, len(self._k)):
            s0 = rotr(w[i - 15], r[0]) ^ rotr(w[i - 15], r[1]) ^ (w[i - 15] >> r[2])
            s1 = rotr(w[i - 2], r[3]) ^ rotr(w[i - 2], r[4]) ^ (w[i - 2] >> r[5])
            w.append((w[i - 16] + s0 + w[i - 7] + s1) & mask)
        a, b, c, d, e, f, g, h = self._h
        for k, wi in zip(self._k, w):
            t1 = h + (rotr(e, r[9]) ^ rotr(e, r[10]) ^ rotr(e, r[11])) + ((e & f) ^ (~e & g)) + k + wi
            t2 = (rotr(a, r[6]) ^ rotr(a, r[7]) ^ rotr(a, r[8])) + ((a & b) ^ (a & c) ^ (b & c))
            a, b, c, d, e, f, g, h = (t1 + t2) & mask, a, b, c, (d + t1) & mask, e, f, g
        self._h = [(x + y) & mask for x, y in zip(self._h, (a, b, c, d, e, f, g, h))]

    def digest(self):
        state = self.copy()
        block, size = self.block_size, self._bits // 8
        tail = b"\x80" + b"\0" * ((block - 1 - 2 * size - self._length) % block)
        state.update(tail + (self._length * 8).to_bytes(2 * size, "big"))
        return b"".join(x.to_bytes(size, "big") for x in state._h)[: self.digest_size]

    def hexdigest(self):
        return self.digest().hex()


def _variant(name, bits, digest_size, initial):
    primes = _primes(80 if bits == 64 else 64)
    rotations = (1, 8, 7, 19, 61, 6, 28, 34, 39, 14, 18, 41) if bits == 64 else (7, 18, 3, 17, 19, 10, 2, 13, 22, 6, 11, 25)
    return type(name, (_Sha2,), {
        "name": name, "digest_size": digest_size, "block_size": 16 * bits // 8,
        "_bits": bits, "_mask": (1 << bits) - 1, "_rotations": rotations,
        "_k": [_root_bits(p, 3, bits) for p in primes], "_initial": initial,
    })


_first8 = _primes(16)
sha256 = _variant("sha256", 32, 32, [_root_bits(p, 2, 32) for p in _first8[:8]])
sha224 = _variant("sha224", 32, 28, [_root_bits(p, 2, 64) & 0xFFFFFFFF for p in _first8[8:16]])
sha512 = _variant("sha512", 64, 64, [_root_bits(p, 2, 64) for p in _first8[:8]])
sha384 = _variant("sha384", 64, 48, [_root_bits(p, 2, 64) for p in _first8[8:16]])
