// port_picker_record: the native model of the port picker, a list of
// entries and the one shown. Used on the user-interface side only.
#include "port_picker.h"
#include "recording.h"

#include <string>
#include <vector>

static std::vector<std::string> s_entries;
static int s_shown = -1;

int PickerShown(void*) { return s_shown; }
void PickerClear(void*) { s_entries.clear(); s_shown = -1; }
void PickerAdd(void*, const char* text) { s_entries.push_back(text); }
void PickerShow(void*, int index) { s_shown = index >= 0 && index < (int)s_entries.size() ? index : -1; }
void PickerFitDroppedWidth(void*) {}
void PickerShowStart(void*) {}

std::vector<std::string> RecordedPicker() { return s_entries; }

std::string RecordedPickerShown()
{
    return s_shown >= 0 ? s_entries[s_shown] : std::string();
}

void PickerUserPicks(int index) { PickerShow(nullptr, index); }

int PickerIndexOf(const std::string& text)
{
    for (size_t i = 0; i < s_entries.size(); ++i)
        if (s_entries[i] == text)
            return (int)i;
    return -1;
}

void ClearRecordedPicker() { PickerClear(nullptr); }
