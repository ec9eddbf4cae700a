// file_length: the length of an open stdio file, measured by seeking to its
// end and back to where it was. -1 when the position cannot be told.
#pragma once

#include <stdio.h>

long GetFileLength(FILE* file);
