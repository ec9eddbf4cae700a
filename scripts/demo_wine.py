#!/usr/bin/env python3
"""The Wine half of ./demo.sh: runs the real brannik.exe and vessamo.exe
against devsim and checks what the simulated device received.

    demo_wine.py --build DIR --devsim PATH --samples DIR --out DIR [--headless]

DIR is a Windows build folder: build/win32 (the exes technicians run) or
build/win64.

Headless (no DISPLAY, or --headless): everything runs on a private Xvfb and
panel_driver.exe does the clicking, as a technician would: pick COM 3, open
the sample file through the open-file dialog, press Start Flash; then in
vessamo pick COM 3 and press Flash EEPROM. With a DISPLAY the tools open on
that display and the user does the clicking; this script says what to do.

Either way the log view is printed as UTF-8 while it grows, the device's
code and EEPROM images (devsim --code-out/--eeprom-out) are compared with the
samples, screenshots go to OUT, and the exit code is 0 only when both tools
delivered exactly the sample data.
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'e2e'))
sys.path.insert(0, HERE)
import harness as h  # noqa: E402
from harness import IDC_COMPORT, IDC_EXIT, IDC_FLASHEEPROM, IDC_OPENFILE, IDC_STARTFLASH  # noqa: E402
import make_samples  # noqa: E402

OPENED_COM3 = 'Открыт порт COM3\n'
CODE_LOADED = 'Код успешно загружен !\n'
FINAL_PROMPT = 'Выключите и включите питание устройства !\n'
EEPROM_OK = 'OK !\n'
FLASH_TIMEOUT_S = 300      # a full flash takes about 31 s on a pseudo-terminal
USER_TIMEOUT_S = 1800      # how long the interactive demo waits for the user


class LogPrinter:
    """Prints what the log view gained since the last look."""

    def __init__(self, driver):
        self.d = driver
        self.seen = ''
        self.at_line_start = True

    def poll(self):
        try:
            text = self.d.log()
        except h.DriverError:
            return self.seen
        if text.startswith(self.seen):
            new = text[len(self.seen):]
        else:
            new = '\n' + text
        for piece in split_keep(new):
            if self.at_line_start:
                sys.stdout.write('    | ')
            sys.stdout.write(piece)
            self.at_line_start = piece.endswith('\n')
        sys.stdout.flush()
        self.seen = text
        return text

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            text = self.poll()
            if predicate(text):
                return text
            if time.monotonic() > deadline:
                raise AssertionError('timed out waiting for %s' % what)
            time.sleep(0.2)


def split_keep(text):
    """Lines with their line feeds, so that each can get the log margin."""
    parts = text.split('\n')
    out = [p + '\n' for p in parts[:-1]]
    if parts[-1]:
        out.append(parts[-1])
    return out


def say(text):
    print('==> ' + text, flush=True)


def read(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:
        return b''


def compare(name, got, want):
    if got == want:
        say('%s: the device holds exactly the %d sample bytes' % (name, len(want)))
        return True
    diff = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
    say('%s: MISMATCH (device has %d bytes, sample %d; first difference at byte %d)' %
        (name, len(got), len(want), diff))
    return False


class DisplayEnvironment(h.Environment):
    """The user's own X display instead of a private Xvfb, and managed
    windows, so that a window manager can move and focus them."""

    def _start_xvfb(self):
        self.display = os.environ['DISPLAY']

    def _make_template(self):
        super()._make_template()
        env = self.env(self.template)
        subprocess.run([h.WINE, 'reg', 'delete', r'HKCU\Software\Wine\X11 Driver', '/v', 'Managed', '/f'],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        subprocess.run([h.WINESERVER, '-w'], env=env, timeout=60)


def follow_user(proc, log):
    """Echoes the log while the user works the tool, until it exits."""
    deadline = time.monotonic() + USER_TIMEOUT_S
    while proc.poll() is None and time.monotonic() < deadline:
        log.poll()
        time.sleep(0.3)


def stop_devsim(dev):
    """Stops devsim; its exit code is 0 unless the tool broke the protocol."""
    rc = dev.stop()
    if rc != 0:
        say('devsim saw protocol violations (exit %d):\n%s' % (rc, dev.stderr.decode(errors='replace')))
    return rc


def flash_firmware(s, zel, out, headless):
    code, eeprom = make_samples.split_zel(read(zel))
    code_out, eeprom_out = os.path.join(out, 'device-code.bin'), os.path.join(out, 'device-eeprom.bin')
    for p in (code_out, eeprom_out):
        if os.path.exists(p):
            os.unlink(p)
    dev = s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out)
    say('devsim plays the boot monitor on %s, linked as COM3' % dev.pty)
    proc = s.brannik()
    d = s.driver
    log = LogPrinter(d)
    say('brannik.exe is up ("Tarvel Brannik")')
    if headless:
        say('picking COM 3 in "Select COM Port"')
        d.pick_text(IDC_COMPORT, 'COM 3')
        log.wait(lambda t: t.endswith(OPENED_COM3), 30, 'the port to open')
        say('pressing "Open File" and choosing %s in the open-file dialog' % h.windows_path(zel))
        d.click(IDC_OPENFILE)
        d.open_file(zel)
        log.wait(lambda t: t.endswith(CODE_LOADED), 30, 'the image to load')
        say('pressing "Start Flash" (devsim answers the first probe, as a device just switched on)')
        d.click(IDC_STARTFLASH)
        shot = False
        deadline = time.monotonic() + FLASH_TIMEOUT_S
        while True:
            text = log.poll()
            if text.endswith(FINAL_PROMPT) or ' i = ' in text:
                break
            if not shot and 'Прошиваем новый код' in text:
                time.sleep(2)
                s.screenshot(os.path.join(out, 'brannik-flashing.png'))
                shot = True
            if time.monotonic() > deadline:
                raise AssertionError('the flash did not end within %d s' % FLASH_TIMEOUT_S)
            time.sleep(0.25)
        log.poll()
        s.screenshot(os.path.join(out, 'brannik-done.png'))
        d.click(IDC_EXIT)
        d.gone()
    else:
        say('In the "Tarvel Brannik" window:')
        print('      1. pick "COM 3" in "Select COM Port" (devsim is behind it);\n'
              '      2. press "Open File" and choose %s;\n'
              '      3. press "Start Flash". The tool asks you to switch the device off and on:\n'
              '         the simulated device is "switched on" already and answers at once;\n'
              '      4. wait for "Выключите и включите питание устройства !" (about 31 s), then press "Exit".'
              % h.windows_path(zel), flush=True)
        follow_user(proc, log)
    h.wait_exit(proc, 20)
    rc = stop_devsim(dev)
    ok_code = compare('code image', read(code_out), code)
    ok_eeprom = compare('EEPROM image', read(eeprom_out), eeprom)
    return rc == 0 and ok_code and ok_eeprom


def write_eeprom(s, dat, out, headless):
    data = read(dat)
    blocks = len(data) // 128
    eeprom_out = os.path.join(out, 'device-eeprom-vessamo.bin')
    if os.path.exists(eeprom_out):
        os.unlink(eeprom_out)
    dev = s.devsim('eeprom', '--blocks', str(max(blocks, 1)), '--eeprom-out', eeprom_out)
    say('devsim plays the EEPROM device on %s, linked as COM3' % dev.pty)
    proc = s.vessamo(data)
    d = s.driver
    log = LogPrinter(d)
    say('vessamo.exe is up ("Vessamo"), started in a folder holding zel_eeprom.dat (%d bytes)' % len(data))
    if headless:
        log.poll()
        say('picking COM 3 in "COM Port"')
        d.pick_text(IDC_COMPORT, 'COM 3')
        log.wait(lambda t: t.endswith(OPENED_COM3), 30, 'the port to open')
        say('pressing "Flash EEPROM"')
        d.click(IDC_FLASHEEPROM)
        log.wait(lambda t: t.endswith(EEPROM_OK) or ' i = ' in t, 120, 'the EEPROM write to end')
        s.screenshot(os.path.join(out, 'vessamo-done.png'))
        d.click(IDC_EXIT)
        d.gone()
    else:
        say('In the "Vessamo" window:')
        print('      1. pick "COM 3" in "COM Port";\n'
              '      2. press "Flash EEPROM";\n'
              '      3. wait for "Записываем данные ... OK !", then press "Exit".', flush=True)
        follow_user(proc, log)
    h.wait_exit(proc, 20)
    rc = stop_devsim(dev)
    return rc == 0 and compare('EEPROM data', read(eeprom_out), data)


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--build', required=True, help='a Windows build folder (build/win32 or build/win64)')
    p.add_argument('--devsim', required=True)
    p.add_argument('--samples', required=True)
    p.add_argument('--out', required=True)
    p.add_argument('--headless', action='store_true', help='drive the tools even when DISPLAY is set')
    args = p.parse_args()
    sys.stdout.reconfigure(encoding='utf-8')
    headless = args.headless or not os.environ.get('DISPLAY')
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    zel = os.path.abspath(os.path.join(args.samples, 'sample.zel'))
    dat = os.path.abspath(os.path.join(args.samples, 'zel_eeprom.dat'))

    env = (h.Environment if headless else DisplayEnvironment)(args.build, args.devsim)
    results = {}
    try:
        say('preparing a Wine prefix%s (about 10 s)' % (' and Xvfb' if headless else ''))
        env.start()
        for name, step, sample in (('brannik', flash_firmware, zel), ('vessamo', write_eeprom, dat)):
            s = h.Session(env, 'ru_RU.UTF-8')
            try:
                say('--- %s ---' % name)
                results[name] = step(s, sample, out, headless)
            except (AssertionError, h.DriverError) as e:
                say('%s: %s' % (name, e))
                results[name] = False
            finally:
                s.close()
    finally:
        env.stop()
    for name in ('brannik', 'vessamo'):
        say('%s: %s' % (name, 'OK' if results.get(name) else 'FAILED'))
    if headless:
        say('screenshots in %s' % out)
    return 0 if results and all(results.values()) and len(results) == 2 else 1


if __name__ == '__main__':
    sys.exit(main())
