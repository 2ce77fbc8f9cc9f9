"""For the glibc 2.31 test interpreter only (tools/vehicle.sh): its library lacks
these hashes (built on HACL*, which the tool root does not have). Without this
module hashlib prints an error for each of them on import; with it, a call says
plainly that the hash is not there."""


def _missing(name):
    def refuse(*args, **kwargs):
        raise ValueError(f"{name} is not available in the glibc 2.31 test interpreter")

    return refuse


sha3_224 = _missing("sha3_224")
sha3_256 = _missing("sha3_256")
sha3_384 = _missing("sha3_384")
sha3_512 = _missing("sha3_512")
shake_128 = _missing("shake_128")
shake_256 = _missing("shake_256")
