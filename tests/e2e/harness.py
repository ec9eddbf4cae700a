"""Harness for the end-to-end tests: the real exes of one Windows build (the
32-bit one that technicians run, or the 64-bit one) under Wine on Xvfb,
driven through their windows by that build's own panel_driver.exe, with
devsim playing the device on a pseudo-terminal linked as COM3. wine64 hands
a 32-bit exe to the 32-bit Wine by itself, in the same 64-bit prefix.

Every simulated port is announced as a Windows serial driver announces its
port: a SERIALCOMM value beside the dosdevices link, written while the
prefix runs (and deleted at an unplug). The prefix's wineserver, which
performs every open() for its programs, runs with open_spy preloaded, so a
test can count the opens of each line and make one line's open slow.

One Environment per run (display, locales, template Wine prefix); one Session
per test (a copy of the prefix, its wineserver, the driver, the tools and the
devsim instances it started), torn down even when the test fails.
"""
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

WINE = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver'
SERIALCOMM = r'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
PORTS_CLASS = '{4d36e978-e325-11ce-bfc1-08002be10318}'  # SetupAPI's class of COM and LPT ports

BRANNIK_TITLE = 'Tarvel Brannik'
VESSAMO_TITLE = 'Vessamo'

# Control identifiers of the front panels.
IDC_COMPORT = 1000
IDC_STARTFLASH = 1002
IDC_FLASHEEPROM = 1005
IDC_EXIT = 1007
IDC_PROGRESS = 1008
IDC_OPENFILE = 1009
IDC_STATIC = -1


class Environment:
    """What every session shares: the X display, the locales and the
    template Wine prefix. Built once per run."""

    def __init__(self, build_dir, devsim_path, spy_path=None):
        self.build = os.path.abspath(build_dir)
        self.devsim = os.path.abspath(devsim_path)
        self.spy = os.path.abspath(spy_path) if spy_path else None
        self.brannik = os.path.join(self.build, 'brannik', 'brannik.exe')
        self.vessamo = os.path.join(self.build, 'vessamo', 'vessamo.exe')
        self.driver = os.path.join(self.build, 'tests', 'e2e', 'panel_driver.exe')
        self.planted = os.path.join(self.build, 'tests', 'e2e', 'planted')  # riched32.dll, comctl32.dll
        self.bits = exe_bits(self.brannik)
        self.work = tempfile.mkdtemp(prefix='zel-e2e-')
        self.xvfb = None
        self.display = None
        self.locpath = None
        self.template = os.path.join(self.work, 'template')

    def start(self):
        self._start_xvfb()
        self._make_locales()
        self._make_template()

    def stop(self):
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
        shutil.rmtree(self.work, ignore_errors=True)

    def _start_xvfb(self):
        for n in range(91, 200):
            if os.path.exists('/tmp/.X%d-lock' % n) or os.path.exists('/tmp/.X11-unix/X%d' % n):
                continue
            proc = subprocess.Popen(['Xvfb', ':%d' % n, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if os.path.exists('/tmp/.X11-unix/X%d' % n) or proc.poll() is not None:
                    break
                time.sleep(0.05)
            if proc.poll() is None and os.path.exists('/tmp/.X11-unix/X%d' % n):
                self.xvfb, self.display = proc, ':%d' % n
                return
            if proc.poll() is None:
                proc.kill()
        raise RuntimeError('no free X display for Xvfb')

    def _make_locales(self):
        # Wine takes its ANSI code page from the glibc locale; ru_RU gives
        # 1251, which the log view is read back in. Compiled into our own
        # folder unless the system has both locales.
        have = subprocess.run(['locale', '-a'], capture_output=True, text=True).stdout.lower().split()
        if 'ru_ru.utf8' in have and 'en_us.utf8' in have:
            return
        self.locpath = os.path.join(self.work, 'locale')
        os.makedirs(self.locpath)
        for name in ('ru_RU', 'en_US'):
            subprocess.run(['localedef', '-i', name, '-f', 'UTF-8', os.path.join(self.locpath, name + '.UTF-8')],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not os.path.isdir(os.path.join(self.locpath, name + '.UTF-8')):
                raise RuntimeError('localedef %s failed' % name)

    def env(self, prefix, lang='ru_RU.UTF-8'):
        env = dict(os.environ)
        for key in list(env):
            if key.startswith('LC_'):
                del env[key]
        env.update(DISPLAY=self.display, WINEPREFIX=prefix, WINEDEBUG='-all', LANG=lang, LC_ALL=lang,
                   WINEDLLOVERRIDES='mscoree,mshtml=')
        if self.locpath:
            env['LOCPATH'] = self.locpath
        return env

    def _make_template(self):
        env = self.env(self.template)
        run = lambda *args: subprocess.run([WINE] + list(args), env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, timeout=180)
        run('wineboot', '-i')
        # Without a window manager, Wine waits ~2 s on every dialog close
        # unless its windows are unmanaged.
        run('reg', 'add', r'HKCU\Software\Wine\X11 Driver', '/v', 'Managed', '/d', 'N', '/f')
        # A crashing tool must fail its test, not wait behind a crash dialog.
        run('reg', 'add', r'HKCU\Software\Wine\WineDbg', '/v', 'ShowCrashDialog', '/t', 'REG_DWORD', '/d', '0', '/f')
        subprocess.run([WINESERVER, '-w'], env=env, timeout=60)
        if not os.path.exists(os.path.join(self.template, 'system.reg')):
            raise RuntimeError('wineboot did not make a prefix')


class DriverError(AssertionError):
    pass


class Driver:
    """panel_driver.exe running in the session's prefix, one command per line."""

    def __init__(self, session):
        self.proc = subprocess.Popen([WINE, session.environment.driver], env=session.env, cwd=session.dir,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.lines = queue.Queue()
        threading.Thread(target=self._reader, daemon=True).start()

    def _reader(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode('ascii', 'replace').rstrip('\r\n'))
        self.lines.put(None)

    def cmd(self, line, timeout=60):
        self.proc.stdin.write((line + '\n').encode('utf-8'))
        self.proc.stdin.flush()
        try:
            answer = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise DriverError('driver gave no answer to %r' % line)
        if answer is None:
            raise DriverError('driver ended at %r' % line)
        if not answer.startswith('ok'):
            raise DriverError('%s: %s' % (line, answer))
        return answer[3:]

    def close(self):
        try:
            self.proc.stdin.write(b'quit\n')
            self.proc.stdin.flush()
        except OSError:
            pass

    # What a technician sees and does.
    def panel(self, title):
        return self.cmd('panel ' + title)

    def main_window(self, title):
        return self.cmd('main ' + title) == '1'

    def worker(self, ms=10000):
        return self.cmd('worker %d' % ms, timeout=ms / 1000 + 30) == '1'

    def alive(self):
        return self.cmd('alive') == '1'

    def answers(self, ms=1000):
        """WM_NULL to every top-level window of the current panel's process,
        each waited for up to MS ms, as Windows sends a broadcast or the
        session-end query: [(class, milliseconds or None when hung)]."""
        words = self.cmd('answers %d' % ms, timeout=60).split()
        found = []
        for word in words[1:]:
            cls, took = word.rsplit(':', 1)
            found.append((cls, None if took == 'hung' else int(took)))
        return found

    def cwd(self):
        """The current directory of the current panel's process."""
        return bytes.fromhex(self.cmd('cwd')).decode('utf-8')

    def gone(self, ms=10000):
        return self.cmd('gone %d' % ms, timeout=ms / 1000 + 30) == '1'

    def rect(self):
        return [int(v) for v in self.cmd('rect').split()]

    def ctl_rect(self, cid):
        """A control's screen rectangle: left, top, right, bottom."""
        return [int(v) for v in self.cmd('ctlrect %d' % cid).split()]

    def log_rect(self):
        return [int(v) for v in self.cmd('logrect').split()]

    def modules(self):
        """Paths of the modules loaded in the current panel's process."""
        return [bytes.fromhex(w).decode('utf-8') for w in self.cmd('modules').split()]

    def text_width(self, dpi, points, text):
        """Pixels TEXT takes in the panels' font (MS Sans Serif, POINTS) at DPI."""
        return int(self.cmd('textwidth %d %d %s' % (dpi, points, text)))

    def text(self, cid):
        return bytes.fromhex(self.cmd('text %d' % cid)).decode('cp1251')

    def enabled(self, cid):
        return self.cmd('enabled %d' % cid) == '1'

    def items(self, cid):
        parts = self.cmd('items %d' % cid).split(' ')
        return [bytes.fromhex(p).decode('utf-8') for p in parts[1:]]

    def fonts(self):
        """The current panel's controls' fonts, read inside the tool:
        {control id: (face, height)}."""
        fonts = {}
        for line in self.cmd('fonts').split('|'):
            if line:
                cid, height, face = line.split(' ', 2)
                fonts[int(cid)] = (face, int(height))
        return fonts

    def cursel(self, cid):
        return int(self.cmd('cursel %d' % cid))

    def pick(self, cid, index):
        return self.cmd('pick %d %d' % (cid, index))

    def picks(self, cid, indexes, ms):
        """Picks the entries INDEXES in turn, MS milliseconds apart, from
        the driver itself."""
        return self.cmd('picks %d %d %s' % (cid, ms, ','.join(str(i) for i in indexes)))

    def pick_text(self, cid, entry):
        """Picks ENTRY: "COM 3" stands for that port's entry whether or not
        a device name follows it ("COM 3 (USB-SERIAL CH340)")."""
        items = self.items(cid)
        for i, item in enumerate(items):
            if item == entry or item.startswith(entry + ' ('):
                return self.pick(cid, i)
        raise DriverError('no entry %r among %r' % (entry, items))

    def progress(self, cid=IDC_PROGRESS):
        return tuple(int(v) for v in self.cmd('progress %d' % cid).split())

    def log_bytes(self):
        return bytes.fromhex(self.cmd('log'))

    def log(self):
        return normalise(self.log_bytes().decode('cp1251'))

    def click(self, cid):
        return self.cmd('click %d' % cid)

    def clicks(self, n, cid):
        """N presses posted back to back (a burst no hand can beat)."""
        return self.cmd('clicks %d %d' % (n, cid))

    def box(self, title, ms=10000):
        """The text of the message box titled TITLE, or None when none comes."""
        try:
            return bytes.fromhex(self.cmd('box %d %s' % (ms, title), timeout=ms / 1000 + 30)).decode('cp1251')
        except DriverError:
            return None

    def has_box(self, title):
        return self.cmd('hasbox ' + title) == '1'

    def box_ok(self, title):
        return self.cmd('boxok ' + title)

    def open_file(self, path, ms=15000):
        return self.cmd('open %d %s' % (ms, windows_path(path)), timeout=ms / 1000 + 30)

    def save_file(self, path, ms=15000):
        """Types PATH into the "Save As" dialog and presses Save."""
        return self.cmd('save %d %s' % (ms, windows_path(path)), timeout=ms / 1000 + 30)

    def log_menu(self, key, at=None):
        """The log's context menu (the menu key, or a right-click at the screen
        point AT), then KEY typed into it."""
        return self.cmd('logmenu %s' % key + ('' if at is None else ' %d %d' % at))

    def clipboard(self):
        return bytes.fromhex(self.cmd('clipboard')).decode('utf-8')

    def drop(self, cid=IDC_COMPORT):
        """Drops the picker's list down (CBN_DROPDOWN) and closes it again."""
        return self.cmd('drop %d' % cid)

    def device_change(self, title, event, port=0):
        """WM_DEVICECHANGE to the tool's main window: 'arrival' or 'removal'
        of COM<port>, or 'nodes' (DBT_DEVNODES_CHANGED)."""
        return self.cmd('devchange %s %d %s' % (event, port, title))

    def drop_open(self, cid=IDC_COMPORT):
        return self.cmd('dropopen %d' % cid)

    def drop_close(self, cid=IDC_COMPORT):
        return self.cmd('dropclose %d' % cid)

    def dropped(self, cid=IDC_COMPORT):
        """The dropped list's width and its screen rectangle."""
        words = [int(v) for v in self.cmd('dropped %d' % cid).split()]
        return words[0], words[1:]

    def edit_start(self, cid=IDC_COMPORT):
        """Where a combo box's text begins in its edit field, in pixels:
        negative when the field shows the end of a long entry."""
        return int(self.cmd('editstart %d' % cid))

    def relist_us(self, n, cid=IDC_COMPORT):
        """Microseconds per drop of the list (each lists the ports anew)."""
        return int(self.cmd('relist %d %d' % (cid, n), timeout=120))

    def open_cancel(self, ms=15000):
        return self.cmd('opencancel %d' % ms, timeout=ms / 1000 + 30)

    def wait_log(self, predicate, timeout=30, what='log'):
        """Polls the log view until PREDICATE(log) holds; returns the log."""
        return wait_for(lambda: self.log(), predicate, timeout, what)


class Devsim:
    """devsim on a pseudo-terminal, linked into the prefix as a COM port."""

    def __init__(self, path, personality, args, link):
        self.proc = subprocess.Popen([path, personality, '--link', link] + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stderr = b''
        first = queue.Queue()
        threading.Thread(target=lambda: first.put(self.proc.stdout.readline()), daemon=True).start()
        try:
            line = first.get(timeout=10)
        except queue.Empty:
            line = b''
        self.pty = line.decode().strip()
        if not self.pty:
            self.stop()
            raise AssertionError('devsim %s gave no pty path: %s' % (personality, self.stderr.decode(errors='replace')))
        for _ in range(100):
            if os.path.islink(link):
                break
            time.sleep(0.02)

    def stop(self):
        """Stops devsim; returns its exit code (3 means a protocol violation)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        self.stderr += err or b''
        return self.proc.returncode


class Session:
    """One test's Wine prefix with everything started in it."""

    def __init__(self, environment, lang='ru_RU.UTF-8'):
        self.environment = environment
        self.dir = tempfile.mkdtemp(dir=environment.work, prefix='s-')
        self.prefix = os.path.join(self.dir, 'prefix')
        self.workdir = os.path.join(self.dir, 'work')
        os.makedirs(self.workdir)
        clone_prefix(environment.template, self.prefix)
        self.env = environment.env(self.prefix, lang)
        self.tools = []
        self.devsims = []
        self.spy_log = os.path.join(self.dir, 'opens.log')
        self.spy_slow = os.path.join(self.dir, 'slow.txt')
        if environment.spy:
            # Started before anything else in the prefix, so that it is the
            # prefix's server.
            server_env = dict(self.env, LD_PRELOAD=environment.spy, OPEN_SPY_LOG=self.spy_log,
                              OPEN_SPY_SLOW=self.spy_slow)
            subprocess.run([WINESERVER, '-p'], env=server_env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        # The driver's start brings the prefix up; only then may test ports
        # be linked (Wine recreates dosdevices at prefix start).
        self.driver = Driver(self)
        try:
            try:
                self.driver.cmd('list')
            except DriverError as e:
                # A Wine start that did nothing (see start_tool): once more.
                print('panel_driver did not start (%s), started again' % e, file=sys.stderr)
                self.driver.proc.kill()
                self.driver.proc.wait()
                self.driver = Driver(self)
                self.driver.cmd('list')
        except Exception:
            self.close()
            raise

    def dosdevice(self, name):
        return os.path.join(self.prefix, 'dosdevices', name)

    def link_port(self, name, target):
        link = self.dosdevice(name)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
        self.announce(name)

    def devsim(self, personality, *args, port='com3', announce=True):
        link = self.dosdevice(port)
        if os.path.lexists(link):
            os.unlink(link)
        d = Devsim(self.environment.devsim, personality, args, link)
        self.devsims.append(d)
        if announce:
            self.announce(port)
        return d

    def _reg(self, *args):
        """Runs Wine's reg with ARGS. About once in a CI run a Wine start
        does nothing (see start_tool), so a failed call is tried again and,
        failing three times, raises with what reg printed."""
        said = []
        for attempt in range(3):
            r = subprocess.run([WINE, 'reg'] + list(args) + ['/f'], env=self.env, capture_output=True,
                               timeout=60)
            if r.returncode == 0:
                return
            said.append('exit %d: %s %s' % (r.returncode, r.stdout.decode('cp866', 'replace').strip(),
                                            r.stderr.decode('utf-8', 'replace').strip()[-400:]))
            print('wine reg %s: %s' % (args[0], said[-1]), file=sys.stderr)
            time.sleep(0.5)
        raise RuntimeError('wine reg %s failed: %s' % (' '.join(args), ' | '.join(said)))

    def announce(self, port):
        """What a serial driver does as its adapter arrives: the port's name
        under SERIALCOMM (the link must exist already)."""
        self._reg('add', SERIALCOMM, '/v', r'\Device\ZelSim' + port[3:], '/d', port.upper())

    def device_record(self, port, name, bus='USB', device='VID_1A86&PID_7523', instance=None):
        """What a driver's installation writes for its port's device: the
        record SetupAPI lists as a present Ports device, named NAME, for
        PORT ("com3")."""
        key = r'HKLM\SYSTEM\CurrentControlSet\Enum\%s\%s\%s' % (bus, device, instance or 'ZelSim' + port[3:])
        self._reg('add', key, '/v', 'ClassGUID', '/d', PORTS_CLASS)
        self._reg('add', key, '/v', 'FriendlyName', '/d', name)
        self._reg('add', key + r'\Device Parameters', '/v', 'PortName', '/d', port.upper())
        return key

    def withdraw(self, port):
        """An adapter pulled: its SERIALCOMM value and its link go."""
        self._reg('delete', SERIALCOMM, '/v', r'\Device\ZelSim' + port[3:])
        link = self.dosdevice(port)
        if os.path.lexists(link):
            os.unlink(link)

    def opens(self, pty):
        """How often the prefix opened the pseudo-terminal PTY so far; None
        without the spy."""
        if not self.environment.spy:
            return None
        try:
            with open(self.spy_log) as f:
                return sum(1 for line in f if line.strip() == os.path.realpath(pty))
        except FileNotFoundError:
            return 0

    def slow_open(self, pty, ms):
        """From now on an open of PTY takes MS milliseconds."""
        with open(self.spy_slow, 'a') as f:
            f.write('%s %d\n' % (os.path.realpath(pty), ms))

    def launch(self, exe, cwd=None):
        """Starts EXE in the prefix; what Wine prints for it (a crash's
        backtrace) goes to a file of the session, PROC.err_path."""
        err_path = os.path.join(self.dir, 'tool-%d.err' % len(self.tools))
        with open(err_path, 'wb') as err:
            proc = subprocess.Popen([WINE, exe], env=self.env, cwd=cwd or self.workdir,
                                    stdout=subprocess.DEVNULL, stderr=err)
        proc.err_path = err_path
        self.tools.append(proc)
        return proc

    def no_panel(self, proc, error):
        """Why PROC shows no panel: the driver's word, whether it runs, the
        windows of the prefix and the end of what Wine printed for it."""
        try:
            windows = self.driver.cmd('list')
        except DriverError as e:
            windows = str(e)
        with open(proc.err_path, 'rb') as f:
            printed = f.read()[-600:].decode('utf-8', 'replace')
        return '%s; exit code %s; windows: %s; printed: %r' % (error, proc.poll(), windows, printed)

    def start_tool(self, exe, title, cwd=None):
        """Starts EXE and waits for its panel. About once in a CI run (a
        thousand or so Wine process starts) a start does nothing; one
        without a panel is told on stderr, ended, and made once more. A
        second start without a panel fails the test."""
        proc = self.launch(exe, cwd)
        try:
            self.driver.panel(title)
            return proc
        except DriverError as e:
            first = self.no_panel(proc, e)
        print('%s showed no panel, started again: %s' % (os.path.basename(exe), first), file=sys.stderr)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc = self.launch(exe, cwd)
        try:
            self.driver.panel(title)
        except DriverError as e:
            raise DriverError('%s showed no panel twice: %s | %s' % (exe, first, self.no_panel(proc, e)))
        return proc

    def brannik(self, settle=True):
        proc = self.start_tool(self.environment.brannik, BRANNIK_TITLE)
        if settle:
            self.driver.worker()
        return proc

    def vessamo(self, data=None, cwd=None, settle=True):
        cwd = cwd or self.workdir
        if data is not None:
            with open(os.path.join(cwd, 'zel_eeprom.dat'), 'wb') as f:
                f.write(data)
        proc = self.start_tool(self.environment.vessamo, VESSAMO_TITLE, cwd)
        # The panel can show before the port worker's window exists, and a
        # port pick in that gap is lost; tests other than the one about that
        # gap wait it out. SETTLE=False acts at once, as a quick user would.
        if settle:
            self.driver.worker()
        return proc

    def end_session(self):
        """Asks every window of the prefix, as Windows does before a log-off
        or shutdown, and ends the processes whose windows agree. Returns
        wineboot's exit code."""
        return subprocess.run([WINE, 'wineboot', '--end-session'], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60).returncode

    def set_dpi(self, dpi):
        """The display scaling for programs started from now on: 96 is
        100 %, 144 is 150 %."""
        self._reg('add', r'HKCU\Control Panel\Desktop', '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', str(dpi))

    def screenshot(self, path, rect=None):
        """The screen within RECT (left, top, right, bottom; the current
        panel's by default) into PATH; a path ending in "gray:-" answers the
        8-bit grey pixels, row by row."""
        left, top, right, bottom = rect or self.driver.rect()
        geometry = '%dx%d+%d+%d' % (right - left, bottom - top, max(left, 0), max(top, 0))
        return subprocess.run(['import', '-display', self.environment.display, '-window', 'root', '-crop',
                               geometry, '+repage', '-depth', '8', path], check=True, timeout=60,
                              capture_output=True).stdout

    def ink_rows(self, rect):
        """Which rows of the screen within RECT hold dark (text) pixels."""
        width = rect[2] - rect[0]
        grey = self.screenshot('gray:-', rect)
        return [any(b < 128 for b in grey[y * width:(y + 1) * width]) for y in range(len(grey) // width)]

    def close(self):
        self.driver.close()
        subprocess.run([WINESERVER, '-k'], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        for proc in self.tools + [self.driver.proc]:
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for d in self.devsims:
            d.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def exe_bits(path):
    """32 or 64: the machine field of a PE file's header."""
    with open(path, 'rb') as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], 'little')
    if head[pe:pe + 4] != b'PE\0\0':
        raise RuntimeError('%s is not a PE file' % path)
    machine = int.from_bytes(head[pe + 4:pe + 6], 'little')
    return {0x14C: 32, 0x8664: 64}[machine]


WINE32_LOADER = '/usr/lib/wine/wine'


def cannot_run(bits):
    """Why this machine cannot run exes of BITS bits under Wine, or None.
    A 32-bit exe needs the 32-bit Wine (wine32:i386) and a kernel that
    executes 32-bit programs; some kernels refuse them ("Exec format
    error"), and then no 32-bit Windows program can run here."""
    if bits == 64:
        return None
    if not os.path.exists(WINE32_LOADER):
        return 'the 32-bit Wine is not installed (%s; scripts/install_deps.sh installs wine32:i386)' % WINE32_LOADER
    try:
        subprocess.run([WINE32_LOADER, '--version'], capture_output=True, timeout=30, check=True)
    except OSError as e:
        return 'this kernel does not execute 32-bit programs (%s: %s)' % (WINE32_LOADER, e.strerror)
    except subprocess.SubprocessError as e:
        return 'the 32-bit Wine does not start (%s)' % e
    return None


def clone_prefix(template, dest):
    # Hard links keep the copy cheap (the template is ~700 MB); the registry
    # files, which wineserver rewrites, are real copies.
    subprocess.run(['cp', '-al', template, dest], check=True)
    for name in os.listdir(dest):
        if name.endswith('.reg'):
            path = os.path.join(dest, name)
            os.unlink(path)
            shutil.copy2(os.path.join(template, name), path)


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def normalise(text):
    """Line ends as a plain '\\n': the log view may hand back '\\r\\r\\n' or
    '\\r\\n' for one expanded line feed."""
    return re.sub(r'\r*\n|\r', '\n', text)


def wait_for(get, predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = get()
        if predicate(value):
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for %s; last value: %r' % (what, value))
        time.sleep(0.15)


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return None
