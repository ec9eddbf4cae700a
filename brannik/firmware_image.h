// firmware_image: the .zel firmware image file and the two memory images it
// is loaded into (49152 bytes of code, 1024 bytes of EEPROM contents).
//
// Layout of a .zel file, 50182 bytes: "ZEL", code image, "LEZ", EEPROM image.
// The length and the two magics are the only checks.
//
// Runs on the user-interface thread, in answer to "Open File". A load first
// releases the image held, so a failed load leaves none loaded. The flash
// sequence never reads these buffers while it runs: it copies the image when
// it starts, so a later load cannot reach a running flash.
#pragma once

#include "shared_value.h"

enum {
    ZEL_FILE_BYTES = 50182,     // whole file
    ZEL_MAGIC_BYTES = 3,        // "ZEL" at the start, "LEZ" after the code
    ZEL_CODE_BYTES = 49152,     // code image
    ZEL_EEPROM_BYTES = 1024,    // EEPROM image
};

// Heap images (one spare byte each that nothing reads), or nullptr.
extern Shared<unsigned char*> g_code_image;
extern Shared<unsigned char*> g_eeprom_image;

int LoadFirmwareImage(const char* path);  // UTF-8 path; 1, or 0 after ErrorBox
int IsFirmwareLoaded();

// Shows the open-file dialog owned by owner (the front panel) and loads the
// chosen file. 0 when cancelled (nothing shown, image kept) or the load failed.
// Win32 in firmware_image_win32.cpp; native tests link a double.
int OpenFirmwareFile(void* owner);
