// line_floor: the design floors of a brannik flash and a vessamo EEPROM
// write under Wine, for wine_bench.py. Built with the Windows exes, never
// shipped; it carries the tools' manifest, so its bar is drawn by the same
// Common Controls 6 as theirs.
//
// It does on COM3 exactly the line work of one flash, with brannik's own
// port settings and link code: open at 115200 8N1 with the 50 ms read
// time-out, probe until the boot monitor answers, identify, then the 96 +
// 384 + 128 command frames, each with its 6-byte read, a purge before each
// phase. No windows are involved, so the line time devsim records is what
// the protocol and Wine's serial layer cost by themselves.
//
// With --progress a second thread owns a progress bar and pumps messages,
// and every acknowledged block is followed by one synchronous PBM_STEPIT
// sent to it across threads, as the real tool's worker does: the floor of
// the design, where brannik's other costs (log lines, button states) are
// left out. The bar is hidden, so no step is painted; --progress-shown
// shows it, so that each step is also painted, as on the tool's panel.
//
// With --eeprom it does vessamo's line work instead: open at 921600 8N1 with
// vessamo's read time-outs, then for every block of "zel_eeprom.dat" in the
// working folder the 133-byte frame and its 15-byte reply, each block
// acknowledged followed by one synchronous PBM_STEPIT to the shown bar, as
// vessamo's worker does; no log lines.
//
// Exit code 0 when every block was acknowledged, 1 otherwise; one line on
// stdout says which.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "boot_monitor.h"
#include "eeprom_file.h"
#include "eeprom_writer.h"
#include "flash_sequence.h"
#include "serial_port.h"
#include "tool_profile.h"

enum { FLOOR_COM = 3 };

static HWND s_bar;
static HANDLE s_bar_ready;
static DWORD s_bar_style = WS_POPUP;

// The bar's thread: creates the bar and pumps its messages until the end
// of the process.
static DWORD WINAPI BarThread(LPVOID)
{
    s_bar = CreateWindowExA(0, PROGRESS_CLASSA, "", s_bar_style, 0, 0, 300, 20, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
    SendMessageA(s_bar, PBM_SETRANGE32, 0, FLASH_PROGRAM_BLOCKS);
    SendMessageA(s_bar, PBM_SETSTEP, 1, 0);
    SetEvent(s_bar_ready);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

static int RunPhase(unsigned char command, unsigned blocks, unsigned block_bytes, const unsigned char* image)
{
    static unsigned char frame[BM_FRAME_MAX];
    PortPurge(g_port.load());
    for (unsigned k = 0; k < blocks; k++) {
        unsigned length = BuildCommandFrame(frame, command, k * block_bytes, image ? image + k * block_bytes : nullptr);
        if (ExchangeCommand(frame, length) != BM_OUTCOME_DONE) {
            printf("block %u of command %u not acknowledged\n", k, command);
            return 0;
        }
        if (s_bar)
            SendMessageA(s_bar, PBM_STEPIT, 0, 0);
    }
    return 1;
}

static int WriteEeprom()
{
    if (!LoadEepromData())
        return 0;
    SetToolProfile(&VESSAMO_PROFILE);
    g_selected_port.store(FLOOR_COM);
    if (!OpenComPort()) {
        printf("COM%d does not open\n", FLOOR_COM);
        return 0;
    }
    PortPurge(g_port.load());
    // The bar set up as vessamo's transfer sets it, across threads.
    SendMessageA(s_bar, PBM_SETPOS, 0, 0);
    SendMessageA(s_bar, PBM_SETRANGE, 0, MAKELPARAM(0, g_eeprom_length / EEPROM_BLOCK_BYTES));
    SendMessageA(s_bar, PBM_SETSTEP, 1, 0);
    unsigned char frame[EEPROM_FRAME_BYTES];
    unsigned char reply[EEPROM_REPLY_BYTES];
    for (unsigned i = 0; i < (unsigned)g_eeprom_length / EEPROM_BLOCK_BYTES; ++i) {
        BuildEepromFrame(frame, i, g_eeprom_data + (size_t)i * EEPROM_BLOCK_BYTES);
        if (!PortWrite(g_port.load(), frame, EEPROM_FRAME_BYTES) ||
            PortRead(g_port.load(), reply, EEPROM_REPLY_BYTES) != EEPROM_REPLY_BYTES ||
            reply[0] != EEPROM_FRAME_START || reply[1] != EEPROM_REPLY_WRITTEN) {
            printf("block %u not acknowledged\n", i);
            return 0;
        }
        SendMessageA(s_bar, PBM_STEPIT, 0, 0);
    }
    return 1;
}

static void StartBar()
{
    InitCommonControls();
    s_bar_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, BarThread, nullptr, 0, nullptr);
    WaitForSingleObject(s_bar_ready, INFINITE);
}

int main(int argc, char** argv)
{
    static unsigned char code[FLASH_PROGRAM_BLOCKS * FLASH_PROGRAM_BLOCK_BYTES];
    static unsigned char eeprom[FLASH_EEPROM_BLOCKS * FLASH_EEPROM_BLOCK_BYTES];
    memset(code, 0x5A, sizeof code);
    memset(eeprom, 0xA5, sizeof eeprom);

    if (argc > 1 && (strcmp(argv[1], "--progress-shown") == 0 || strcmp(argv[1], "--eeprom") == 0))
        s_bar_style |= WS_VISIBLE;
    if (argc > 1 && (strncmp(argv[1], "--progress", 10) == 0 || strcmp(argv[1], "--eeprom") == 0))
        StartBar();
    if (argc > 1 && strcmp(argv[1], "--eeprom") == 0) {
        int written = WriteEeprom();
        if (written)
            printf("every block acknowledged\n");
        fflush(stdout);
        return written ? 0 : 1;
    }

    SetToolProfile(&BRANNIK_PROFILE);
    g_selected_port.store(FLOOR_COM);
    if (!OpenComPort()) {
        printf("COM%d does not open\n", FLOOR_COM);
        return 1;
    }
    if (!SyncBootMonitor() || !IdentifyBootMonitor()) {
        printf("no boot monitor\n");
        return 1;
    }
    int ok = RunPhase(BM_CMD_ERASE, FLASH_ERASE_BLOCKS, FLASH_ERASE_BLOCK_BYTES, nullptr) &&
             RunPhase(BM_CMD_PROGRAM, FLASH_PROGRAM_BLOCKS, FLASH_PROGRAM_BLOCK_BYTES, code) &&
             RunPhase(BM_CMD_EEPROM_WRITE, FLASH_EEPROM_BLOCKS, FLASH_EEPROM_BLOCK_BYTES, eeprom);
    if (ok)
        printf("every block acknowledged\n");
    fflush(stdout);
    return ok ? 0 : 1;
}
