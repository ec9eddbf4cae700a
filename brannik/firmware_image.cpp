// firmware_image: loads a .zel file into the code and EEPROM images.
//
// The checks run in file order and the first that fails ends the load with
// its error box. The previous images are released before the file is even
// opened, so any failed load leaves no firmware loaded. A bad trailer magic
// keeps the code image just read (the next load releases it); the EEPROM
// image is then absent, so IsFirmwareLoaded stays 0.
#include "firmware_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "file_length.h"
#include "file_open.h"
#include "log_view.h"

Shared<unsigned char*> g_code_image{nullptr};
Shared<unsigned char*> g_eeprom_image{nullptr};

static const char ZEL_HEADER_MAGIC[ZEL_MAGIC_BYTES] = {'Z', 'E', 'L'};
static const char ZEL_TRAILER_MAGIC[ZEL_MAGIC_BYTES] = {'L', 'E', 'Z'};

static const char MSG_OPEN_FAILED[] = "Failed opening ZEL binary flash !";
static const char MSG_WRONG_SIZE[] = "Wrong size of ZEL binary flash !";
static const char MSG_BAD_MAGIC[] = "Failed reading ZEL binary flash !";
static const char MSG_CODE_SHORT[] = "Failed reading code from ZEL binary flash !";
static const char MSG_EEPROM_SHORT[] = "Failed reading EEPROM from ZEL binary flash !";
static const char MSG_NO_MEMORY[] = "Not enough memory to load ZEL binary flash !";

static void ReleaseImage(Shared<unsigned char*>& image)
{
    free(image.exchange(nullptr));
}

// fopen of a directory succeeds on some systems and only the reads fail;
// such a path is refused like any other file that cannot be opened.
static int IsDirectory(FILE* file)
{
    struct stat info;
    return fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
}

// 1 when the next three bytes of file are exactly magic.
static int ReadMagic(FILE* file, const char* magic)
{
    char bytes[ZEL_MAGIC_BYTES];
    return fread(bytes, 1, ZEL_MAGIC_BYTES, file) == ZEL_MAGIC_BYTES &&
           memcmp(bytes, magic, ZEL_MAGIC_BYTES) == 0;
}

int LoadFirmwareImage(const char* path)
{
    ReleaseImage(g_code_image);
    ReleaseImage(g_eeprom_image);

    FILE* file = OpenFileForReading(path);
    if (!file)
        return ErrorBox("%s", MSG_OPEN_FAILED);
    if (IsDirectory(file)) {
        fclose(file);
        return ErrorBox("%s", MSG_OPEN_FAILED);
    }

    if (GetFileLength(file) != ZEL_FILE_BYTES) {
        fclose(file);
        return ErrorBox("%s", MSG_WRONG_SIZE);
    }

    if (!ReadMagic(file, ZEL_HEADER_MAGIC)) {
        fclose(file);
        return ErrorBox("%s", MSG_BAD_MAGIC);
    }

    // One spare byte per image, as the images have always been laid out.
    unsigned char* code = (unsigned char*)malloc(ZEL_CODE_BYTES + 1);
    if (!code) {
        fclose(file);
        return ErrorBox("%s", MSG_NO_MEMORY);
    }
    if (fread(code, 1, ZEL_CODE_BYTES, file) != ZEL_CODE_BYTES) {
        fclose(file);
        free(code);
        return ErrorBox("%s", MSG_CODE_SHORT);
    }
    g_code_image.store(code);

    if (!ReadMagic(file, ZEL_TRAILER_MAGIC)) {
        fclose(file);
        return ErrorBox("%s", MSG_BAD_MAGIC);  // code image stays held
    }

    unsigned char* eeprom = (unsigned char*)malloc(ZEL_EEPROM_BYTES + 1);
    if (!eeprom) {
        fclose(file);
        ReleaseImage(g_code_image);
        return ErrorBox("%s", MSG_NO_MEMORY);
    }
    if (fread(eeprom, 1, ZEL_EEPROM_BYTES, file) != ZEL_EEPROM_BYTES) {
        fclose(file);
        ReleaseImage(g_code_image);
        free(eeprom);
        return ErrorBox("%s", MSG_EEPROM_SHORT);
    }
    g_eeprom_image.store(eeprom);

    fclose(file);
    LogPrint("Код успешно загружен !\r\n");
    return 1;
}

int IsFirmwareLoaded()
{
    return g_code_image.load() != nullptr && g_eeprom_image.load() != nullptr;
}
