#!/usr/bin/env python3
"""The filter's per-pixel rules as NumPy array operations over whole planes:
the benchmarks' peer, a vectorised pass written the way a pipeline TD would
write one in Python.

    numpy_stack.py SCENE.json FRAME_DIR/ [--check OUT_DIR/] [--repeat N]

SCENE.json is a qxhost scene (its "filter" "state" lines give the stacks);
FRAME_DIR/ holds the frame as .npy planes ("qxhost planes" writes them).
With --check, the result must equal qxhost's render of the same scene and
planes (OUT_DIR/, written by "qxhost render --out OUT_DIR/") to 1e-5 in
every channel. Prints the time of the pass alone (planes already loaded),
the best of N runs, and its rate in Mpixel/s.
"""
import argparse
import json
import os
import sys
import time

import numpy as np

# Host buffer of each buffer index "None" .. "Depth"; 35 is the colour's alpha.
FLAG_TBL = [0, 35, 1, 2, 3, 4, 5, 9, 13, 14, 10, 11, 12]
CHANNELS = {0: "SpecialBuffer", 1: "Luminous", 2: "Diffuse", 3: "Specular", 4: "Reflective",
            5: "Transparency", 6: "SurfaceColor.R", 7: "SurfaceColor.G", 8: "SurfaceColor.B",
            9: "Shading", 10: "Shadow", 11: "Geometry", 12: "Depth", 13: "DiffuseShade",
            14: "SpecularShade", 32: "R", 33: "G", 34: "B", 35: "A"}
F32 = np.float32


def parse_state(lines):
    """The stored entries: (value, [layers top first]), each layer a dict."""
    header = lines[0].split()
    count = int(header[1])
    entries, at = [], 1
    for _ in range(count):
        value_text, layer_count = lines[at].split()[:2]
        at += 1
        layers = []
        for _ in range(int(layer_count)):
            n = lines[at].split()
            at += 1
            layers.append({"type": int(n[0]), "active": int(n[1]) & 0xFF,
                           "color": [int(c) & 0xFF for c in n[2:5]],
                           "intensity": float(n[5]), "mode": int(n[6]),
                           "in": int(n[7]), "invert": int(n[8]) & 0xFF,
                           "alpha": int(n[9]), "alphaIntensity": float(n[10]),
                           "alphaInvert": int(n[11]) & 0xFF})
        entries.append((float(value_text), layers))
    return entries


def max3(a, b, c):
    m = np.where(a < b, b, a)
    return np.where(c > m, c, m)


def min3(a, b, c):
    m = np.where(a > b, b, a)
    return np.where(c < m, c, m)


def rgb2hsv(r, g, b):
    mx, mn = max3(r, g, b), min3(r, g, b)
    d = mx - mn
    with np.errstate(divide="ignore", invalid="ignore"):
        s = np.where(mx == 0, F32(0), d / mx)
        hue = np.where(r == mx, (mx - b) / d - (mx - g) / d,
                       np.where(g == mx, F32(2) + (mx - r) / d - (mx - b) / d,
                                F32(4) + (mx - g) / d - (mx - r) / d))
    hue = np.where((d != 0) & (mx != 0), hue, F32(0)) * F32(60)
    hue = np.where(hue < 0, hue + F32(360), hue)
    return hue.astype(F32), s.astype(F32), mx


def hsv2rgb(h, s, v, fallback):
    """fallback: the colour kept where the hue lies in no sector."""
    h = np.where(h == F32(360), F32(0), h)
    hh = h / F32(60)
    inside = (hh > F32(-1)) & (hh < F32(6))
    i = np.trunc(np.where(inside, hh, F32(0))).astype(np.int32)
    f = hh - i.astype(F32)
    p = v * (F32(1) - s)
    q = v * (F32(1) - s * f)
    t = v * (F32(1) - s * (F32(1) - f))
    choices = [(v, t, p), (q, v, p), (p, v, t), (p, q, v), (t, p, v), (v, p, q)]
    out = []
    for c in range(3):
        sector = np.select([i == k for k in range(5)], [ch[c] for ch in choices[:5]],
                           choices[5][c])
        grey = np.where(s == 0, v, np.where(inside, sector, fallback[c]))
        out.append(grey.astype(F32))
    return out


def apply_entry(planes, idx, layers, out):
    """Applies one entry's stack to the pixels `idx`, writing into `out`."""
    def at(buffer):
        plane = planes.get(buffer)
        return plane[idx] if plane is not None else np.zeros(len(idx), F32)

    def buffer_value(index):
        if index <= 0 or index >= len(FLAG_TBL):
            return np.ones(len(idx), F32)
        return at(FLAG_TBL[index])

    P = [at(32), at(33), at(34), at(35)]
    W = list(P)
    ambient = any(l["mode"] == 0 for l in layers)
    shadow_layer = any(l["type"] == 1 for l in layers)
    shadow = at(10) if shadow_layer else np.zeros(len(idx), F32)
    if ambient:
        sc = [at(6), at(7), at(8)]
        lit = at(2) * (F32(1) - at(5)) * (F32(1) - at(1))
        specular_shade = at(14)
    for layer in reversed(layers):
        if layer["active"] == 0:
            continue
        # Only a "Shadow" layer is skipped anywhere: where there is no shadow.
        applies = (shadow != 0) if layer["type"] == 1 else None
        l = [F32(c) / F32(255) for c in layer["color"]]
        t = F32(layer["intensity"]) / F32(100)
        mode = layer["mode"]
        new = list(W[:3])
        if mode == 0:
            if layer["type"] == 0:
                k = t * lit * (F32(1) - specular_shade)
                new = [P[c] + l[c] * k * sc[c] for c in range(3)]
            elif layer["type"] == 1:
                k = t * shadow * lit
                new = [P[c] + l[c] * k for c in range(3)]
        elif 0 < mode < 10:
            i = buffer_value(layer["in"])
            a = (np.float64(layer["alphaIntensity"] / 100.0) *
                 buffer_value(layer["alpha"]).astype(np.float64)).astype(F32)
            if layer["invert"]:
                i = np.maximum(F32(1) - i, F32(0))
            if layer["alphaInvert"]:
                a = np.maximum(F32(1) - a, F32(0))
            u = t * (i * a)
            if mode == 1:
                F = [P[c] + l[c] for c in range(3)]
            elif mode == 2:
                F = [np.maximum(P[c] - l[c], F32(0)) for c in range(3)]
            elif mode == 3:
                F = [P[c] * l[c] for c in range(3)]
            elif mode == 4:
                F = [np.abs(P[c] - l[c]) for c in range(3)]
            elif mode == 5:
                F = [F32(1) - (F32(1) - P[c]) * (F32(1) - l[c]) for c in range(3)]
            elif mode == 6:
                F = [P[c] * (P[c] + F32(2) * l[c] * (F32(1) - P[c])) for c in range(3)]
            else:
                hp = list(rgb2hsv(P[0], P[1], P[2]))
                hl = rgb2hsv(np.array([l[0]], F32), np.array([l[1]], F32), np.array([l[2]], F32))
                hp[mode - 7] = np.full(len(idx), hl[mode - 7][0], F32)
                F = hsv2rgb(hp[0], hp[1], hp[2], [np.full(len(idx), c, F32) for c in l])
            new = [(F32(1) - u) * P[c] + u * F[c] for c in range(3)]
        alpha = P[3]
        if applies is None:
            W = [np.asarray(new[c], F32) for c in range(3)] + [alpha]
            P = [np.maximum(W[c], F32(0)) for c in range(4)]
        else:
            W = [np.where(applies, new[c], W[c]).astype(F32) for c in range(3)] + \
                [np.where(applies, alpha, W[3])]
            P = [np.where(applies, np.where(W[c] < 0, F32(0), W[c]), P[c]) for c in range(4)]
    for c in range(4):
        out[32 + c][idx] = W[c]


def run(entries, planes):
    s = planes[0].astype(np.float64)
    out = {b: planes[b].copy() for b in (32, 33, 34, 35)}
    taken = np.zeros(s.shape, bool)
    for value, layers in entries:
        if not layers:
            continue
        mask = (s == value) & ~taken
        taken |= mask
        idx = np.nonzero(mask)[0]
        if len(idx):
            apply_entry(planes, idx, layers, out)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scene")
    parser.add_argument("frame")
    parser.add_argument("--check")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with open(args.scene, encoding="utf-8") as f:
        entries = parse_state(json.load(f)["filter"]["state"])
    planes, shape = {}, None
    for buffer, name in CHANNELS.items():
        path = os.path.join(args.frame, name + ".npy")
        if os.path.exists(path):
            plane = np.load(path)
            shape = plane.shape
            planes[buffer] = plane.astype(F32).ravel()
    best = None
    for _ in range(max(1, args.repeat)):
        start = time.perf_counter()
        out = run(entries, planes)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    pixels = planes[0].size
    if args.check:
        for c in (32, 33, 34, 35):
            ref = np.load(os.path.join(args.check, CHANNELS[c] + ".npy")).ravel()
            worst = float(np.max(np.abs(ref.astype(np.float64) - out[c].astype(np.float64))))
            if not worst <= 1e-5:
                print(f"numpy_stack: {CHANNELS[c]} differs from qxhost render by {worst:g}",
                      file=sys.stderr)
                return 1
    print(f"numpy peer: {shape[1]}x{shape[0]}, {best * 1000:.1f} ms, "
          f"{pixels / best / 1e6:.2f} Mpixel/s" + (", equal to qxhost render to 1e-5" if args.check else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
