// Win32 backend of serial_port: the Port* functions over the Win32 serial
// API. A PortHandle is the HANDLE of the open device; nullptr stands for "no
// port" (never INVALID_HANDLE_VALUE). Called on the user-interface thread for
// the port names and on the port worker thread for everything else.
//
// The devices' names come from SetupAPI, as Device Manager reads them.
// setupapi.dll is a KnownDLL only from Windows 7 on, so it is loaded at run
// time by its full path in the system folder; where it is missing (a
// locked-down machine) or lacks a call, there are no names.
#include "serial_port.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system_library_win32.h"

static_assert(sizeof(DCB) <= sizeof(PortLineState), "a DCB must fit PortLineState");

enum {
    PORT_PATH_BYTES = 16,   // "\\.\COM255" and its zero need 12
    PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR,  // 0x0F
    DOS_NAMES_FIRST_BYTES = 64 * 1024,
    DOS_NAMES_MAX_BYTES = 16 * 1024 * 1024,  // past this the list is not believed
    SERIALCOMM_MAX_VALUES = 4096,
    REG_VALUE_NAME_BYTES = 256,
    REG_PORT_NAME_BYTES = 64,                // "COM255" with room for padding
    DEVICE_NAME_CHARS = 512,                 // a device's friendly name, UTF-16 units
    DEVICE_RECORDS_MAX = 4096,               // past this the list is not believed
};

static HANDLE OpenDevice(int com)
{
    char path[PORT_PATH_BYTES];
    snprintf(path, sizeof path, "\\\\.\\COM%i", com);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

static HANDLE Device(PortHandle h) { return reinterpret_cast<HANDLE>(h); }

// Every DOS device name ("COM7", "LPT1", "C:", ...): the names that
// CreateFile("\\.\NAME") resolves. The list passes 64 KB on machines with
// many devices, so the buffer grows until it fits.
static void ListDosDeviceNames(PortNameSink take, void* context)
{
    DWORD size = DOS_NAMES_FIRST_BYTES;
    char* names = nullptr;
    DWORD got = 0;
    while (size <= DOS_NAMES_MAX_BYTES) {
        names = static_cast<char*>(malloc(size));
        if (!names)
            return;
        got = QueryDosDeviceA(nullptr, names, size);
        if (got != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        free(names);
        names = nullptr;
        size *= 2;
    }
    if (!names)
        return;
    // A list of zero-terminated names ending in an empty one; got counts
    // every character written, so nothing past it is read.
    for (DWORD at = 0; at < got && names[at];) {
        DWORD length = static_cast<DWORD>(strnlen(names + at, got - at));
        take(names + at, length, context);
        at += length + 1;
    }
    free(names);
}

// The port names that serial drivers register while their device is
// present (the value's data; its name is the driver's device, "\Device\Serial0").
static void ListSerialCommNames(PortNameSink take, void* context)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0; index < SERIALCOMM_MAX_VALUES; ++index) {
        char value_name[REG_VALUE_NAME_BYTES];
        DWORD name_size = sizeof value_name;
        BYTE data[REG_PORT_NAME_BYTES];
        DWORD data_size = sizeof data;
        DWORD type = 0;
        LONG r = RegEnumValueA(key, index, value_name, &name_size, nullptr, &type, data, &data_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        // A value too long for a port name is not one; the next may be.
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        // The string need not end in a zero: only data_size bytes count.
        take(reinterpret_cast<const char*>(data), data_size, context);
    }
    RegCloseKey(key);
}

void PortListNames(PortNameSink take, void* context)
{
    ListDosDeviceNames(take, context);
    ListSerialCommNames(take, context);
}

// SetupAPI, by its own types: nothing of it is in XP's headers as used here.
typedef void* DeviceSet;
struct DeviceRecord {
    DWORD size;
    GUID class_guid;
    DWORD instance;
    ULONG_PTR reserved;
};
typedef DeviceSet(WINAPI* GetClassDevsFn)(const GUID*, const wchar_t*, HWND, DWORD);
typedef BOOL(WINAPI* EnumDeviceInfoFn)(DeviceSet, DWORD, DeviceRecord*);
typedef BOOL(WINAPI* GetRegistryPropertyFn)(DeviceSet, DeviceRecord*, DWORD, DWORD*, BYTE*, DWORD, DWORD*);
typedef HKEY(WINAPI* OpenDevRegKeyFn)(DeviceSet, DeviceRecord*, DWORD, DWORD, DWORD, REGSAM);
typedef BOOL(WINAPI* DestroyDeviceInfoListFn)(DeviceSet);

enum {
    PRESENT_DEVICES = 0x00000002,   // DIGCF_PRESENT
    FRIENDLY_NAME = 0x0000000C,     // SPDRP_FRIENDLYNAME
    GLOBAL_SETTINGS = 0x00000001,   // DICS_FLAG_GLOBAL
    DEVICE_KEY = 0x00000001,        // DIREG_DEV: the key holding PortName
};

// The Ports class (COM and LPT ports): {4d36e978-e325-11ce-bfc1-08002be10318}.
static const GUID PORTS_CLASS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct SetupApi {
    GetClassDevsFn get_class_devs;
    EnumDeviceInfoFn enum_device_info;
    GetRegistryPropertyFn get_registry_property;
    OpenDevRegKeyFn open_dev_reg_key;
    DestroyDeviceInfoListFn destroy_device_info_list;
};

// Loaded once, on the first listing; nullptr where SetupAPI is missing.
static const SetupApi* LoadSetupApi()
{
    static int tried = 0;
    static SetupApi api;
    static const SetupApi* loaded = nullptr;
    if (tried)
        return loaded;
    tried = 1;
    HMODULE module = LoadSystemLibrary(L"setupapi.dll");  // nullptr: no call found
    api.get_class_devs = reinterpret_cast<GetClassDevsFn>(LibraryCall(module, "SetupDiGetClassDevsW"));
    api.enum_device_info = reinterpret_cast<EnumDeviceInfoFn>(LibraryCall(module, "SetupDiEnumDeviceInfo"));
    api.get_registry_property = reinterpret_cast<GetRegistryPropertyFn>(LibraryCall(module, "SetupDiGetDeviceRegistryPropertyW"));
    api.open_dev_reg_key = reinterpret_cast<OpenDevRegKeyFn>(LibraryCall(module, "SetupDiOpenDevRegKey"));
    api.destroy_device_info_list = reinterpret_cast<DestroyDeviceInfoListFn>(LibraryCall(module, "SetupDiDestroyDeviceInfoList"));
    if (api.get_class_devs && api.enum_device_info && api.get_registry_property && api.open_dev_reg_key &&
        api.destroy_device_info_list)
        loaded = &api;
    return loaded;
}

// A device's PortName ("COM3"), from its device key; 0 bytes when it has none.
static unsigned ReadPortName(const SetupApi& api, DeviceSet set, DeviceRecord* record, char* out, unsigned size)
{
    HKEY key = api.open_dev_reg_key(set, record, GLOBAL_SETTINGS, 0, DEVICE_KEY, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE || !key)
        return 0;
    DWORD type = 0;
    DWORD bytes = size;
    LONG r = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    return static_cast<unsigned>(strnlen(out, bytes));
}

void PortListDevices(PortDeviceSink take, void* context)
{
    const SetupApi* api = LoadSetupApi();
    if (!api)
        return;
    DeviceSet set = api->get_class_devs(&PORTS_CLASS, nullptr, nullptr, PRESENT_DEVICES);
    if (set == INVALID_HANDLE_VALUE || !set)
        return;
    for (DWORD i = 0; i < DEVICE_RECORDS_MAX; ++i) {
        DeviceRecord record = {};
        record.size = sizeof record;
        if (!api->enum_device_info(set, i, &record))
            break;
        char port[REG_PORT_NAME_BYTES];
        unsigned port_length = ReadPortName(*api, set, &record, port, sizeof port);
        if (!port_length)
            continue;
        // The name is a REG_SZ in UTF-16 (the buffer keeps room for its
        // zero); a missing one, or one longer than any Windows writes,
        // leaves the port unnamed.
        wchar_t name[DEVICE_NAME_CHARS] = {};
        DWORD type = 0;
        if (!api->get_registry_property(set, &record, FRIENDLY_NAME, &type, reinterpret_cast<BYTE*>(name),
                                        sizeof name - sizeof name[0], nullptr) ||
            type != REG_SZ)
            name[0] = L'\0';
        char utf8[DEVICE_NAME_CHARS * 3];
        if (!WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr))
            utf8[0] = '\0';
        take(port, port_length, utf8, context);
    }
    api->destroy_device_info_list(set);
}

PortHandle PortCreate(int com)
{
    HANDLE h = OpenDevice(com);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    return reinterpret_cast<PortHandle>(h);
}

void PortSetupQueues(PortHandle h, unsigned in_bytes, unsigned out_bytes)
{
    SetupComm(Device(h), in_bytes, out_bytes);
}

// The named settings are read from the DCB the driver handed over and
// written back into that same DCB, so every field they do not name (EofChar,
// EvtChar, ErrorChar, fTXContinueOnXoff, ...) is applied as it was read.
static void ReadLine(const DCB& dcb, PortLineSettings* line)
{
    line->baud = dcb.BaudRate;
    line->byte_size = dcb.ByteSize;
    line->parity = dcb.Parity;
    line->stop_bits = dcb.StopBits;
    line->binary = dcb.fBinary;
    line->parity_check = dcb.fParity;
    line->out_cts_flow = dcb.fOutxCtsFlow;
    line->out_dsr_flow = dcb.fOutxDsrFlow;
    line->dtr_control = dcb.fDtrControl;
    line->dsr_sensitivity = dcb.fDsrSensitivity;
    line->out_xon_xoff = dcb.fOutX;
    line->in_xon_xoff = dcb.fInX;
    line->error_char = dcb.fErrorChar;
    line->null_strip = dcb.fNull;
    line->rts_control = dcb.fRtsControl;
    line->abort_on_error = dcb.fAbortOnError;
    line->xon_limit = dcb.XonLim;
    line->xoff_limit = dcb.XoffLim;
    line->xon_char = static_cast<unsigned char>(dcb.XonChar);
    line->xoff_char = static_cast<unsigned char>(dcb.XoffChar);
}

static void WriteLine(const PortLineSettings& line, DCB* dcb)
{
    dcb->BaudRate = line.baud;
    dcb->ByteSize = line.byte_size;
    dcb->Parity = line.parity;
    dcb->StopBits = line.stop_bits;
    dcb->fBinary = line.binary;
    dcb->fParity = line.parity_check;
    dcb->fOutxCtsFlow = line.out_cts_flow;
    dcb->fOutxDsrFlow = line.out_dsr_flow;
    dcb->fDtrControl = line.dtr_control;
    dcb->fDsrSensitivity = line.dsr_sensitivity;
    dcb->fOutX = line.out_xon_xoff;
    dcb->fInX = line.in_xon_xoff;
    dcb->fErrorChar = line.error_char;
    dcb->fNull = line.null_strip;
    dcb->fRtsControl = line.rts_control;
    dcb->fAbortOnError = line.abort_on_error;
    dcb->XonLim = line.xon_limit;
    dcb->XoffLim = line.xoff_limit;
    dcb->XonChar = static_cast<char>(line.xon_char);
    dcb->XoffChar = static_cast<char>(line.xoff_char);
}

int PortGetState(PortHandle h, PortLineState* state)
{
    DCB* dcb = reinterpret_cast<DCB*>(state->raw);
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    if (!GetCommState(Device(h), dcb))
        return 0;
    ReadLine(*dcb, &state->line);
    return 1;
}

int PortSetState(PortHandle h, const PortLineState* state)
{
    DCB dcb;
    memcpy(&dcb, state->raw, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    WriteLine(state->line, &dcb);
    return SetCommState(Device(h), &dcb) ? 1 : 0;
}

void PortDropInput(PortHandle h)
{
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(Device(h), &errors, &status) && status.cbInQue > 0)
        PurgeComm(Device(h), PURGE_RXCLEAR);
}

int PortSetTimeouts(PortHandle h, const PortTimeouts* t)
{
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = t->read_interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = t->read_multiplier_ms;
    timeouts.ReadTotalTimeoutConstant = t->read_constant_ms;
    timeouts.WriteTotalTimeoutMultiplier = t->write_multiplier_ms;
    timeouts.WriteTotalTimeoutConstant = t->write_constant_ms;
    return SetCommTimeouts(Device(h), &timeouts) ? 1 : 0;
}

void PortPurge(PortHandle h)
{
    PurgeComm(Device(h), PURGE_ALL);
}

int PortWrite(PortHandle h, const void* data, unsigned n)
{
    // Only the success flag counts: Wine reports 0 bytes written on a pty.
    DWORD written = 0;
    return WriteFile(Device(h), data, n, &written, nullptr) ? 1 : 0;
}

int PortRead(PortHandle h, void* data, unsigned n)
{
    DWORD got = 0;
    // A failed read still hands over the bytes it reports; -1 only when
    // nothing came. The protocol code counts -1 as no reply.
    if (!ReadFile(Device(h), data, n, &got, nullptr) && got == 0)
        return -1;
    return static_cast<int>(got);
}

void PortRelease(PortHandle h)
{
    CloseHandle(Device(h));
}
