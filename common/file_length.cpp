#include "file_length.h"

long GetFileLength(FILE* file)
{
    long here = ftell(file);
    if (here < 0 || fseek(file, 0, SEEK_END) != 0)
        return -1;
    long length = ftell(file);
    fseek(file, here, SEEK_SET);
    return length;
}
