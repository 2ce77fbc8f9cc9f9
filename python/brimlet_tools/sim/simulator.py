"""A simulated device: the one deterministic source of device streams.

`simulate(config)` yields the frames that a device moving along a motion
profile would send, raw frames and estimated frames interleaved in time order,
each with the exact single-precision values it carries and the bytes it put on
the line after any line faults. Everything random comes from `random.Random`
generators seeded from `config.seed`, so the same configuration always gives
the same bytes: the bundled sample recording, the virtual device and the tests
all come from here.

Frames follow the device's conventions: a body frame with z pointing down,
so a device at rest reads about -9.81 m/s^2 on accelerometer z; angular rates
in rad/s; pressure in hPa; pressure altitude in metres; orientation as a
quaternion with the scalar part first.

Motion profiles:

* ``still``: the device sits at rest.
* ``turn-and-climb``: a 10 s cycle, repeated for as long as the stream lasts:
  2 s at rest, then 6 s in which the device turns one full turn about z and
  climbs 10 m (rates ramp up and down over 1 s, so the accelerometer feels
  the start and end of the climb), then 2 s at rest. Every second cycle
  descends instead, so a long stream stays near the ground.

Line faults (each a probability, decided per frame or per field):

* garbage: a few bytes of line noise follow the frame. They never contain
  the first sync byte, so noise cannot start a false frame.
* drop: one byte of the frame is lost. The position is chosen so that the
  damaged frame can never pass its checksum, whatever follows it.
* damage: one byte of the payload or checksum is changed, which the
  checksum always catches.
* invalid: an estimated field is flagged not valid (its values still count).

Drops and damage are never both applied to one frame. A frame hit by either
does not decode; `SimFrame.intact` tells which frames do.

With ``counter`` set, every frame carries its sequence number (modulo 2^24,
exactly representable in single precision) in place of the pressure (raw
frames) or the pressure altitude (estimated frames), so a reader can check
for lost, repeated or reordered packets.
"""

from __future__ import annotations

import math
import random
import struct
from collections.abc import Iterator
from dataclasses import dataclass, field

from ..wire import frames
from ..wire.fields import WIRE_ORDER, PacketLike, Value

PROFILES: tuple[str, ...] = ("still", "turn-and-climb")
MAX_RAW_RATE = 1000.0
MAX_ESTIMATED_RATE = 500.0
COUNTER_MODULUS = 1 << 24

GRAVITY = 9.80665
SEA_LEVEL_HPA = 1013.25
CYCLE = 10.0  # seconds of one turn-and-climb cycle
MANEUVER_START = 2.0
MANEUVER_END = 8.0
RAMP = 1.0
CLIMB_RATE = 2.0  # m/s while climbing at full rate
# Integral of the rate shape over one cycle, in seconds at full rate.
SHAPE_INTEGRAL = MANEUVER_END - MANEUVER_START - RAMP
TURN_RATE = 2.0 * math.pi / SHAPE_INTEGRAL  # one full turn per cycle

GYRO_BIAS = (0.0012, -0.0007, 0.0009)
ACCEL_BIAS = (0.021, -0.013, 0.034)
GARBAGE_BYTES = bytes(b for b in range(256) if b != frames.SYNC[0])
# The name a decoder reports for each flagged estimated field, and the order
# in which the fields stand in an estimated frame.
FLAG_NAMES: dict[str, str] = {f.name: f.validity_name for f in WIRE_ORDER if f.validity_name}
ESTIMATED_ORDER: tuple[str, ...] = tuple(f.name for f in WIRE_ORDER if f.packet_type == "estimated")


def f32(x: float) -> float:
    """`x` rounded to single precision, the way a frame carries it."""
    value: float = struct.unpack(">f", struct.pack(">f", x))[0]
    return value


@dataclass(frozen=True, slots=True)
class Faults:
    """Probabilities of line faults; see the module's description."""

    garbage: float = 0.0
    drop: float = 0.0
    damage: float = 0.0
    invalid: float = 0.0

    def __post_init__(self) -> None:
        for name in ("garbage", "drop", "damage", "invalid"):
            p = getattr(self, name)
            if not 0.0 <= p <= 1.0:
                raise ValueError(f"{name} fault rate must lie in 0..1, not {p}")
        if self.drop + self.damage > 1.0:
            raise ValueError("drop and damage rates together must not exceed 1")


@dataclass(frozen=True, slots=True)
class StreamConfig:
    """What to simulate. `seconds` None means a stream without end; a rate of
    0 leaves out that kind of frame."""

    profile: str = "turn-and-climb"
    seconds: float | None = 10.0
    raw_rate: float = 1000.0
    estimated_rate: float = 100.0
    seed: int = 1
    faults: Faults = field(default_factory=Faults)
    counter: bool = False
    # How fast the device's crystal runs, in parts per million: its frames
    # come that much more often than the nominal rates say.
    clock_ppm: float = 0.0

    def __post_init__(self) -> None:
        if self.profile not in PROFILES:
            raise ValueError(f"unknown profile {self.profile!r} (choose from {', '.join(PROFILES)})")
        if self.seconds is not None and not (self.seconds >= 0.0 and math.isfinite(self.seconds)):
            raise ValueError(f"seconds must be a finite number of 0 or more, not {self.seconds}")
        check_rate("raw", self.raw_rate, MAX_RAW_RATE)
        check_rate("estimated", self.estimated_rate, MAX_ESTIMATED_RATE)
        if not -1000.0 <= self.clock_ppm <= 1000.0:
            raise ValueError(f"clock error must lie in -1000..1000 ppm, not {self.clock_ppm:g}")
        if self.raw_rate == 0.0 and self.estimated_rate == 0.0:
            raise ValueError("at least one of the raw and estimated rates must be above 0")


def check_rate(kind: str, rate: float, limit: float) -> None:
    """Rejects a frame rate outside 0..limit Hz."""
    if not 0.0 <= rate <= limit:
        raise ValueError(f"{kind} rate must lie in 0..{limit:g} Hz, not {rate:g}")


@dataclass(frozen=True, slots=True)
class SimPacket:
    """What a decoder should make of one intact frame, in the shape of a
    packet (it satisfies `fields.PacketLike`)."""

    packet_type: str
    timestamp: int
    invalid_fields: str | None = None
    scaled_accel: list[float] | None = None
    scaled_gyro: list[float] | None = None
    delta_vel: list[float] | None = None
    delta_theta: list[float] | None = None
    scaled_ambient_pressure: float | None = None
    est_pressure_alt: float | None = None
    est_orient_quaternion: list[float] | None = None
    est_attitude_uncert_quaternion: list[float] | None = None
    est_angular_rate: list[float] | None = None
    est_compensated_accel: list[float] | None = None
    est_linear_accel: list[float] | None = None
    est_gravity_vector: list[float] | None = None


@dataclass(frozen=True, slots=True)
class SimFrame:
    """One frame of the stream.

    `values` holds the single-precision values encoded, by packet property
    name; `invalid` the names of the properties flagged not valid. `frame` is
    the frame as encoded, `wire` what went on the line for it (the frame after
    a drop or damage, then any garbage). `fault` is "drop", "damage" or None.
    """

    index: int
    time: float
    packet_type: str
    values: dict[str, tuple[float, ...]]
    invalid: tuple[str, ...]
    frame: bytes
    wire: bytes
    fault: str | None

    @property
    def intact(self) -> bool:
        """Whether a decoder finds this frame."""
        return self.fault is None

    def expected(self, timestamp: int | None = None) -> SimPacket:
        """The packet that decoding this frame gives; its `timestamp` is the
        device time in nanoseconds unless given (a real decoder stamps its own
        host time instead)."""
        stamp = round(self.time * 1e9) if timestamp is None else timestamp
        flagged = [FLAG_NAMES[name] for name in self.invalid]
        data: dict[str, Value] = {
            name: (v[0] if len(v) == 1 else list(v)) for name, v in self.values.items()
        }
        return SimPacket(
            packet_type=self.packet_type,
            timestamp=stamp,
            invalid_fields=",".join(flagged) or None,
            **data,  # type: ignore[arg-type]
        )


# --- motion ---------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Motion:
    """The true motion at one instant: heading (rad, about z pointing down),
    its rate, altitude above the start (m), and the upward acceleration."""

    yaw: float
    yaw_rate: float
    altitude: float
    climb_accel: float


def ramp_shape(tau: float) -> tuple[float, float, float]:
    """The rate shape within one cycle at time `tau`: its level (0..1), its
    slope (1/s) and its integral since the start of the cycle (s)."""
    up, down = MANEUVER_START + RAMP, MANEUVER_END - RAMP
    if tau < MANEUVER_START:
        return 0.0, 0.0, 0.0
    if tau < up:
        u = tau - MANEUVER_START
        return u / RAMP, 1.0 / RAMP, u * u / (2.0 * RAMP)
    if tau < down:
        return 1.0, 0.0, RAMP / 2.0 + (tau - up)
    if tau < MANEUVER_END:
        u = MANEUVER_END - tau
        return u / RAMP, -1.0 / RAMP, SHAPE_INTEGRAL - u * u / (2.0 * RAMP)
    return 0.0, 0.0, SHAPE_INTEGRAL


def motion_at(profile: str, t: float) -> Motion:
    """The true motion of `profile` at time `t` seconds."""
    if profile == "still":
        return Motion(0.0, 0.0, 0.0, 0.0)
    cycle, tau = divmod(t, CYCLE)
    level, slope, integral = ramp_shape(tau)
    climbing = int(cycle) % 2 == 0
    # One full turn per cycle, so the heading repeats every two cycles (the
    # quaternion's period is two turns): keep only that much of it.
    yaw = TURN_RATE * (SHAPE_INTEGRAL * (int(cycle) % 2) + integral)
    altitude = CLIMB_RATE * (integral if climbing else SHAPE_INTEGRAL - integral)
    climb_accel = CLIMB_RATE * slope * (1.0 if climbing else -1.0)
    return Motion(yaw, TURN_RATE * level, altitude, climb_accel)


def pressure_hpa(altitude: float) -> float:
    """Static pressure of the standard atmosphere at `altitude` metres."""
    return SEA_LEVEL_HPA * math.pow(1.0 - 2.25577e-5 * altitude, 5.25588)


# --- values of one frame ----------------------------------------------------


def noisy(rng: random.Random, values: tuple[float, ...], sigma: float) -> tuple[float, ...]:
    """`values` with independent normal noise of deviation `sigma` added."""
    return tuple(v + rng.gauss(0.0, sigma) for v in values)


def raw_values(m: Motion, dt: float, rng: random.Random) -> dict[str, tuple[float, ...]]:
    """What the sensors read; delta-theta and delta-velocity are the measured
    rates integrated over one raw period."""
    specific_force = (0.0, 0.0, -GRAVITY - m.climb_accel)
    gyro = noisy(rng, tuple(b + w for b, w in zip(GYRO_BIAS, (0.0, 0.0, m.yaw_rate))), 0.003)
    accel = noisy(rng, tuple(b + f for b, f in zip(ACCEL_BIAS, specific_force)), 0.02)
    pressure = pressure_hpa(m.altitude) + rng.gauss(0.0, 0.01)
    return {
        "scaled_accel": accel,
        "scaled_gyro": gyro,
        "delta_theta": tuple(w * dt for w in gyro),
        "delta_vel": tuple(a * dt for a in accel),
        "scaled_ambient_pressure": (pressure,),
    }


def estimated_values(m: Motion, t: float, rng: random.Random) -> dict[str, tuple[float, ...]]:
    """What the on-board filter reports: the true attitude, its uncertainty
    settling after start-up, and filtered rates and accelerations."""
    settle = math.exp(-t / 2.0)
    tilt_uncert = 0.002 + 0.04 * settle
    heading_uncert = 0.008 + 0.06 * settle + 0.002 * abs(m.yaw_rate)
    gravity = (0.0, 0.0, -GRAVITY)
    compensated = noisy(rng, (0.0, 0.0, -GRAVITY - m.climb_accel), 0.005)
    return {
        "est_orient_quaternion": (math.cos(m.yaw / 2.0), 0.0, 0.0, math.sin(m.yaw / 2.0)),
        "est_linear_accel": tuple(c - g for c, g in zip(compensated, gravity)),
        "est_angular_rate": noisy(rng, (0.0, 0.0, m.yaw_rate), 0.0005),
        "est_attitude_uncert_quaternion": (tilt_uncert / 10.0, tilt_uncert, tilt_uncert, heading_uncert),
        "est_gravity_vector": gravity,
        "est_compensated_accel": compensated,
        "est_pressure_alt": (m.altitude + rng.gauss(0.0, 0.08),),
    }


def to_f32(values: dict[str, tuple[float, ...]]) -> dict[str, tuple[float, ...]]:
    """Every value rounded to what a frame carries."""
    return {name: tuple(f32(v) for v in vs) for name, vs in values.items()}


def encode(packet_type: str, values: dict[str, tuple[float, ...]], invalid: tuple[str, ...]) -> bytes:
    """The frame that carries `values`."""
    args = {name: (v[0] if len(v) == 1 else v) for name, v in values.items()}
    if packet_type == "raw":
        return frames.raw_frame(**args)
    return frames.estimated_frame(invalid, **args)


# --- line faults --------------------------------------------------------------


def damage(frame: bytes, rng: random.Random) -> bytes:
    """`frame` with one byte of its payload or checksum changed, which the
    checksum always catches: a payload byte or checksum byte A changes the
    running sum, a changed checksum byte B no longer matches the sum of sums."""
    position = rng.randrange(4, len(frame))
    data = bytearray(frame)
    data[position] ^= rng.randrange(1, 256)
    return bytes(data)


def drop(frame: bytes, rng: random.Random) -> bytes:
    """`frame` with one byte lost, at a position where the shortened frame
    cannot pass its checksum whatever byte comes after it.

    With payload length N and checksum bytes A and B, losing payload byte p
    shifts A into the payload and B into A's place: the running sum becomes
    2A - p and is checked against B. Losing A checks A against B. Losing one
    of the two sync bytes leaves no frame start at all."""
    n = frame[3]
    a, b = frame[4 + n], frame[5 + n]
    safe = [i for i in range(4, 4 + n) if (2 * a - frame[i]) % 256 != b]
    if a != b:
        safe.append(4 + n)
    position = rng.choice(safe) if safe else rng.randrange(0, 2)
    return frame[:position] + frame[position + 1 :]


def garbage(rng: random.Random) -> bytes:
    """A short burst of line noise without the first sync byte."""
    return bytes(rng.choice(GARBAGE_BYTES) for _ in range(rng.randint(1, 24)))


def apply_faults(frame: bytes, faults: Faults, rng: random.Random) -> tuple[bytes, str | None]:
    """The bytes that reach the line for `frame`, and the fault that hit it."""
    hit, noise = rng.random(), rng.random()
    fault: str | None = None
    if hit < faults.drop:
        fault, frame = "drop", drop(frame, rng)
    elif hit < faults.drop + faults.damage:
        fault, frame = "damage", damage(frame, rng)
    if noise < faults.garbage:
        frame += garbage(rng)
    return frame, fault


def flagged(packet_type: str, faults: Faults, rng: random.Random) -> tuple[str, ...]:
    """The estimated fields this frame flags not valid, in payload order."""
    if packet_type != "estimated":
        return ()
    draws = [rng.random() for _ in ESTIMATED_ORDER]
    return tuple(name for name, p in zip(ESTIMATED_ORDER, draws) if p < faults.invalid)


# --- the stream -------------------------------------------------------------


def frame_times(config: StreamConfig) -> Iterator[tuple[float, str]]:
    """Times and kinds of the frames, in time order; at equal times the raw
    frame comes first. Times are k / rate on the device's crystal, exact for
    the frame counts, and in true seconds that divided by 1 + clock_ppm/1e6."""
    next_raw = next_est = 0
    inf = math.inf
    fast = 1.0 + config.clock_ppm * 1e-6
    while True:
        t_raw = next_raw / config.raw_rate if config.raw_rate else inf
        t_est = next_est / config.estimated_rate if config.estimated_rate else inf
        t = min(t_raw, t_est)
        if config.seconds is not None and t >= config.seconds:
            return
        if t_raw <= t_est:
            next_raw += 1
            yield t / fast, "raw"
        else:
            next_est += 1
            yield t / fast, "estimated"


def simulate(config: StreamConfig) -> Iterator[SimFrame]:
    """The frames of the stream described by `config`, in line order."""
    sensor_rng = random.Random(config.seed)
    fault_rng = random.Random(f"line faults {config.seed}")
    dt = 1.0 / config.raw_rate if config.raw_rate else 0.0
    for index, (t, packet_type) in enumerate(frame_times(config)):
        motion = motion_at(config.profile, t)
        if packet_type == "raw":
            values = raw_values(motion, dt, sensor_rng)
        else:
            values = estimated_values(motion, t, sensor_rng)
        if config.counter:
            slot = "scaled_ambient_pressure" if packet_type == "raw" else "est_pressure_alt"
            values[slot] = (float(index % COUNTER_MODULUS),)
        values = to_f32(values)
        invalid = flagged(packet_type, config.faults, fault_rng)
        encoded = encode(packet_type, values, invalid)
        wire, fault = apply_faults(encoded, config.faults, fault_rng)
        yield SimFrame(index, t, packet_type, values, invalid, encoded, wire, fault)


def stream_bytes(config: StreamConfig) -> bytes:
    """The whole line stream of a finite configuration."""
    if config.seconds is None:
        raise ValueError("an endless stream has no whole")
    return b"".join(f.wire for f in simulate(config))


def expected_packets(config: StreamConfig) -> list[SimPacket]:
    """The packets a decoder finds in the stream of `config`, in order."""
    return [f.expected() for f in simulate(config) if f.intact]


def counter_of(packet: PacketLike) -> int | None:
    """The sequence number that a counter stream put in `packet` (modulo
    2^24), or None when the packet carries none."""
    value = packet.scaled_ambient_pressure if packet.packet_type == "raw" else packet.est_pressure_alt
    if value is None or not value.is_integer() or not 0 <= value < COUNTER_MODULUS:
        return None
    return int(value)


__all__ = [
    "counter_of",
    "Faults",
    "PROFILES",
    "SimFrame",
    "SimPacket",
    "StreamConfig",
    "expected_packets",
    "f32",
    "motion_at",
    "simulate",
    "stream_bytes",
]
