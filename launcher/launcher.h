// The launcher: the program's whole run. It copies its embedded archive
// (resource "ZIP", 1) to TempDir + "pc.dat", extracts every entry into
// TempDir, deletes the copy and hands "Setup.exe" to the shell when this run
// extracted it.
#pragma once

#include <cstdint>

#include "engine/zip_records.h"

// The buffer for the temporary directory, as GetTempPathA fills it.
constexpr int TempDirCapacity = 1024;

// A path joined below the temporary directory: TempDir (at most
// TempDirCapacity - 1 characters) and an entry name of at most
// MaxPathLength, with room for the NUL and one more "\".
constexpr int JoinedPathCapacity = TempDirCapacity + MaxPathLength + 2;

// The temporary directory as the system reports it, ending with "\"; set once
// at the start of the run.
extern char TempDir[TempDirCapacity];

// The main sequence; returns the exit code (0; an I/O error ends the process
// with 1 before it returns).
int LauncherMain();

// Fills `out` (TempDirCapacity bytes) with the system's temporary path, or
// the empty string.
void GetTempDirectory(char* out);

// Extracts every entry of the archive below destDir. Returns true when the
// entry whose destination path is `program` (compared without regard to
// ASCII case, as Windows compares names) was extracted with Ok by this call;
// with duplicates the last one decides. False when there is no such entry or
// `program` is null.
bool ExtractAll(const char* archivePath, const char* destDir, const char* program = nullptr);

// The entry list: names with their local-header offsets, in the order they
// were appended, duplicates kept.
struct EntryList {
    char* Names;       // NUL-terminated names one after the other
    uint32_t NamesUsed;
    uint32_t NamesCapacity;
    struct Item {
        uint32_t NameOffset;
        int32_t HeaderOffset;
    }* Items;
    uint32_t Count;
    uint32_t Capacity;
};
void ListEntries(const char* archivePath, EntryList& list);
void FreeEntryList(EntryList& list);

void ForceDirectory(const char* directory);
bool IsExistingDirectory(const char* path);

// True for a name that must not be joined to the destination: absolute
// ("\..." or "/..."), with a ":" (drive, stream), or with a component that
// climbs out ("..", or dots and spaces that Windows trims to "..").
bool IsUnsafeEntryName(const char* name);
