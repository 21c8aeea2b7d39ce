#!/usr/bin/python3
"""Generates the constant tables of the signal stages.

Writes
  engine/src/resample_tables.cpp  FIR tables A, D, E, F and polyphase table P
  engine/src/fft_window.cpp       analysis window of the FFT stream

Usage: scripts/gen_tables.py [repo root]   (default: this script's parent dir)
Needs numpy and scipy. The output is deterministic; P takes about half a
minute.

Every resampler table is an equiripple (Parks-McClellan) low-pass: desired
gain 1 on [0, pass edge] and 0 on [stop edge, fs / 2], the stop band weighted
against the pass band by the given factor, grid density 16. The taps are used
exactly as designed, never renormalised, so DC sits on a pass-band ripple
extreme and each sum is 1 plus or minus the pass-band ripple.

  table  taps   rate (Hz)   pass edge  stop edge  stop weight  sum
  A        16      48000       3600      12300     700/3        1.014437
  D        64      16000       3600       4400     250          0.983194
  E        32      44100       3600       7025     68.908224    1.038995
  F        96      32000       3600       4400     66           0.9664713
  P     17920    3528000       3700       4300     600          320 x 0.97158
                 (= 320 x 11025; pass-band gain 320, so a row sums to ~1)

These parameters are part of the signature format: the taps shape the 8 kHz
audio every peak is found in, and signatures are bit-exact only while the
taps are, so they must not move by more than float rounding. E's weight is
carried to eight digits for that reason: a change in its fourth decimal
already moves the taps by more than that (68.9 or 69 would give other
signatures). Change a parameter only together with the signature format.

A, D, E and F come from scipy.signal.remez. P is too long for it (see
remez_even below) and is designed by this script's own exchange routine,
which gives the same taps as scipy.signal.remez on the short tables.
"""
import os
import sys

import numpy as np
from scipy import signal

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))


def equiripple(taps, fs, pass_edge, stop_edge, stop_weight):
    """Parks-McClellan low-pass: desired 1 on [0, pass_edge], 0 on
    [stop_edge, fs / 2], stop band weighted by stop_weight."""
    return signal.remez(taps, [0.0, pass_edge, stop_edge, fs / 2.0], [1.0, 0.0],
                        weight=[1.0, stop_weight], fs=fs)


def design_a():
    # 3:1 at 48000 Hz, followed by D at 16000 Hz. With only 16 taps the stop
    # band starts at 12300 Hz: above it lies what would fold below 3700 Hz at
    # 16000 Hz. What folds to between 3.7 and 8 kHz is left to D.
    return equiripple(16, 48000.0, 3600.0, 12300.0, 700.0 / 3.0)


def design_d():
    # 2:1 at 16000 Hz: the 4400 Hz stop edge folds to 3600 Hz at 8000 Hz.
    return equiripple(64, 16000.0, 3600.0, 4400.0, 250.0)


def design_e():
    # 4:1 at 44100 Hz. The stop band starts at 11025 - 4000 = 7025 Hz: what
    # lies above folds, at 11025 Hz, to above 4000 Hz, where the following
    # polyphase stage removes it.
    return equiripple(32, 44100.0, 3600.0, 7025.0, 68.908224)


def design_f():
    # 4:1 at 32000 Hz, same edges as D.
    return equiripple(96, 32000.0, 3600.0, 4400.0, 66.0)


# --- long equiripple design -------------------------------------------------
#
# scipy.signal.remez gives up on the 17920-tap prototype: its start set puts an
# extremal at fs / 2, where the weighted error of an even-length symmetric
# filter is always zero, and in x = cos(2 pi f) the pass band (below 0.1 % of
# the band) loses about five digits to cancellation. The exchange below is the
# same algorithm on the same dense grid (16 points per extremal, band edges on
# the grid, the same search and stopping rule) with these changes:
#   * differences x_i - x_k are formed as -2 sin(pi (f_i + f_k)) sin(pi (f_i - f_k)),
#     exact to rounding however close the points are;
#   * the barycentric weights are summed as logarithms (no overflow);
#   * the weighted error is evaluated from the taps with FFTs;
#   * the start set comes from the same design with fewer phases (5, 10, ...,
#     320): the extremal frequencies found so far are kept (in Hz) and the new
#     ones are spread evenly over the stop band that each doubling adds;
#   * if the search finds too few extrema, the widest gap gets its largest one.
# For the short tables it agrees with scipy.signal.remez to about 1e-14.


def _search(err, count):
    e, ep, en = err[1:-1], err[:-2], err[2:]
    inner = np.nonzero(((e >= ep) & (e > en) & (e > 0)) |
                       ((e <= ep) & (e < en) & (e < 0)))[0] + 1
    found = []
    if (err[0] > 0 and err[0] > err[1]) or (err[0] < 0 and err[0] < err[1]):
        found.append(0)
    found += [int(i) for i in inner]
    last = len(err) - 1
    if (err[last] > 0 and err[last] > err[last - 1]) or \
       (err[last] < 0 and err[last] < err[last - 1]):
        found.append(last)
    while len(found) < count:
        bounds = [-1] + found + [last]
        j = int(np.argmax(np.diff(bounds)))
        lo, hi = bounds[j] + 1, bounds[j + 1]
        if hi <= lo:
            raise RuntimeError('too few extrema')
        found.insert(j, lo + int(np.argmax(np.abs(err[lo:hi]))))
    extra = len(found) - count
    while extra > 0:
        ef = err[found]
        same = np.nonzero(np.sign(ef[1:]) == np.sign(ef[:-1]))[0]
        if len(same):
            drop = int(np.argmin(np.abs(ef[:same[0] + 2])))
        elif extra == 1:
            drop = len(found) - 1 if abs(ef[-1]) < abs(ef[0]) else 0
        else:
            drop = int(np.argmin(np.abs(ef)))
        del found[drop]
        extra -= 1
    return np.array(found)


def remez_even(taps, fs, pass_edge, stop_edge, stop_weight, start_hz=None,
               density=16, max_iter=40):
    """Even-length symmetric equiripple low-pass; returns (taps, extremal Hz)."""
    assert taps % 2 == 0
    r = taps // 2
    bands = [(0.0, pass_edge / fs, 1.0, 1.0), (stop_edge / fs, 0.5, 0.0, stop_weight)]
    delf = 0.5 / (density * r)
    grid, want, wt, parts = [], [], [], []
    for lo, hi, d, w in bands:
        k = int((hi - lo) / delf + 0.5)
        g = lo + np.arange(k) * delf
        g[-1] = hi
        grid.append(g)
        want.append(np.full(k, d))
        wt.append(np.full(k, w))
        parts.append((lo, hi, k))
    grid = np.concatenate(grid)
    c = np.cos(np.pi * grid)
    want = np.concatenate(want) / c
    wt = np.concatenate(wt) * c
    ng = len(grid)
    if start_hz is None:
        ext = (np.arange(r + 1) * (ng - 2)) // r
    else:
        ext = np.clip(np.searchsorted(grid, np.asarray(start_hz) / fs), 0, ng - 2)
        for i in range(1, len(ext)):
            ext[i] = max(ext[i], ext[i - 1] + 1)
        for i in range(len(ext) - 1, -1, -1):
            ext[i] = min(ext[i], ng - 2 if i == len(ext) - 1 else ext[i + 1] - 1)
    sign = (-1.0) ** np.arange(r + 1)
    n = np.arange(taps)
    mid = (taps - 1) / 2.0

    def solve(ext):
        fe = grid[ext]
        logd = np.empty(r + 1)
        for i0 in range(0, r + 1, 512):
            fi = fe[i0:i0 + 512, None]
            d = np.abs(4.0 * np.sin(np.pi * (fi + fe)) * np.sin(np.pi * (fi - fe)))
            d[np.arange(len(fi)), np.arange(i0, i0 + len(fi))] = 1.0
            logd[i0:i0 + 512] = np.log(d).sum(axis=1)
        ad = sign * np.exp(logd.min() - logd)
        delta = (ad @ want[ext]) / ((ad * sign) @ (1.0 / wt[ext]))
        y = want[ext] - sign * delta / wt[ext]
        # taps by frequency sampling at f = k / taps, k < r
        fk = np.arange(r) / taps
        amp = np.empty(r)
        for i0 in range(0, r, 1024):
            f = fk[i0:i0 + 1024, None]
            diff = -2.0 * np.sin(np.pi * (f + fe)) * np.sin(np.pi * (f - fe))
            hit = diff == 0.0
            q = ad / np.where(hit, 1.0, diff)
            v = (q @ y) / q.sum(axis=1)
            rows, cols = np.nonzero(hit)
            v[rows] = y[cols]
            amp[i0:i0 + 1024] = v
        amp *= np.cos(np.pi * fk)
        bins = np.zeros(taps, complex)
        bins[:r] = amp * np.exp(-2j * np.pi * np.arange(r) * mid / taps)
        bins[taps - r + 1:] = np.conj(bins[1:r][::-1])
        return np.fft.ifft(bins).real

    def weighted_error(h):
        amp = np.empty(ng)
        at = 0
        size = int(round(1.0 / delf))
        for lo, hi, k in parts:
            f = np.fft.fft(h * np.exp(-2j * np.pi * lo * (n - mid)), size)[:k]
            a = (f * np.exp(2j * np.pi * np.arange(k) * delf * mid)).real
            a[-1] = np.sum(h * np.cos(2.0 * np.pi * hi * (n - mid)))
            amp[at:at + k] = a
            at += k
        return wt * (want - amp / c)

    for _ in range(max_iter):
        h = solve(ext)
        err = weighted_error(h)
        ext = _search(err, r + 1)
        e = np.abs(err[ext])
        if (e.max() - e.min()) / e.max() < 1e-4:
            break
    else:
        raise RuntimeError('exchange did not converge')
    return solve(ext), grid[ext] * fs


def remez_polyphase(rows, row_taps, in_rate, pass_edge, stop_edge, stop_weight):
    """Prototype of rows * row_taps taps at rows * in_rate Hz, designed for
    5, 10, 20, ... phases in turn, each start set grown from the last."""
    phases = [rows]
    while phases[-1] % 2 == 0 and phases[-1] // 2 >= 5:
        phases.append(phases[-1] // 2)
    start = None
    for m in reversed(phases):
        fs = in_rate * m
        r = row_taps * m // 2
        if start is not None:
            add = r + 1 - len(start)
            top = start[-1]
            start = np.concatenate(
                [start, top + (fs / 2 - top) * np.arange(1, add + 1) / (add + 0.5)])
        h, start = remez_even(row_taps * m, fs, pass_edge, stop_edge, stop_weight, start)
    return h


def design_p_prototype():
    # 320/441 from 11025 Hz: the prototype runs at 320 * 11025 = 3528000 Hz,
    # 56 taps per phase, and is scaled by 320 so that each row (one phase)
    # has a DC gain near 1 (0.97151 to 0.97908; the mean is 1 - ripple).
    return 320.0 * remez_polyphase(320, 56, 11025.0, 3700.0, 4300.0, 600.0)


def polyphase_rows(proto, rows=320, taps=56):
    p = np.empty((rows, taps))
    for r in range(rows):
        for k in range(taps):
            p[r, k] = proto[rows * (taps - 1 - k) + (rows - 1 - r)]
    return p


def fmt(x):
    x = np.float32(x)
    s = '%.9g' % x
    if 'e' not in s and '.' not in s:
        s += '.0'
    assert np.float32(float(s)) == x
    return s + 'f'


def emit_array(out, values, per_line=6, indent='    '):
    vals = [fmt(v) for v in values]
    for i in range(0, len(vals), per_line):
        out.append(indent + ', '.join(vals[i:i + per_line]) + ',')


HEADER = """// Generated by scripts/gen_tables.py; do not edit. Regenerate with
//   scripts/gen_tables.py
"""


def write(path, text):
    with open(os.path.join(ROOT, path), 'w', newline='\n') as f:
        f.write(text)


def check_symmetric(h):
    h32 = np.float32(h)
    assert np.array_equal(h32, h32[::-1]), 'table not symmetric'


def main():
    tables = [
        ('resample_a', design_a(),
         'A: 3:1 at 48000 Hz. Equiripple, pass 0-3600 Hz, stop from 12300 Hz, weight 700/3.'),
        ('resample_d', design_d(),
         'D: 2:1 at 16000 Hz. Equiripple, pass 0-3600 Hz, stop from 4400 Hz, weight 250.'),
        ('resample_e', design_e(),
         'E: 4:1 at 44100 Hz. Equiripple, pass 0-3600 Hz, stop from 7025 Hz, weight 68.908224.'),
        ('resample_f', design_f(),
         'F: 4:1 at 32000 Hz. Equiripple, pass 0-3600 Hz, stop from 4400 Hz, weight 66.'),
    ]
    proto = design_p_prototype()
    proto = 0.5 * (proto + proto[::-1])
    p = polyphase_rows(proto)

    out = [HEADER, '#include "resample_tables.h"', '', 'namespace vxt::tables {', '']
    for name, h, comment in tables:
        h = 0.5 * (h + h[::-1])
        check_symmetric(h)
        out.append('// ' + comment)
        out.append('const float %s[%d] = {' % (name, len(h)))
        emit_array(out, h)
        out.append('};')
        out.append('')
    out.append('// P: polyphase 320/441 from 11025 Hz. Row r, tap k holds the prototype')
    out.append('// coefficient for delay 320 * (55 - k) + (319 - r). The prototype is')
    out.append('// 320 times an equiripple low-pass at 3528000 Hz: pass 0-3700 Hz, stop')
    out.append('// from 4300 Hz, weight 600; symmetric about delay 8959.5, so row r')
    out.append('// reversed is row 319 - r.')
    out.append('const float resample_p[320][56] = {')
    for r in range(320):
        out.append('    {  // row %d' % r)
        emit_array(out, p[r], per_line=7, indent='        ')
        out.append('    },')
    out.append('};')
    out.append('')
    out.append('}  // namespace vxt::tables')
    write('engine/src/resample_tables.cpp', '\n'.join(out) + '\n')

    i = np.arange(1024, dtype=np.float64)
    w = 0.5 - 0.5 * np.cos(2.0 * np.pi * (i + 1.0) / 1025.0)
    out = [HEADER, '#include "fft_window.h"', '', 'namespace vxt::tables {', '',
           'const float fft_window[1024] = {']
    emit_array(out, w, per_line=6)
    out += ['};', '', '}  // namespace vxt::tables']
    write('engine/src/fft_window.cpp', '\n'.join(out) + '\n')


if __name__ == '__main__':
    main()
