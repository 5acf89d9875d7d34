#!/usr/bin/env python3
"""A second, independent implementation of the four host link controllers (bitrate, link state,
fluidity governor, keyframe interval), written in Python from the controllers' rules rather than from
the C++, and driven the way the session drives them. It produced link_scenario_expected.csv, which the
C++ replay must match line for line:

    python3 link_scenario_model.py link_scenario.csv > link_scenario_expected.csv

Only the paths the scenario takes are modelled (no plateau, radio tolerance, anchor or floor demotion).
"""
import math, sys
INTMAX = 2**63-1
def T(x):  # a double truncated toward zero
    return int(x)
class Bitrate:
    def __init__(s, w, h, fps, start, floor, cap, q=0.1, hold=True):
        s.bppCap = max(T(q*float(w*h*fps)), 12_000_000)
        s.floorCfg = floor; s.userCap = cap
        s.ceiling = cap if cap is not None else s.bppCap
        s.floor = s.effFloor = min(s.ceiling, floor)
        s.bitrate = max(s.effFloor, min(s.ceiling, start)); s.delay = s.ceiling; s.last = s.bitrate
        s.cleanRun=0; s.slow=False; s.plateau=False; s.radio=False; s.goodput=0; s.proven=0; s.provenRun=0; s.streak=0
        s.delayRun=0; s.hold=hold; s.lastDec=None; s.lastFloorCut=None
    def commit(s):
        t = max(min(s.bitrate, s.delay, s.ceiling), s.effFloor)
        if abs(t - s.last)*20 > s.last:
            s.last = t; return t
        return None
    def fb(s, lost, nack, asm, fi):
        if lost or nack >= 2:
            s.streak = max(s.streak-120, 0)
            s.bitrate = max(T(float(s.bitrate)*0.92), s.effFloor); s.cleanRun=0; s.provenRun=0
        elif fi > 0 and asm > fi*7//10:
            s.bitrate = max(T(float(s.bitrate)*0.95), s.effFloor); s.cleanRun=s.provenRun=s.streak=0
        else:
            s.cleanRun += 1
            need = 60 if s.slow else 30
            if s.cleanRun >= need:
                s.bitrate = min(s.bitrate + (1_000_000 if s.slow else 2_000_000), s.ceiling); s.cleanRun = 0
        return s.commit()
    def delaysig(s, sig, rx, now):
        if sig == 1:
            s.delayRun += 1
            if s.delayRun >= (30 if s.slow else 15):
                s.delay = min(s.delay + (500_000 if s.slow else 1_000_000), s.ceiling); s.delayRun = 0
            return s.commit()
        if sig == 2:
            if s.lastDec is not None and now - s.lastDec < 400_000:
                s.delayRun = 0; return s.commit()
            base = rx if 0 < rx < s.delay else s.delay
            cut = T(float(base)*0.85)
            s.delay = max(cut, s.effFloor); s.lastDec = now; s.delayRun = 0
            return s.commit()
        if not s.hold: s.delayRun = 0
        return s.commit()
class Link:
    def __init__(s):
        s.raw=s.vis=s.dp=s.asm=0.0; s.chunks=1.0; s.n=0
    def fb(s, lost, fec, clean, asm, sig):
        s.n += 1
        s.raw = (1.0 if (lost or fec) else 0.0)*0.05 + s.raw*(1-0.05)
        s.vis = (1.0 if lost else 0.0)*0.05 + s.vis*(1-0.05)
        if sig in (1,2,3):
            step = {1:0.0, 2:0.1, 3:-0.05}[sig]
            s.dp = min(step + 0.9*s.dp, 1.0)
            if s.dp < 0: s.dp = 0.0
        if clean: s.asm = float(asm)*0.1 + s.asm*(1-0.1)
    def state(s, applied, floor):
        if s.n < 60: reg='clean'
        elif s.vis > 0.15 or s.raw > 0.25: reg='critical'
        elif s.raw < 0.02 and s.dp < 0.2 and s.asm < 5500: reg='clean'
        elif s.asm >= 5500 and s.dp < 0.3: reg='burstLimited'
        elif s.raw > 0.05 or s.dp > 0.3: reg='throughputLimited'
        else: reg='clean'
        return dict(raw=s.raw, vis=s.vis, dp=s.dp, asm=s.asm, regime=reg, exhausted=(floor*11//10 >= applied))
class Gov:
    def __init__(s):
        s.phase=0; s.eacc=0; s.racc=0; s.pent=0; s.since=0; s.lastUp=0; s.cap=INTMAX; s.base=0.02
    def update(s, L, rx, applied, floor, fps, now):
        dt = 16000 if s.lastUp == 0 else min(now - s.lastUp, 500000)
        s.lastUp = now
        over = (applied/2 > float(rx)) if rx > 0 else (applied > 0)
        clog = L['exhausted'] and rx < 800000 and over and L['vis'] > max(s.base+0.08, 0.12)
        dcap = min(max(T(0.7*rx), 150000), 500000)
        go6 = False
        if s.phase != 0:
            age = now - s.since
            if age >= 120_000_000 or (age >= 25_000_000 and rx >= 800000):
                s.phase = 0; s.eacc = s.racc = 0
            else:
                go6 = True
        if not go6:
            s.cap = INTMAX
            if clog: s.eacc += dt
            else:
                s.eacc = max(s.eacc - 2*dt, 0); s.base = 0.99*s.base + 0.01*L['vis']
            if s.eacc >= 1_200_000:
                s.phase = 1; s.cap = dcap; s.pent = s.since = now; s.eacc = s.racc = 0
        else:
            run7 = False
            if s.phase == 1:
                age = now - s.since
                if age < 25_000_000:
                    s.cap = dcap
                    if now - s.pent >= 1_500_000:
                        s.phase = 2; s.pent = now; s.racc = 0
                else:
                    s.phase = 2; s.racc = 0; s.pent = now; run7 = True
            elif s.phase == 2:
                run7 = True
            if run7:
                bad = (L['vis'] > max(s.base+0.08, 0.15) or L['dp'] > 0.8) and rx < 800000
                if bad:
                    s.phase = 1; s.cap = dcap; s.pent = now; s.racc = 0
                else:
                    s.cap = min(floor, T(s.cap * 1.25**(dt/1_000_000)))
                    if s.cap < floor: s.racc = 0
                    else:
                        if L['vis'] < max(0.5*s.base + 0.03, 0.05):
                            s.racc += dt
                            if s.racc >= 3_000_000:
                                s.phase = 0; s.cap = INTMAX; s.racc = 0
                        else: s.racc = 0
        if s.phase == 0:
            return dict(engaged=False, phase=0, cap=INTMAX, qp=44, pfec=False)
        p = (floor - s.cap)/max(floor-150000, 1); p = min(max(p,0.0),1.0)
        qp = 44 + int(math.floor(4*p + 0.5))
        return dict(engaged=True, phase=s.phase, cap=s.cap, qp=qp, pfec=s.cap < 1_000_000)
class KF:
    def __init__(s, start):
        s.iv = min(max(start, 0.5), 5.0); s.ceil=5.0; s.run=0; s.slowLeft=0; s.bfloor=0.5
    def window(s, lost, ample):
        old = s.iv; lower = max(s.bfloor, 0.5)
        if lost >= 3:
            step = 0.5 if lost > 7 else 0.25
            s.iv = max(old-step, lower); s.run = 0; s.slowLeft = 30
        elif lost in (1,2):
            return None
        else:
            c = min(1.0, s.ceil) if ample else s.ceil
            if old > c + 0.001:
                s.iv = max(c, lower, old-0.25); s.run = 0
            else:
                s.run += 1
                if s.slowLeft >= 1:
                    s.slowLeft -= 1
                    if s.run >= 5: s.iv = min(old+0.05, c); s.run = 0
                elif s.run >= 3:
                    s.iv = min(old+0.1, c); s.run = 0
        return s.iv if abs(s.iv-old) > 0.001 else None

def main(inp):
    br = Bitrate(1920,1080,60,12_000_000,847_235,4_000_000); lk=Link(); gv=Gov(); kf=KF(2.75)
    out = ["feedback,nowUs,appliedBps,lossLoopBps,delayLoopBps,regime,exhausted,phase,capBps,maxFrameQP,suppressPFec,keyframeSec"]
    prev=None; cnt=0; lostw=0
    lines = open(inp).read().split('\n')[1:]
    for i,l in enumerate(x for x in lines if x):
        now, st, asm, sig, rate = l.split(',')
        now=int(now); asm=int(asm); sig=int(sig); rate=int(rate)
        lost = st=='lost'
        br.fb(lost, 0, asm, 1_000_000//60)
        d = sig if sig in (1,2,3) else 0
        rx = rate*1000
        br.delaysig(d, rx, now)
        cnt += 1
        if lost: lostw += 1
        lk.fb(lost, st=='recoveredViaFec', st=='clean', asm, d)
        applied = br.last; floor = br.floor
        L = lk.state(applied, floor)
        D = gv.update(L, rx, applied, floor, 60, now)
        if cnt % 60 == 0:
            kf.window(lostw, applied >= 5_000_000); lostw = 0
        row = "%d,%d,%d,%s,%d,%d,%s,%d,%d,%.2f" % (applied, br.bitrate, br.delay, L['regime'], 1 if L['exhausted'] else 0,
            D['phase'], 'none' if D['cap']==INTMAX else str(D['cap']), D['qp'], 1 if D['pfec'] else 0, kf.iv)
        if row != prev: out.append("%d,%d,%s" % (i, now, row))
        prev = row
    return out
if __name__ == '__main__':
    print('\n'.join(main(sys.argv[1])))
