#!/usr/bin/env python3
"""A second implementation of the price-band simulation, written from its rules
alone, checked bit for bit against the C++ one (through algorithm3_driver).

Python floats are IEEE doubles and every operation below is one rounding, with
no fused multiply-add, so both sides must agree exactly, faults included.

Usage: algorithm3_oracle.py DRIVER [SHARD SHARDS]
"""

import math
import random
import subprocess
import sys

DAYS = 250
INT_MIN = -(2 ** 31)

# Status numbers of qvalgorithm3status.
OK, TRUNCATION, OVERFLOW, NONFINITE = 0, 4, 5, 6

SWEEP = (15.0, 0.02, 0.02, 0.995)  # M, D, U, f
RUN = (20.0, 0.03, 0.06, 0.9985)


class Faults:
    def __init__(self):
        self.truncation = False
        self.overflow = False


def trunc32(x, faults):
    if -2147483649.0 < x < 2147483648.0:
        return int(x)
    faults.truncation = True
    return INT_MIN


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def stdevp(x1, x2, x3, x4, x5):
    mean = (x1 + x2 + x3 + x4 + x5) / 5.0
    acc = 0.0
    for x in (x1, x2, x3, x4, x5):
        acc = acc + (x - mean) * (x - mean)
    return math.sqrt(0.2 * acc)


def zuidazhi(a):
    top = 0.0
    for v in a:
        if v >= top:
            top = v
    for j, v in enumerate(a):
        if v == top:
            return float(j) * 0.01
    return 0.0


class Simulation:
    def __init__(self, b, h, l, e, huan, ratios, stats):
        self.b, self.h, self.l, self.e = b, h, l, e
        r1, r2, r3, r4 = ratios
        # The indicators of a day depend on neither k nor the account.
        self.ind = {}
        for i in range(0, 246):
            mix = huan[i + 1] * r1 + huan[i + 2] * r2 + huan[i + 3] * r3 + huan[i + 4] * r4
            sd = stdevp(b[i], h[i + 1], l[i + 1], b[i + 1], e[i + 1])
            mom = b[i] - 0.4 * e[i + 1] - 0.3 * b[i + 1] - 0.2 * e[i + 2] - 0.1 * b[i + 2]
            self.ind[i] = (mix, sd, mom)
        self.faults = Faults()
        self.stats = stats

    def day(self, i, k, consts, acct, phase):
        M, D, U, f = consts
        faults = self.faults
        down = 0.04
        up = 0.04
        if i <= 245:
            mix, sd, mom = self.ind[i]
            base = trunc32(k * mix * 50.0, faults) / 100.0 + trunc32(k * k * sd * 10.0, faults) / 100.0
            down = base
            up = base + trunc32(k * k * mom * M, faults) / 100.0
            if mix <= 0.11:
                self.stats[phase + ":quiet"] += 1
                return
            if mix >= 0.25:
                self.stats[phase + ":busy"] += 1
                down = D + down
                up = U + up
        b = self.b[i]
        buy = b - down
        sell = b + up
        hi = self.h[i]
        lo = self.l[i]
        cash, shares, state = acct
        if state == 2:
            if lo <= buy:
                shares = trunc32(fdiv(fdiv(cash / 2.0, buy), 100.0), faults)
                cash = cash - float(shares) * buy * 100.0
                state = 1
                self.stats[phase + ":2buy"] += 1
        elif state == 0:
            if hi >= sell:
                sold = int(shares / 2)
                cash = cash + float(sold) * sell * 100.0 * f
                shares = shares - sold
                state = 1
                self.stats[phase + ":0sell"] += 1
        else:
            if hi >= sell and lo <= buy:
                n = trunc32(fdiv(fdiv(cash, buy), 100.0), faults)
                cash = cash + float(shares) * sell * 100.0 * f - float(n) * buy * 100.0
                shares = n
                self.stats[phase + ":1both"] += 1
            elif hi >= sell and lo > buy:
                cash = cash + float(shares) * sell * 100.0 * f
                shares = 0
                state = 2
                self.stats[phase + ":1sell"] += 1
            elif hi < sell and lo <= buy:
                n = trunc32(fdiv(fdiv(cash, buy), 100.0), faults)
                total = shares + n
                wrapped = ((total + 2 ** 31) % 2 ** 32) - 2 ** 31
                if wrapped != total:
                    faults.overflow = True
                shares = wrapped
                cash = cash - float(n) * buy * 100.0
                state = 0
                self.stats[phase + ":1buy"] += 1
        acct[0], acct[1], acct[2] = cash, shares, state

    def equity(self, acct, j):
        return acct[0] + float(acct[1]) * self.e[j] * 100.0

    def run(self, time):
        res = [0.0] * DAYS
        best = [0.0] * DAYS
        for t in range(249, 5, -1):
            k = 0.0
            p = 0
            while k <= 2.0:
                acct = [100000.0, 0, 2]
                for i in range(t, t - time - 1, -1):
                    self.day(i, k, SWEEP, acct, "sweep")
                res[p] = self.equity(acct, t - time)
                k = 0.01 + k
                p += 1
            assert p == 200
            best[t - time - 1] = zuidazhi(res)
        acct = [100000.0, 0, 2]
        for i in range(199, 3, -1):
            k = best[i]
            if (i + 2) % 5 == 0:
                continue
            self.day(i, k, RUN, acct, "run")
        value = self.equity(acct, 4)
        if self.faults.truncation:
            status = TRUNCATION
        elif self.faults.overflow:
            status = OVERFLOW
        elif not math.isfinite(value):
            status = NONFINITE
        else:
            status = OK
        return status, value


# ---- the calls ------------------------------------------------------------


def random_walk(rng):
    """Realistic days, generated oldest first and returned most recent first."""
    price = rng.choice([3.0, 8.5, 17.2, 42.0, 120.0, 640.0]) * rng.uniform(0.8, 1.2)
    vol = rng.uniform(0.005, 0.04)
    level = rng.choice([0.05, 0.12, 0.2, 0.4, 1.5])
    b, h, l, e, huan = [], [], [], [], []
    close = price
    for _ in range(DAYS):
        opening = round(close * (1.0 + rng.gauss(0.0, vol / 3.0)), 2)
        close = round(opening * (1.0 + rng.gauss(0.0, vol)), 2)
        high = round(max(opening, close) * (1.0 + abs(rng.gauss(0.0, vol))), 2)
        low = round(min(opening, close) * (1.0 - abs(rng.gauss(0.0, vol))), 2)
        b.append(opening)
        h.append(high)
        l.append(low)
        e.append(close)
        huan.append(round(level * rng.lognormvariate(0.0, 0.7), 4))
    ratios = rng.choice([(0.4, 0.3, 0.2, 0.1), (0.25, 0.25, 0.25, 0.25), (1.0, 0.0, 0.0, 0.0)])
    if rng.random() < 0.5:
        ratios = tuple(round(rng.uniform(0.0, 0.6), 3) for _ in range(4))
    return [x[::-1] for x in (b, h, l, e, huan)], ratios


def swinging(rng):
    """Days that swing through the bands, with wide days that reach both, so
    every trade of every state is taken; turnover sits on the thresholds."""
    b, h, l, e, huan = [], [], [], [], []
    mid = rng.uniform(20.0, 80.0)
    period = rng.randint(3, 9)
    amp = rng.uniform(0.5, 3.0)
    for d in range(DAYS):
        centre = round(mid + amp * math.sin(2 * math.pi * d / period), 2)
        wide = rng.random() < 0.2
        reach = amp * (2.0 if wide else rng.uniform(0.0, 0.6))
        b.append(centre)
        e.append(round(centre + rng.uniform(-0.5, 0.5), 2))
        h.append(round(centre + reach + rng.uniform(0.0, 0.3), 2))
        l.append(round(centre - reach - rng.uniform(0.0, 0.3), 2))
        huan.append(rng.choice([0.0, 0.05, 0.11, 0.11, 0.2, 0.25, 0.25, 0.3, 0.6, 1.2]))
    return [b, h, l, e, huan], (1.0, 0.0, 0.0, 0.0)


def hostile(rng):
    """Days with NaN, infinities, zero or negative prices, huge and tiny values."""
    series, ratios = random_walk(rng)
    poison = [math.nan, math.inf, -math.inf, 0.0, -0.0, -5.0, 1e300, -1e300, 5e-324, 3e-7, 1e12]
    kind = rng.randrange(5)
    if kind == 0:  # a handful of poisoned values anywhere
        for _ in range(rng.randint(1, 6)):
            series[rng.randrange(5)][rng.randrange(DAYS)] = rng.choice(poison)
    elif kind == 1:  # tiny prices: the block count runs past 32 bits
        for s in series[:4]:
            for d in range(DAYS):
                s[d] = s[d] * 1e-8
    elif kind == 2:  # huge turnover
        series[4] = [x * 1e9 for x in series[4]]
    elif kind == 3:  # zero and negative prices
        for s in series[:4]:
            for d in range(rng.randrange(DAYS), DAYS):
                s[d] = s[d] - 200.0
    else:  # poisoned weights
        ratios = (rng.choice(poison), ratios[1], ratios[2], ratios[3])
    return series, ratios


def all_cases():
    rng = random.Random(20261209)
    cases = []
    for n in range(300):
        kind = n % 10
        if kind < 6:
            series, ratios = random_walk(rng)
        elif kind < 9:
            series, ratios = swinging(rng)
        else:
            series, ratios = hostile(rng)
        cases.append((n % 5 + 1, ratios, series, kind == 9))
    # All turnover zero: nothing ever trades.
    flat, ratios = random_walk(rng)
    flat[4] = [0.0] * DAYS
    for time in range(1, 6):
        cases.append((time, ratios, flat, False))
    # Prices just above the band: the block count runs past 32 bits with every
    # truncated term in range.
    level = 0.0300003
    crowded = [[level] * DAYS, [level] * DAYS, [1e-7] * DAYS, [level] * DAYS, [1.0] * DAYS]
    for time in range(1, 6):
        cases.append((time, (1.0, 0.0, 0.0, 0.0), crowded, True))
    # A NaN close on the valuation day, read by nothing else when time is 1.
    unpriced, ratios = random_walk(rng)
    unpriced[3][4] = math.nan
    cases.append((1, ratios, unpriced, True))
    return cases


def call_line(case):
    time, ratios, series, _ = case
    words = [str(time)] + [float.hex(r) for r in ratios]
    for s in series:
        words.extend(float.hex(float(x)) for x in s)
    return " ".join(words)


def main():
    driver = sys.argv[1]
    shard, shards = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (0, 1)
    cases = [c for n, c in enumerate(all_cases()) if n % shards == shard]
    answer = subprocess.run([driver], input="\n".join(call_line(c) for c in cases) + "\n",
                            capture_output=True, text=True, check=True)
    lines = answer.stdout.splitlines()
    assert len(lines) == len(cases), "driver answered %d of %d calls" % (len(lines), len(cases))

    stats = {}
    for phase in ("sweep", "run"):
        for branch in ("quiet", "busy", "2buy", "0sell", "1both", "1sell", "1buy"):
            stats[phase + ":" + branch] = 0
    hostile_stats = dict(stats)
    failures = 0
    statuses = {}
    for case, line in zip(cases, lines):
        time, ratios, series, is_hostile = case
        sim = Simulation(*series, ratios, hostile_stats if is_hostile else stats)
        status, value = sim.run(time)
        got_status, got_hex = line.split()
        got = float.fromhex(got_hex)
        same = int(got_status) == status and (
            float.hex(got) == float.hex(value) or (math.isnan(got) and math.isnan(value)))
        statuses[status] = statuses.get(status, 0) + 1
        if not is_hostile and status != OK:
            print("ordinary call faulted: time %d status %d" % (time, status))
            failures += 1
        if series[4] == [0.0] * DAYS and float.hex(value) != float.hex(100000.0):
            print("all-zero turnover answered %r" % value)
            failures += 1
        if not same:
            failures += 1
            print("MISMATCH time %d: C++ %s %s, oracle %d %s" %
                  (time, got_status, got_hex, status, float.hex(value)))
    print("calls %d, statuses %s" % (len(cases), statuses))
    print("ordinary branches %s" % stats)
    # The comparison only means something if every rule was exercised.
    missing = [k for k, v in stats.items() if v == 0]
    if missing:
        print("branches never taken: %s" % missing)
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
