"""BLAKE2b and BLAKE2s in pure Python (RFC 7693), for the glibc 2.31 test interpreter only
(tools/vehicle.sh), like _sha2.py: brimlet_tools hashes a recording's head with
it. Slow, exact: checked against the tool root's hashlib when installed."""

_IV = (0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B, 0xA54FF53A5F1D36F1,
       0x510E527FADE682D1, 0x9B05688C2B3E6C1F, 0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179)
_SIGMA = ((0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), (14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3),
          (11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4), (7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8),
          (9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13), (2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9),
          (12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11), (13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10),
          (6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5), (10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0))


class blake2b:
    name, block_size, _bits, _rounds, _rot = "blake2b", 128, 64, 12, (32, 24, 16, 63)
    _iv = _IV

    def __init__(self, data=b"", *, digest_size=64, key=b"", usedforsecurity=True, string=None):
        self.digest_size = digest_size
        self._h = list(self._iv)
        self._h[0] ^= 0x01010000 ^ (len(key) << 8) ^ digest_size
        self._buffer, self._length = b"", 0
        if key:
            self.update(bytes(key).ljust(self.block_size, b"\0"))
        self.update(string if string is not None else data)

    def copy(self):
        other = object.__new__(type(self))
        other.digest_size, other._h, other._buffer, other._length = self.digest_size, list(self._h), self._buffer, self._length
        return other

    def update(self, data):
        self._buffer += bytes(memoryview(data))
        size = self.block_size
        while len(self._buffer) > size:  # the last block waits: it is compressed as the final one
            self._length += size
            self._compress(self._buffer[:size], False)
            self._buffer = self._buffer[size:]

    def _compress(self, block, last):
        bits, (r1, r2, r3, r4) = self._bits, self._rot
        mask, word = (1 << bits) - 1, bits // 8

        def rotr(x, n):
            return ((x >> n) | (x << (bits - n))) & mask

        m = [int.from_bytes(block[i : i + word], "little") for i in range(0, self.block_size, word)]
        v = self._h + list(self._iv)
        v[12] ^= self._length & mask
        v[13] ^= self._length >> bits
        if last:
            v[14] ^= mask
        for s in (_SIGMA * 2)[: self._rounds]:
            for i, (a, b, c, d) in enumerate(((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                                              (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14))):
                v[a] = (v[a] + v[b] + m[s[2 * i]]) & mask
                v[d] = rotr(v[d] ^ v[a], r1)
                v[c] = (v[c] + v[d]) & mask
                v[b] = rotr(v[b] ^ v[c], r2)
                v[a] = (v[a] + v[b] + m[s[2 * i + 1]]) & mask
                v[d] = rotr(v[d] ^ v[a], r3)
                v[c] = (v[c] + v[d]) & mask
                v[b] = rotr(v[b] ^ v[c], r4)
        self._h = [h ^ v[i] ^ v[i + 8] for i, h in enumerate(self._h)]

    def digest(self):
        state = self.copy()
        state._length += len(state._buffer)
        state._compress(state._buffer.ljust(self.block_size, b"\0"), True)
        return b"".join(h.to_bytes(self._bits // 8, "little") for h in state._h)[: self.digest_size]

    def hexdigest(self):
        return self.digest().hex()


class blake2s(blake2b):
    name, block_size, _bits, _rounds, _rot = "blake2s", 64, 32, 10, (16, 12, 8, 7)
    _iv = tuple(h >> 32 for h in _IV)

    def __init__(self, data=b"", *, digest_size=32, key=b"", usedforsecurity=True, string=None):
        super().__init__(data, digest_size=digest_size, key=key, string=string)
