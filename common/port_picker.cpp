// port_picker: rebuilding the picker from the port list and the devices'
// records (see port_picker.h).
#include "port_picker.h"

#include <stdio.h>
#include <string.h>

#include "port_worker.h"
#include "serial_port.h"

// User-interface thread only: the entry of each port whose device record
// names it, from the last reading of the records, and the ports listed then.
static char s_named_entry[PORT_LIST_SLOTS][PICKER_ENTRY_BYTES];
static bool s_named[PORT_LIST_SLOTS];
static int s_read_ports[PORT_LIST_SLOTS];
static int s_read_count = -1;  // none read yet
static bool s_devices_changed = true;

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

static char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

static int EndsWithNoCase(const char* text, unsigned length, const char* tail)
{
    unsigned n = (unsigned)strlen(tail);
    if (length < n)
        return 0;
    for (unsigned i = 0; i < n; ++i)
        if (Lower(text[length - n + i]) != Lower(tail[i]))
            return 0;
    return 1;
}

int PortEntryText(int com, const char* name, char* out, unsigned size)
{
    int n = snprintf(out, size, "COM %i", com);
    if (!name || n < 0 || (unsigned)n >= size)
        return 0;
    unsigned begin = 0;
    unsigned end = (unsigned)strlen(name);
    while (begin < end && IsBlank(name[begin]))
        ++begin;
    while (end > begin && IsBlank(name[end - 1]))
        --end;
    // Windows names the port at the end of the device's name; the entry
    // names it already.
    char own[24];
    snprintf(own, sizeof own, "(COM%i)", com);
    if (EndsWithNoCase(name + begin, end - begin, own)) {
        end -= (unsigned)strlen(own);
        while (end > begin && IsBlank(name[end - 1]))
            --end;
    }
    if (end - begin > PICKER_NAME_BYTES) {
        end = begin + PICKER_NAME_BYTES;
        // Never inside a character: back to the start of the one cut.
        while (end > begin && (name[end] & 0xC0) == 0x80)
            --end;
        while (end > begin && IsBlank(name[end - 1]))
            --end;
    }
    if (end == begin)
        return 0;
    snprintf(out + n, size - n, " (%.*s)", (int)(end - begin), name + begin);
    return 1;
}

// A device record: the first one that names its port decides the entry.
static void TakeDevice(const char* port, unsigned length, const char* device, void*)
{
    int com = ComPortNumber(port, length);
    if (com < 1 || com >= PORT_LIST_SLOTS || s_named[com])
        return;
    s_named[com] = PortEntryText(com, device, s_named_entry[com], sizeof s_named_entry[com]) != 0;
}

void NotePortDevicesChanged()
{
    s_devices_changed = true;
}

// Reads the records anew where they may say something new: the ports
// listed differ from those of the last reading, or a device came or went.
static void ReadDevicesIfChanged(int count)
{
    bool same = !s_devices_changed && count == s_read_count;
    for (int i = 0; same && i < count; ++i)
        same = s_read_ports[i] == GetListedPort(i);
    if (same)
        return;
    memset(s_named, 0, sizeof s_named);
    PortListDevices(TakeDevice, nullptr);
    for (int i = 0; i < count; ++i)
        s_read_ports[i] = GetListedPort(i);
    s_read_count = count;
    s_devices_changed = false;
}

void PortPickerEntry(int com, char* out, unsigned size)
{
    if (com >= 1 && com < PORT_LIST_SLOTS && s_named[com])
        snprintf(out, size, "%s", s_named_entry[com]);
    else
        PortEntryText(com, nullptr, out, size);
}

void FillPortPicker(void* picker)
{
    int shown = PickerShown(picker);
    int shown_port = shown >= 1 ? GetListedPort(shown - 1) : 0;
    int count = EnumComPorts(PortOpenQueued());
    ReadDevicesIfChanged(count);
    PickerClear(picker);
    PickerAdd(picker, "----");
    int show = 0;
    for (int i = 0; i < count; ++i) {
        int com = GetListedPort(i);
        char text[PICKER_ENTRY_BYTES];
        PortPickerEntry(com, text, sizeof text);
        PickerAdd(picker, text);
        if (com == shown_port)
            show = i + 1;
    }
    PickerFitDroppedWidth(picker);
    PickerShow(picker, show);
}

int DroppedListWidth(int widest_text, int chrome, int picker_left, int picker_right, int work_right)
{
    int width = widest_text + chrome;
    if (width > work_right - picker_left)
        width = work_right - picker_left;
    if (width < picker_right - picker_left)
        width = picker_right - picker_left;
    return width;
}
