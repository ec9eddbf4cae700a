// The profile the running tool selected at start-up (brannik or vessamo).
#include "tool_profile.h"

static const ToolProfile* s_profile = nullptr;  // set by the tool before anything reads it

void SetToolProfile(const ToolProfile* profile) { s_profile = profile; }

const ToolProfile& Tool() { return *s_profile; }
