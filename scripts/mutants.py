#!/usr/bin/env python3
"""Mutation run: does the native test suite catch plausible single faults?

Each mutant below is one small textual change at a named place: the file, the
text as it stands there (exactly once), what replaces it, and what a user
would see if it shipped. For each, the run puts the change into a scratch
copy of the working tree (build/mutants/src), builds the native test suites
there (ninja rebuilds only what the change touches), runs the suites most
likely to see it first and the rest after, and stops at the first failure.
A failure, a crash or a time-out is a catch; a mutant that passes every
suite survives. Mutants that change no behaviour are marked with the reason
and not run. The Win32 layers (the *_win32.cpp files and tool_shell.cpp)
are not built natively; the end-to-end tests cover them.

  scripts/mutants.py                 # every mutant (about 15 minutes on 2 cores)
  scripts/mutants.py --only sync     # mutants whose name contains "sync"
  scripts/mutants.py --module brannik/front_panel.cpp
  scripts/mutants.py --list

Prints one line per mutant and a total; exits 1 when a mutant survived or
no longer fits the code it names, 0 otherwise. Not part of CI.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The native suites, cheapest first; a mutant names the ones that see it,
# each as SUITE or SUITE:GTEST_FILTER (those tests of the suite alone).
SUITES = ["serial_steps_test", "common_test", "boot_monitor_test", "vessamo_test",
          "flash_model_test", "brannik_test", "devsim_test"]
# A suite that takes this many times its unchanged run (at least 30 s)
# is taken to hang.
HANG_FACTOR = 4


class Mutant:
    def __init__(self, name, path, find, replace, effect, suites, equivalent=None):
        self.name, self.path, self.find, self.replace = name, path, find, replace
        self.effect, self.suites, self.equivalent = effect, suites, equivalent


def M(name, path, find, replace, effect, *suites, equivalent=None):
    return Mutant(name, path, find, replace, effect, list(suites), equivalent)


SP = "common/serial_port.cpp"
PW = "common/port_worker.cpp"
LV = "common/log_view.cpp"
PB = "common/progress_bar.cpp"
PX = "common/serial_port_posix.cpp"
BM = "brannik/boot_monitor.cpp"
FS = "brannik/flash_sequence.cpp"
FP = "brannik/front_panel.cpp"
FI = "brannik/firmware_image.cpp"
EW = "vessamo/eeprom_writer.cpp"
EF = "vessamo/eeprom_file.cpp"
VP = "vessamo/front_panel.cpp"

MUTANTS = [
    # ---- the line taken over at open: each field it sets
    M("takeover-baud", SP, "    line->baud = baud;\n", "",
      "the port runs at whatever rate the last program left", "serial_steps_test"),
    M("takeover-byte-size", SP, "    line->byte_size = 8;\n", "",
      "a port left at 7 data bits garbles every frame", "serial_steps_test"),
    M("takeover-parity", SP, "    line->parity = 0;\n", "",
      "a port left at even parity garbles every frame", "serial_steps_test"),
    M("takeover-stop-bits", SP, "    line->stop_bits = 0;\n", "",
      "a port left at two stop bits slows and may garble the link", "serial_steps_test"),
    M("takeover-binary", SP, "    line->binary = 1;\n", "",
      "a port left in text mode treats the device's bytes as text", "serial_steps_test"),
    M("takeover-cts-flow", SP, "    line->out_cts_flow = 0;\n", "",
      "writes wait for ever on an adapter whose CTS is low", "serial_steps_test"),
    M("takeover-dsr-flow", SP, "    line->out_dsr_flow = 0;\n", "",
      "writes wait for ever on an adapter whose DSR is low", "serial_steps_test"),
    M("takeover-out-xon-xoff", SP, "    line->out_xon_xoff = 0;\n", "",
      "the device's 0x11 and 0x13 bytes vanish; an 0x13 holds writes for ever", "serial_steps_test"),
    M("takeover-in-xon-xoff", SP, "    line->in_xon_xoff = 0;\n", "",
      "the tool sends XOFF bytes into the device's frames", "serial_steps_test"),
    M("takeover-dsr-sensitivity", SP, "    line->dsr_sensitivity = 0;\n", "",
      "replies are dropped while the adapter's DSR is low", "serial_steps_test"),
    M("takeover-null-strip", SP, "    line->null_strip = 0;\n", "",
      "every 0x00 the device sends is lost", "serial_steps_test"),
    M("takeover-error-char", SP, "    line->error_char = 0;\n", "",
      "bytes with a parity error are replaced", "serial_steps_test"),
    M("takeover-parity-check", SP, "    line->parity_check = 0;\n", "",
      "parity errors are checked on a line without parity", "serial_steps_test"),
    M("takeover-abort-on-error", SP, "    line->abort_on_error = 0;\n", "",
      "the power cycle's framing error fails every read and write after it", "serial_steps_test"),
    M("takeover-dtr-handshake", SP, "        line->dtr_control = PORT_LINE_ON;\n", "",
      "DTR drops as the input queue fills, resetting some devices", "serial_steps_test"),
    M("takeover-rts-handshake", SP, "        line->rts_control = PORT_LINE_ON;\n", "",
      "RTS handshake left on: input flow control the device never expects", "serial_steps_test"),
    M("takeover-xon-limit", SP, "    line->xon_limit = PORT_XON_LIMIT;\n", "",
      "Windows refuses the settings of a port left with a large XON limit", "serial_steps_test"),
    M("takeover-xoff-char", SP, "    line->xoff_char = PORT_XOFF_CHAR;\n", "",
      "Windows refuses the settings of a port left with XON equal to XOFF", "serial_steps_test"),
    # ---- the open, the close and readiness
    M("open-no-purge", SP, "    PortPurge(h);\n    if (!ApplyPortTimeouts(h))",
      "    if (!ApplyPortTimeouts(h))",
      "bytes from before the open are taken for the device's reply", "serial_steps_test"),
    M("open-failure-leaks", SP, "    PortRelease(h);\n    g_port.store(nullptr);\n    g_open_port.store(0);\n    LogPrint(format, com);",
      "    g_port.store(nullptr);\n    g_open_port.store(0);\n    LogPrint(format, com);",
      "a port that failed its set-up stays held: no program can open it", "serial_steps_test"),
    M("close-keeps-handle", SP, "    PortRelease(h);\n    g_port.store(nullptr);\n    g_open_port.store(0);\n    if (Tool()",
      "    PortRelease(h);\n    g_open_port.store(0);\n    if (Tool()",
      "after a close the tool writes to a released handle", "serial_steps_test"),
    M("ready-without-worker", SP, "g_port_worker_thread.load() != nullptr && g_port.load()",
      "g_port_worker_thread.load() != nullptr || g_port.load()",
      "Start is offered with no port open", "serial_steps_test", "brannik_test"),
    M("timeouts-interval", SP, "    t.read_interval_ms = 0;\n", "    t.read_interval_ms = 20;\n",
      "a reply with a pause in it is cut short", "serial_steps_test"),
    # ---- the port list and the picker
    M("list-drops-open-port", SP, "    for (int keep : {g_open_port.load(), also})", "    for (int keep : {also})",
      "a pulled adapter vanishes from the picker while the tool still has it open", "serial_steps_test", "flash_model_test"),
    M("list-leading-zero", SP, "    if (name[3] == '0')\n        return 0;\n", "",
      "COM007 is offered as COM 7, a port that may be another device or none", "serial_steps_test"),
    M("list-padding-kept", SP, "name[length - 1] == ' ' || ", "",
      "an adapter whose driver pads its name never shows in the picker", "serial_steps_test"),
    M("list-range-open", SP, "    ports.last = Tool().last_listed_port;\n", "    ports.last = PORT_LIST_SLOTS - 1;\n",
      "brannik offers ports past COM127", "serial_steps_test"),
    M("picker-shown-lost", "common/port_picker.cpp", "        if (com == shown_port)\n            show = i + 1;\n", "",
      "every adapter plugged in resets the picker to \"----\" while a port is open", "serial_steps_test", "flash_model_test"),
    M("picker-off-by-one-after-relist", "common/port_picker.cpp", "            show = i + 1;", "            show = i;",
      "after a re-list the picker shows the port before the one in use", "serial_steps_test"),
    M("picker-drops-queued-open", "common/port_picker.cpp", "EnumComPorts(PortOpenQueued())", "EnumComPorts()",
      "an adapter's blip while its open is queued leaves the picker at \"----\" with the port open", "flash_model_test"),
    # ---- the port worker: port changes in order, with their pauses
    M("worker-open-reads-selected", PW, "        OpenComPortNumber(com);", "        OpenComPort();",
      "two quick picks open the second port twice and never the first", "serial_steps_test"),
    M("worker-no-open-pause", PW, "        Pause(Tool().open_pause_ms);\n", "",
      "the device sees a close straight after an open", "serial_steps_test"),
    M("worker-close-pause-always", PW, "    } else if (g_port.load()) {", "    } else {",
      "a pick with no port open waits for nothing", "serial_steps_test", "brannik_test:BrannikPanelTest.*"),
    M("worker-served-early", PW, "    s_busy = 0;\n    s_changes_served.store(number);",
      "    s_changes_served.store(number);\n    s_busy = 0;",
      "none", "serial_steps_test",
      equivalent="the busy flag is the worker's own and nothing runs between the two stores"),
    M("worker-overtaken-open-made", PW, "        if (s_last_close_posted.load() > number) {", "        if (0) {",
      "a run down the list opens every port passed over: a board wired to DTR resets, a Bluetooth port calls its phone",
      "serial_steps_test", "brannik_test:BrannikPanelTest.*", "vessamo_test:VessamoPanelTest.*"),
    # ---- log formatting
    M("log-cr-lf-split", LV, "if (len + 2 > room)", "if (len + 1 > room)",
      "a long log line overruns its buffer", "common_test"),
    M("log-no-limit", LV, "    LogViewLimitText(LOG_VIEW_TEXT_LIMIT);\n", "",
      "after about ninety flashes Windows drops every new log line", "common_test"),
    M("log-empty-insert", LV, "expanded[0] != '\\0' && ", "",
      "an empty log text deletes what the user selected", "common_test"),
    M("log-font-unscaled", LV, "    if (dpi <= 0)\n        dpi = base_dpi;\n", "    dpi = base_dpi;\n",
      "at 150 % the log is small print in a large box", "common_test"),
    M("snap-none", PB, "    if (max == 0 || pos < max)", "    if (1)",
      "a themed bar is drawn short of the end of a phase", "common_test"),
    M("snap-full-unwidened", PB, "    moves[0] = {1, max + 1};", "    moves[0] = {1, max};",
      "a full bar is left drawn short: the step past its end is clamped", "common_test"),
    # ---- the POSIX backend (the tests' and devsim's real I/O path)
    M("posix-read-no-deadline", PX, "            if (left <= 0)\n                break;\n", "",
      "a read with no reply never ends", "common_test", "boot_monitor_test"),
    M("posix-ixon-ignored", PX, "    SetFlag(&tio.c_iflag, IXON, line.out_xon_xoff);\n", "",
      "XON/XOFF left on the pty swallows the device's 0x11 and 0x13", "common_test",
      equivalent="cfmakeraw clears IXON for the binary line every open asks for"),
    M("posix-ixoff-ignored", PX, "    SetFlag(&tio.c_iflag, IXOFF, line.in_xon_xoff);\n", "",
      "XON/XOFF left on the pty puts XOFF bytes into the tool's frames", "common_test"),
    # ---- the boot monitor link: sync, identify, frames
    M("sync-no-purge", BM, "    PortPurge(port);\n    for (;;) {", "    for (;;) {",
      "a running program's 0xAA is taken for the boot monitor", "boot_monitor_test"),
    M("sync-keeps-trailing", BM, "            PortPurge(port);  // drops whatever followed the answer\n", "",
      "bytes after the answer spoil the identify", "boot_monitor_test"),
    M("sync-stop-not-consumed", BM, "if (g_stop_request.exchange(0) != 0) return 0;",
      "if (g_stop_request.load() != 0) return 0;",
      "a stop carries over and ends the next flash's wait at once", "boot_monitor_test"),
    M("sync-write-failure-silent", BM, "            g_stop_request.store(0);\n            LogPrint(\"%s\", MSG_LINK_ERROR);\n            return 0;",
      "            g_stop_request.store(0);\n            return 0;",
      "a pulled adapter leaves the log silent", "boot_monitor_test"),
    M("frame-checksum-sum", BM, "sum ^= bytes[i];", "sum += bytes[i];",
      "every frame is refused with a checksum error", "boot_monitor_test"),
    M("frame-checksum-short", BM, "FrameChecksum(frame + 2, length - 1u)", "FrameChecksum(frame + 2, length - 2u)",
      "the checksum misses the last byte", "boot_monitor_test"),
    M("frame-no-whitening", BM, "(unsigned char)(payload[i] ^ BM_WHITENING)", "payload[i]",
      "the device stores the code unwhitened: a bricked device", "boot_monitor_test"),
    M("frame-eeprom-high-byte", BM, "command == BM_CMD_EEPROM_WRITE ? 0x00 :", "command == BM_CMD_PROGRAM ? 0x00 :",
      "program frames past 64 KB land at the wrong address", "boot_monitor_test"),
    M("identify-length-unchecked", BM, "n >= BM_IDENTIFY_MIN && n == reply[1] + 2 &&", "n >= BM_IDENTIFY_MIN &&",
      "a damaged identify reply is taken for a boot monitor", "boot_monitor_test"),
    M("identify-count-unchecked", BM, "if (reply[3] != BM_IDENTIFY_DATA_COUNT) {", "if (0) {",
      "a foreign loader is flashed as if it were ours", "boot_monitor_test"),
    M("exchange-overlong-done", BM, "    if (n == BM_STATUS_REPLY_LEN) {", "    if (n >= BM_STATUS_REPLY_LEN) {",
      "an overlong reply counts as done", "boot_monitor_test"),
    # ---- the flash's phases
    M("phase-one-block-short", FS, "for (unsigned k = 0; k < phase.blocks; k++)", "for (unsigned k = 1; k < phase.blocks; k++)",
      "the first block of each phase is skipped: a bricked device", "brannik_test:FlashSequenceTest.*"),
    M("phase-address-step", FS, "BuildCommandFrame(s_frame, phase.command, k * phase.block_bytes, payload)",
      "BuildCommandFrame(s_frame, phase.command, k * FLASH_PROGRAM_BLOCK_BYTES, payload)",
      "erase and EEPROM blocks go to the wrong addresses", "brannik_test:FlashSequenceTest.*"),
    M("phase-no-purge", FS, "    ProgressBegin(phase.blocks);\n    PortPurge(g_port.load());\n",
      "    ProgressBegin(phase.blocks);\n",
      "a stray byte after the identify fails the first erase", "flash_model_test"),
    M("phase-failure-ignored", FS, "            LogPrint(ExchangeFailureMessage(outcome), (int)k);\n            return 0;",
      "            LogPrint(ExchangeFailureMessage(outcome), (int)k);",
      "a failed block is logged and the flash goes on as if it had worked", "brannik_test:FlashSequenceTest.*"),
    M("phases-crossed-stop-hidden", FS, "    g_flash_state.store(FLASH_PHASES);\n    DisableStartFlash();\n    LabelStopFlash();",
      "    g_flash_state.store(FLASH_PHASES);\n    DisableStartFlash();",
      "the phases run while the panel offers Start Flash", "flash_model_test", "brannik_test"),
    M("sequence-probes-when-stopped", FS, "    // Stopped before it began: no probe, and the panel is the user's.\n    if (EndIfStopped())\n        return;\n", "",
      "a stopped flash still prompts and probes", "brannik_test:FlashSequenceTest.*", "flash_model_test"),
    M("sequence-final-prompt-missing", FS, "        LogPrint(\"Выключите и включите питание устройства !\\r\\n\");\n", "",
      "the technician is not told to power-cycle after a flash", "brannik_test:FlashSequenceTest.*"),
    # ---- brannik's panel: keep-awake, close guard, picker mapping
    M("awake-not-asked", FP, "    KeepSystemAwake(1);\n", "",
      "the PC may sleep in the middle of a flash", "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("awake-kept-after-return", FP, "    if (g_flash_state.load() == FLASH_IDLE)\n        KeepSystemAwake(0);", "",
      "the PC never sleeps again after a flash", "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("awake-kept-after-halt-stop", FP, "        StopFlash();\n        KeepSystemAwake(0);", "        StopFlash();",
      "after a failed identify and Stop the PC never sleeps", "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("close-guard-open", FP, "    return !FlashInProgress();", "    return 1;",
      "Exit or a shutdown cuts a flash: a bricked device", "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("picker-off-by-one", FP, "g_selected_port.store(GetListedPort(index - 1));", "g_selected_port.store(GetListedPort(index));",
      "picking COM3 opens the next port in the list", "brannik_test:BrannikPanelTest.*"),
    M("stale-stop-reaches-flash", FP, "    g_stop_request.store(0);\n    // Awake", "    // Awake",
      "a Stop from the last flash ends the next one's wait at once", "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("start-with-changes-queued", FP, "    return PortChangesQueued() == 0 && IsPortReady()", "    return IsPortReady()",
      "Start Flash posted behind a queued pick flashes through whatever port that leaves, or none",
      "flash_model_test", "brannik_test:BrannikPanelTest.*"),
    M("stop-needs-a-port", FP, "    int state = g_flash_state.load();\n    if (state == FLASH_IDLE) {",
      "    if (!IsPortReady())\n        return;\n    int state = g_flash_state.load();\n    if (state == FLASH_IDLE) {",
      "a flash halted with no port open can be freed only by ending the process",
      "brannik_test:BrannikPanelTest.*", "flash_model_test"),
    M("dashes-close-at-once", FP, "        s_picked_none = 1;\n        DisableStartFlash();\n        return 1;",
      "        RequestPortClose();\n        DisableStartFlash();\n        return 0;",
      "a port and then \"----\" in quick succession leave that port open while the picker shows \"----\"",
      "brannik_test:BrannikPanelTest.*"),
    M("served-ignores-panel", FP, "    if (!PanelShowsIdle())\n        return;\n    if (ReadyToFlash())", "    if (ReadyToFlash())",
      "a pick's report re-enables Stop Flash while the phases run", "flash_model_test",
      equivalent="no change is carried out while the panel shows a flash: Start refuses while one is queued, "
      "the picker is disabled while started, and one queued after Stop runs after the sequence has returned"),
    # ---- the .zel loader
    M("zel-size-at-least", FI, "if (GetFileLength(file) != ZEL_FILE_BYTES)", "if (GetFileLength(file) < ZEL_FILE_BYTES)",
      "an overlong file is flashed as if it were an image", "brannik_test:FirmwareImageTest.*"),
    M("zel-trailer-unchecked", FI, "    if (!ReadMagic(file, ZEL_TRAILER_MAGIC)) {", "    if (0) {",
      "a damaged image is flashed", "brannik_test:FirmwareImageTest.*"),
    M("zel-old-image-kept", FI, "    ReleaseImage(g_code_image);\n    ReleaseImage(g_eeprom_image);\n\n", "",
      "after a refused file the previous image is still flashed", "brannik_test:FirmwareImageTest.*"),
    M("file-length-no-rewind", "common/file_length.cpp", "    fseek(file, here, SEEK_SET);\n", "",
      "every image and data file is read from its end and refused", "brannik_test", "vessamo_test"),
    # ---- vessamo: the EEPROM frames and reply checks, the data file, the panel
    M("eeprom-address-mask", EW, "EEPROM_ADDRESS_HIGH_MASK = 0x03", "EEPROM_ADDRESS_HIGH_MASK = 0x07",
      "frames carry address bits the device does not have",
      "vessamo_test", equivalent="blocks stop at 2,048 (the file check), so address bit 18 is always 0"),
    M("eeprom-address-middle", EW, "(unsigned char)((address >> 8) & 0xFF)", "(unsigned char)((address >> 7) & 0xFF)",
      "blocks are written to the wrong addresses", "vessamo_test"),
    M("eeprom-start-unchecked", EW, "        if (reply[0] != EEPROM_FRAME_START) {", "        if (0) {",
      "a malformed reply counts as written", "vessamo_test"),
    M("eeprom-write-error-ignored", EW, "            LogPrint(\"Ошибка записи в микросхему EEPROM. i = %i, err = %i\\n\", (int)i, reply[2]);\n            return;",
      "            LogPrint(\"Ошибка записи в микросхему EEPROM. i = %i, err = %i\\n\", (int)i, reply[2]);\n            break;",
      "a write error is logged and the write goes on to say OK", "vessamo_test"),
    M("eeprom-short-reply", EW, "if (got != EEPROM_REPLY_BYTES) {", "if (got < EEPROM_REPLY_BYTES) {",
      "none", "vessamo_test",
      equivalent="PortRead never returns more bytes than asked, so != and < agree"),
    M("eeprom-no-purge", EW, "    PortPurge(g_port.load());\n    LogPrint(\"Записываем", "    LogPrint(\"Записываем",
      "a reply left by a failed run spoils the next write's first block", "vessamo_test"),
    M("eeprom-file-block-mask", EF, "(length & (EEPROM_BLOCK_BYTES - 1)) != 0", "(length & (EEPROM_BLOCK_BYTES / 2 - 1)) != 0",
      "a file of half blocks is accepted and its last block sent with garbage", "vessamo_test"),
    M("eeprom-file-max", EF, "if (length > EEPROM_MAX_BYTES) {", "if (length > EEPROM_MAX_BYTES + EEPROM_BLOCK_BYTES) {",
      "block 2,048 wraps round and overwrites block 0", "vessamo_test"),
    M("vessamo-no-reopen", VP, "    RequestPortClose();\n    RequestPortOpen();", "    RequestPortOpen();",
      "picking another port keeps the old one open", "vessamo_test"),
    M("vessamo-dash-closes", VP, "    if (index < 1)\n        return 0;", "    if (index < 0)\n        return 0;",
      "picking \"----\" closes the open port", "vessamo_test"),
    # ---- the tools' constants
    M("brannik-baud", "brannik/tool_profile.cpp", "    115200,", "    57600,",
      "brannik talks to the boot monitor at the wrong rate", "serial_steps_test"),
    M("brannik-read-time-out", "brannik/tool_profile.cpp", "    50,                                     // read constant",
      "    20,                                     // read constant",
      "a boot monitor that answers in 30 ms is taken for silent", "serial_steps_test"),
    M("vessamo-baud", "vessamo/tool_profile.cpp", "    921600,", "    460800,",
      "vessamo writes at the wrong rate", "serial_steps_test"),
    M("vessamo-read-multiplier", "vessamo/tool_profile.cpp", "    100,                                    // read multiplier",
      "    10,                                     // read multiplier",
      "a slow EEPROM write is reported as no reply", "serial_steps_test"),
]


def run(cmd, cwd, timeout=None, env=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace", timeout=timeout, env=env)


def sync_tree(src):
    """Copies the working tree (tracked and untracked, not ignored) into src,
    writing only files that differ so that ninja rebuilds only those."""
    files = run(["git", "ls-files", "-co", "--exclude-standard", "-z"], ROOT).stdout.split("\0")
    for rel in filter(None, files):
        a = os.path.join(ROOT, rel)
        b = os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        with open(a, "rb") as f:
            data = f.read()
        if os.path.isfile(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        shutil.copyfile(a, b)  # a new time stamp, so that ninja sees the change


def build(src, out):
    if not os.path.isfile(os.path.join(out, "build.ninja")):
        r = run(["cmake", "-S", src, "-B", out, "-G", "Ninja"], ROOT)
        if r.returncode:
            sys.exit("configure failed:\n" + r.stdout)
    r = run(["cmake", "--build", out, "-j", str(os.cpu_count() or 2), "--target"] + SUITES, ROOT)
    return r.returncode == 0, r.stdout


def run_suite(out, suite, timeout):
    """None when the suite passes, else what caught the mutant."""
    name, _, tests = suite.partition(":")
    args = [os.path.join(out, "tests", name), "--gtest_fail_fast", "--gtest_brief=1"]
    if tests:
        args.append("--gtest_filter=" + tests)
    try:
        r = run(args, os.path.join(out, "tests"), timeout=timeout)
    except subprocess.TimeoutExpired:
        return suite + " (time-out: hangs)"
    if r.returncode == 0:
        return None
    failed = re.search(r"\[  FAILED  \] (\S+)", r.stdout)
    if failed:
        return failed.group(1)
    if r.returncode < 0:
        return "%s (crash, signal %d)" % (suite, -r.returncode)
    return "%s (exit %d)" % (suite, r.returncode)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", help="mutants whose name contains this text")
    ap.add_argument("--module", help="mutants in this file (path from the repository root)")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--scratch", default=os.path.join(ROOT, "build", "mutants"))
    args = ap.parse_args()

    chosen = [m for m in MUTANTS
              if (not args.only or args.only in m.name) and (not args.module or m.path == args.module)]
    if args.list:
        for m in chosen:
            print("%-34s %-28s %s" % (m.name, m.path, m.equivalent and "equivalent: " + m.equivalent or m.effect))
        return 0
    if not chosen:
        sys.exit("no mutant matches")

    src = os.path.join(args.scratch, "src")
    out = os.path.join(args.scratch, "build")
    os.makedirs(src, exist_ok=True)
    sync_tree(src)
    start = time.time()
    ok, log = build(src, out)
    if not ok:
        sys.exit("the unchanged tree does not build:\n" + log[-4000:])
    limit = {}
    for suite in SUITES:
        t0 = time.time()
        if run_suite(out, suite, None):
            sys.exit("the unchanged tree fails %s: mend that first" % suite)
        limit[suite] = max(30, HANG_FACTOR * (time.time() - t0))
    print("unchanged tree: every suite passes (%.0f s)" % (time.time() - start), flush=True)

    counts = {"caught": 0, "survived": 0, "equivalent": 0, "stale": 0}
    for m in chosen:
        if m.equivalent:
            counts["equivalent"] += 1
            print("equivalent %-34s %s" % (m.name, m.equivalent), flush=True)
            continue
        path = os.path.join(src, m.path)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if original.count(m.find) != 1:
            counts["stale"] += 1
            print("STALE      %-34s its text is not in %s exactly once" % (m.name, m.path), flush=True)
            continue
        t0 = time.time()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m.find, m.replace))
            ok, log = build(src, out)
            caught = None
            if not ok:
                counts["stale"] += 1
                print("STALE      %-34s does not build" % m.name, flush=True)
                continue
            for suite in m.suites + [s for s in SUITES if s not in m.suites]:
                caught = run_suite(out, suite, limit[suite.partition(":")[0]])
                if caught:
                    break
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        took = time.time() - t0
        if caught:
            counts["caught"] += 1
            print("caught     %-34s by %s (%.0f s)" % (m.name, caught, took), flush=True)
        else:
            counts["survived"] += 1
            print("SURVIVED   %-34s %s: %s (%.0f s)" % (m.name, m.path, m.effect, took), flush=True)
    build(src, out)  # leave the scratch build as the tree is
    print("%d mutants: %d caught, %d survived, %d equivalent, %d stale, in %.0f s" % (
        len(chosen), counts["caught"], counts["survived"], counts["equivalent"], counts["stale"],
        time.time() - start))
    return 1 if counts["survived"] or counts["stale"] else 0


if __name__ == "__main__":
    sys.exit(main())
