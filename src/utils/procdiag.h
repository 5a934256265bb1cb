// Process diagnostics of the health report, and the delimited line reader.
#pragma once

#include <sys/types.h>

#include <cstdio>

int DumpProcFdMax();
int DumpProcFdCount(int pid);
void DumpPocMemStatus(int pid);
// Reads up to and including the delimiter into a growable malloc'd buffer (allocated with 4096
// bytes when absent); the count read (delimiter included), or -1 at end of file with nothing read
// or on a read error.
ssize_t file_read_line_delim(char** buffer, size_t* capacity, int delimiter, FILE* stream);
