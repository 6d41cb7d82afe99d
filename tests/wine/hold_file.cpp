// Holds a file open the way another program would (an editor, a virus
// scanner): others may read it but not write, rename or delete it. A
// Linux-side open locks nothing under Wine, so the fault runs use this.
//
//   hold_file <path>    prints "held" once the file is open, "failed N" if
//                       it cannot be opened; lets go when stdin closes.
#include <windows.h>

#include <cstdio>

#include "Win32Handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: hold_file <path>\n");
        return 2;
    }
    win::Handle held(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!held) {
        std::printf("failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    return 0;
}
