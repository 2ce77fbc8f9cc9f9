"""For the glibc 2.31 test interpreter only (tools/vehicle.sh): its library lacks
the hash modules built on HACL* (the tool root does not have that library).
This file is installed under the name of each of them, _md5, _sha1 and _sha3,
and defines the constructors that module has. Without it hashlib prints an
error for each of them on import; with it, a call says plainly that the hash is
not there."""

_CONSTRUCTORS = {
    "_md5": ("md5",),
    "_sha1": ("sha1",),
    "_sha3": ("sha3_224", "sha3_256", "sha3_384", "sha3_512", "shake_128", "shake_256"),
}


def _missing(name):
    def refuse(*args, **kwargs):
        raise ValueError(f"{name} is not available in the glibc 2.31 test interpreter")

    return refuse


globals().update({name: _missing(name) for name in _CONSTRUCTORS[__name__]})
