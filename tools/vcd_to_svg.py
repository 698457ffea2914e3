#!/usr/bin/env python3
"""Draws the first instructions of an isp2313-sim VCD file as an SVG timing diagram.

Usage: vcd_to_svg.py RUN.vcd OUT.svg [BYTES]

The chip's pins SCK, MOSI, MISO and RESET are drawn from the start of the run to the end
of its BYTES-th byte (default 8: Programming Enable and the first signature read). Idle
stretches longer than 100 us are cut short and labelled with their length; each byte
clocked while RESET is low is labelled in hex on MOSI and MISO. Standard library only.
"""
import sys

PINS = ["RESET", "SCK", "MOSI", "MISO"]
GAP_NS = 100_000          # idle stretches longer than this are cut
GAP_PX = 72
PX_PER_NS = 2.2 / 1000    # 2.2 px per microsecond
LEFT, ROW, HIGH = 78, 58, 22
INSTRUCTIONS = {0xAC: "Programming Enable", 0x30: "Read Signature Byte"}


def read_vcd(path):
    units = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
    names, start, changes = {}, {}, []
    unit, t, in_dumpvars = 1, 0, False
    words = open(path).read().split()
    i = 0
    while i < len(words):
        word = words[i]
        if word == "$timescale":
            unit = int(words[i + 1]) * units[words[i + 2]]
            i += 3
        elif word == "$var":
            names[words[i + 3]] = words[i + 4]
            i += 5
        elif word in ("$dumpvars", "$end"):
            in_dumpvars = word == "$dumpvars"
        elif word.startswith("#"):
            t = int(word[1:]) * unit
        elif word[0] in "01" and word[1:] in names:
            if in_dumpvars:
                start[names[word[1:]]] = int(word[0])
            else:
                changes.append((t, names[word[1:]], int(word[0])))
        i += 1
    return start, changes


def decode(start, changes):
    """Bytes clocked while RESET is low: (first rising edge, last falling edge, mosi, miso)."""
    level = dict(start)
    found, bits, first, mosi, miso = [], 0, 0, 0, 0
    for t, pin, value in changes:
        level[pin] = value
        if pin == "RESET":
            bits = 0
        if pin == "SCK" and value and not level["RESET"]:
            first = t if bits % 8 == 0 else first
            mosi = (mosi << 1 | level["MOSI"]) & 0xFF
            miso = (miso << 1 | level["MISO"]) & 0xFF
            bits += 1
        if pin == "SCK" and not value and bits and bits % 8 == 0 and not level["RESET"]:
            if not found or found[-1][0] != first:
                found.append((first, t, mosi, miso))
    return found


def time_axis(times, end):
    """Piecewise map from ns to px: linear, except cut idle stretches of fixed width."""
    points = sorted(set(t for t in times if t <= end) | {0, end})
    segments, x = [], LEFT + 12
    for a, b in zip(points, points[1:]):
        width = GAP_PX if b - a > GAP_NS else (b - a) * PX_PER_NS
        segments.append((a, b, x, width))
        x += width
    def to_x(t):
        for a, b, x0, w in segments:
            if a <= t <= b:
                return x0 + (w if b == a else (t - a) / (b - a) * w)
        return x
    gaps = [(a, b, x0, w) for a, b, x0, w in segments if b - a > GAP_NS]
    return to_x, gaps, x


def duration(ns):
    return f"{ns / 1e6:.1f} ms" if ns >= 1e6 else f"{ns / 1e3:.0f} \u00b5s"


def main():
    vcd, out = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 8
    start, changes = read_vcd(vcd)
    data = decode(start, changes)[:count]
    end = data[-1][1] + 10_000
    to_x, gaps, right = time_axis([t for t, _, _ in changes], end)
    width, height = int(right + 20), 70 + ROW * len(PINS) + 20
    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="monospace" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>']
    base = {pin: 70 + ROW * k + HIGH + 8 for k, pin in enumerate(PINS)}
    for pin in PINS:
        y0 = base[pin]
        svg.append(f'<text x="8" y="{y0 - HIGH / 2 + 4}" font-weight="bold">{pin}</text>')
        level, x, path = start[pin], LEFT, []
        path.append(f"M{LEFT},{y0 - HIGH * level}")
        for t, p, value in changes:
            if p != pin or t > end:
                continue
            x = to_x(t)
            path.append(f"H{x:.1f}V{y0 - HIGH * value}")
            level = value
        path.append(f"H{right:.1f}")
        svg.append(f'<path d="{"".join(path)}" fill="none" stroke="#1f5fa8" stroke-width="1.6"/>')
    for a, b, x0, w in gaps:
        mid = x0 + w / 2
        svg.append(f'<rect x="{x0 + 8:.1f}" y="62" width="{w - 16:.1f}" height="{ROW * len(PINS)}" fill="white"/>')
        for pin in PINS:
            y0 = base[pin]
            svg.append(f'<path d="M{mid - 6:.1f},{y0 + 4} l6,-{HIGH + 8} M{mid:.1f},{y0 + 4} l6,-{HIGH + 8}" '
                       f'stroke="#888" fill="none"/>')
        svg.append(f'<text x="{mid:.1f}" y="58" text-anchor="middle" fill="#555">{duration(b - a)}</text>')
    for index, (first, last, mosi, miso) in enumerate(data):
        x0, x1 = to_x(first) - 7, to_x(last) + 7
        for pin, value in (("MOSI", mosi), ("MISO", miso)):
            y = base[pin] + 18
            svg.append(f'<text x="{(x0 + x1) / 2:.1f}" y="{y}" text-anchor="middle">{value:02X}</text>')
            svg.append(f'<path d="M{x0:.1f},{y - 12}v14M{x1:.1f},{y - 12}v14" stroke="#bbb"/>')
        if index % 4 == 0:
            name = INSTRUCTIONS.get(mosi, "")
            if mosi == 0x30 and index + 2 < len(data):
                name += f", address {data[index + 2][2]}"
            svg.append(f'<text x="{x0:.1f}" y="24" font-weight="bold">{name}</text>')
        if index % 4 == 2 and data[index - 2][2] == 0xAC:
            svg.append(f'<text x="{(x0 + x1) / 2:.1f}" y="{base["MISO"] + 34}" text-anchor="middle" '
                       f'fill="#b03030">echo</text>')
        if index % 4 == 3 and data[index - 3][2] == 0x30:
            svg.append(f'<text x="{(x0 + x1) / 2:.1f}" y="{base["MISO"] + 34}" text-anchor="middle" '
                       f'fill="#b03030">answer</text>')
    svg.append("</svg>")
    with open(out, "w") as f:
        f.write("\n".join(svg) + "\n")


if __name__ == "__main__":
    main()
