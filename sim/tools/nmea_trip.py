#!/usr/bin/env python3
"""A receiver's log of a short boat trip: out of a marina, along the coast
and back, at 1 Hz, as GGA, RMC and VTG sentences with their checksums.

Deterministic: the same output on every run, so the committed log can be
made again and compared.
    sim/tools/nmea_trip.py > sim/data/marina-trip.nmea
"""
import math
import sys

START = (54.37420, 10.15840)     # at the quay, degrees
DATE = (2026, 6, 1)
T0 = 10 * 3600                   # 10:00:00 UTC
METRES_PER_DEG = 6371008.8 * math.pi / 180
KNOT = 1852 / 3600               # m/s

# Legs: (seconds, target speed in knots, target heading in degrees true,
# or None: back towards the quay, slowing down on the last 60 m).
# Moored, out through the harbour, along the coast, a turn, back in, moored.
LEGS = [
    (30, 0.0, 200),
    (40, 3.0, 200),
    (20, 5.0, 110),
    (60, 18.0, 70),
    (20, 12.0, 340),
    (45, 20.0, 255),
    (70, 4.0, None),
    (25, 1.0, None),
]
ACCEL = 1.0          # knots per second
TURN = 8.0           # degrees per second


def checksum(body):
    c = 0
    for ch in body:
        c ^= ord(ch)
    return f"${body}*{c:02X}"


def ddmm(value, deg_digits, pos, neg):
    hemi = pos if value >= 0 else neg
    v = abs(value)
    d = int(v)
    m = (v - d) * 60
    return f"{d:0{deg_digits}d}{m:07.4f}", hemi


def sentences(t, lat, lng, knots, heading, moving):
    hh, mm, ss = t // 3600 % 24, t // 60 % 60, t % 60
    tm = f"{hh:02d}{mm:02d}{ss:02d}.00"
    la, ns = ddmm(lat, 2, "N", "S")
    lo, ew = ddmm(lng, 3, "E", "W")
    y, mo, d = DATE
    date = f"{d:02d}{mo:02d}{y % 100:02d}"
    course = f"{heading:.1f}" if moving else ""
    sats = 9 + (t // 37) % 3
    hdop = 0.8 + ((t * 7) % 5) / 10
    alt = 1.5 + ((t * 3) % 7) / 10
    return [
        checksum(f"GPGGA,{tm},{la},{ns},{lo},{ew},1,{sats:02d},{hdop:.1f},{alt:.1f},M,38.6,M,,"),
        checksum(f"GPRMC,{tm},A,{la},{ns},{lo},{ew},{knots:.1f},{course},{date},,,A"),
        checksum(f"GPVTG,{course},T,,M,{knots:.1f},N,{knots * 1.852:.1f},K,A"),
    ]


def main():
    lat, lng = START
    speed, heading = 0.0, LEGS[0][2]
    t = T0
    out = []
    for seconds, leg_speed, leg_course in LEGS:
        for i in range(seconds):
            target, course = leg_speed, leg_course
            if course is None:
                north = (START[0] - lat) * METRES_PER_DEG
                east = (START[1] - lng) * METRES_PER_DEG * math.cos(math.radians(lat))
                away = math.hypot(north, east)
                course = math.degrees(math.atan2(east, north)) % 360
                target = min(target, away / 15.0) if away > 3 else 0.0
            # A small steady swell on the speed, the same on every run.
            swell = 0.3 * math.sin(t / 7.0) if target > 0 else 0.0
            if speed < target:
                speed = min(target, speed + ACCEL)
            elif speed > target:
                speed = max(target, speed - 2 * ACCEL)
            turn = (course - heading + 540) % 360 - 180
            heading = (heading + max(-TURN, min(TURN, turn))) % 360
            knots = max(0.0, speed + swell)
            moving = knots > 0.05
            out += sentences(t, lat, lng, knots, heading, moving)
            step = knots * KNOT  # metres in this second
            lat += step * math.cos(math.radians(heading)) / METRES_PER_DEG
            lng += step * math.sin(math.radians(heading)) / (METRES_PER_DEG * math.cos(math.radians(lat)))
            t += 1
    sys.stdout.write("\r\n".join(out) + "\r\n")


if __name__ == "__main__":
    main()
