// file_open on POSIX systems: file names are UTF-8 bytes already.
#include "file_open.h"

FILE* OpenFileForReading(const char* utf8_path)
{
    return fopen(utf8_path, "rb");
}
