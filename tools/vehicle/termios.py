"""The terminal calls the tests and tty make, through the kernel's own ioctls,
for the glibc 2.31 test interpreter only (tools/vehicle.sh): the tool root's
termios extension calls cfgetospeed and its kind at glibc 2.42 and so cannot be
loaded there. Linux values, the same on x86-64 and arm64. The module under
test never uses this: its native code makes its own calls into the C library."""

import fcntl
import struct

error = OSError

NCCS = 32
VINTR, VQUIT, VERASE, VKILL, VEOF, VTIME, VMIN, VSWTC = range(8)
VSTART, VSTOP, VSUSP, VEOL, VREPRINT, VDISCARD, VWERASE, VLNEXT, VEOL2 = range(8, 17)

IGNBRK, BRKINT, IGNPAR, PARMRK, INPCK, ISTRIP, INLCR, IGNCR, ICRNL = (1 << n for n in range(9))
IUCLC, IXON, IXANY, IXOFF, IMAXBEL, IUTF8 = (1 << n for n in range(9, 15))
OPOST, OLCUC, ONLCR, OCRNL, ONOCR, ONLRET = (1 << n for n in range(6))
CSIZE, CS5, CS6, CS7, CS8 = 0o60, 0, 0o20, 0o40, 0o60
CSTOPB, CREAD, PARENB, PARODD, HUPCL, CLOCAL = (0o100 << n for n in range(6))
CBAUD, CBAUDEX, CIBAUD, CRTSCTS = 0o10017, 0o10000, 0o2003600000, 0o20000000000
ISIG, ICANON, XCASE, ECHO, ECHOE, ECHOK, ECHONL, NOFLSH, TOSTOP = (1 << n for n in range(9))
ECHOCTL, ECHOPRT, ECHOKE, FLUSHO, _, PENDIN, IEXTEN = (1 << n for n in range(9, 16))

TCSANOW, TCSADRAIN, TCSAFLUSH = 0, 1, 2
TCIFLUSH, TCOFLUSH, TCIOFLUSH = 0, 1, 2
TCGETS, TCSETS, TCSBRK, TCFLSH = 0x5401, 0x5402, 0x5409, 0x540B
TIOCEXCL, TIOCNXCL, TIOCOUTQ, TIOCGWINSZ, TIOCSWINSZ, FIONREAD = 0x540C, 0x540D, 0x5411, 0x5413, 0x5414, 0x541B
TIOCINQ = FIONREAD

_RATES = (0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400)
_FAST = (57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000)
globals().update({f"B{rate}": code for code, rate in enumerate(_RATES)})
globals().update({f"B{rate}": CBAUDEX | code for code, rate in enumerate(_FAST, start=1)})

_KERNEL = struct.Struct("4IB19s")  # the kernel's struct termios, as TCGETS/TCSETS take it


def _fd(fd):
    return fd if isinstance(fd, int) else fd.fileno()


def tcgetattr(fd):
    iflag, oflag, cflag, lflag, _line, cc = _KERNEL.unpack(fcntl.ioctl(_fd(fd), TCGETS, bytes(_KERNEL.size)))
    chars = [bytes([c]) for c in cc] + [b"\0"] * (NCCS - len(cc))
    if not lflag & ICANON:
        chars[VMIN], chars[VTIME] = cc[VMIN], cc[VTIME]
    return [iflag, oflag, cflag, lflag, cflag & CBAUD, cflag & CBAUD, chars]


def tcsetattr(fd, when, attributes):
    iflag, oflag, cflag, lflag, _ispeed, ospeed, chars = attributes
    cc = bytes(c if isinstance(c, int) else c[0] for c in chars[:19])
    cflag = (cflag & ~CBAUD) | (ospeed & CBAUD)
    fcntl.ioctl(_fd(fd), TCSETS + when, _KERNEL.pack(iflag, oflag, cflag, lflag, 0, cc))


def tcflush(fd, queue):
    fcntl.ioctl(_fd(fd), TCFLSH, queue)


def tcdrain(fd):
    fcntl.ioctl(_fd(fd), TCSBRK, 1)
