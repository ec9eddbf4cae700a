// panel_driver.exe: reads and drives a running tool's windows from another
// process, for the end-to-end tests under Wine.
//
// A console program that reads one command per line on stdin and answers
// one line on stdout: "ok ..." or "err ...". One driver serves a whole test,
// so the Wine start-up cost is paid once. It acts as a technician would:
// it reads what the windows show, clicks buttons, picks port entries,
// answers message boxes and fills in the open-file dialog. Texts are
// answered hex-encoded: window texts as the ANSI bytes the driver receives
// (Windows-1251 under a Russian locale), combo box entries as UTF-8 (they
// are read with the wide message, since the ANSI one loses all but the
// first character across processes).
//
// Commands (ID is a decimal control identifier on the current panel):
//   panel TITLE        wait for the front panel titled TITLE, make it current
//   main TITLE         1 when a main window (main32Boot) titled TITLE exists
//   worker MS          wait up to MS ms for the port worker's window of the
//                      current panel's process (a top-level or a
//                      message-only window); 1 when it exists
//   answers MS         WM_NULL sent to every top-level window of the current
//                      panel's process, as Windows sends a broadcast or the
//                      session-end query, each waited for up to MS ms: the
//                      count, then CLASS:MS for each window (CLASS:hung for
//                      one that did not answer)
//   cwd                the current directory of the current panel's process,
//                      as its process parameters hold it (hex UTF-8)
//   alive              1 while the current panel exists
//   gone MS            wait up to MS ms for the current panel to go away
//   rect               screen rectangle of the current panel
//   ctl ID             1 when the control exists
//   text ID            control text (hex)
//   enabled ID         1 or 0
//   items ID           count and entries of a combo box (hex UTF-8)
//   cursel ID          current selection of a combo box
//   pick ID INDEX      select an entry as a user would (CBN_SELCHANGE)
//   picks ID MS I,J,.. select the entries in turn, MS ms apart, posted
//   front              "F C": F 1 when the current panel is the foreground
//                      window, C 1 when the window at its centre is the panel
//   fonts              every control's font, read inside the tool by
//                      font_probe.dll: "ID HEIGHT FACE" lines joined by '|'
//   drop ID            drop a combo box's list down and close it (CBN_DROPDOWN)
//   dropopen ID        drop the list down and leave it so; dropclose ID closes it
//   dropped ID         the dropped list's width and its screen rectangle
//   editstart ID       where the first character of a combo box's edit field
//                      stands, in the field's client pixels (negative when
//                      the field is scrolled past it)
//   relist ID N        drop the list down and close it N times: microseconds
//                      per drop (each makes the tool list the ports anew)
//   devchange EVENT N TITLE
//                      WM_DEVICECHANGE to the main window titled TITLE, as
//                      Windows broadcasts it: EVENT "arrival" or "removal"
//                      of port COM<N>, or "nodes" (DBT_DEVNODES_CHANGED)
//   progress ID        low, high and position of a progress bar
//   ctlrect ID         screen rectangle of a control
//   logrect            screen rectangle of the log view
//   modules            paths of the modules loaded in the current panel's
//                      process (hex UTF-8, one a word)
//   textwidth DPI PT TEXT
//                      width in pixels of TEXT (UTF-8) in the panels' font,
//                      "MS Sans Serif" of PT points, at DPI
//   log                text of the log view (hex)
//   click ID           press a button (nothing when it is disabled)
//   clicks N ID        N presses posted back to back, as fast as a hand can't
//   box MS TITLE       wait up to MS ms for a message box, answer its text
//   hasbox TITLE       1 when such a message box is up now
//   boxok TITLE        press OK on that message box
//   open MS PATH       wait for the open-file dialog, enter PATH, press OK
//   opencancel MS      wait for the open-file dialog, press Cancel
//   list               top-level windows (debugging aid)
//   quit
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const UINT SEND_TIMEOUT_MS = 5000;  // longest wait for a tool to answer one message, ms
const int POLL_MS = 20;             // pause between looks for a window, ms
const int FILENAME_COMBO_ID = 0x47C;  // file-name field (cmb13) of the open-file dialog
const int MSGBOX_TEXT_ID = 0xFFFF;    // static holding a message box's text

HWND g_panel = nullptr;

void Answer(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fputs(buf, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// "ok " followed by the bytes in hex, written in pieces: a log can be long.
void AnswerHex(const char* prefix, const unsigned char* bytes, size_t n) {
  fputs(prefix, stdout);
  for (size_t i = 0; i < n; ++i) fprintf(stdout, "%02X", bytes[i]);
  fputc('\n', stdout);
  fflush(stdout);
}

void AnswerRect(HWND h) {
  RECT r;
  if (!h || !GetWindowRect(h, &r)) { Answer("err no window"); return; }
  Answer("ok %ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
}

void AnswerUtf8Word(const wchar_t* word) {
  char utf8[1024] = {0};
  WideCharToMultiByte(CP_UTF8, 0, word, -1, utf8, sizeof utf8, nullptr, nullptr);
  fputc(' ', stdout);
  for (const char* p = utf8; *p; ++p) fprintf(stdout, "%02X", (unsigned char)*p);
}

void ClassOf(HWND h, char* out, int size) {
  out[0] = 0;
  GetClassNameA(h, out, size);
}

struct FindArgs {
  const wchar_t* title;
  const char* cls;
  int need_main_owner;
  int need_visible;
  HWND found;
};

BOOL CALLBACK FindTop(HWND h, LPARAM lp) {
  FindArgs* a = reinterpret_cast<FindArgs*>(lp);
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  if (strcmp(cls, a->cls) != 0) return TRUE;
  if (a->need_visible && !IsWindowVisible(h)) return TRUE;
  wchar_t title[256] = {0};
  GetWindowTextW(h, title, 256);
  if (wcscmp(title, a->title) != 0) return TRUE;
  if (a->need_main_owner) {
    HWND owner = GetWindow(h, GW_OWNER);
    char ocls[64];
    ClassOf(owner, ocls, sizeof ocls);
    if (!owner || strcmp(ocls, "main32Boot") != 0) return TRUE;
  }
  a->found = h;
  return FALSE;
}

HWND FindTopDialog(const wchar_t* title, int need_main_owner) {
  FindArgs a = {title, "#32770", need_main_owner, 1, nullptr};
  EnumWindows(FindTop, reinterpret_cast<LPARAM>(&a));
  return a.found;
}

HWND WaitTopDialog(const wchar_t* title, int need_main_owner, int ms) {
  for (int waited = 0;; waited += POLL_MS) {
    HWND h = FindTopDialog(title, need_main_owner);
    if (h || waited >= ms) return h;
    Sleep(POLL_MS);
  }
}

// UTF-8 argument to a wide string.
void Widen(const char* s, wchar_t* out, int size) {
  out[0] = 0;
  MultiByteToWideChar(CP_UTF8, 0, s, -1, out, size);
}

int Send(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutA(h, msg, wp, lp, SMTO_NORMAL, SEND_TIMEOUT_MS, &r)) return 0;
  if (result) *result = static_cast<LRESULT>(r);
  return 1;
}

int SendW(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_NORMAL, SEND_TIMEOUT_MS, &r)) return 0;
  if (result) *result = static_cast<LRESULT>(r);
  return 1;
}

void AnswerWindowText(HWND h) {
  LRESULT len = 0;
  if (!Send(h, WM_GETTEXTLENGTH, 0, 0, &len)) { Answer("err timeout"); return; }
  // The length is counted in the receiver's units: leave room for a wider
  // conversion on the way back.
  size_t cap = static_cast<size_t>(len) * 2 + 16;
  char* buf = static_cast<char*>(calloc(cap, 1));
  if (!buf) { Answer("err memory"); return; }
  LRESULT got = 0;
  if (!Send(h, WM_GETTEXT, cap, reinterpret_cast<LPARAM>(buf), &got)) {
    free(buf);
    Answer("err timeout");
    return;
  }
  AnswerHex("ok ", reinterpret_cast<unsigned char*>(buf), strlen(buf));
  free(buf);
}

HWND Control(const char* arg) {
  if (!g_panel) return nullptr;
  return GetDlgItem(g_panel, atoi(arg));
}

BOOL CALLBACK FindLog(HWND h, LPARAM lp) {
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  if (_stricmp(cls, "RICHEDIT") == 0 || _strnicmp(cls, "RichEdit", 8) == 0) {
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
  }
  return TRUE;
}

// The message box's text: its text static, or failing that the longest
// static text in it.
BOOL CALLBACK LongestStatic(HWND h, LPARAM lp) {
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  if (_stricmp(cls, "Static") != 0) return TRUE;
  HWND* best = reinterpret_cast<HWND*>(lp);
  if (!*best || GetWindowTextLengthA(h) > GetWindowTextLengthA(*best)) *best = h;
  return TRUE;
}

HWND BoxText(HWND box) {
  HWND t = GetDlgItem(box, MSGBOX_TEXT_ID);
  if (t) return t;
  EnumChildWindows(box, LongestStatic, reinterpret_cast<LPARAM>(&t));
  return t;
}

// A top-level window of class CLS of process PID (visible ones only when
// asked).
struct ProcessWindowArgs {
  DWORD pid;
  const char* cls;
  int need_visible;
  HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND h, LPARAM lp) {
  ProcessWindowArgs* a = reinterpret_cast<ProcessWindowArgs*>(lp);
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == a->pid && strcmp(cls, a->cls) == 0 && (!a->need_visible || IsWindowVisible(h))) {
    a->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND ProcessWindow(DWORD pid, const char* cls, int need_visible) {
  ProcessWindowArgs a = {pid, cls, need_visible, nullptr};
  EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&a));
  return a.found;
}

// The worker's window: among the top-level windows, or among the
// message-only ones, which EnumWindows does not list.
HWND FindWorkerWindow(DWORD pid) {
  HWND found = ProcessWindow(pid, "comport32loader", 0);
  for (HWND h = nullptr; !found && (h = FindWindowExA(HWND_MESSAGE, h, "comport32loader", nullptr));) {
    DWORD owner = 0;
    GetWindowThreadProcessId(h, &owner);
    if (owner == pid) found = h;
  }
  return found;
}

struct AnswerArgs {
  DWORD pid;
  UINT ms;
  int count;
  char report[2048];
};

// One top-level window of the process: does it take a sent message?
BOOL CALLBACK AskTop(HWND h, LPARAM lp) {
  AnswerArgs* a = reinterpret_cast<AnswerArgs*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != a->pid) return TRUE;
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  DWORD_PTR r = 0;
  DWORD began = GetTickCount();
  LRESULT ok = SendMessageTimeoutA(h, WM_NULL, 0, 0, SMTO_NORMAL, a->ms, &r);
  char one[96];
  if (ok)
    snprintf(one, sizeof one, " %s:%lu", cls, (unsigned long)(GetTickCount() - began));
  else
    snprintf(one, sizeof one, " %s:hung", cls);
  ++a->count;
  strncat(a->report, one, sizeof a->report - strlen(a->report) - 1);
  return TRUE;
}

// The current directory a process holds, read from its process parameters
// (PEB -> RTL_USER_PROCESS_PARAMETERS -> CurrentDirectory.DosPath); the
// driver and the tool are of one bitness.
typedef LONG(WINAPI* QueryProcessFn)(HANDLE, int, PVOID, ULONG, PULONG);
struct BasicInfo {
  LONG_PTR exit_status;
  void* peb;
  ULONG_PTR affinity, priority, pid, parent;
};
const size_t PEB_PARAMETERS = sizeof(void*) == 8 ? 0x20 : 0x10;
const size_t PARAMETERS_CURDIR = sizeof(void*) == 8 ? 0x38 : 0x24;

int ReadCurrentDirectory(DWORD pid, wchar_t* out, size_t chars) {
  QueryProcessFn query = reinterpret_cast<QueryProcessFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!query || !process) {
    if (process) CloseHandle(process);
    return 0;
  }
  BasicInfo info = {};
  void* parameters = nullptr;
  struct {
    USHORT length, maximum;
    wchar_t* buffer;
  } path = {};
  int ok = query(process, 0, &info, sizeof info, nullptr) == 0 &&
           ReadProcessMemory(process, static_cast<char*>(info.peb) + PEB_PARAMETERS, &parameters,
                             sizeof parameters, nullptr) &&
           ReadProcessMemory(process, static_cast<char*>(parameters) + PARAMETERS_CURDIR, &path, sizeof path,
                             nullptr) &&
           path.length / sizeof(wchar_t) < chars &&
           ReadProcessMemory(process, path.buffer, out, path.length, nullptr);
  if (ok) out[path.length / sizeof(wchar_t)] = 0;
  CloseHandle(process);
  return ok;
}

BOOL CALLBACK ListTop(HWND h, LPARAM) {
  char cls[64];
  ClassOf(h, cls, sizeof cls);
  char title[256] = {0};
  GetWindowTextA(h, title, sizeof title);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  fprintf(stdout, "%p pid=%lu vis=%d class=%s title=", (void*)h, (unsigned long)pid,
          IsWindowVisible(h) ? 1 : 0, cls);
  for (const char* p = title; *p; ++p) fprintf(stdout, "%02X", (unsigned char)*p);
  fputs("; ", stdout);
  return TRUE;
}

// Splits "WORD rest": returns rest (may be empty), terminates WORD.
char* SplitWord(char* s) {
  while (*s && *s != ' ') ++s;
  if (!*s) return s;
  *s++ = 0;
  return s;
}

void Run(char* line) {
  char* arg = SplitWord(line);
  const char* cmd = line;

  if (strcmp(cmd, "panel") == 0) {
    wchar_t title[256];
    Widen(arg, title, 256);
    HWND h = WaitTopDialog(title, 1, 15000);
    if (!h) { Answer("err no panel"); return; }
    g_panel = h;
    Answer("ok %p", (void*)h);
  } else if (strcmp(cmd, "main") == 0) {
    wchar_t title[256];
    Widen(arg, title, 256);
    FindArgs a = {title, "main32Boot", 0, 0, nullptr};
    EnumWindows(FindTop, reinterpret_cast<LPARAM>(&a));
    Answer("ok %d", a.found ? 1 : 0);
  } else if (strcmp(cmd, "worker") == 0) {
    if (!g_panel) { Answer("err no panel"); return; }
    DWORD pid = 0;
    GetWindowThreadProcessId(g_panel, &pid);
    int ms = atoi(arg);
    HWND found = nullptr;
    for (int waited = 0;; waited += POLL_MS) {
      found = FindWorkerWindow(pid);
      if (found || waited >= ms) break;
      Sleep(POLL_MS);
    }
    Answer("ok %d", found ? 1 : 0);
  } else if (strcmp(cmd, "answers") == 0) {
    AnswerArgs a = {};
    if (!g_panel || !GetWindowThreadProcessId(g_panel, &a.pid)) { Answer("err no panel"); return; }
    a.ms = static_cast<UINT>(atoi(arg));
    EnumWindows(AskTop, reinterpret_cast<LPARAM>(&a));
    Answer("ok %d%s", a.count, a.report);
  } else if (strcmp(cmd, "cwd") == 0) {
    DWORD pid = 0;
    if (!g_panel || !GetWindowThreadProcessId(g_panel, &pid)) { Answer("err no panel"); return; }
    wchar_t dir[1024];
    if (!ReadCurrentDirectory(pid, dir, 1024)) { Answer("err cannot read %lu", GetLastError()); return; }
    fputs("ok", stdout);
    AnswerUtf8Word(dir);
    fputc('\n', stdout);
    fflush(stdout);
  } else if (strcmp(cmd, "alive") == 0) {
    Answer("ok %d", g_panel && IsWindow(g_panel) ? 1 : 0);
  } else if (strcmp(cmd, "gone") == 0) {
    int ms = atoi(arg);
    for (int waited = 0; g_panel && IsWindow(g_panel) && waited < ms; waited += POLL_MS) Sleep(POLL_MS);
    Answer("ok %d", g_panel && IsWindow(g_panel) ? 0 : 1);
  } else if (strcmp(cmd, "rect") == 0) {
    AnswerRect(g_panel);
  } else if (strcmp(cmd, "ctl") == 0) {
    Answer("ok %d", Control(arg) ? 1 : 0);
  } else if (strcmp(cmd, "text") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    AnswerWindowText(c);
  } else if (strcmp(cmd, "enabled") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    Answer("ok %d", IsWindowEnabled(c) ? 1 : 0);
  } else if (strcmp(cmd, "items") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    LRESULT n = 0;
    if (!SendW(c, CB_GETCOUNT, 0, 0, &n)) { Answer("err timeout"); return; }
    fprintf(stdout, "ok %d", (int)n);
    for (int i = 0; i < (int)n; ++i) {
      wchar_t item[256] = {0};
      LRESULT len = 0;
      if (!SendW(c, CB_GETLBTEXTLEN, i, 0, &len) || len < 0 || len >= 256) continue;
      SendW(c, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item), nullptr);
      AnswerUtf8Word(item);
    }
    fputc('\n', stdout);
    fflush(stdout);
  } else if (strcmp(cmd, "cursel") == 0) {
    HWND c = Control(arg);
    LRESULT sel = 0;
    if (!c) { Answer("err no control"); return; }
    if (!Send(c, CB_GETCURSEL, 0, 0, &sel)) { Answer("err timeout"); return; }
    Answer("ok %d", (int)sel);
  } else if (strcmp(cmd, "pick") == 0) {
    char* index = SplitWord(arg);
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    if (!IsWindowEnabled(c)) { Answer("ok disabled"); return; }
    LRESULT r = 0;
    if (!Send(c, CB_SETCURSEL, atoi(index), 0, &r)) { Answer("err timeout"); return; }
    if (r == CB_ERR) { Answer("err no entry"); return; }
    // Posted, as the picker would notify: the panel may block in a request.
    PostMessageA(g_panel, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(c));
    Answer("ok");
  } else if (strcmp(cmd, "picks") == 0) {
    // picks CID MS I,J,...: the entries in turn, MS apart, as a run down
    // the dropped list with the arrow keys makes them.
    char* ms = SplitWord(arg);
    char* indexes = SplitWord(ms);
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    // Posted, both: the tool's thread takes them in order, and the driver
    // waits on nothing between picks.
    for (char* at = indexes; *at;) {
      PostMessageA(c, CB_SETCURSEL, atoi(at), 0);
      PostMessageA(g_panel, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), CBN_SELCHANGE), reinterpret_cast<LPARAM>(c));
      while (*at && *at != ',') at++;
      if (*at == ',') at++;
      if (*at) Sleep(atoi(ms));
    }
    Answer("ok");
  } else if (strcmp(cmd, "front") == 0) {
    if (!g_panel) { Answer("err no panel"); return; }
    RECT r = {};
    GetWindowRect(g_panel, &r);
    POINT centre = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    HWND at = WindowFromPoint(centre);
    Answer("ok %d %d", GetForegroundWindow() == g_panel, at && GetAncestor(at, GA_ROOT) == g_panel);
  } else if (strcmp(cmd, "fonts") == 0) {
    // fonts: the current panel's controls' fonts, read from inside the
    // tool by font_probe.dll (a GDI object is not readable from another
    // process): one "ID HEIGHT FACE" a line, lines joined by '|'.
    wchar_t probe[MAX_PATH + 16], result[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(nullptr, probe, MAX_PATH);
    while (n > 0 && probe[n - 1] != L'\\') --n;
    probe[n] = 0;
    lstrcatW(probe, L"font_probe.dll");
    lstrcpyW(result, probe);
    lstrcatW(result, L".txt");
    DeleteFileW(result);
    DWORD pid = 0;
    GetWindowThreadProcessId(g_panel, &pid);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!process) { Answer("err no process"); return; }
    SIZE_T bytes = (lstrlenW(probe) + 1) * sizeof(wchar_t);
    void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    HANDLE thread = nullptr;
    if (remote && WriteProcessMemory(process, remote, probe, bytes, nullptr))
      thread = CreateRemoteThread(process, nullptr, 0,
                                  reinterpret_cast<LPTHREAD_START_ROUTINE>(
                                      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryW"))),
                                  remote, 0, nullptr);
    if (!thread) { CloseHandle(process); Answer("err no probe"); return; }
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(process);
    char text[4096] = "";
    for (int waited = 0; waited < 5000; waited += 20) {
      HANDLE f = CreateFileW(result, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (f != INVALID_HANDLE_VALUE) {
        DWORD got = 0;
        ReadFile(f, text, sizeof text - 1, &got, nullptr);
        text[got] = 0;
        CloseHandle(f);
        break;
      }
      Sleep(20);
    }
    for (char* c = text; *c; ++c)
      if (*c == '\n') *c = '|';
    Answer("ok %s", text);
  } else if (strcmp(cmd, "drop") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    if (!IsWindowEnabled(c)) { Answer("ok disabled"); return; }
    if (!Send(c, CB_SHOWDROPDOWN, TRUE, 0, nullptr) || !Send(c, CB_SHOWDROPDOWN, FALSE, 0, nullptr)) {
      Answer("err timeout");
      return;
    }
    Answer("ok");
  } else if (strcmp(cmd, "dropopen") == 0 || strcmp(cmd, "dropclose") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    if (!Send(c, CB_SHOWDROPDOWN, strcmp(cmd, "dropopen") == 0, 0, nullptr)) { Answer("err timeout"); return; }
    Answer("ok");
  } else if (strcmp(cmd, "dropped") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    LRESULT width = 0;
    if (!Send(c, CB_GETDROPPEDWIDTH, 0, 0, &width)) { Answer("err timeout"); return; }
    // A rectangle asked for by message would not travel back across
    // processes: the list's own window (a visible top-level "ComboLBox" of
    // the tool's process) gives the place.
    DWORD pid = 0;
    GetWindowThreadProcessId(c, &pid);
    HWND list = ProcessWindow(pid, "ComboLBox", 1);
    RECT r = {};
    if (list) GetWindowRect(list, &r);
    Answer("ok %d %ld %ld %ld %ld", (int)width, r.left, r.top, r.right, r.bottom);
  } else if (strcmp(cmd, "editstart") == 0) {
    HWND c = Control(arg);
    HWND edit = c ? FindWindowExA(c, nullptr, "Edit", nullptr) : nullptr;
    if (!edit) { Answer("err no edit field"); return; }
    LRESULT at = 0;
    if (!Send(edit, EM_POSFROMCHAR, 0, 0, &at)) { Answer("err timeout"); return; }
    Answer("ok %d", (int)(short)LOWORD(at));
  } else if (strcmp(cmd, "relist") == 0) {
    char* times = SplitWord(arg);
    HWND c = Control(arg);
    int n = atoi(times);
    if (!c || n < 1) { Answer("err no control"); return; }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < n; i++) {
      if (!Send(c, CB_SHOWDROPDOWN, TRUE, 0, nullptr) || !Send(c, CB_SHOWDROPDOWN, FALSE, 0, nullptr)) {
        Answer("err timeout");
        return;
      }
    }
    QueryPerformanceCounter(&t1);
    Answer("ok %lld", (long long)((t1.QuadPart - t0.QuadPart) * 1000000 / f.QuadPart / n));
  } else if (strcmp(cmd, "devchange") == 0) {
    char* number = SplitWord(arg);
    char* title = SplitWord(number);
    wchar_t wtitle[256];
    Widen(title, wtitle, 256);
    FindArgs a = {wtitle, "main32Boot", 0, 0, nullptr};
    EnumWindows(FindTop, reinterpret_cast<LPARAM>(&a));
    if (!a.found) { Answer("err no main window"); return; }
    // The port's record travels with the message (Windows and Wine both
    // copy it into the receiving process).
    DEV_BROADCAST_PORT_A port = {};
    port.dbcp_size = sizeof port;
    port.dbcp_devicetype = DBT_DEVTYP_PORT;
    snprintf(port.dbcp_name, sizeof port.dbcp_name, "COM%d", atoi(number));
    WPARAM event = DBT_DEVNODES_CHANGED;
    LPARAM data = 0;
    if (strcmp(arg, "arrival") == 0 || strcmp(arg, "removal") == 0) {
      event = strcmp(arg, "arrival") == 0 ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
      data = reinterpret_cast<LPARAM>(&port);
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(a.found, WM_DEVICECHANGE, event, data, SMTO_NORMAL, SEND_TIMEOUT_MS, &result)) {
      Answer("err timeout");
      return;
    }
    Answer("ok");
  } else if (strcmp(cmd, "progress") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    LRESULT lo = 0, hi = 0, pos = 0;
    if (!Send(c, PBM_GETRANGE, TRUE, 0, &lo) || !Send(c, PBM_GETRANGE, FALSE, 0, &hi) ||
        !Send(c, PBM_GETPOS, 0, 0, &pos)) {
      Answer("err timeout");
      return;
    }
    Answer("ok %d %d %d", (int)lo, (int)hi, (int)pos);
  } else if (strcmp(cmd, "ctlrect") == 0) {
    AnswerRect(Control(arg));
  } else if (strcmp(cmd, "logrect") == 0) {
    HWND log = nullptr;
    if (g_panel) EnumChildWindows(g_panel, FindLog, reinterpret_cast<LPARAM>(&log));
    AnswerRect(log);
  } else if (strcmp(cmd, "modules") == 0) {
    DWORD pid = 0;
    if (!g_panel || !GetWindowThreadProcessId(g_panel, &pid)) { Answer("err no panel"); return; }
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snap == INVALID_HANDLE_VALUE) { Answer("err snapshot %lu", GetLastError()); return; }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    fputs("ok", stdout);
    for (BOOL more = Module32FirstW(snap, &module); more; more = Module32NextW(snap, &module))
      AnswerUtf8Word(module.szExePath);
    CloseHandle(snap);
    fputc('\n', stdout);
    fflush(stdout);
  } else if (strcmp(cmd, "textwidth") == 0) {
    char* points = SplitWord(arg);
    char* text8 = SplitWord(points);
    wchar_t text[512];
    Widen(text8, text, 512);
    HFONT font = CreateFontW(-MulDiv(atoi(points), atoi(arg), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET,
                             0, 0, 0, 0, L"MS Sans Serif");
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    Answer("ok %ld", size.cx);
  } else if (strcmp(cmd, "log") == 0) {
    HWND log = nullptr;
    if (g_panel) EnumChildWindows(g_panel, FindLog, reinterpret_cast<LPARAM>(&log));
    if (!log) { Answer("err no log view"); return; }
    AnswerWindowText(log);
  } else if (strcmp(cmd, "click") == 0) {
    HWND c = Control(arg);
    if (!c) { Answer("err no control"); return; }
    // A disabled button does not take a press.
    if (!IsWindowEnabled(c)) { Answer("ok disabled"); return; }
    // Posted, never sent: the press may open a modal dialog.
    PostMessageA(c, BM_CLICK, 0, 0);
    Answer("ok");
  } else if (strcmp(cmd, "clicks") == 0) {
    char* rest = SplitWord(arg);
    int n = atoi(arg);
    HWND c = Control(rest);
    if (!c || n < 1) { Answer("err no control"); return; }
    if (!IsWindowEnabled(c)) { Answer("ok disabled"); return; }
    for (int i = 0; i < n; i++)
      PostMessageA(c, BM_CLICK, 0, 0);
    Answer("ok");
  } else if (strcmp(cmd, "box") == 0) {
    char* title8 = SplitWord(arg);
    wchar_t title[256];
    Widen(title8, title, 256);
    HWND box = WaitTopDialog(title, 0, atoi(arg));
    if (!box) { Answer("err no box"); return; }
    HWND t = BoxText(box);
    if (!t) { Answer("ok "); return; }
    char text[1024] = {0};
    GetWindowTextA(t, text, sizeof text);
    AnswerHex("ok ", reinterpret_cast<unsigned char*>(text), strlen(text));
  } else if (strcmp(cmd, "hasbox") == 0) {
    wchar_t title[256];
    Widen(arg, title, 256);
    Answer("ok %d", FindTopDialog(title, 0) ? 1 : 0);
  } else if (strcmp(cmd, "boxok") == 0) {
    wchar_t title[256];
    Widen(arg, title, 256);
    HWND box = FindTopDialog(title, 0);
    if (!box) { Answer("err no box"); return; }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Answer("ok");
  } else if (strcmp(cmd, "logmenu") == 0) {
    // "logmenu KEY [X Y]": the log's context menu, as the menu key opens it
    // or as a right-click at screen point X,Y does; then KEY, an item's
    // access key, typed into the menu.
    char* rest = SplitWord(arg);
    if (!g_panel || !*arg) { Answer("err no panel"); return; }
    LPARAM where = static_cast<LPARAM>(-1);
    if (*rest) {
      char* y = SplitWord(rest);
      where = MAKELPARAM(atoi(rest), atoi(y));
    }
    PostMessageA(g_panel, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(g_panel), where);
    ProcessWindowArgs a = {0, "#32768", 1, nullptr};  // a shown popup menu of the tool's
    GetWindowThreadProcessId(g_panel, &a.pid);
    for (int waited = 0; !a.found && waited < 5000; waited += POLL_MS) {
      Sleep(POLL_MS);
      EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&a));
    }
    if (!a.found) { Answer("err no menu"); return; }
    // The menu's loop takes every keyboard message of the tool's thread;
    // "." leaves the menu open (for a picture) until "escape".
    if (arg[0] != '.') PostMessageA(g_panel, WM_CHAR, static_cast<unsigned char>(arg[0]), 0);
    Answer("ok");
  } else if (strcmp(cmd, "escape") == 0) {
    if (!g_panel) { Answer("err no panel"); return; }
    PostMessageA(g_panel, WM_KEYDOWN, VK_ESCAPE, 0);
    Answer("ok");
  } else if (strcmp(cmd, "clipboard") == 0) {
    if (!OpenClipboard(nullptr)) { Answer("err clipboard busy"); return; }
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
    static char utf8[1 << 20];
    int n = text ? WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) : 0;
    if (text) GlobalUnlock(data);
    CloseClipboard();
    if (!text) { Answer("err no text"); return; }
    AnswerHex("ok ", reinterpret_cast<unsigned char*>(utf8), n > 0 ? n - 1 : 0);
  } else if (strcmp(cmd, "open") == 0 || strcmp(cmd, "opencancel") == 0 || strcmp(cmd, "save") == 0) {
    char* path8 = SplitWord(arg);
    HWND dlg = nullptr;
    if (strcmp(cmd, "save") != 0) {
      dlg = WaitTopDialog(L"Open", 0, atoi(arg));
    } else {
      // Windows' own title, in the prefix's language.
      for (int waited = 0; !dlg && waited < atoi(arg); waited += POLL_MS) {
        dlg = FindTopDialog(L"Save As", 0);
        if (!dlg) dlg = FindTopDialog(L"Сохранить как", 0);
        if (!dlg) Sleep(POLL_MS);
      }
    }
    if (!dlg) { Answer("err no file dialog"); return; }
    if (strcmp(cmd, "opencancel") == 0) {
      PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      Answer("ok");
      return;
    }
    HWND name = GetDlgItem(dlg, FILENAME_COMBO_ID);
    if (!name) { Answer("err no file-name field"); return; }
    wchar_t path[1024];
    Widen(path8, path, 1024);
    if (!SendW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path), nullptr)) {
      Answer("err timeout");
      return;
    }
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Answer("ok");
  } else if (strcmp(cmd, "list") == 0) {
    fputs("ok ", stdout);
    EnumWindows(ListTop, 0);
    fputc('\n', stdout);
    fflush(stdout);
  } else {
    Answer("err unknown command");
  }
}

}  // namespace

int main() {
  char line[2048];
  while (fgets(line, sizeof line, stdin)) {
    size_t n = strlen(line);
    while (n && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
    if (n == 0) continue;
    if (strcmp(line, "quit") == 0) break;
    Run(line);
  }
  return 0;
}
