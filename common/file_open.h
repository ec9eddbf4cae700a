// file_open: opens a file named by a UTF-8 path for reading, in binary.
//
// On Windows the path goes to the wide-character C runtime, so a folder named
// in letters outside the ANSI code page (Cyrillic on an English Windows,
// Kazakh on a Russian one) opens like any other; an ANSI fopen would see '?'
// in their place. Elsewhere fopen takes the UTF-8 path as it is. Any thread.
#pragma once

#include <stdio.h>

FILE* OpenFileForReading(const char* utf8_path);  // nullptr when it cannot be opened
