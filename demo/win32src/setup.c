/* The demo installer for Windows: shows that the launcher started it. It
 * writes "Setup.ran" into its working directory, naming that directory and
 * the files beside it (three levels deep, sorted, without Setup.ran itself),
 * and exits. No window, no console. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#define MAX_FILES 256

static char *Files[MAX_FILES];
static int FileCount;

static int CompareNames(const void *a, const void *b) {
    return strcmp(*(char *const *)a, *(char *const *)b);
}

/* Collects the files below `dir` ("" for the working directory, else a
 * relative path ending in "\"). */
static void Collect(const char *dir, int depth) {
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA found;
    HANDLE search;
    if (strlen(dir) + 2 > sizeof pattern) return;
    strcpy(pattern, dir);
    strcat(pattern, "*");
    search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char path[MAX_PATH];
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
        if (strlen(dir) + strlen(found.cFileName) + 2 > sizeof path) continue;
        strcpy(path, dir);
        strcat(path, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth < 3) {
                strcat(path, "\\");
                Collect(path, depth + 1);
            }
        } else if (FileCount < MAX_FILES && strcmp(path, "Setup.ran") != 0) {
            Files[FileCount] = malloc(strlen(path) + 1);
            if (Files[FileCount] != NULL) strcpy(Files[FileCount++], path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

static void Put(HANDLE out, const char *text) {
    DWORD written;
    WriteFile(out, text, (DWORD)strlen(text), &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    char cwd[MAX_PATH];
    HANDLE out;
    int i;
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    if (GetCurrentDirectoryA(sizeof cwd, cwd) == 0) cwd[0] = '\0';
    Collect("", 1);
    qsort(Files, FileCount, sizeof Files[0], CompareNames);
    out = CreateFileA("Setup.ran", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) return 1;
    Put(out, "Setup.exe ran in ");
    Put(out, cwd);
    Put(out, "\r\nFiles beside it:\r\n");
    for (i = 0; i < FileCount; i++) {
        Put(out, "  ");
        Put(out, Files[i]);
        Put(out, "\r\n");
    }
    CloseHandle(out);
    return 0;
}
