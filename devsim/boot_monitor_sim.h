// boot_monitor_sim: devsim's boot monitor, the device brannik flashes
// through (boot_monitor_sim.cpp says what it answers and checks). It
// answers the line with its table of functions.
#pragma once

#include "device_line.h"

extern const DevicePersonality BOOT_MONITOR_SIM;
