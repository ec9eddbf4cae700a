// Loads "zel_eeprom.dat" from the working directory into g_eeprom_data.
// Runs once on the user-interface thread at start-up, before the port
// worker exists; the data is read-only afterwards.
#include "eeprom_file.h"

#include <stdio.h>
#include <stdlib.h>

#include "file_length.h"
#include "log_view.h"

unsigned char* g_eeprom_data = nullptr;
int g_eeprom_length = 0;

int LoadEepromData()
{
    FILE* file = fopen(EEPROM_FILE_NAME, "rb");
    if (!file)
        return ErrorBox("Failed loaded EEPROM file !");

    long length = GetFileLength(file);

    // Whole blocks only; -1 (length unknown) fails here too.
    if (length < 0 || (length & (EEPROM_BLOCK_BYTES - 1)) != 0) {
        fclose(file);
        return ErrorBox("Wrong EEPROM data size !");
    }
    // Beyond 2,048 blocks the 18-bit frame address wraps and later blocks
    // would overwrite the first ones: refuse the file instead.
    if (length > EEPROM_MAX_BYTES) {
        fclose(file);
        return ErrorBox("EEPROM data file too large: %ld bytes, at most %d !",
                        length, (int)EEPROM_MAX_BYTES);
    }

    // One spare byte so that an empty file still gets a buffer.
    g_eeprom_data = (unsigned char*)malloc((size_t)length + 1);
    if (!g_eeprom_data) {
        fclose(file);
        return ErrorBox("Not enough memory for EEPROM data !");
    }

    size_t got = fread(g_eeprom_data, 1, (size_t)length, file);
    if (got != (size_t)length) {
        fclose(file);
        free(g_eeprom_data);
        g_eeprom_data = nullptr;  // leave no dangling pointer behind
        return ErrorBox("Failed reading EEPROM data from file !");
    }

    fclose(file);
    g_eeprom_length = (int)length;
    return 1;
}
