#!/usr/bin/env python3
"""Benchmarks of the real exes under Wine against devsim, both bitnesses.

    wine_bench.py [--build DIR ...] [--before DIR] [--devsim PATH] [--spy PATH] [--runs N]
                  [--eeprom-blocks N] [--line-models]

With no arguments, after ./run_tests.sh, it takes build/win32 and build/win64
and build/native/devsim/devsim. For each build (whose exes this machine can
run) it measures, through the end-to-end harness (Xvfb, a Wine prefix,
ru_RU, the build's panel_driver.exe):

  start-up      launch of the exe to its front panel being shown (median
                of N runs per tool; the driver looks every 20 ms), alone
                and beside a COM port whose open takes 5 s (a Bluetooth
                port; open_spy holds the open in the prefix's wineserver),
                and the ratio of the two
  full flash    brannik, from "Start Flash" to the final prompt in the log,
                and on the line from the first probe to the last reply
                (devsim's transcript), against the protocol floor: every
                command exchange and the identify read wait out the 50 ms
                read time-out, and so does every probe left unanswered
  EEPROM write  vessamo, line time per 128-byte block (transcript) and
                press-to-"OK !" time, against its own floor: line_floor.exe
                --eeprom, the same frames and replies with one synchronous
                progress step per block to a shown bar
  port names    start-up of brannik and the time one drop of the port list
                takes (each lists the ports and reads their device records
                anew), beside 8 ports with a device record each and beside
                the same 8 ports with none, runs alternating
  probing CPU   CPU time (user + system, /proc/PID/stat) of the brannik
                process and of the prefix's wineserver over 5 s of probing
                for a device that never answers
  line models   (--line-models, alone) brannik flashing a device that takes
                40 ms per erase block through each of devsim's line models
                (pty, uart, ftdi16, ftdi2, cp210x, cdc): the outcome, the
                time against the protocol floor, the smallest slack per
                phase; with --before the earlier exes after each
  floors        the same build's line_floor.exe, in the same run: brannik's
                line work alone (bare line floor), with one synchronous
                cross-thread progress step per block to a hidden bar (design
                floor), and the same with the bar shown, so that each step
                is painted as on the panel; the flash's line time is printed
                as a ratio to each

With --before DIR (a build of the same bitness from an earlier commit) the
earlier exes are measured in the same run, against the same floors: start-up
(runs alternating with the build's own), the full flash and the EEPROM write.

Prints one line per figure, the ratio lines, and a Markdown table at the
end. The timings depend on the machine; nothing here asserts a bound.
"""
import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'e2e'))
sys.path.insert(0, os.path.join(HERE, '..', 'scripts'))
import harness as h  # noqa: E402
from harness import IDC_COMPORT, IDC_EXIT, IDC_FLASHEEPROM, IDC_OPENFILE, IDC_STARTFLASH  # noqa: E402
import make_samples  # noqa: E402

READ_TIMEOUT_S = 0.050       # brannik's total read time-out for every read
EXCHANGES = 96 + 384 + 128   # erase, program and EEPROM-write blocks of one flash
SYNC_AFTER = 3               # devsim answers the third probe: two wait out the time-out
PROBE_WINDOW_S = 5.0         # probing time over which CPU is measured
OPENED_COM3 = 'Открыт порт COM3\n'
CODE_LOADED = 'Код успешно загружен !\n'
FINAL_PROMPT = 'Выключите и включите питание устройства !\n'
PROMPT2 = 'Прошивка начнется сразу после включения питания.\n'
TICKS = os.sysconf('SC_CLK_TCK')
STAMP = re.compile(r'^\+([0-9.]+)ms ([<>])')


def transcript_span(path):
    """Seconds from the first byte the tool sent to the last reply, and the
    number of lines the tool sent (frames and probes)."""
    first = last = None
    sent = 0
    with open(path, encoding='ascii', errors='replace') as f:
        for line in f:
            m = STAMP.match(line)
            if not m:
                continue
            t = float(m.group(1)) / 1000.0
            if m.group(2) == '<':
                sent += 1
                if first is None:
                    first = t
            else:
                last = t
    return (last - first if first is not None and last is not None else None), sent


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def wineserver_pid(prefix):
    """The wineserver serving PREFIX (found through its environment)."""
    want = ('WINEPREFIX=' + prefix).encode()
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open('/proc/%s/comm' % name) as f:
                if not f.read().strip().startswith('wineserver'):
                    continue
            with open('/proc/%s/environ' % name, 'rb') as f:
                if want in f.read().split(b'\0'):
                    return int(name)
        except OSError:
            continue
    return None


SLOW_OPEN_MS = 5000


def startup_once(env, tool, slow_port):
    """Seconds from launching TOOL's exe to its front panel being shown."""
    s = h.Session(env)
    master = slave = None
    try:
        if slow_port:
            master, slave = os.openpty()
            s.link_port('com7', os.ttyname(slave))
            s.slow_open(os.ttyname(slave), SLOW_OPEN_MS)
        if tool == 'vessamo':
            with open(os.path.join(s.workdir, 'zel_eeprom.dat'), 'wb') as f:
                f.write(make_samples.eeprom_data(16))
        t0 = time.monotonic()
        s.launch(env.brannik if tool == 'brannik' else env.vessamo)
        s.driver.panel(h.BRANNIK_TITLE if tool == 'brannik' else h.VESSAMO_TITLE)
        took = time.monotonic() - t0
        s.driver.click(IDC_EXIT)
        s.driver.gone()
        return took
    finally:
        s.close()
        if master is not None:
            os.close(master)
            os.close(slave)


def bench_startup(env, runs, slow_port, before=None):
    """Median start-up per tool; with BEFORE (exes of an earlier build), the
    same for those, each run of theirs right after one of the build's own."""
    out, out_before = {}, {}
    for tool in ('brannik', 'vessamo'):
        times, times_before = [], []
        for _ in range(runs):
            times.append(startup_once(env, tool, slow_port))
            if before:
                with exes(env, before):
                    times_before.append(startup_once(env, tool, slow_port))
        out[tool] = statistics.median(times)
        where = ' beside a port slow to open' if slow_port else ''
        print('start-up to shown panel, %s%s: median %.2f s of %d (%s)' %
              (tool, where, out[tool], runs, ', '.join('%.2f' % t for t in times)), flush=True)
        if before:
            out_before[tool] = statistics.median(times_before)
            print('start-up to shown panel, %s%s, before: median %.2f s of %d (%s)' %
                  (tool, where, out_before[tool], runs, ', '.join('%.2f' % t for t in times_before)), flush=True)
    return (out, out_before) if before else out


class exes:
    """Within the block, ENV's brannik and vessamo are those of BUILD."""

    def __init__(self, env, build):
        self.env, self.build = env, build

    def __enter__(self):
        self.kept = self.env.brannik, self.env.vessamo
        self.env.brannik = os.path.join(self.build, 'brannik', 'brannik.exe')
        self.env.vessamo = os.path.join(self.build, 'vessamo', 'vessamo.exe')

    def __exit__(self, *exc):
        self.env.brannik, self.env.vessamo = self.kept


NAMED_PORTS = range(3, 11)  # COM3..COM10 for the port-name figures
RELISTS = 20


def named_ports_reg(records):
    """A .reg text announcing COM3..COM10 (SERIALCOMM) and, with RECORDS,
    a device record for each as a USB-serial driver writes it."""
    lines = ['Windows Registry Editor Version 5.00', '', r'[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]']
    lines += [r'"\\Device\\ZelSim%d"="COM%d"' % (n, n) for n in NAMED_PORTS]
    for n in NAMED_PORTS if records else ():
        key = r'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1A86&PID_7523\ZelSim%d' % n
        lines += ['', '[%s]' % key, '"ClassGUID"="%s"' % h.PORTS_CLASS, '"FriendlyName"="USB-SERIAL CH340 (COM%d)"' % n,
                  '', r'[%s\Device Parameters]' % key, '"PortName"="COM%d"' % n]
    return '\r\n'.join(lines) + '\r\n'


def names_once(env, records):
    """brannik beside COM3..COM10, with or without their device records:
    seconds to its shown panel, and microseconds per drop of the list."""
    s = h.Session(env)
    try:
        for n in NAMED_PORTS:
            link = s.dosdevice('com%d' % n)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink('/dev/null', link)
        reg = os.path.join(s.dir, 'ports.reg')
        with open(reg, 'wb') as f:
            f.write(b'\xff\xfe' + named_ports_reg(records).encode('utf-16-le'))
        subprocess.run([h.WINE, 'regedit', '/S', reg], env=s.env, capture_output=True, timeout=60, check=True)
        t0 = time.monotonic()
        s.launch(env.brannik)
        s.driver.panel(h.BRANNIK_TITLE)
        took = time.monotonic() - t0
        items = s.driver.items(IDC_COMPORT)
        named = sum(1 for i in items if i.endswith('(USB-SERIAL CH340)'))
        if named != (len(NAMED_PORTS) if records else 0):
            raise AssertionError('%d named entries: %r' % (named, items))
        relist = s.driver.relist_us(RELISTS)
        t0 = time.monotonic()
        for _ in range(RELISTS):
            s.driver.device_change(h.BRANNIK_TITLE, 'nodes')
        changed = (time.monotonic() - t0) * 1e6 / RELISTS
        s.driver.click(IDC_EXIT)
        s.driver.gone()
        return took, relist, changed
    finally:
        s.close()


def bench_names(env, runs):
    got = {True: [], False: []}
    for _ in range(runs):
        for records in (True, False):
            got[records].append(names_once(env, records))
    out = {}
    for records in (True, False):
        start, relist, changed = (statistics.median(run[k] for run in got[records]) for k in range(3))
        out[records] = (start, relist, changed)
        print('brannik beside %d ports %s: start-up median %.2f s (%s); one drop of the list median %.2f ms (%s); '
              'one device change (records read again) median %.2f ms' %
              (len(NAMED_PORTS), 'with device records' if records else 'without records', start,
               ', '.join('%.2f' % run[0] for run in got[records]), relist / 1000,
               ', '.join('%.2f' % (run[1] / 1000) for run in got[records]), changed / 1000), flush=True)
    return out


def brannik_ready(s, zel, *devsim_args):
    dev = s.devsim('boot-monitor', *devsim_args)
    proc = s.brannik()
    d = s.driver
    d.pick_text(IDC_COMPORT, 'COM 3')
    d.wait_log(lambda t: t.endswith(OPENED_COM3))
    d.click(IDC_OPENFILE)
    d.open_file(zel)
    d.wait_log(lambda t: t.endswith(CODE_LOADED))
    return dev, proc


def flash_once(env, zel, measure, *devsim_args):
    """One flash, "Start Flash" to the final prompt or the failure: the log,
    its seconds, and MEASURE(path of devsim's transcript)."""
    s = h.Session(env)
    try:
        transcript = os.path.join(s.dir, 'flash.txt')
        dev, _ = brannik_ready(s, zel, '--sync-after', str(SYNC_AFTER), *devsim_args, '--transcript', transcript)
        t0 = time.monotonic()
        s.driver.click(IDC_STARTFLASH)
        log = h.wait_for(s.driver.log, lambda t: t.endswith(FINAL_PROMPT) or ' i = ' in t, 300, 'the flash')
        wall = time.monotonic() - t0
        s.driver.click(IDC_EXIT)
        s.driver.gone()
        dev.stop()
        return log, wall, measure(transcript)
    finally:
        s.close()


def bench_flash(env, zel):
    log, wall, (line, sent) = flash_once(env, zel, transcript_span)
    if not log.endswith(FINAL_PROMPT):
        raise AssertionError('flash failed: %r' % log[-200:])
    floor = (EXCHANGES + 1 + (SYNC_AFTER - 1)) * READ_TIMEOUT_S
    print('full flash: %.2f s press to final prompt; %.2f s on the line (%d frames and probes sent); '
          'floor %.2f s; line time over the floor %.1f ms per exchange' %
          (wall, line, sent, floor, (line - floor) * 1000 / (EXCHANGES + 1)), flush=True)
    return {'wall': wall, 'line': line, 'floor': floor, 'sent': sent}


LINE_MODELS = ('pty', 'uart', 'ftdi16', 'ftdi2', 'cp210x', 'cdc')
SLOW_DEVICE = ('--work-ms', 'erase:40')   # a device that takes 40 ms per erase block
PHASE_OF = {'01': 'erase', '02': 'program', '03': 'eeprom'}


def transcript_slack(path):
    """The slack devsim noted after each reply (ms; negative: late), by the
    phase of the frame before it."""
    slack = {'erase': [], 'program': [], 'eeprom': []}
    phase = None
    with open(path, encoding='ascii', errors='replace') as f:
        for line in f:
            if ' < ' in line:
                fields = line.split(' < ', 1)[1].split()
                phase = PHASE_OF.get(fields[2]) if len(fields) > 2 and fields[0] == '0F' else None
            elif phase and ('# slack ' in line or '# late ' in line):
                value = float(line.rsplit(' ', 1)[1].rstrip('ms\n'))
                slack[phase].append(value if '# slack ' in line else -value)
    return slack


def bench_line_model(env, zel, model):
    """A full flash of the slow device through MODEL: the outcome, the time
    from the press to the end, and the slack per phase."""
    log, wall, slack = flash_once(env, zel, transcript_slack, '--line', model, *SLOW_DEVICE)
    outcome = 'flashed' if log.endswith(FINAL_PROMPT) else 'stopped: ' + log.strip().rsplit('\n', 1)[-1]
    print('line %s: %s in %.2f s; smallest slack %s' %
          (model, outcome, wall, ', '.join('%s %.1f ms' % (k, min(v)) for k, v in slack.items() if v)), flush=True)
    return {'outcome': outcome, 'wall': wall, 'slack': slack}


def line_models(build, devsim, spy, before):
    """The slow device flashed through each line model, by the build's exes
    and (with --before) the earlier ones, in one run; a Markdown table."""
    env = h.Environment(build, devsim, spy)
    print('== %d-bit exes (%s), line models, the device taking 40 ms per erase block' % (env.bits, build), flush=True)
    rows = []
    try:
        env.start()
        zel = os.path.join(env.work, 'bench.zel')
        with open(zel, 'wb') as f:
            f.write(make_samples.zel_image())
        for model in LINE_MODELS:
            now = bench_line_model(env, zel, model)
            old = None
            if before:
                with exes(env, before):
                    old = bench_line_model(env, zel, model)
            rows.append((model, now, old))
    finally:
        env.stop()
    floor = (EXCHANGES + 1 + (SYNC_AFTER - 1)) * READ_TIMEOUT_S
    print()
    print('| line (win%d) | these exes | slack erase / program / eeprom, smallest | the exes before |' % env.bits)
    print('|---|---|---|---|')
    for model, now, old in rows:
        def result(r):
            if r['outcome'] != 'flashed':
                return r['outcome'].replace('Устройство не отвечает.', 'no reply,')
            return 'flashed, %.1f s (%.2f x floor)' % (r['wall'], r['wall'] / floor)
        slack = ' / '.join('%.1f ms' % min(v) if v else '-' for v in now['slack'].values())
        print('| %s | %s | %s | %s |' % (model, result(now), slack, result(old) if old else ''), flush=True)
    return 0


FLOORS = {'': 'bare line', '--progress': 'design', '--progress-shown': 'design, bar shown',
          '--eeprom': 'EEPROM write design'}


def bench_floor(env, option, blocks=0):
    """Line time of line_floor.exe OPTION for one flash (devsim answering the
    third probe, as in bench_flash), or with --eeprom for one write of BLOCKS
    blocks (as in bench_eeprom)."""
    s = h.Session(env)
    try:
        transcript = os.path.join(s.dir, 'floor.txt')
        if option == '--eeprom':
            dev = s.devsim('eeprom', '--blocks', str(blocks), '--transcript', transcript)
            with open(os.path.join(s.workdir, 'zel_eeprom.dat'), 'wb') as f:
                f.write(make_samples.eeprom_data(blocks))
        else:
            dev = s.devsim('boot-monitor', '--sync-after', str(SYNC_AFTER), '--transcript', transcript)
        exe = os.path.join(env.build, 'bench', 'line_floor.exe')
        args = [h.WINE, exe] + ([option] if option else [])
        run = subprocess.run(args, env=s.env, cwd=s.workdir, capture_output=True, timeout=300)
        out = run.stdout.decode(errors='replace').strip()
        if run.returncode != 0:
            raise AssertionError('line_floor failed: %s' % out)
        dev.stop()
        line, sent = transcript_span(transcript)
    finally:
        s.close()
    print('%s floor: %.2f s on the line (%d frames and probes sent)' % (FLOORS[option], line, sent), flush=True)
    return line


def bench_eeprom(env, blocks):
    s = h.Session(env)
    try:
        transcript = os.path.join(s.dir, 'eeprom.txt')
        dev = s.devsim('eeprom', '--blocks', str(blocks), '--transcript', transcript)
        proc = s.vessamo(make_samples.eeprom_data(blocks))
        d = s.driver
        d.pick_text(IDC_COMPORT, 'COM 3')
        d.wait_log(lambda t: t.endswith(OPENED_COM3))
        t0 = time.monotonic()
        d.click(IDC_FLASHEEPROM)
        log = h.wait_for(d.log, lambda t: t.endswith('OK !\n') or ' i = ' in t, 300, 'the EEPROM write')
        wall = time.monotonic() - t0
        if not log.endswith('OK !\n'):
            raise AssertionError('EEPROM write failed: %r' % log[-200:])
        d.click(IDC_EXIT)
        d.gone()
        h.wait_exit(proc)
        dev.stop()
        line, sent = transcript_span(transcript)
    finally:
        s.close()
    print('EEPROM write, %d blocks: %.3f s on the line = %.2f ms per block (%d frames); %.2f s press to "OK !"' %
          (blocks, line, line * 1000 / blocks, sent, wall), flush=True)
    return {'blocks': blocks, 'line': line, 'per_block_ms': line * 1000 / blocks, 'wall': wall}


def bench_probing(env, zel):
    s = h.Session(env)
    try:
        transcript = os.path.join(s.dir, 'probe.txt')
        dev, proc = brannik_ready(s, zel, '--never-sync', '--transcript', transcript)
        server = wineserver_pid(s.prefix)
        s.driver.click(IDC_STARTFLASH)
        s.driver.wait_log(lambda t: t.endswith(PROMPT2))
        time.sleep(1.0)  # let probing settle
        c0, w0, t0 = cpu_seconds(proc.pid), cpu_seconds(server) if server else 0.0, time.monotonic()
        time.sleep(PROBE_WINDOW_S)
        c1, w1, t1 = cpu_seconds(proc.pid), cpu_seconds(server) if server else 0.0, time.monotonic()
        s.driver.click(IDC_STARTFLASH)  # "Stop Flash"
        h.wait_for(lambda: s.driver.text(IDC_STARTFLASH), lambda t: t == 'Start Flash', 10, 'Start Flash')
        time.sleep(0.3)
        s.driver.click(IDC_EXIT)
        s.driver.gone()
        dev.stop()
        _, sent = transcript_span(transcript)
    finally:
        s.close()
    span = t1 - t0
    tool_pct = (c1 - c0) * 100 / span
    server_pct = (w1 - w0) * 100 / span if server else float('nan')
    print('probing for a silent device: brannik %.1f %% of one core, wineserver %.1f %% over %.1f s; '
          '%d probes in the whole wait' % (tool_pct, server_pct, span, sent), flush=True)
    return {'tool_pct': tool_pct, 'server_pct': server_pct, 'probes': sent}


def cpu_model():
    try:
        with open('/proc/cpuinfo') as f:
            for line in f:
                if line.startswith('model name'):
                    return line.split(':', 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or 'unknown'


def bench_build(build, devsim, spy, runs, blocks, before=None):
    env = h.Environment(build, devsim, spy)
    print('== %d-bit exes (%s)%s' % (env.bits, build, ', and before: %s' % before if before else ''), flush=True)
    try:
        env.start()
        zel = os.path.join(env.work, 'bench.zel')
        with open(zel, 'wb') as f:
            f.write(make_samples.zel_image())
        r = {'bits': env.bits}
        if before:
            r['start'], r['start_before'] = bench_startup(env, runs, False, before)
        else:
            r['start'] = bench_startup(env, runs, False)
        r['start_slow'] = bench_startup(env, runs, True) if spy else None
        r['bare'] = bench_floor(env, '')
        r['design'] = bench_floor(env, '--progress')
        r['shown'] = bench_floor(env, '--progress-shown')
        r['eeprom_floor'] = bench_floor(env, '--eeprom', blocks) * 1000 / blocks
        r['flash'] = bench_flash(env, zel)
        r['eeprom'] = bench_eeprom(env, blocks)
        if before:
            with exes(env, before):
                print('-- the exes before:', flush=True)
                r['flash_before'] = bench_flash(env, zel)
                r['eeprom_before'] = bench_eeprom(env, blocks)
        r['probe'] = bench_probing(env, zel)
        r['names'] = bench_names(env, runs)
    finally:
        env.stop()
    name = 'win%d' % r['bits']
    print('EEPROM write per block / its design floor (%s): %.3f' %
          (name, r['eeprom']['per_block_ms'] / r['eeprom_floor']), flush=True)
    if before:
        print('full flash / design floor, before (%s): %.3f' % (name, r['flash_before']['line'] / r['design']))
        print('EEPROM write per block / its design floor, before (%s): %.3f' %
              (name, r['eeprom_before']['per_block_ms'] / r['eeprom_floor']), flush=True)
    for tool in ('brannik', 'vessamo') if r['start_slow'] else ():
        print('start-up beside a port slow to open / alone, %s (%s): %.2f' %
              (tool, name, r['start_slow'][tool] / r['start'][tool]), flush=True)
    print('full flash / bare line floor (%s): %.3f' % (name, r['flash']['line'] / r['bare']), flush=True)
    print('full flash / design floor (%s): %.3f' % (name, r['flash']['line'] / r['design']), flush=True)
    print('full flash / design floor with the bar shown (%s): %.3f' % (name, r['flash']['line'] / r['shown']), flush=True)
    return r


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--build', action='append', help='a Windows build folder; default build/win32 and build/win64')
    p.add_argument('--devsim', default=os.path.join(ROOT, 'build', 'native', 'devsim', 'devsim'))
    p.add_argument('--spy', default=os.path.join(ROOT, 'build', 'native', 'tests', 'libopen_spy.so'),
                   help='open_spy, for the start-up beside a port slow to open')
    p.add_argument('--runs', type=int, default=3, help='start-up runs per tool')
    p.add_argument('--eeprom-blocks', type=int, default=256)
    p.add_argument('--before', help='a build of an earlier commit, measured in the same run (one --build only)')
    p.add_argument('--line-models', action='store_true',
                   help='only the flash of a slow device through each of devsim\'s line models')
    args = p.parse_args()
    sys.stdout.reconfigure(encoding='utf-8')
    builds = args.build or [os.path.join(ROOT, 'build', b) for b in ('win32', 'win64')]
    results = []
    for build in builds:
        if not os.path.exists(os.path.join(build, 'brannik', 'brannik.exe')):
            print('== %s: not built (./run_tests.sh builds it)' % build)
            continue
        reason = h.cannot_run(h.exe_bits(os.path.join(build, 'brannik', 'brannik.exe')))
        if reason:
            print('== %s: not measured: %s' % (build, reason))
            continue
        spy = args.spy if os.path.exists(args.spy) else None
        if args.line_models:
            line_models(build, args.devsim, spy, args.before)
            continue
        results.append(bench_build(build, args.devsim, spy, args.runs, args.eeprom_blocks, args.before))
    if args.line_models:
        return 0
    if not results:
        return 1

    print()
    print('%s, %d cores (nproc), %s' % (time.strftime('%Y-%m-%d'), os.cpu_count(), cpu_model()))
    print()
    print('| figure | ' + ' | '.join('win%d' % r['bits'] for r in results) + ' | reference |')
    print('|---|' + '---|' * len(results) + '---|')

    def row(figure, fmt, get, reference=''):
        print('| %s | %s | %s |' % (figure, ' | '.join(fmt % get(r) for r in results), reference))

    floor = (EXCHANGES + 1 + (SYNC_AFTER - 1)) * READ_TIMEOUT_S
    row('start-up to shown panel, brannik', '%.2f s', lambda r: r['start']['brannik'], 'median of %d' % args.runs)
    row('start-up to shown panel, vessamo', '%.2f s', lambda r: r['start']['vessamo'], 'median of %d' % args.runs)
    if all(r['start_slow'] for r in results):
        for tool in ('brannik', 'vessamo'):
            row('start-up beside a port slow to open / alone, %s' % tool, '%.2f',
                lambda r, t=tool: r['start_slow'][t] / r['start'][t],
                'the port\'s open takes %.0f s; 1.00 = not held up' % (SLOW_OPEN_MS / 1000))
    row('full flash on the line (first probe to last reply)', '%.2f s', lambda r: r['flash']['line'],
        'protocol floor %.2f s: (608 exchanges + identify + %d unanswered probes) x 50 ms' % (floor, SYNC_AFTER - 1))
    row('bare line floor (line_floor.exe)', '%.2f s', lambda r: r['bare'], 'the same line work, no windows')
    row('design floor (line_floor.exe --progress)', '%.2f s', lambda r: r['design'],
        'plus one synchronous cross-thread progress step per block')
    row('design floor, bar shown (line_floor.exe --progress-shown)', '%.2f s', lambda r: r['shown'],
        'the same, with every step painted as on the panel')
    row('full flash / bare line floor', '%.3f', lambda r: r['flash']['line'] / r['bare'])
    row('full flash / design floor', '%.3f', lambda r: r['flash']['line'] / r['design'], 'target at most 1.02')
    row('full flash / design floor, bar shown', '%.3f', lambda r: r['flash']['line'] / r['shown'])
    row('full flash, "Start Flash" to final prompt', '%.2f s', lambda r: r['flash']['wall'])
    row('EEPROM write per 128-byte block', '%.2f ms', lambda r: r['eeprom']['per_block_ms'],
        '%d blocks; 1.6 ms of line time at a real 921600 baud' % args.eeprom_blocks)
    row('EEPROM write design floor (line_floor.exe --eeprom) per block', '%.2f ms', lambda r: r['eeprom_floor'],
        'the same frames and replies, one synchronous step per block to a shown bar')
    row('EEPROM write per block / its design floor', '%.3f', lambda r: r['eeprom']['per_block_ms'] / r['eeprom_floor'])
    row('EEPROM write, "Flash EEPROM" to "OK !"', '%.2f s', lambda r: r['eeprom']['wall'], '%d blocks' % args.eeprom_blocks)
    if all('flash_before' in r for r in results):
        for tool in ('brannik', 'vessamo'):
            row('start-up to shown panel, %s, before' % tool, '%.2f s', lambda r, t=tool: r['start_before'][t],
                'the earlier exes, runs alternating')
        row('full flash / design floor, before', '%.3f', lambda r: r['flash_before']['line'] / r['design'],
            'the earlier exes, same floors')
        row('EEPROM write per block / its design floor, before', '%.3f',
            lambda r: r['eeprom_before']['per_block_ms'] / r['eeprom_floor'], 'the earlier exes, same floor')
    for records, label in ((True, 'with'), (False, 'without')):
        row('start-up beside 8 ports %s device records, brannik' % label, '%.2f s',
            lambda r, k=records: r['names'][k][0], 'median of %d, runs alternating' % args.runs)
        row('one drop of the port list, 8 ports %s records' % label, '%.2f ms',
            lambda r, k=records: r['names'][k][1] / 1000, 'median of %d runs of %d drops' % (args.runs, RELISTS))
        row('one device change (the list and the records read again), 8 ports %s records' % label, '%.2f ms',
            lambda r, k=records: r['names'][k][2] / 1000, 'WM_DEVICECHANGE sent from the driver, round trip')
    row('CPU while probing, brannik process', '%.1f %%', lambda r: r['probe']['tool_pct'], 'of one core')
    row('CPU while probing, wineserver', '%.1f %%', lambda r: r['probe']['server_pct'], 'of one core')
    return 0


if __name__ == '__main__':
    sys.exit(main())
