#!/usr/bin/env python3
"""End-to-end tests of brannik and vessamo: the real exes of one Windows build
(32- or 64-bit) under Wine, driven through their windows as a technician
would, against devsim.

Usage: run_e2e.py --build DIR --devsim PATH [--only CLASS[,CLASS...]]
                  [--screenshots DIR]
Prints "N passed, M failed" last and exits non-zero on any failure.
"""
import argparse
import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
from harness import (IDC_COMPORT, IDC_EXIT, IDC_FLASHEEPROM, IDC_OPENFILE, IDC_PROGRESS,  # noqa: E402
                     IDC_STARTFLASH, BRANNIK_TITLE, VESSAMO_TITLE)

ENV = None
SCREENSHOTS = None
SKIPPED_EXIT = 77  # ctest's SKIP_RETURN_CODE for these entries
IDC_LABEL = 0xFFFF  # the picker's label, IDC_STATIC (-1) as a dialog template's 16-bit id

# Log texts, as the tools format them (line feeds normalised).
OPENED_COM3 = 'Открыт порт COM3\n'
OPENED_COM3_CP1251 = bytes.fromhex('CEF2EAF0FBF220EFEEF0F220434F4D33')
CLOSED = 'COM порт закрыт.\n'
EEPROM_SIZE = 'Успешно загружен файл EEPROM. Размер: %d байт\n'
WRITING = 'Записываем данные ... '
WRITE_OK = WRITING + 'OK !\n'
CODE_LOADED = 'Код успешно загружен !\n'
PROMPTS = '\nВыключите и включите питание устройства.\nПрошивка начнется сразу после включения питания.\n'
FINAL_PROMPT = 'Выключите и включите питание устройства !\n'
ERASING = 'Стираем старый код ... '
PROGRAMMING = 'Прошиваем новый код ... '
WRITING_EEPROM = 'Прошиваем новый EEPROM ...'
DONE = 'успешно !\n'
IDENTIFIED = 'Обнаружен загрузчик версии: %s \n'
LINK_ERROR = 'Ошибка связи с устройством.\n'
UNRECOGNISED = 'Неопознаный ответ от устройства.'

# A line that another program left with XON/XOFF both ways and RTS/CTS, and
# a device whose replies carry XON and XOFF in the bytes the tools do not
# interpret; devsim notes the line's flow control as it changes.
LEFT_SET_UP = ('--flow-control-left', '--filler', '11,13')
FLOW_CONTROL_LEFT = 'ixon=1 ixoff=1 crtscts=1'
FLOW_CONTROL_OFF = 'ixon=0 ixoff=0 crtscts=0'

# Russian and Kazakh letters: no ANSI code page has them all.
FOLDER = 'Прошивки — Әлем'


def pattern(n_blocks, seed):
    return bytes((i * 7 + seed + (i >> 7)) & 0xFF for i in range(n_blocks * 128))


def make_zel(path, seed=1):
    code = bytes((i * 13 + seed + (i >> 8)) & 0xFF for i in range(49152))
    eeprom = bytes((i * 5 + seed) & 0xFF for i in range(1024))
    with open(path, 'wb') as f:
        f.write(b'ZEL' + code + b'LEZ' + eeprom)
    return code, eeprom


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def flow_control_seen(transcript):
    """The line's flow control as devsim noted it when it started, and as it
    stood when the tool's first byte arrived."""
    at_start = current = None
    for line in read(transcript).decode(errors='replace').splitlines():
        if '# line: ' in line:
            current = line.split('# line: ', 1)[1]
            at_start = at_start or current
        elif ' < ' in line:
            return at_start, current
    return at_start, None


class SessionTest(unittest.TestCase):
    """Each test gets its own prefix, driver and devsims, torn down always."""
    lang = 'ru_RU.UTF-8'

    def setUp(self):
        self.s = h.Session(ENV, self.lang)
        self.addCleanup(self.s.close)
        self.d = self.s.driver

    def full_write(self, port):
        """vessamo, the current panel, picks COM<PORT> and writes its data
        to the eeprom devsim there, to "OK !"."""
        self.d.pick_text(IDC_COMPORT, 'COM %d' % port)
        self.d.wait_log(lambda l: l.endswith('Открыт порт COM%d\n' % port))
        self.d.click(IDC_FLASHEEPROM)
        self.d.wait_log(lambda l: l.endswith(WRITE_OK) or 'i = ' in l)
        self.assertTrue(self.d.log().endswith(WRITE_OK), self.d.log())

    def full_flash(self, dev, code_out, eeprom_out):
        zel = os.path.join(self.s.dir, 'fw.zel')
        code, eeprom = make_zel(zel, 5)
        self.d.click(IDC_OPENFILE)
        self.d.open_file(zel)
        self.d.wait_log(lambda l: l.endswith(CODE_LOADED))
        h.wait_for(lambda: self.d.enabled(IDC_STARTFLASH), bool, 5, 'Start Flash enabled')
        self.d.click(IDC_STARTFLASH)
        self.d.wait_log(lambda l: l.endswith(FINAL_PROMPT) or 'i = ' in l, 180)
        self.assertTrue(self.d.log().endswith(FINAL_PROMPT), self.d.log())
        self.assertEqual(dev.stop(), 0, dev.stderr)
        self.assertEqual(read(code_out), code)
        self.assertEqual(read(eeprom_out), eeprom)

    def assertAllAnswer(self, when):
        """Every top-level window of the current panel's process takes a
        sent message within a second, as a broadcast or the session-end
        query needs: a window that does not is what Windows counts as hung."""
        answers = self.d.answers(1000)
        self.assertTrue(answers, when)
        late = [(cls, ms) for cls, ms in answers if ms is None or ms > 1000]
        self.assertEqual(late, [], '%s: %s' % (when, answers))

    def assertStays(self, get, expected, seconds=1.0):
        """The value stays as expected for a while (nothing happens later)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.assertEqual(get(), expected)
            time.sleep(0.2)

    def assertLogLeaves(self, tool, baud, at=None):
        """Copy Log puts the log on the clipboard as shown; Save Log As writes
        it to a file: UTF-8 with a byte-order mark, CR LF, the header first."""
        log = self.d.log()
        self.d.log_menu('l', at)
        clip = h.wait_for(lambda: self.d_clipboard(), lambda c: c is not None, 10, 'the log on the clipboard')
        self.assertNotIn('\r\r', clip)
        self.assertEqual(clip.replace('\r\n', '\n'), log)
        self.assertEqual(clip.count('\n'), clip.count('\r\n'))
        path = os.path.join(self.s.dir, 'saved %s.log' % tool)
        self.d.log_menu('s', at)
        self.d.save_file(path)
        data = h.wait_for(lambda: read(path) if os.path.exists(path) else b'', lambda b: b, 15, 'the saved log')
        self.assertTrue(data.startswith(b'\xef\xbb\xbf'), data[:16])
        text = data[3:].decode('utf-8')
        head, _, body = text.partition('\r\n\r\n')
        lines = head.split('\r\n')
        self.assertRegex(lines[0], r'^Tool: %s 1\.0\.0\.1 \((32|64)-bit exe\)$' % tool)
        self.assertTrue(lines[1].startswith('Windows: '), lines)
        self.assertRegex(lines[2], r'^Saved: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$')
        self.assertEqual(lines[3], 'Port: COM 3, %s baud' % baud)
        self.assertEqual(body, clip)
        self.assertEqual(self.d.log(), log)  # the log as it was

    def d_clipboard(self):
        try:
            return self.d.clipboard()
        except h.DriverError:
            return None


class StartupTest(SessionTest):
    def check_common(self, label, action, action_enabled, progress_enabled):
        d = self.d
        items = d.items(IDC_COMPORT)
        self.assertEqual(items[0], '----')
        self.assertIn('COM 1', items)  # Wine always links com1
        self.assertIn('COM 3', items)
        numbers = [int(x.split()[1]) for x in items[1:]]
        self.assertEqual(numbers, sorted(numbers))
        self.assertTrue(all(re.fullmatch(r'COM \d+( \(.+\))?', x) for x in items[1:]), items)
        self.assertEqual(d.cursel(IDC_COMPORT), 0)
        self.assertEqual(d.progress(), (0, 2048, 0))
        self.assertEqual(d.enabled(IDC_PROGRESS), progress_enabled)
        self.assertEqual(d.text(65535), label)  # the picker's label (IDC_STATIC)
        self.assertEqual(d.enabled(action), action_enabled)
        self.assertEqual(d.text(IDC_EXIT), 'Exit')
        self.assertTrue(d.enabled(IDC_EXIT))
        self.assertTrue(d.enabled(IDC_COMPORT))

    def test_brannik_panel_at_start(self):
        self.s.devsim('boot-monitor')
        self.s.brannik()
        d = self.d
        self.assertTrue(d.main_window(BRANNIK_TITLE))
        self.check_common('Select COM Port', IDC_STARTFLASH, False, False)
        self.assertEqual(d.text(IDC_STARTFLASH), 'Start Flash')
        self.assertEqual(d.text(IDC_OPENFILE), 'Open File')
        self.assertTrue(d.enabled(IDC_OPENFILE))
        self.assertEqual(d.log(), '')
        self.assertEqual(d.cmd('ctl 1006'), '0')  # placeholder gone, log view in its place

    def test_vessamo_panel_at_start(self):
        self.s.devsim('eeprom')
        self.s.vessamo(pattern(3, 0))
        d = self.d
        self.assertTrue(d.main_window(VESSAMO_TITLE))
        self.check_common('COM Port', IDC_FLASHEEPROM, True, True)
        self.assertEqual(d.text(IDC_FLASHEEPROM), 'Flash EEPROM')
        self.assertEqual(d.cmd('ctl %d' % IDC_OPENFILE), '0')
        # The size line is the first and only line.
        self.assertEqual(d.log(), EEPROM_SIZE % 384)

    def test_second_instances_exit_and_tools_run_side_by_side(self):
        first_b = self.s.brannik()
        first_v = self.s.vessamo(pattern(1, 0))
        # Each second start brings its tool's panel to the front, over the
        # other tool's, which was the foreground window.
        for exe, title in ((ENV.brannik, BRANNIK_TITLE), (ENV.vessamo, VESSAMO_TITLE)):
            second = self.s.launch(exe)
            self.assertEqual(h.wait_exit(second, 30), 1, exe)
            self.d.panel(title)
            self.assertEqual(self.d.cmd('front'), '1 1', title)
        for title in (BRANNIK_TITLE, VESSAMO_TITLE):
            self.d.panel(title)
            self.assertTrue(self.d.alive(), title)
        self.assertIsNone(first_b.poll())
        self.assertIsNone(first_v.poll())
        # Both still work: each ends through its own Exit with code 0.
        for title, proc in ((BRANNIK_TITLE, first_b), (VESSAMO_TITLE, first_v)):
            self.d.panel(title)
            self.d.click(IDC_EXIT)
            self.assertTrue(self.d.gone())
            self.assertEqual(h.wait_exit(proc), 0)

    def test_vessamo_without_data_file_shows_error_and_exits_0(self):
        proc = self.s.launch(ENV.vessamo)  # the work folder has no zel_eeprom.dat
        self.assertEqual(self.d.box('Vessamo Error', 15000), 'Failed loaded EEPROM file !')
        self.assertFalse(self.d.main_window(VESSAMO_TITLE))
        self.d.box_ok('Vessamo Error')
        self.assertEqual(h.wait_exit(proc), 0)


class PortPickTest(SessionTest):
    def test_picking_com3_logs_the_open_in_windows_1251(self):
        self.s.devsim('eeprom')
        self.s.vessamo(pattern(1, 0))
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        raw = self.d.log_bytes()
        self.assertIn(OPENED_COM3_CP1251 + b'\r', raw)
        self.assertEqual(self.d.cursel(IDC_COMPORT), 2)

    def test_pick_as_soon_as_the_panel_shows_opens_the_port(self):
        # A technician may pick the port the moment the panel appears; the
        # pick must not be lost while the port worker is still starting.
        self.s.devsim('eeprom')
        for round_ in range(3):
            with self.subTest(round=round_):
                proc = self.s.vessamo(pattern(1, 0), settle=False)
                self.d.pick_text(IDC_COMPORT, 'COM 3')
                try:
                    self.d.wait_log(lambda l: l.endswith(OPENED_COM3), 5)
                finally:
                    self.d.click(IDC_EXIT)
                    self.d.gone()
                    h.wait_exit(proc)


class VessamoTransferTest(SessionTest):
    def start(self, blocks, *devsim_args):
        self.data = pattern(blocks, blocks)
        self.out = os.path.join(self.s.dir, 'eeprom-out.bin')
        self.transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.dev = self.s.devsim('eeprom', '--eeprom-out', self.out, '--transcript', self.transcript,
                                 *devsim_args)
        self.proc = self.s.vessamo(self.data)
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))

    def test_full_write(self):
        self.start(64)
        self.d.click(IDC_FLASHEEPROM)
        log = self.d.wait_log(lambda l: l.endswith(WRITE_OK))
        self.assertEqual(log, EEPROM_SIZE % len(self.data) + OPENED_COM3 + WRITE_OK)
        self.assertEqual(self.d.progress(), (0, 64, 0))
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertEqual(read(self.out), self.data)

    def test_a_port_left_set_up_by_another_program_writes_every_byte(self):
        self.start(64, *LEFT_SET_UP)
        self.d.click(IDC_FLASHEEPROM)
        log = self.d.wait_log(lambda l: l.endswith(WRITE_OK) or 'i = ' in l)
        self.assertEqual(log, EEPROM_SIZE % len(self.data) + OPENED_COM3 + WRITE_OK)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertEqual(read(self.out), self.data)
        self.assertEqual(flow_control_seen(self.transcript), (FLOW_CONTROL_LEFT, FLOW_CONTROL_OFF))

    def test_open_requested_mid_transfer_waits_for_the_transfer(self):
        self.start(40, '--reply-delay-ms', '60')
        self.d.click(IDC_FLASHEEPROM)
        h.wait_for(self.d.progress, lambda p: p[2] >= 5, 30, 'transfer under way')
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        log = self.d.wait_log(lambda l: l.count(OPENED_COM3) == 2, 60)
        self.assertLess(log.index(WRITE_OK), log.rindex(OPENED_COM3), log)
        self.assertEqual(log, EEPROM_SIZE % len(self.data) + OPENED_COM3 + WRITE_OK + OPENED_COM3)
        # The device saw every frame whole and no violation.
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertEqual(read(self.out), self.data)
        # devsim writes a violation as "+T.TTTms ! text".
        violations = [l for l in read(self.transcript).decode(errors='replace').splitlines()
                      if l.split(' ', 2)[1:2] == ['!']]
        self.assertEqual(violations, [])

    def test_every_window_answers_while_a_device_is_slow_to_answer(self):
        self.start(3, '--reply-delay-ms', '1200')
        self.assertAllAnswer('idle')
        self.d.click(IDC_FLASHEEPROM)
        self.d.wait_log(lambda l: l.endswith(WRITING))
        time.sleep(0.3)
        self.assertAllAnswer('waiting for the reply to block 0')
        log = self.d.wait_log(lambda l: l.endswith(WRITE_OK) or 'i = ' in l, 30)
        self.assertTrue(log.endswith(WRITE_OK), log)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertEqual(read(self.out), self.data)

    def test_reply_faults_each_log_their_line_and_keep_progress(self):
        # (fault, expected log tail, progress position): one tool, a new
        # devsim per case, the port picked again each time.
        cases = [
            ('dd:5', 'Шина данных устройства EEPROM не готова. i = 3, err = 5\n', 3),
            ('ee', 'Не верный размер переданных данных. i = 3\n', 3),
            ('ff:7', 'Ошибка записи в микросхему EEPROM. i = 3, err = 7\n', 3),
            ('short14', 'Неверное количество полученных данных. i = 3, lpSize = 14\n', 3),
            ('bad-start', re.compile(r'Неверный формат ответной посылки\. i = 3  AA [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\n$'), 3),
            ('silence', 'Неверное количество полученных данных. i = 3, lpSize = 0\n', 3),
            ('status:42', 'OK !\n', 0),
        ]
        data = pattern(8, 9)
        self.s.link_port('com3', '/dev/null')  # listed at start; each case links devsim
        self.s.vessamo(data)
        for kind, tail, position in cases:
            with self.subTest(kind=kind):
                dev = self.s.devsim('eeprom', '--fault', 'block:3:' + kind)
                before = self.d.log()
                self.d.pick_text(IDC_COMPORT, 'COM 3')
                self.d.wait_log(lambda l: l.endswith(OPENED_COM3) and len(l) > len(before))
                self.d.click(IDC_FLASHEEPROM)
                log = self.d.wait_log(lambda l: l.count(WRITING) > before.count(WRITING) and l.endswith('\n'), 30)
                line = log[log.rindex(WRITING) + len(WRITING):]
                if isinstance(tail, str):
                    self.assertEqual(line, tail)
                else:
                    self.assertRegex(line, tail)
                self.assertEqual(self.d.progress(), (0, 8, position))
                dev.stop()
        # A right-click over the log view: the same menu, Copy Log and Save Log As.
        dev = self.s.devsim('eeprom')
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        r = self.d.log_rect()
        self.assertLogLeaves('vessamo', '921600', ((r[0] + r[2]) // 2, (r[1] + r[3]) // 2))
        dev.stop()

    def test_dashes_keep_port_open_and_two_presses_run_two_transfers(self):
        self.start(16)
        self.d.click(IDC_FLASHEEPROM)
        self.d.wait_log(lambda l: l.endswith(WRITE_OK))
        self.d.pick(IDC_COMPORT, 0)
        self.assertStays(self.d.log, EEPROM_SIZE % len(self.data) + OPENED_COM3 + WRITE_OK, 0.6)
        self.d.click(IDC_FLASHEEPROM)
        self.d.click(IDC_FLASHEEPROM)
        log = self.d.wait_log(lambda l: l.count(WRITE_OK) == 3, 30)
        self.assertEqual(log, EEPROM_SIZE % len(self.data) + OPENED_COM3 + WRITE_OK * 3)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        frames = [l for l in read(self.transcript).decode(errors='replace').splitlines() if ' < 55 83' in l]
        self.assertEqual(len(frames), 48)

    def test_same_port_reopens_and_failed_open_leaves_flash_idle(self):
        self.s.link_port('com4', '/dev/null')  # opens, then fails at GetCommState
        self.start(16)
        log = EEPROM_SIZE % len(self.data) + OPENED_COM3
        # The open port picked again is closed (silently) and opened again.
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.assertEqual(self.d.wait_log(lambda l: l.count(OPENED_COM3) == 2), log + OPENED_COM3)
        log += OPENED_COM3
        self.d.click(IDC_FLASHEEPROM)
        self.assertEqual(self.d.wait_log(lambda l: l.endswith(WRITE_OK)), log + WRITE_OK)
        log += WRITE_OK
        # A failed open leaves no port: the press then does nothing at all.
        self.d.pick_text(IDC_COMPORT, 'COM 4')
        failed = 'Failed GetCommState()\n'
        self.assertEqual(self.d.wait_log(lambda l: l.endswith(failed)), log + failed)
        log += failed
        self.d.click(IDC_FLASHEEPROM)
        self.assertStays(self.d.log, log, 0.6)
        self.assertEqual(self.d.progress(), (0, 16, 0))
        # Until another port opens.
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.d.click(IDC_FLASHEEPROM)
        self.assertEqual(self.d.wait_log(lambda l: l.count(WRITE_OK) == 2), log + OPENED_COM3 + WRITE_OK)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertEqual(read(self.out), self.data)
        frames = [l for l in read(self.transcript).decode(errors='replace').splitlines() if ' < 55 83' in l]
        self.assertEqual(len(frames), 32)

    def test_flash_without_port_does_nothing_and_exit_mid_transfer_ends_at_once(self):
        self.data = pattern(60, 3)
        self.dev = self.s.devsim('eeprom', '--reply-delay-ms', '80')
        proc = self.s.vessamo(self.data)
        self.d.click(IDC_FLASHEEPROM)
        self.assertStays(self.d.log, EEPROM_SIZE % len(self.data), 0.6)
        self.assertEqual(self.d.progress(), (0, 2048, 0))
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.d.click(IDC_FLASHEEPROM)
        h.wait_for(self.d.progress, lambda p: p[2] >= 3, 30, 'transfer under way')
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone(3000), 'Exit during a transfer did not end the tool at once')
        self.assertEqual(h.wait_exit(proc), 0)


class BrannikTest(SessionTest):
    def setUp(self):
        super().setUp()
        self.zel = os.path.join(self.s.dir, 'fw.zel')
        self.code, self.eeprom = make_zel(self.zel)
        # Where devsim writes what the device received (device_out: its arguments).
        self.code_out = os.path.join(self.s.dir, 'code.bin')
        self.eeprom_out = os.path.join(self.s.dir, 'eeprom.bin')
        self.device_out = ('--code-out', self.code_out, '--eeprom-out', self.eeprom_out)

    def load(self, path):
        before = self.d.log()
        cwd = self.d.cwd()
        self.d.click(IDC_OPENFILE)
        self.d.open_file(path)
        self.assertDialogLeftCwd(cwd)
        return before

    def assertDialogLeftCwd(self, cwd):
        """Once the open-file dialog has closed, the tool's current directory
        is CWD again: on Windows a process holds its current directory, and
        one left in the image's folder keeps a USB stick from being ejected."""
        h.wait_for(lambda: self.d.has_box('Open'), lambda up: not up, 10, 'the open-file dialog closed')
        self.assertEqual(self.d.cwd(), cwd)

    def ready(self, *devsim_args):
        self.dev = self.s.devsim('boot-monitor', *devsim_args)
        self.proc = self.s.brannik()
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.assertFalse(self.d.enabled(IDC_STARTFLASH))
        self.load(self.zel)
        self.d.wait_log(lambda l: l.endswith(CODE_LOADED))
        self.assertButton(True)

    def assertDelivered(self, eeprom=None):
        """The device holds the image: code, and EEPROM (or EEPROM as given)."""
        self.assertEqual(read(self.code_out), self.code)
        self.assertEqual(read(self.eeprom_out), self.eeprom if eeprom is None else eeprom)

    def panel_state(self):
        d = self.d
        return (d.text(IDC_STARTFLASH), d.enabled(IDC_STARTFLASH), d.enabled(IDC_COMPORT), d.enabled(IDC_OPENFILE))

    def assertButton(self, enabled):
        # The panel enables the button 50 ms after the open's log line.
        h.wait_for(lambda: self.d.enabled(IDC_STARTFLASH), lambda e: e == enabled, 5, 'Start Flash enabled=%s' % enabled)

    IDLE = ('Start Flash', True, True, True)
    STARTED = ('Stop Flash', True, False, False)

    def test_full_flash(self):
        self.ready('--sync-after', '3', '--version', '2.7', *self.device_out)
        self.d.click(IDC_STARTFLASH)
        h.wait_for(self.panel_state, lambda s: s[0] == 'Stop Flash', 10, 'Stop Flash label')
        self.assertFalse(self.d.enabled(IDC_COMPORT))
        self.assertFalse(self.d.enabled(IDC_OPENFILE))
        # Exit is refused while the flash runs.
        self.d.click(IDC_EXIT)
        time.sleep(0.5)
        self.assertTrue(self.d.alive())
        h.wait_for(self.d.progress, lambda p: p[1] == 384 and p[2] > 0, 60, 'programming phase')
        self.assertEqual(self.panel_state(), ('Stop Flash', False, False, False))
        self.assertAllAnswer('programming')
        log = self.d.wait_log(lambda l: l.endswith(FINAL_PROMPT), 180)
        self.assertEqual(log, OPENED_COM3 + CODE_LOADED + PROMPTS + IDENTIFIED % '2.7' +
                         ERASING + DONE + PROGRAMMING + DONE + WRITING_EEPROM + DONE + FINAL_PROMPT)
        self.assertEqual(self.d.progress()[2], 0)
        # The sequence restores the panel just after the final prompt.
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 5, 'the panel restored')
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertDelivered()
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())
        self.assertEqual(h.wait_exit(self.proc), 0)

    def test_a_port_left_set_up_by_another_program_flashes_exactly(self):
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready(*LEFT_SET_UP, '--transcript', transcript, *self.device_out)
        self.d.click(IDC_STARTFLASH)
        expected = (OPENED_COM3 + CODE_LOADED + PROMPTS + IDENTIFIED % '1.0' + ERASING + DONE + PROGRAMMING + DONE +
                    WRITING_EEPROM + DONE + FINAL_PROMPT)
        log = self.d.wait_log(lambda l: len(l) >= len(expected) or UNRECOGNISED in l, 180)
        self.assertEqual(log, expected)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertDelivered()
        self.assertEqual(flow_control_seen(transcript), (FLOW_CONTROL_LEFT, FLOW_CONTROL_OFF))

    def test_a_slow_device_through_an_ftdi_adapter_flashes_exactly(self):
        # 40 ms per erase block, and an FTDI adapter at its default 16 ms
        # latency timer: erase replies reach the tool after its 50 ms read,
        # and still count.
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready('--line', 'ftdi16', '--work-ms', 'erase:40', '--transcript', transcript, *self.device_out)
        self.d.click(IDC_STARTFLASH)
        expected = (OPENED_COM3 + CODE_LOADED + PROMPTS + IDENTIFIED % '1.0' + ERASING + DONE + PROGRAMMING + DONE +
                    WRITING_EEPROM + DONE + FINAL_PROMPT)
        log = self.d.wait_log(lambda l: len(l) >= len(expected) or 'i = ' in l, 180)
        self.assertEqual(log, expected)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertDelivered()
        late = [l for l in read(transcript).decode(errors='replace').splitlines() if '# late ' in l]
        self.assertTrue(late, 'no reply came after the read: the test shows nothing')

    def test_a_slow_device_on_a_motherboard_port_keeps_each_exchange_to_its_read(self):
        # The same device on a motherboard port answers within the read, and
        # the tool sends each next frame as the read ends: it waits for
        # nothing more. (Under Wine 8.0 such a read ends about 63 ms after
        # it began, with the old exes too; a late wait would add its 20 ms.)
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready('--line', 'uart', '--work-ms', 'erase:40', '--fault', 'program:0:not-supported',
                   '--transcript', transcript)
        self.d.click(IDC_STARTFLASH)
        expected = (OPENED_COM3 + CODE_LOADED + PROMPTS + IDENTIFIED % '1.0' + ERASING + DONE + PROGRAMMING +
                    '\nКомманда не поддерживается устройством. i = 0\n')
        log = self.d.wait_log(lambda l: len(l) >= len(expected), 60)
        self.assertEqual(log, expected)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        lines = read(transcript).decode(errors='replace').splitlines()
        self.assertFalse([l for l in lines if '# late ' in l])
        erase = [float(l.split('ms', 1)[0][1:]) for l in lines if ' < 0F 06 ' in l]
        self.assertEqual(len(erase), 96)
        gaps = sorted(b - a for a, b in zip(erase, erase[1:]))
        self.assertLess(gaps[len(gaps) // 2], 50 + 20, gaps)

    def test_phase_failure_keeps_progress_and_restores_panel(self):
        self.ready('--fault', 'program:17:bad-checksum')
        self.d.click(IDC_STARTFLASH)
        log = self.d.wait_log(lambda l: 'i = 17' in l, 90)
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 10, 'panel restore')
        log = self.d.log()
        self.assertTrue(log.endswith(PROGRAMMING + '\nНе верная контрольная сумма комманды. i = 17\n'), log)
        self.assertNotIn(WRITING_EEPROM, log)
        self.assertNotIn(FINAL_PROMPT, log)
        self.assertEqual(self.d.progress(), (0, 384, 17))
        if SCREENSHOTS:
            # The failed flash with the log's menu open (Wine draws the bar's
            # error state as a normal bar).
            self.d.log_menu('.')
            time.sleep(0.5)
            os.makedirs(SCREENSHOTS, exist_ok=True)
            self.s.screenshot(os.path.join(SCREENSHOTS, 'brannik-failed-menu.png'))
            self.d.cmd('escape')
            time.sleep(0.5)
        # The log leaves the bench: the menu key's menu on the panel.
        self.assertLogLeaves('brannik', '115200')


    def test_erase_and_eeprom_failures_restore_panel(self):
        # One device with two faults: the first flash fails in the erase
        # phase, the next one (the device answering again) in the EEPROM
        # phase. Each keeps its progress and hands the panel back idle.
        self.ready('--fault', 'erase:5:no-reply', '--fault', 'eeprom:40:not-supported', *self.device_out)
        cases = [
            (ERASING, '\nУстройство не отвечает. i = 5\n', (0, 96, 5)),
            (ERASING + DONE + PROGRAMMING + DONE + WRITING_EEPROM,
             '\nКомманда не поддерживается устройством. i = 40\n', (0, 128, 40)),
        ]
        expected = OPENED_COM3 + CODE_LOADED
        for phases, failure, progress in cases:
            with self.subTest(progress=progress):
                expected += PROMPTS + IDENTIFIED % '1.0' + phases + failure
                self.d.click(IDC_STARTFLASH)
                log = self.d.wait_log(lambda l: len(l) >= len(expected), 120)
                self.assertEqual(log, expected)
                h.wait_for(self.panel_state, lambda s: s == self.IDLE, 10, 'panel restore')
                self.assertEqual(self.d.progress(), progress)
                self.assertStays(self.d.log, expected, 0.5)
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())
        self.assertEqual(h.wait_exit(self.proc), 0)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        # The second flash erased and programmed the whole code area, and
        # wrote the EEPROM up to the failing block.
        self.assertDelivered(self.eeprom[:320] + b'\xff' * (1024 - 320))

    def test_identify_failure_keeps_started_until_stop(self):
        # The device answers only the third probe of each sync, so a stop
        # request left over from "Stop Flash" would end the next sync at its
        # first probe. The third flash gets through to the erase phase, whose
        # first frame goes unanswered.
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready('--sync-after', '3', '--fault', 'identify:0:wrong-identify', '--fault', 'identify:0:done',
                   '--fault', 'erase:0:no-reply', '--transcript', transcript)
        expected = OPENED_COM3 + CODE_LOADED
        for message in ('Неверное количество данных.\n', 'Комманда выполнена.\n'):
            with self.subTest(message=message):
                expected += PROMPTS + message
                self.d.click(IDC_STARTFLASH)
                self.assertEqual(self.d.wait_log(lambda l: len(l) >= len(expected), 15), expected)
                self.assertStays(self.panel_state, self.STARTED, 1.0)
                self.d.click(IDC_EXIT)  # refused while started
                time.sleep(0.5)
                self.assertTrue(self.d.alive())
                self.d.click(IDC_STARTFLASH)
                h.wait_for(self.panel_state, lambda s: s == self.IDLE, 5, 'idle after Stop Flash')
                self.assertStays(self.d.log, expected, 0.5)
        expected += PROMPTS + IDENTIFIED % '1.0' + ERASING + '\nУстройство не отвечает. i = 0\n'
        self.d.click(IDC_STARTFLASH)
        self.assertEqual(self.d.wait_log(lambda l: len(l) >= len(expected), 15), expected)
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 10, 'panel restore')
        self.assertEqual(self.d.progress(), (0, 96, 0))
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        erase_frames = [l for l in read(transcript).decode(errors='replace').splitlines() if ' < 0F 06 ' in l]
        self.assertEqual(len(erase_frames), 1, erase_frames)

    def test_stop_while_probing_then_exit(self):
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready('--never-sync', '--transcript', transcript)
        self.d.click(IDC_STARTFLASH)
        self.d.wait_log(lambda l: l.endswith(PROMPTS), 10)
        self.assertEqual(self.panel_state(), self.STARTED)
        time.sleep(0.5)
        self.assertAllAnswer('probing')
        # A log-off asked meanwhile is refused at once, not after a wait
        # for a window that does not answer.
        began = time.monotonic()
        self.s.end_session()
        self.assertLess(time.monotonic() - began, 1.5)
        self.assertTrue(self.d.alive())
        self.d.click(IDC_STARTFLASH)
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 5, 'idle after Stop Flash')
        self.assertStays(self.d.log, OPENED_COM3 + CODE_LOADED + PROMPTS, 1.0)
        self.dev.stop()
        sent = [l for l in read(transcript).decode(errors='replace').splitlines() if ' < ' in l]
        self.assertTrue(sent)
        # Only sync probes went out.
        self.assertTrue(all(set(l.split(' < ')[1].split()) == {'55'} for l in sent), sent[:5])
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())
        self.assertEqual(h.wait_exit(self.proc), 0)

    def test_stop_then_exit_at_once_while_probing(self):
        self.ready('--never-sync')
        self.d.click(IDC_STARTFLASH)
        self.d.wait_log(lambda l: l.endswith(PROMPTS), 10)
        self.d.click(IDC_STARTFLASH)  # Stop Flash
        self.d.click(IDC_EXIT)        # straight after, before the sequence has noticed
        self.assertTrue(self.d.gone())
        self.assertEqual(h.wait_exit(self.proc), 0)

    def test_bursts_of_start_stop_clicks_leave_the_panel_telling_the_truth(self):
        # After each burst the panel shows either a flash waiting for the
        # device, and the line is probed, or idle, and probing has stopped.
        transcript = os.path.join(self.s.dir, 'transcript.txt')
        self.ready('--never-sync', '--transcript', transcript)

        def probes():
            with open(transcript, encoding='ascii', errors='replace') as f:
                return sum(1 for l in f if ' < 55' in l)

        for n in (2, 3, 4, 5, 7):
            with self.subTest(clicks=n):
                self.d.clicks(n, IDC_STARTFLASH)
                time.sleep(0.6)
                state = self.panel_state()
                self.assertIn(state, (self.IDLE, self.STARTED))
                before = probes()
                time.sleep(1.0)
                self.assertEqual(self.panel_state(), state)
                if state == self.STARTED:
                    self.assertGreater(probes() - before, 5)
                    self.d.click(IDC_EXIT)  # refused while started
                    time.sleep(0.3)
                    self.assertTrue(self.d.alive())
                    self.d.click(IDC_STARTFLASH)
                    h.wait_for(self.panel_state, lambda s: s == self.IDLE, 5, 'idle after Stop Flash')
                    time.sleep(0.3)
                else:
                    self.assertLessEqual(probes() - before, 1)
        self.assertStays(lambda: probes(), probes(), 0.6)
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())
        self.assertEqual(h.wait_exit(self.proc), 0)

    def test_a_line_gone_before_start_says_so_and_a_line_back_flashes(self):
        # The adapter is pulled with the port open and the panel idle: the
        # first probe cannot be written, and the log says so at once.
        self.ready()
        self.dev.stop()
        expected = OPENED_COM3 + CODE_LOADED + PROMPTS + LINK_ERROR
        self.d.click(IDC_STARTFLASH)
        self.assertEqual(self.d.wait_log(lambda l: len(l) >= len(expected), 1.0, 'the link error'), expected)
        self.assertStays(self.panel_state, self.STARTED, 0.5)
        self.d.click(IDC_STARTFLASH)  # Stop Flash
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 5, 'idle after Stop Flash')
        # Plugged back: the port picked again, a full flash delivers the image.
        self.dev = self.s.devsim('boot-monitor', *self.device_out)
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        expected += CLOSED + OPENED_COM3
        self.assertEqual(self.d.wait_log(lambda l: len(l) >= len(expected), 10), expected)
        self.assertButton(True)
        self.d.click(IDC_STARTFLASH)
        expected += (PROMPTS + IDENTIFIED % '1.0' + ERASING + DONE + PROGRAMMING + DONE + WRITING_EEPROM + DONE +
                     FINAL_PROMPT)
        self.assertEqual(self.d.wait_log(lambda l: len(l) >= len(expected), 180), expected)
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertDelivered()

    def test_a_session_end_waits_for_the_flash_and_ends_an_idle_tool(self):
        # Log-off or shutdown during the program phase: brannik holds the
        # session end and the flash completes; once idle, it agrees.
        self.ready(*self.device_out)
        self.d.click(IDC_STARTFLASH)
        h.wait_for(self.d.progress, lambda p: p[1] == 384 and p[2] > 0, 60, 'programming phase')
        self.s.end_session()
        self.assertTrue(self.d.alive())
        self.d.wait_log(lambda l: l.endswith(FINAL_PROMPT), 180)
        self.assertTrue(self.d.alive())
        h.wait_for(self.panel_state, lambda s: s == self.IDLE, 10, 'panel restore')
        self.assertEqual(self.dev.stop(), 0, self.dev.stderr)
        self.assertDelivered()
        self.s.end_session()
        self.assertTrue(self.d.gone())
        self.assertIsNotNone(h.wait_exit(self.proc))

    def test_port_choices(self):
        # "----" with no port, then with one; the open port picked again; a
        # port whose open fails (com4 -> /dev/null fails at GetCommState).
        self.s.link_port('com4', '/dev/null')
        self.ready()
        d = self.d
        base = OPENED_COM3 + CODE_LOADED
        d.pick_text(IDC_COMPORT, 'COM 3')
        log = d.wait_log(lambda l: l == base + CLOSED + OPENED_COM3)
        self.assertButton(True)
        d.pick(IDC_COMPORT, 0)
        log = d.wait_log(lambda l: l == base + CLOSED + OPENED_COM3 + CLOSED)
        self.assertButton(False)
        d.pick(IDC_COMPORT, 0)
        self.assertStays(d.log, log, 0.6)
        self.assertButton(False)
        d.pick_text(IDC_COMPORT, 'COM 3')
        log = d.wait_log(lambda l: l == base + CLOSED + OPENED_COM3 + CLOSED + OPENED_COM3)
        self.assertButton(True)
        d.pick_text(IDC_COMPORT, 'COM 4')
        log = d.wait_log(lambda l: l.endswith(CLOSED + 'Failed GetCommState() - COM4\n'))
        self.assertButton(False)
        d.click(IDC_STARTFLASH)
        self.assertStays(d.log, log, 0.5)

    def test_open_dialog_cancel_and_bad_file_after_good(self):
        self.ready()
        d = self.d
        log = d.log()
        cwd = d.cwd()
        d.click(IDC_OPENFILE)
        d.open_cancel()
        self.assertDialogLeftCwd(cwd)
        self.assertStays(d.log, log, 0.6)
        self.assertEqual(self.panel_state(), self.IDLE)
        bad = os.path.join(self.s.dir, 'short.zel')
        with open(bad, 'wb') as f:
            f.write(read(self.zel)[:-1])
        self.load(bad)
        self.assertEqual(d.box('Brannik Error', 15000), 'Wrong size of ZEL binary flash !')
        d.box_ok('Brannik Error')
        h.wait_for(lambda: d.has_box('Brannik Error'), lambda b: not b, 10, 'error box gone')
        self.assertEqual(self.panel_state(), self.IDLE)
        d.click(IDC_STARTFLASH)  # no image loaded: the press does nothing
        self.assertStays(self.panel_state, self.IDLE, 0.6)
        self.assertEqual(d.log(), log)


class FolderNamesTest(SessionTest):
    """Files in a folder named in Russian and Kazakh letters, under the
    subclass's locale. What the device received tells the result: under an
    English locale the log's Cyrillic reads back from another process as
    '?', a limit of reading it from outside, not of the tools."""

    def folder(self):
        path = os.path.join(self.s.dir, FOLDER)
        os.makedirs(path)
        return path

    def check_brannik(self):
        zel = os.path.join(self.folder(), 'прошивка.zel')
        code, eeprom = make_zel(zel, seed=5)
        code_out, eeprom_out = os.path.join(self.s.dir, 'code.bin'), os.path.join(self.s.dir, 'eeprom.bin')
        dev = self.s.devsim('boot-monitor', '--once', '--code-out', code_out, '--eeprom-out', eeprom_out)
        self.s.brannik()
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(' COM3\n'))
        self.d.click(IDC_OPENFILE)
        self.d.open_file(zel)
        h.wait_for(lambda: (self.d.enabled(IDC_STARTFLASH), self.d.has_box('Brannik Error')), any, 15,
                   'the image loaded or refused')
        self.assertFalse(self.d.has_box('Brannik Error'), self.d.box('Brannik Error', 100))
        self.d.click(IDC_STARTFLASH)
        # devsim --once ends by itself after a complete flash.
        self.assertEqual(h.wait_exit(dev.proc, 180), 0, dev.stderr)
        self.assertEqual(read(code_out), code)
        self.assertEqual(read(eeprom_out), eeprom)

    def check_vessamo(self):
        data = pattern(16, 4)
        out = os.path.join(self.s.dir, 'eeprom-out.bin')
        dev = self.s.devsim('eeprom', '--blocks', '16', '--once', '--eeprom-out', out)
        self.s.vessamo(data, cwd=self.folder())  # no error box: the panel shows
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(' COM3\n'))
        self.d.click(IDC_FLASHEEPROM)
        self.assertEqual(h.wait_exit(dev.proc, 30), 0, dev.stderr)
        self.assertEqual(read(out), data)


class FolderNamesRussianTest(FolderNamesTest):
    def test_brannik_flashes_an_image_from_the_folder(self):
        self.check_brannik()

    def test_vessamo_started_in_the_folder_writes_its_data(self):
        self.check_vessamo()


class FolderNamesEnglishTest(FolderNamesTest):
    lang = 'en_US.UTF-8'

    def test_brannik_flashes_an_image_from_the_folder(self):
        self.check_brannik()

    def test_vessamo_started_in_the_folder_writes_its_data(self):
        self.check_vessamo()


class DownloadsFolderTest(SessionTest):
    """Both tools unpacked into a Downloads folder that also holds a
    riched32.dll and a comctl32.dll, as a browser or a zip may leave them.
    Windows looks for a DLL that is neither a KnownDLL nor redirected by the
    exe's manifest in the exe's folder first; Wine does so too when told to
    prefer a DLL it finds over its own, as here. Nothing planted may load:
    no planted DLL notes a load, no module of either tool lies in the folder
    but the exe, and a full flash and a full write from there are exact."""

    def test_nothing_planted_beside_the_exes_is_loaded(self):
        downloads = os.path.join(self.s.dir, 'Downloads')
        os.makedirs(downloads)
        for path in (ENV.brannik, ENV.vessamo, os.path.join(ENV.planted, 'riched32.dll'),
                     os.path.join(ENV.planted, 'comctl32.dll')):
            shutil.copy(path, downloads)
        data = pattern(16, 6)
        with open(os.path.join(downloads, 'zel_eeprom.dat'), 'wb') as f:
            f.write(data)
        self.s.env['WINEDLLOVERRIDES'] += ';riched32,comctl32=n,b'
        code_out, eeprom_out, out = (os.path.join(self.s.dir, n) for n in ('code.bin', 'eeprom.bin', 'out.bin'))
        boot = self.s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out, port='com3')
        writer = self.s.devsim('eeprom', '--eeprom-out', out, port='com5')
        # Started by a double-click: in the folder of the exe.
        self.s.start_tool(os.path.join(downloads, 'vessamo.exe'), VESSAMO_TITLE, downloads)
        self.d.worker()
        self.assertNothingLoadedFrom(downloads, 'vessamo.exe')
        self.full_write(5)
        self.assertEqual(writer.stop(), 0, writer.stderr)
        self.assertEqual(read(out), data)
        self.s.start_tool(os.path.join(downloads, 'brannik.exe'), BRANNIK_TITLE, downloads)
        self.d.worker()
        self.assertNothingLoadedFrom(downloads, 'brannik.exe')
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.full_flash(boot, code_out, eeprom_out)
        self.assertNothingLoadedFrom(downloads, 'brannik.exe')
        self.assertEqual([n for n in os.listdir(downloads) if n.endswith('.loaded')], [])

    def assertNothingLoadedFrom(self, folder, exe):
        modules = self.d.modules()
        here = h.windows_path(folder).lower() + '\\'
        beside = [m for m in modules if m.lower().startswith(here)]
        self.assertEqual([m[len(here):].lower() for m in beside], [exe], modules)


class ScreenshotTest(SessionTest):
    """Both panels after a port pick, in the locale of the subclass."""

    def shoot(self, tool, name):
        if tool == 'brannik':
            self.s.devsim('boot-monitor')
            self.s.brannik()
        else:
            self.s.devsim('eeprom')
            self.s.vessamo(pattern(16, 0))
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        # Under code page 1252 the Cyrillic reads back from outside as '?'.
        self.d.wait_log(lambda l: l.endswith(' COM3\n'))
        time.sleep(0.5)
        if SCREENSHOTS:
            os.makedirs(SCREENSHOTS, exist_ok=True)
            self.s.screenshot(os.path.join(SCREENSHOTS, '%s-%s.png' % (tool, name)))


class ScreenshotEnglishTest(ScreenshotTest):
    lang = 'en_US.UTF-8'

    def test_brannik(self):
        self.shoot('brannik', 'en')

    def test_vessamo(self):
        self.shoot('vessamo', 'en')


class ScreenshotRussianTest(ScreenshotTest):
    def test_brannik(self):
        self.shoot('brannik', 'ru')

    def test_vessamo(self):
        self.shoot('vessamo', 'ru')


class ScalingTest(SessionTest):
    """Both panels at 100 % and 150 % display scaling (LogPixels 96 and
    144), as laptops run. Against the panel at 100 %, at 150 % every control
    and the log's text are half as large again, every caption fits its
    control, and Common Controls 6 (its side-by-side copy) is in use. The
    screenshots are brannik-100.png, brannik-150.png and the same for
    vessamo."""
    controls = {'brannik': [IDC_COMPORT, IDC_LABEL, IDC_STARTFLASH, IDC_EXIT, IDC_PROGRESS, IDC_OPENFILE],
                'vessamo': [IDC_COMPORT, IDC_LABEL, IDC_FLASHEEPROM, IDC_EXIT, IDC_PROGRESS]}
    captions = {IDC_LABEL: 0, IDC_STARTFLASH: 4, IDC_OPENFILE: 4, IDC_FLASHEEPROM: 4, IDC_EXIT: 4}

    def measure(self, tool, dpi):
        """The panel of TOOL started at DPI, with COM 3 open: each control's
        size and place in the panel, the height of the log's first line of
        text; the captions checked; then the tool exits."""
        self.s.set_dpi(dpi)
        proc = self.s.brannik() if tool == 'brannik' else self.s.vessamo(pattern(16, 0))
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        time.sleep(0.5)
        panel = self.d.rect()
        # Places from the picker's corner: the frame and caption around the
        # client area are the system's and scale on their own.
        origin = self.d.ctl_rect(IDC_COMPORT)
        found = {}
        for cid in self.controls[tool]:
            left, top, right, bottom = self.d.ctl_rect(cid)
            found[cid] = (left - origin[0], top - origin[1], right - left, bottom - top)
            if cid in self.captions:
                text = self.d.text(cid)
                width = self.d.text_width(dpi, 8, text)
                self.assertLessEqual(width + 2 * self.captions[cid], right - left,
                                     '%s at %d DPI: "%s" does not fit' % (tool, dpi, text))
        log = self.d.log_rect()
        found['log'] = (log[0] - origin[0], log[1] - origin[1], log[2] - log[0], log[3] - log[1])
        # Inside the log view's border: the rows of its first line of text.
        rows = self.s.ink_rows([log[0] + 3, log[1] + 3, log[2] - 20, log[1] + 60])
        first = rows.index(True)
        height = rows[first:].index(False)
        comctl = [m for m in self.d.modules() if m.lower().endswith('\\comctl32.dll')]
        self.assertEqual(len(comctl), 1, comctl)
        self.assertIn('\\winsxs\\', comctl[0].lower())  # Common Controls 6, by the manifest
        if SCREENSHOTS:
            os.makedirs(SCREENSHOTS, exist_ok=True)
            self.s.screenshot(os.path.join(SCREENSHOTS, '%s-%d.png' % (tool, dpi * 100 // 96)))
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())
        h.wait_exit(proc)
        return found, height, panel

    def check(self, tool):
        self.s.devsim('boot-monitor')
        small, text_small, panel_small = self.measure(tool, 96)
        large, text_large, panel_large = self.measure(tool, 144)
        # Dialog units follow the dialog font's metrics, which round on
        # their own: the panel's scale, across from the progress bar's
        # width, down from the Exit button's place, is the standard.
        across = large[IDC_PROGRESS][2] / small[IDC_PROGRESS][2]
        down = large[IDC_EXIT][1] / small[IDC_EXIT][1]
        print('%s: panel %s -> %s (%.3f across, %.3f down), log text %d -> %d px' % (
            tool, panel_small, panel_large, across, down, text_small, text_large), file=sys.stderr)
        self.assertGreater(min(across, down), 1.4)
        for cid in small:
            scales = (across, down, across, down)
            for what, a, b, k in zip(('left', 'top', 'width', 'height'), small[cid], large[cid], scales):
                if cid == IDC_COMPORT and what == 'height':
                    continue  # a combo box sets its closed height from its font
                self.assertLessEqual(abs(b - a * k), 1.5, '%s control %s %s: %d at 100 %%, %d at 150 %%' % (
                    tool, cid, what, a, b))
        # The log's text, sized in pixels by the tool, grows by half.
        self.assertLessEqual(abs(text_large - text_small * 1.5), 1, (text_small, text_large))

    def test_brannik(self):
        self.check('brannik')

    def test_vessamo(self):
        self.check('vessamo')


class PortListTest(SessionTest):
    """Ports as Windows names them: listed without opening any, and kept
    current as adapters come and go."""

    def opened(self, ptys):
        return {port: self.s.opens(pty) for port, pty in ptys.items()}

    def test_starting_either_tool_opens_no_port_and_a_pick_opens_that_one_only(self):
        if self.s.opens('/dev/null') is None:
            self.skipTest('no open_spy: the opens cannot be counted')
        out = os.path.join(self.s.dir, 'eeprom-out.bin')
        devs = {3: self.s.devsim('eeprom', port='com3'),
                5: self.s.devsim('eeprom', '--eeprom-out', out, port='com5'),
                9: self.s.devsim('eeprom', port='com9')}
        ptys = {port: dev.pty for port, dev in devs.items()}
        self.s.brannik()
        self.assertTrue({'COM 3', 'COM 5', 'COM 9'} <= set(self.d.items(IDC_COMPORT)))
        data = pattern(16, 9)
        self.s.vessamo(data)
        self.assertTrue({'COM 3', 'COM 5', 'COM 9'} <= set(self.d.items(IDC_COMPORT)))
        self.assertEqual(self.opened(ptys), {3: 0, 5: 0, 9: 0})
        self.full_write(5)
        self.assertEqual(self.opened(ptys), {3: 0, 5: 1, 9: 0})
        self.assertEqual(devs[5].stop(), 0, devs[5].stderr)
        self.assertEqual(read(out), data)

    def run_down_the_list(self, ports):
        """Picks the entries of PORTS in turn, about 10 ms apart, as the
        arrow keys or the mouse wheel on the dropped list do."""
        items = self.d.items(IDC_COMPORT)
        indexes = [next(i for i, item in enumerate(items) if item.split(' (')[0] == 'COM %d' % port)
                   for port in ports]
        self.d.picks(IDC_COMPORT, indexes, 10)

    def test_a_run_down_the_list_opens_only_the_port_it_stops_at(self):
        if self.s.opens('/dev/null') is None:
            self.skipTest('no open_spy: the opens cannot be counted')
        # vessamo: the run made while a write to a slow device holds the
        # worker, so every pick waits; only the last is opened after it.
        out = os.path.join(self.s.dir, 'eeprom-out.bin')
        devs = {3: self.s.devsim('eeprom', '--reply-delay-ms', '150', port='com3')}
        devs.update({port: self.s.devsim('eeprom', port='com%d' % port) for port in (4, 5, 6)})
        devs[7] = self.s.devsim('eeprom', '--eeprom-out', out, port='com7')
        ptys = {port: dev.pty for port, dev in devs.items()}
        data = pattern(16, 7)
        self.s.vessamo(data)
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.d.click(IDC_FLASHEEPROM)
        h.wait_for(self.d.progress, lambda p: p[2] >= 1, 10, 'the write under way')
        self.run_down_the_list([4, 5, 6, 7])
        self.d.wait_log(lambda l: l.endswith('Открыт порт COM7\n'), 30)
        self.assertEqual(self.opened(ptys), {3: 1, 4: 0, 5: 0, 6: 0, 7: 1})
        self.d.click(IDC_FLASHEEPROM)
        self.d.wait_log(lambda l: l.count(WRITE_OK) == 2 or 'i = ' in l)
        self.assertEqual(self.d.log().count(WRITE_OK), 2, self.d.log())
        self.assertEqual(devs[7].stop(), 0, devs[7].stderr)
        self.assertEqual(read(out), data)
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())

        # brannik (no pick during a flash): from an open COM3, picks 10 ms
        # apart; the close's 50 ms pause outlasts them, and at most the
        # first port passed over is opened on a machine busy enough to
        # make the picks 15 ms apart.
        code_out, eeprom_out = (os.path.join(self.s.dir, n) for n in ('code.bin', 'eeprom.bin'))
        boot = self.s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out, port='com7')
        self.s.brannik()
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        ptys[7] = boot.pty
        before = self.opened(ptys)  # a new pty may have an old one's name
        self.run_down_the_list([4, 5, 6, 7])
        self.d.wait_log(lambda l: l.endswith('Открыт порт COM7\n'))
        opened = {port: n - before[port] for port, n in self.opened(ptys).items()}
        self.assertEqual(opened[7], 1, opened)
        self.assertLessEqual(opened[4] + opened[5] + opened[6], 1, opened)
        self.full_flash(boot, code_out, eeprom_out)

    def test_a_port_slow_to_open_holds_up_neither_start_nor_the_device_port(self):
        # A Bluetooth COM port: its open waits while Windows calls the phone.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        slow = os.ttyname(slave)
        self.s.link_port('com7', slow)
        self.s.slow_open(slow, 5000)
        code_out, eeprom_out = (os.path.join(self.s.dir, n) for n in ('code.bin', 'eeprom.bin'))
        boot = self.s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out, port='com3')
        out = os.path.join(self.s.dir, 'eeprom-out.bin')
        writer = self.s.devsim('eeprom', '--eeprom-out', out, port='com5')
        for tool in (self.s.brannik, lambda: self.s.vessamo(pattern(16, 4))):
            started = time.monotonic()
            tool()
            # Without the slow port the panel shows within about a second.
            self.assertLess(time.monotonic() - started, 4.0)
            self.assertIn('COM 7', self.d.items(IDC_COMPORT))
        self.full_write(5)
        self.assertEqual(writer.stop(), 0, writer.stderr)
        self.assertEqual(read(out), pattern(16, 4))
        self.d.panel(BRANNIK_TITLE)
        self.d.pick_text(IDC_COMPORT, 'COM 3')
        self.d.wait_log(lambda l: l.endswith(OPENED_COM3))
        self.full_flash(boot, code_out, eeprom_out)
        if self.s.opens(slow) is not None:
            self.assertEqual(self.s.opens(slow), 0)

    def test_adapters_plugged_and_pulled_come_and_go_in_the_picker(self):
        self.s.devsim('boot-monitor', port='com3')
        self.s.brannik()
        self.assertNotIn('COM 5', self.d.items(IDC_COMPORT))
        # Plugged in after start: Windows tells the main window.
        code_out, eeprom_out = (os.path.join(self.s.dir, n) for n in ('code.bin', 'eeprom.bin'))
        dev = self.s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out, port='com5')
        self.d.device_change(BRANNIK_TITLE, 'arrival', 5)
        self.assertIn('COM 5', self.d.items(IDC_COMPORT))
        self.assertEqual(self.d.cursel(IDC_COMPORT), 0)
        # Plugged in unannounced: there when the list drops down.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        self.s.link_port('com8', os.ttyname(slave))
        self.assertNotIn('COM 8', self.d.items(IDC_COMPORT))
        self.d.drop()
        items = self.d.items(IDC_COMPORT)
        self.assertIn('COM 8', items)
        numbers = [int(x[4:]) for x in items[1:]]
        self.assertEqual(numbers, sorted(set(numbers)))
        # A full flash through the late adapter.
        self.d.pick_text(IDC_COMPORT, 'COM 5')
        self.d.wait_log(lambda l: l.endswith('Открыт порт COM5\n'))
        self.full_flash(dev, code_out, eeprom_out)
        # An idle adapter pulled leaves the picker.
        self.s.withdraw('com8')
        self.d.device_change(BRANNIK_TITLE, 'nodes')
        self.assertNotIn('COM 8', self.d.items(IDC_COMPORT))
        # The open one pulled stays shown until "----" is picked, then goes.
        self.s.withdraw('com5')
        self.d.device_change(BRANNIK_TITLE, 'removal', 5)
        items = self.d.items(IDC_COMPORT)
        self.assertEqual(items[self.d.cursel(IDC_COMPORT)], 'COM 5')
        self.d.pick(IDC_COMPORT, 0)
        self.d.wait_log(lambda l: l.endswith(CLOSED))
        self.d.drop()
        self.assertNotIn('COM 5', self.d.items(IDC_COMPORT))
        self.assertIn('COM 3', self.d.items(IDC_COMPORT))
        self.assertEqual(self.d.cursel(IDC_COMPORT), 0)


class PortNamesTest(SessionTest):
    """The picker names each port's device as Device Manager does, from the
    records drivers write, under the English locale: a USB adapter, a
    Bluetooth link as a Russian Windows names it, a port without a record,
    and an adapter plugged in while the tool runs. Under this locale the
    log's Cyrillic reads back from outside as '?': what the devices received
    tells the result."""
    lang = 'en_US.UTF-8'
    USB = 'USB-SERIAL CH340'
    BLUETOOTH = 'Стандартный последовательный порт по соединению Bluetooth'
    LATE = 'Silicon Labs CP210x USB to UART Bridge'

    def test_entries_name_their_devices_and_named_entries_write_and_flash(self):
        code_out, eeprom_out, out = (os.path.join(self.s.dir, n) for n in ('code.bin', 'eeprom.bin', 'out.bin'))
        self.s.devsim('boot-monitor', '--code-out', code_out, '--eeprom-out', eeprom_out, port='com3')
        self.s.device_record('com3', self.USB + ' (COM3)')
        writer = self.s.devsim('eeprom', '--blocks', '16', '--once', '--eeprom-out', out, port='com5')
        self.s.device_record('com5', self.BLUETOOTH + ' (COM5)', bus='BTHENUM',
                             device='{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002', instance='7&1a2b3c4d&0&0')
        self.s.devsim('eeprom', port='com9')  # no record
        data = pattern(16, 2)
        self.s.vessamo(data)
        items = self.d.items(IDC_COMPORT)
        for entry in ('COM 3 (%s)' % self.USB, 'COM 5 (%s)' % self.BLUETOOTH, 'COM 9'):
            self.assertIn(entry, items)
        # The picker draws in a TrueType face of the dialog font's size,
        # which Windows links to Cyrillic on any locale; the rest of the
        # panel keeps the dialog's font. (1001: the picker's own edit field.)
        fonts = self.d.fonts()
        self.assertEqual(fonts[IDC_COMPORT], ('Microsoft Sans Serif', fonts[IDC_FLASHEEPROM][1]), fonts)
        self.assertEqual({face for cid, (face, _) in fonts.items() if cid not in (IDC_COMPORT, 1001)},
                         {'MS Sans Serif'}, fonts)
        self.assertDroppedListFits()
        self.shoot_dropped('vessamo')
        self.d.pick_text(IDC_COMPORT, 'COM 5 (%s)' % self.BLUETOOTH)
        self.d.wait_log(lambda l: l.endswith(' COM5\n'))
        # The closed picker shows the start of the long entry picked.
        h.wait_for(self.d.edit_start, lambda x: x >= 0, 5, 'the entry shown from its start')
        self.d.click(IDC_FLASHEEPROM)
        self.assertEqual(h.wait_exit(writer.proc, 30), 0, writer.stderr)
        self.assertEqual(read(out), data)
        self.d.click(IDC_EXIT)
        self.assertTrue(self.d.gone())

        # brannik: an adapter plugged in while it runs shows its name; a
        # flash through the named entry of the bench's adapter.
        self.s.brannik()
        self.s.devsim('eeprom', port='com8')
        self.s.device_record('com8', self.LATE + ' (COM8)', device='VID_10C4&PID_EA60')
        self.d.device_change(BRANNIK_TITLE, 'arrival', 8)
        self.assertIn('COM 8 (%s)' % self.LATE, self.d.items(IDC_COMPORT))
        self.shoot_dropped('brannik')
        self.d.pick_text(IDC_COMPORT, 'COM 3 (%s)' % self.USB)
        self.d.wait_log(lambda l: l.endswith(' COM3\n'))
        zel = os.path.join(self.s.dir, 'fw.zel')
        code, eeprom = make_zel(zel, 8)
        self.d.click(IDC_OPENFILE)
        self.d.open_file(zel)
        h.wait_for(lambda: self.d.enabled(IDC_STARTFLASH), bool, 15, 'Start Flash enabled')
        self.d.click(IDC_STARTFLASH)
        h.wait_for(self.d.progress, lambda p: p[1] == 128 and p[2] == 0 and self.d.enabled(IDC_STARTFLASH), 180,
                   'the flash at its end')
        self.assertEqual(read(code_out), code)
        self.assertEqual(read(eeprom_out), eeprom)

    def assertDroppedListFits(self):
        """The dropped list is as wide as its widest entry, within the screen."""
        width, _ = self.d.dropped()
        widest = max(self.d.text_width(96, 8, item) for item in self.d.items(IDC_COMPORT))
        self.assertGreaterEqual(width, widest)
        self.assertLessEqual(width, 1024)

    def shoot_dropped(self, tool):
        """The panel with its list dropped down, for the README."""
        self.d.drop_open()
        try:
            time.sleep(0.4)
            _, listed = self.d.dropped()
            panel = self.d.rect()
            if SCREENSHOTS and listed[2] > listed[0]:
                os.makedirs(SCREENSHOTS, exist_ok=True)
                whole = [min(panel[0], listed[0]), min(panel[1], listed[1]),
                         max(panel[2], listed[2]), max(panel[3], listed[3])]
                self.s.screenshot(os.path.join(SCREENSHOTS, '%s-ports.png' % tool), whole)
        finally:
            self.d.drop_close()


ALL = [StartupTest, PortPickTest, PortListTest, PortNamesTest, VessamoTransferTest, BrannikTest, FolderNamesRussianTest, FolderNamesEnglishTest,
       DownloadsFolderTest, ScreenshotEnglishTest, ScreenshotRussianTest, ScalingTest]


def main():
    global ENV, SCREENSHOTS
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True, help='a Windows build folder (build/win32 or build/win64)')
    parser.add_argument('--devsim', required=True)
    parser.add_argument('--spy', default='', help='open_spy.so, preloaded into each prefix\'s wineserver')
    parser.add_argument('--only', default='', help='comma-separated test classes or Class.test names')
    parser.add_argument('--screenshots', default='', help='folder for the panel screenshots')
    args = parser.parse_args()
    SCREENSHOTS = args.screenshots or None

    loader = unittest.TestLoader()
    suite = unittest.TestSuite()
    if args.only:
        module = sys.modules[__name__]
        for name in args.only.split(','):
            suite.addTests(loader.loadTestsFromName(name, module))
    else:
        for cls in ALL:
            suite.addTests(loader.loadTestsFromTestCase(cls))

    ENV = h.Environment(args.build, args.devsim, args.spy or None)
    print('exes: %d-bit, %s' % (ENV.bits, ENV.build))
    reason = h.cannot_run(ENV.bits)
    if reason:
        # Said loudly: these tests did not run on this machine.
        print('SKIPPED: the %d-bit exes cannot run here: %s' % (ENV.bits, reason))
        print('0 passed, 0 failed, %d skipped' % suite.countTestCases())
        return SKIPPED_EXIT
    try:
        ENV.start()
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        ENV.stop()
    # A test with failing subtests counts once.
    failed = len({getattr(t, 'test_case', t).id() for t, _ in result.failures + result.errors})
    passed = result.testsRun - failed - len(result.skipped)
    line = '%d passed, %d failed' % (passed, failed)
    if result.skipped:
        line += ', %d skipped' % len(result.skipped)
    print(line)
    return 1 if failed or not result.wasSuccessful() else 0


if __name__ == '__main__':
    sys.exit(main())
