"""For the glibc 2.31 test interpreter only (tools/vehicle.sh): its library lacks
these hashes (built on HACL*, which the tool root does not have). Without this
module hashlib prints an error for each of them on import; with it, a call says
plainly that the hash is not there."""


def _missing(name):
    def refuse(*args, **kwargs):
        raise ValueError(f"{name} is not available in the glibc 2.31 test interpreter")

    return refuse


md5 = _missing("md5")
