// eeprom_sim: devsim's EEPROM device, the device side of vessamo's write
// (eeprom_sim.cpp says what it answers and checks). It answers the line
// with its table of functions.
#pragma once

#include "device_line.h"

extern const DevicePersonality EEPROM_DEVICE_SIM;
