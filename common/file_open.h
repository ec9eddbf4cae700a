// file_open: files named by UTF-8 paths: opening one for reading, in
// binary, and writing one whole.
//
// On Windows the path goes to the wide-character C runtime, so a folder named
// in letters outside the ANSI code page (Cyrillic on an English Windows,
// Kazakh on a Russian one) opens like any other; an ANSI fopen would see '?'
// in their place. Elsewhere fopen takes the UTF-8 path as it is. Any thread.
#pragma once

#include <stdio.h>

FILE* OpenFileForReading(const char* utf8_path);  // nullptr when it cannot be opened

// Writes n bytes as the whole of the file at utf8_path: into a file beside
// it under another name (the path and ".saving"), flushed to the disk, then
// moved over it. Nothing half-written is ever left under the path: on any
// failure (a full disk, a read-only folder, a stick pulled out) the file
// that was there stays as it was, the other file is removed, and reason
// (reason_size bytes, UTF-8) says why in the system's words. 1 or 0.
int WriteWholeFile(const char* utf8_path, const void* bytes, size_t n, char* reason, size_t reason_size);
