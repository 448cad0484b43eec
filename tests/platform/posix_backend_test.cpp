// The POSIX backend must answer like Windows: the same results and the same
// GetLastError codes for the calls the launcher and the engine make. Each
// test that touches the disk works in its own scratch directory under
// $TMPDIR and restores the current directory afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_backend.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace win;

constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD OPEN_ALWAYS = 4;

std::string HostTempRoot() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

// A fresh directory for one test; the current directory is put back and the
// directory removed when the test ends.
class PosixScratch : public ::testing::Test {
protected:
    void SetUp() override {
        savedCwd_ = fs::current_path();
        std::string pattern = HostTempRoot() + "/posix_backend_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        host_ = pattern;
        win_ = posix::ToWindowsPath(host_.c_str()) + "\\";
    }
    void TearDown() override {
        fs::current_path(savedCwd_);
        std::error_code ignored;
        fs::remove_all(host_, ignored);
    }
    // Windows name of a path inside the scratch directory.
    std::string W(const std::string& relative) const { return win_ + relative; }
    std::string H(const std::string& relative) const { return host_ + "/" + relative; }
    void WriteHostFile(const std::string& relative, const std::string& content) const {
        std::ofstream(H(relative), std::ios::binary) << content;
    }

    fs::path savedCwd_;
    std::string host_;  // /tmp/posix_backend_XXXXXX
    std::string win_;   // its Windows name, ending in a separator
};

HANDLE Open(const std::string& name, DWORD access, DWORD disposition, DWORD share = 0) {
    return CreateFileA(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The error of a CreateFileA that must fail.
DWORD OpenError(const std::string& name, DWORD access, DWORD disposition) {
    SetLastError(0);
    HANDLE h = Open(name, access, disposition);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    return GetLastError();
}

// ---- paths ----

TEST(PosixPaths, WindowsNamesMapOntoTheHostTree) {
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\x\\"), "/tmp/x");
    EXPECT_EQ(posix::ToHostPath("c:/tmp/x"), "/tmp/x");
    EXPECT_EQ(posix::ToHostPath("\\foo"), "/foo");
    EXPECT_EQ(posix::ToHostPath("C:\\"), "/");
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\\\x"), "/tmp/x");
    // "." and ".." are taken lexically, as Win32 does before touching the disk.
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\no-such-dir\\..\\x"), "/tmp/x");
    EXPECT_EQ(posix::ToHostPath("C:\\..\\..\\tmp\\.\\x"), "/tmp/x");
    // Trailing dots and spaces of a component are dropped.
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\readme.txt. "), "/tmp/readme.txt");
    // Other drives, UNC names and characters no file name may hold.
    EXPECT_EQ(posix::ToHostPath("D:\\tmp"), "");
    EXPECT_EQ(posix::ToHostPath("\\\\server\\share"), "");
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\a*b"), "");
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\a:b"), "");
    EXPECT_EQ(posix::ToHostPath(""), "");
}

TEST(PosixPaths, RelativeNamesResolveFromTheCurrentDirectory) {
    std::string cwd = fs::current_path().string();
    EXPECT_EQ(posix::ToHostPath("a\\b"), cwd + "/a/b");
    EXPECT_EQ(posix::ToHostPath("C:a"), cwd + "/a");
    EXPECT_EQ(posix::ToHostPath("C:"), cwd);
}

TEST(PosixPaths, HostPathsInWindowsForm) {
    EXPECT_EQ(posix::ToWindowsPath("/tmp/x"), "C:\\tmp\\x");
    EXPECT_EQ(posix::ToWindowsPath("/tmp/x/"), "C:\\tmp\\x\\");
    EXPECT_EQ(posix::ToWindowsPath("/"), "C:\\");
    EXPECT_EQ(posix::ToWindowsPath("a/b"), "a\\b");
}

// Names are Windows-1252 bytes on the Windows side and UTF-8 on the host.
TEST(PosixPaths, NamesChangeCodePageAtTheBoundary) {
    EXPECT_EQ(posix::ToHostPath("C:\\tmp\\Gr\xF6\xDF" "e \x80.txt"), "/tmp/Gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC.txt");
    EXPECT_EQ(posix::ToWindowsPath("/tmp/Gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC.txt"), "C:\\tmp\\Gr\xF6\xDF" "e \x80.txt");
    // Characters 1252 lacks and malformed UTF-8 come out as "?".
    EXPECT_EQ(posix::ToWindowsPath("/\xD0\x96/\xFF/\xC0\xAF"), "C:\\?\\?\\??");
    {
        // In 932 the second byte of a character is no separator, and "|" (7C)
        // as a second byte is no forbidden character: 表\ソ\－.
        testutil::AnsiCodePageScope cp932(932);
        std::string utf8 = "/tmp/" + testutil::HyoUtf8 + "/" + testutil::SoUtf8 + "/\xEF\xBC\x8D";
        std::string ansi = "C:\\tmp\\" + testutil::Hyo932 + "\\" + testutil::So932 + "\\\x81\x7C";
        EXPECT_EQ(posix::ToHostPath(ansi.c_str()), utf8);
        EXPECT_EQ(posix::ToWindowsPath(utf8.c_str()), ansi);
        EXPECT_EQ(posix::ToHostPath((ansi + "\\").c_str()), utf8);
    }
    // MAX_PATH counts characters, not the bytes of their UTF-8 form.
    std::string name(120, '\xE4');
    EXPECT_NE(posix::ToHostPath(("C:\\" + name).c_str()), "");
}

// ---- error codes ----

TEST_F(PosixScratch, OpenErrorsTellMissingFileFromMissingPath) {
    WriteHostFile("file.txt", "x");
    fs::create_directory(H("dir"));
    EXPECT_EQ(OpenError(W("missing.txt"), GENERIC_READ, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(W("nodir\\missing.txt"), GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(W("nodir\\new.txt"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(W("file.txt\\below.txt"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError("D:\\x.txt", GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(W("dir"), GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    // Reading an existing file skips the look before the open; the errors
    // stay those of the other dispositions.
    EXPECT_EQ(OpenError(W("file.txt\\below.txt"), GENERIC_READ, OPEN_EXISTING), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(W("dir\\"), GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("file.txt\\"), GENERIC_READ, OPEN_EXISTING), OpenError(W("file.txt\\"), GENERIC_READ, OPEN_ALWAYS));
    EXPECT_EQ(OpenError("C:\\", GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("file.txt"), GENERIC_READ, OPEN_EXISTING), 0u);
    EXPECT_EQ(OpenError(W("dir"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("dir\\"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("newdir\\"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(W("file.txt"), GENERIC_WRITE, CREATE_NEW), ERROR_FILE_EXISTS);
    EXPECT_EQ(OpenError(W("a?b"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_INVALID_NAME);
    EXPECT_EQ(OpenError(W(std::string(300, 'n')), GENERIC_WRITE, CREATE_ALWAYS), ERROR_FILENAME_EXCED_RANGE);
    std::string longest(win_.size() < 260 ? 260 - win_.size() : 0, 'n');
    EXPECT_EQ(OpenError(W(longest), GENERIC_WRITE, CREATE_ALWAYS), ERROR_FILENAME_EXCED_RANGE);
    longest.pop_back();
    EXPECT_EQ(OpenError(W(longest), GENERIC_WRITE, CREATE_ALWAYS), 0u) << "259 characters fit";
    EXPECT_FALSE(fs::exists(H("dir/below.txt")));
}

TEST_F(PosixScratch, ReadOnlyFilesRefuseWritingAndDeletionWhoeverAsks) {
    WriteHostFile("ro.txt", "keep");
    ASSERT_TRUE(SetFileAttributesA(W("ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(OpenError(W("ro.txt"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("ro.txt"), GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError(W("ro.txt"), GENERIC_READ, OPEN_EXISTING), 0u);
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(W("ro.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs::file_size(H("ro.txt")), 4u);
}

TEST_F(PosixScratch, SharingModesHoldBetweenOwnHandles) {
    HANDLE writer = Open(W("pc.dat"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError(W("pc.dat"), GENERIC_READ, OPEN_EXISTING), ERROR_SHARING_VIOLATION);
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(W("pc.dat").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(CloseHandle(writer));

    // The engine reads the archive with read and write sharing; an entry that
    // names the archive itself must not truncate it.
    WriteHostFile("pc.dat", "archive bytes");
    HANDLE reader = Open(W("pc.dat"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError(W("pc.dat"), GENERIC_WRITE, CREATE_ALWAYS), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fs::file_size(H("pc.dat")), 13u);
    HANDLE second = Open(W("pc.dat"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    CloseHandle(reader);
    EXPECT_TRUE(DeleteFileA(W("pc.dat").c_str()));
}

TEST_F(PosixScratch, DirectoryErrors) {
    WriteHostFile("file.txt", "x");
    SetLastError(0);
    EXPECT_TRUE(CreateDirectoryA(W("made").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(H("made")));
    EXPECT_TRUE(CreateDirectoryA(W("withslash\\").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(W("made").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA(W("file.txt").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA(W("a\\b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CreateDirectoryA("", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_FALSE(SetCurrentDirectoryA(W("missing").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryA(W("missing\\deeper").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryA(W("file.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(SetCurrentDirectoryA(""));

    EXPECT_FALSE(DeleteFileA(W("made").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA(W("missing.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(W("missing\\x.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(DeleteFileA(W("file.txt").c_str()));
    EXPECT_FALSE(fs::exists(H("file.txt")));
}

TEST_F(PosixScratch, NonAsciiNamesAreUtf8OnTheHost) {
    HANDLE h = Open(W("\xDC" "bersicht.txt"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(H("\xC3\x9C" "bersicht.txt")));
    EXPECT_TRUE(CreateDirectoryA(W("caf\xE9").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(H("caf\xC3\xA9")));
}

TEST_F(PosixScratch, CurrentDirectoryIsRealAndWalkable) {
    fs::create_directory(H("sub"));
    ASSERT_TRUE(SetCurrentDirectoryA(W("").c_str()));
    EXPECT_EQ(fs::current_path(), fs::path(host_));
    // One component at a time, relative, the way the engine walks a path.
    ASSERT_TRUE(SetCurrentDirectoryA("sub"));
    EXPECT_TRUE(CreateDirectoryA("deeper", nullptr));
    ASSERT_TRUE(SetCurrentDirectoryA("deeper"));
    HANDLE h = Open("rel.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(H("sub/deeper/rel.txt")));
    EXPECT_EQ(GetFileAttributesA("C:rel.txt"), 0x20u);
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    EXPECT_EQ(fs::current_path(), fs::path(H("sub")));
    ASSERT_TRUE(SetCurrentDirectoryA("c:\\"));
    EXPECT_EQ(fs::current_path(), fs::path("/"));
}

// ---- file contents ----

TEST_F(PosixScratch, WriteReadSeekAndSize) {
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    HANDLE h = Open(W("data.bin"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    uint8_t byte = 0;
    DWORD got = 99;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, &byte, 1, &got, nullptr));  // a write-only handle
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(CloseHandle(h));

    h = Open(W("data.bin"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 77;
    EXPECT_EQ(GetFileSize(h, &high), 100000u);
    EXPECT_EQ(high, 0u);
    std::vector<uint8_t> back(40000);
    ASSERT_TRUE(ReadFile(h, back.data(), 40000, &got, nullptr));
    EXPECT_EQ(got, 40000u);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 40000), 0);

    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 40000u);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_END), 99900u);
    ASSERT_TRUE(ReadFile(h, back.data(), 40000, &got, nullptr));  // short read at the end
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(std::memcmp(back.data(), data.data() + 99900, 100), 0);
    ASSERT_TRUE(ReadFile(h, back.data(), 40000, &got, nullptr));  // at the end: success, nothing
    EXPECT_EQ(got, 0u);

    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
    EXPECT_EQ(SetFilePointer(h, 10, nullptr, FILE_CURRENT), 15u);
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -16, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 15u);  // a failed seek does not move
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(byte, data[15]);

    // With a high part the distance is 64 bits wide; positions past the end
    // are allowed.
    LONG moveHigh = 1;
    EXPECT_EQ(SetFilePointer(h, 16, &moveHigh, FILE_BEGIN), 16u);
    EXPECT_EQ(moveHigh, 1);
    moveHigh = -1;
    EXPECT_EQ(SetFilePointer(h, -8, &moveHigh, FILE_CURRENT), 8u);
    EXPECT_EQ(moveHigh, 1);
    moveHigh = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &moveHigh, FILE_END), 100000u);
    EXPECT_EQ(moveHigh, 0);

    // Small reads (served from read-ahead) from scattered positions, across
    // block edges and up to the end, as the engine's headers and input take them.
    for (uint32_t i = 0, at = 0; i < 400; i++, at = (at * 37 + 16001) % 100100) {
        DWORD size = 1 + (i * 613) % 8192;
        SetFilePointer(h, static_cast<LONG>(at), nullptr, FILE_BEGIN);
        ASSERT_TRUE(ReadFile(h, back.data(), size, &got, nullptr));
        DWORD expected = at >= 100000 ? 0 : std::min<DWORD>(size, 100000 - at);
        ASSERT_EQ(got, expected) << "at " << at << " size " << size;
        ASSERT_EQ(std::memcmp(back.data(), data.data() + std::min<uint32_t>(at, 100000), got), 0) << "at " << at;
        EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), at + got);
    }
    ASSERT_TRUE(CloseHandle(h));
}

// The descriptor a closed reading handle leaves behind is taken again only
// for the same file, unchanged: every open after a change sees the change.
TEST_F(PosixScratch, ReopeningForReadingSeesEveryChangeOfTheFile) {
    auto readAll = [&](const std::string& name) {
        HANDLE h = Open(W(name), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        if (h == INVALID_HANDLE_VALUE) return std::string("<") + std::to_string(GetLastError()) + ">";
        char buffer[64] = {};
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
        EXPECT_TRUE(CloseHandle(h));
        return std::string(buffer, got);
    };
    WriteHostFile("a.txt", "first");
    EXPECT_EQ(readAll("a.txt"), "first");
    EXPECT_EQ(readAll("a.txt"), "first");
    WriteHostFile("a.txt", "second, longer");  // the same file written over
    EXPECT_EQ(readAll("a.txt"), "second, longer");
    WriteHostFile("b.txt", "other file");
    fs::rename(H("b.txt"), H("a.txt"));  // another file under the name
    EXPECT_EQ(readAll("a.txt"), "other file");
    fs::permissions(H("a.txt"), fs::perms::owner_read);
    EXPECT_EQ(readAll("a.txt"), "other file");
    HANDLE w = Open(W("a.txt"), GENERIC_WRITE, OPEN_EXISTING);  // read-only now
    EXPECT_EQ(w, INVALID_HANDLE_VALUE);
    fs::permissions(H("a.txt"), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(H("a.txt"));
    EXPECT_EQ(readAll("a.txt"), "<" + std::to_string(ERROR_FILE_NOT_FOUND) + ">");
    WriteHostFile("a.txt", "third");
    EXPECT_EQ(readAll("a.txt"), "third");
    // A handle taken again is a handle of its own: the sharing rules and
    // the file pointer start afresh.
    HANDLE r = Open(W("a.txt"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(r, 0, nullptr, FILE_CURRENT), 0u);
    EXPECT_EQ(OpenError(W("a.txt"), GENERIC_WRITE, OPEN_EXISTING), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(r));

    // A reader that admits writers sees what the process writes through
    // another handle, whatever it read before.
    HANDLE reader = Open(W("a.txt"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    char buffer[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(reader, buffer, 5, &got, nullptr));
    HANDLE writer = Open(W("a.txt"), GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(writer, "THI", 3, &got, nullptr));
    SetFilePointer(reader, 0, nullptr, FILE_BEGIN);
    ASSERT_TRUE(ReadFile(reader, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "THIrd");
    EXPECT_TRUE(CloseHandle(writer));
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(PosixScratch, CreateAlwaysReplacesAndReportsIt) {
    WriteHostFile("old.txt", "old content");
    HANDLE h = Open(W("old.txt"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "new", 3, &written, nullptr));
    DWORD got = 7;
    SetLastError(0);
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    std::ifstream in(H("old.txt"));
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "new");

    h = Open(W("fresh.txt"), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);
}

TEST(PosixFiles, BadHandlesFailWithInvalidHandle) {
    DWORD got = 5;
    char buffer[4];
    for (HANDLE h : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), static_cast<HANDLE>(buffer)}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ReadFile(h, buffer, 4, &got, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(PosixScratch, DoubleCloseFails) {
    HANDLE h = Open(W("x"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PosixFiles, LastErrorIsPerThread) {
    SetLastError(1234);
    DWORD seen = 0;
    std::thread([&seen] {
        SetLastError(77);
        seen = GetLastError();
    }).join();
    EXPECT_EQ(seen, 77u);
    EXPECT_EQ(GetLastError(), 1234u);
}

// ---- attributes ----

TEST_F(PosixScratch, AttributesFollowTheOwnerWriteBit) {
    WriteHostFile("f.txt", "x");
    fs::create_directory(H("d"));
    const DWORD Archive = 0x20;
    EXPECT_EQ(GetFileAttributesA(W("f.txt").c_str()), Archive);
    EXPECT_EQ(GetFileAttributesA(W("d").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(W("d\\").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\"), FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetFileAttributesA(W("f.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(W("f.txt").c_str()), Archive | FILE_ATTRIBUTE_READONLY);
    struct stat st;
    ASSERT_EQ(stat(H("f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    ASSERT_TRUE(SetFileAttributesA(W("f.txt").c_str(), 0));
    EXPECT_EQ(GetFileAttributesA(W("f.txt").c_str()), Archive);
    ASSERT_EQ(stat(H("f.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_TRUE(SetFileAttributesA(W("f.txt").c_str(), FILE_ATTRIBUTE_NORMAL));

    // The read-only bit of a directory is a mere marker: nothing changes.
    EXPECT_TRUE(SetFileAttributesA(W("d").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(W("d").c_str()), FILE_ATTRIBUTE_DIRECTORY);

    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(W("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(W("none\\x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(W("f.txt\\").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(SetFileAttributesA(W("none").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- times ----

uint64_t Ticks(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

SYSTEMTIME Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0) {
    SYSTEMTIME t = {};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

TEST(PosixTime, SystemTimeToFileTimeCountsFrom1601) {
    FILETIME ft;
    SYSTEMTIME t = Date(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
    EXPECT_EQ(Ticks(ft), 0u);
    t = Date(1970, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
    EXPECT_EQ(Ticks(ft), 116444736000000000ull);
    t = Date(30827, 12, 31, 23, 59, 59, 999);
    ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
    EXPECT_EQ(Ticks(ft), 0x7FFF35F4F06C58F0ull);  // the largest time Windows accepts

    // Against the C library over a spread of dates (timegm counts from 1970).
    for (int year = 1972; year <= 2107; year += 7) {
        for (int month = 1; month <= 12; month += 5) {
            t = Date(year, month, 28, 13, 45, 58, 250);
            ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
            struct tm tm = {};
            tm.tm_year = year - 1900;
            tm.tm_mon = month - 1;
            tm.tm_mday = 28;
            tm.tm_hour = 13;
            tm.tm_min = 45;
            tm.tm_sec = 58;
            int64_t unix = timegm(&tm);
            EXPECT_EQ(Ticks(ft), static_cast<uint64_t>(unix * 10000000 + 116444736000000000LL + 2500000))
                << year << "-" << month;
        }
    }
}

TEST(PosixTime, SystemTimeToFileTimeValidatesLikeWindows) {
    struct Case {
        SYSTEMTIME Time;
        bool Valid;
    };
    const Case cases[] = {
        {Date(2000, 2, 29), true},   {Date(2024, 2, 29), true},  {Date(1900, 2, 29), false},
        {Date(2100, 2, 29), false},  {Date(2023, 2, 29), false}, {Date(2023, 2, 28), true},
        {Date(2023, 4, 31), false},  {Date(2023, 4, 30), true},  {Date(2023, 12, 31), true},
        {Date(2023, 0, 10), false},  {Date(2023, 13, 1), false}, {Date(2023, 5, 0), false},
        {Date(2023, 5, 1, 24), false}, {Date(2023, 5, 1, 23, 60), false}, {Date(2023, 5, 1, 23, 59, 60), false},
        {Date(2023, 5, 1, 0, 0, 0, 1000), false}, {Date(1600, 12, 31), false}, {Date(30828, 1, 1), false},
        {Date(1980, 0, 0), false},  // DOS date and time 0
    };
    for (const Case& c : cases) {
        FILETIME ft = {0xAAAA, 0xBBBB};
        SetLastError(0);
        BOOL ok = SystemTimeToFileTime(&c.Time, &ft);
        EXPECT_EQ(ok != 0, c.Valid) << c.Time.wYear << "-" << c.Time.wMonth << "-" << c.Time.wDay << " "
                                    << c.Time.wHour << ":" << c.Time.wMinute << ":" << c.Time.wSecond;
        if (!c.Valid) {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            EXPECT_EQ(ft.dwLowDateTime, 0xAAAAu);
        }
    }
}

// Runs a test body with TZ set, restoring the previous zone afterwards.
class PosixZone : public PosixScratch {
protected:
    void UseZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadZone_ = old != nullptr;
        if (hadZone_) oldZone_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone_)
            setenv("TZ", oldZone_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        PosixScratch::TearDown();
    }
    bool hadZone_ = false;
    std::string oldZone_;
};

TEST_F(PosixZone, LocalTimeBecomesUtcAndLandsInMtime) {
    UseZone("XYZ-02");  // two hours east of UTC, no daylight saving
    SYSTEMTIME t = Date(2021, 6, 15, 12, 34, 56);
    FILETIME local;
    FILETIME utc;
    ASSERT_TRUE(SystemTimeToFileTime(&t, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ(Ticks(local) - Ticks(utc), 2ull * 3600 * 10000000);

    HANDLE h = Open(W("stamped.txt"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &utc));
    ASSERT_TRUE(CloseHandle(h));
    struct stat st;
    ASSERT_EQ(stat(H("stamped.txt").c_str(), &st), 0);
    struct tm expected = {};
    expected.tm_year = 121;
    expected.tm_mon = 5;
    expected.tm_mday = 15;
    expected.tm_hour = 10;
    expected.tm_min = 34;
    expected.tm_sec = 56;
    EXPECT_EQ(st.st_mtim.tv_sec, timegm(&expected));
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);

    UseZone("ABC+05");  // west of UTC: the offset is added
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ(Ticks(utc) - Ticks(local), 5ull * 3600 * 10000000);
}

TEST_F(PosixScratch, SetFileTimeNeedsWriteAccess) {
    WriteHostFile("r.txt", "x");
    HANDLE h = Open(W("r.txt"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME ft = {0, 0x01D00000};
    SetLastError(0);
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &ft));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

// ---- messages ----

struct Seen {
    HWND Window;
    UINT Message;
    WPARAM W;
    LPARAM L;
};
std::vector<Seen> Calls;

LRESULT Record(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    Calls.push_back(Seen{hwnd, message, w, l});
    return static_cast<LRESULT>(message + 1000);
}

class PosixMessages : public ::testing::Test {
protected:
    void SetUp() override {
        Calls.clear();
        posix::DiscardThreadMessages();
    }
    void TearDown() override {
        for (HWND w : made_) posix::DestroyTestWindow(w);
        posix::DiscardThreadMessages();
    }
    HWND Make(bool dialog = false) {
        HWND w = posix::CreateTestWindow(Record, dialog);
        made_.push_back(w);
        return w;
    }
    std::vector<HWND> made_;
};

TEST_F(PosixMessages, HandlesAreSmallIntegers) {
    HWND a = Make();
    HWND b = Make();
    EXPECT_NE(a, b);
    for (HWND w : {a, b}) {
        EXPECT_GE(reinterpret_cast<uintptr_t>(w), 0x100u);
        EXPECT_LT(reinterpret_cast<uintptr_t>(w), 0x10000u);
    }
}

TEST_F(PosixMessages, PeekTakesInOrderWithFilters) {
    HWND a = Make();
    HWND b = Make();
    ASSERT_TRUE(posix::PostMessageA(a, WM_USER + 1, 1, 10));
    ASSERT_TRUE(posix::PostMessageA(b, WM_USER + 2, 2, 20));
    ASSERT_TRUE(posix::PostMessageA(a, WM_COMMAND, 3, 30));
    ASSERT_TRUE(posix::PostMessageA(nullptr, WM_USER + 4, 4, 40));  // a thread message

    MSG msg;
    // Without removal the same message comes again.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    // Filtered by window and by range.
    ASSERT_TRUE(PeekMessageA(&msg, b, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, b);
    EXPECT_EQ(msg.wParam, 2u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(msg.lParam, 30);
    EXPECT_FALSE(PeekMessageA(&msg, b, 0, 0, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.message, WM_USER + 4u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(PosixMessages, PumpLoopDispatchesToEachWindow) {
    HWND a = Make();
    HWND dialog = Make(true);
    posix::PostMessageA(a, WM_USER, 1, 0);
    posix::PostMessageA(dialog, WM_USER, 2, 0);
    posix::PostMessageA(a, WM_USER, 3, 0);
    MSG msg;
    std::vector<WPARAM> viaDialog;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (IsDialogMessageA(dialog, &msg)) {
            viaDialog.push_back(msg.wParam);
            continue;
        }
        EXPECT_FALSE(TranslateMessage(&msg));
        EXPECT_EQ(DispatchMessageA(&msg), static_cast<LRESULT>(WM_USER + 1000));
    }
    ASSERT_EQ(Calls.size(), 3u);
    EXPECT_EQ(Calls[0].W, 1u);
    EXPECT_EQ(Calls[1].Window, dialog);
    EXPECT_EQ(Calls[1].W, 2u);
    EXPECT_EQ(Calls[2].W, 3u);
    EXPECT_EQ(viaDialog, std::vector<WPARAM>{2});
}

TEST_F(PosixMessages, QuitComesAfterEveryPostedMessageAndOnlyOnce) {
    HWND a = Make();
    posix::PostMessageA(a, WM_USER, 1, 0);
    PostQuitMessage(7);
    posix::PostMessageA(a, WM_USER, 2, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_REMOVE)) << "outside the range";
    ASSERT_TRUE(PeekMessageA(&msg, a, 0, 0, PM_NOREMOVE)) << "any window filter lets it through";
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(PosixMessages, DialogMessagesOnlyForRegisteredDialogs) {
    HWND plain = Make();
    HWND dialog = Make(true);
    MSG msg = {plain, WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(IsDialogMessageA(plain, &msg));
    EXPECT_FALSE(IsDialogMessageA(dialog, &msg));
    msg.hwnd = dialog;
    EXPECT_TRUE(IsDialogMessageA(dialog, &msg));
    EXPECT_EQ(Calls.size(), 1u);
}

TEST_F(PosixMessages, SendCallsAtOnceAndUnknownWindowsGiveZero) {
    HWND a = Make();
    uint16_t percent = 42;
    EXPECT_EQ(SendMessageA(a, WM_COMMAND, 7, reinterpret_cast<LPARAM>(&percent)), WM_COMMAND + 1000);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].L, reinterpret_cast<LPARAM>(&percent));
    posix::DestroyTestWindow(a);
    SetLastError(0);
    EXPECT_EQ(SendMessageA(a, WM_COMMAND, 7, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    MSG msg = {a, WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_FALSE(posix::PostMessageA(a, WM_USER, 0, 0));
    EXPECT_EQ(Calls.size(), 1u);
}

TEST_F(PosixMessages, DestroyingAWindowDropsItsMessages) {
    HWND a = Make();
    HWND b = Make();
    posix::PostMessageA(a, WM_USER, 0, 0);
    posix::PostMessageA(b, WM_USER, 0, 0);
    posix::DestroyTestWindow(a);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, b);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(PosixMessages, QueuesArePerThread) {
    HWND a = Make();
    std::thread([a] { posix::PostMessageA(a, WM_USER, 0, 0); }).join();
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

// ---- keys and clock ----

TEST(PosixInput, KeyStates) {
    const int Escape = 0x1B;
    EXPECT_EQ(GetAsyncKeyState(Escape), 0);
    posix::SetKeyDown(Escape, true);
    EXPECT_LT(GetAsyncKeyState(Escape), 0);
    EXPECT_EQ(static_cast<uint16_t>(GetAsyncKeyState(Escape)), 0x8000u);
    EXPECT_EQ(GetAsyncKeyState('A'), 0);
    posix::SetKeyDown(Escape, false);
    EXPECT_EQ(GetAsyncKeyState(Escape), 0);
    posix::SetKeyDownAfterPolls(Escape, 2);
    EXPECT_EQ(GetAsyncKeyState(Escape), 0);
    EXPECT_EQ(GetAsyncKeyState(Escape), 0);
    EXPECT_LT(GetAsyncKeyState(Escape), 0);
    EXPECT_LT(GetAsyncKeyState(Escape), 0) << "and stays down";
    posix::SetKeyDown(Escape, false);
    EXPECT_EQ(GetAsyncKeyState(Escape), 0);
    EXPECT_EQ(GetAsyncKeyState(-1), 0);
    EXPECT_EQ(GetAsyncKeyState(4096), 0);
}

TEST(PosixInput, ManualTicks) {
    posix::SetManualTicks(true, 1000);
    EXPECT_EQ(GetTickCount(), 1000u);
    posix::AdvanceTicks(30001);
    EXPECT_EQ(GetTickCount(), 31001u);
    posix::SetManualTicks(true, 0xFFFFFFF0u);
    posix::AdvanceTicks(0x20);
    EXPECT_EQ(GetTickCount(), 0x10u);  // wraps like the real count
    posix::SetManualTicks(false);
    DWORD first = GetTickCount();
    DWORD second = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(second - first), 1000u);
}

// ---- module, resources, temporary path ----

TEST(PosixModule, ProgramFileAndHandle) {
    char name[1024];
    DWORD len = GetModuleFileNameA(nullptr, name, sizeof name);
    ASSERT_GT(len, 3u);
    ASSERT_LT(len, sizeof name);
    EXPECT_EQ(std::strlen(name), len);
    EXPECT_EQ(std::string(name, 3), "C:\\");
    std::string full = name;
    std::string base = full.substr(full.find_last_of('\\') + 1);
    EXPECT_EQ(base, "unit_tests");
    EXPECT_EQ(posix::ToHostPath(name), fs::canonical("/proc/self/exe").string());

    HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(base.c_str()), self);
    EXPECT_EQ(GetModuleHandleA("UNIT_TESTS"), self);
    EXPECT_EQ(GetModuleHandleA("other.dll"), nullptr);

    // Too small a buffer: cut to size - 1 characters, NUL, result = size.
    char small[6];
    std::memset(small, 'x', sizeof small);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), full.substr(0, 4));
    EXPECT_EQ(small[5], 'x');
}

TEST(PosixModule, ResourcesByTypeAndId) {
    static const unsigned char Bytes[] = {'P', 'K', 5, 6};
    posix::RegisterResource("TESTDATA", 7, Bytes, sizeof Bytes);
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MakeIntResource(7), "testdata");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(LoadResource(self, found), static_cast<const void*>(Bytes));
    EXPECT_EQ(SizeofResource(self, found), 4u);
    EXPECT_EQ(FindResourceA(nullptr, "#7", "TESTDATA"), found);

    SetLastError(0);
    EXPECT_EQ(FindResourceA(self, MakeIntResource(8), "TESTDATA"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NOT_FOUND);
    EXPECT_EQ(FindResourceA(self, MakeIntResource(7), "NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(LoadResource(self, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(self, nullptr), 0u);

    static const unsigned char Other[] = {1, 2};
    posix::RegisterResource("TESTDATA", 7, Other, sizeof Other);
    found = FindResourceA(self, MakeIntResource(7), "TESTDATA");
    EXPECT_EQ(LoadResource(self, found), static_cast<const void*>(Other));
    EXPECT_EQ(SizeofResource(self, found), 2u);
}

class PosixTempPath : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_) old_ = old;
    }
    void TearDown() override {
        if (had_)
            setenv("TMPDIR", old_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    bool had_ = false;
    std::string old_;
};

TEST_F(PosixTempPath, FromTmpdirWithTrailingSeparator) {
    setenv("TMPDIR", "/var/tmp/some dir", 1);
    char buffer[64];
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 20u);
    EXPECT_STREQ(buffer, "C:\\var\\tmp\\some dir\\");
    setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 11u);
    EXPECT_STREQ(buffer, "C:\\var\\tmp\\");
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 7u);
    EXPECT_STREQ(buffer, "C:\\tmp\\");
    // Too small: the size needed with its NUL, and nothing written.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetTempPathA(7, buffer), 8u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetTempPathA(8, buffer), 7u);
}

// ---- shell ----

// Waits (bounded) for a file that a started program writes.
bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 400; i++) {
        if (fs::exists(path) && fs::file_size(path) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

TEST_F(PosixScratch, ShellRunsScriptsInTheGivenDirectory) {
    fs::create_directory(H("work"));
    // No execute bit, as files extracted from an archive have none.
    WriteHostFile("work/Setup.exe", "#!/bin/sh\npwd > ran.txt\necho \"$@\" >> ran.txt\n");
    HINSTANCE result = ShellExecuteA(nullptr, nullptr, "Setup.exe", "one \"two words\"", W("work\\").c_str(),
                                     SW_SHOWNORMAL);
    EXPECT_EQ(reinterpret_cast<intptr_t>(result), 33);
    ASSERT_TRUE(WaitForFile(H("work/ran.txt")));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the second line land
    std::ifstream in(H("work/ran.txt"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(fs::canonical(line), fs::canonical(H("work")));
    std::getline(in, line);
    EXPECT_EQ(line, "one two words");

    posix::ShellExecuteRecord last = posix::LastShellExecute();
    EXPECT_EQ(last.File, "Setup.exe");
    EXPECT_EQ(last.Directory, W("work\\"));
    EXPECT_EQ(last.Result, 33);
    EXPECT_EQ(last.HostFile, H("work/Setup.exe"));
}

TEST_F(PosixScratch, ShellTakesTheInterpreterArgument) {
    WriteHostFile("script", "#!/bin/sh -e\ntouch marker\n");
    intptr_t result = reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", W("script").c_str(), nullptr, W("").c_str(), SW_SHOWNORMAL));
    EXPECT_GT(result, 32);
    bool seen = false;
    for (int i = 0; i < 400 && !seen; i++) {
        seen = fs::exists(H("marker"));
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(seen);
}

TEST_F(PosixScratch, ShellFailuresGiveWindowsCodes) {
    WriteHostFile("plain.txt", "no interpreter line");
    WriteHostFile("broken", "#!/no/such/interpreter\n");
    auto run = [](const char* op, const std::string& file, const std::string& dir) {
        return reinterpret_cast<intptr_t>(ShellExecuteA(nullptr, op, file.c_str(), nullptr,
                                                        dir.empty() ? nullptr : dir.c_str(), SW_SHOWNORMAL));
    };
    EXPECT_EQ(run(nullptr, "Setup.exe", W("")), 2);
    EXPECT_EQ(posix::LastShellExecute().Result, 2);
    EXPECT_EQ(run(nullptr, "Setup.exe", W("missing\\")), 3);
    EXPECT_EQ(run(nullptr, W("plain.txt"), ""), 31);
    EXPECT_EQ(run(nullptr, W("broken"), ""), 31);
    EXPECT_EQ(run("frobnicate", W("plain.txt"), ""), 31);
    uint32_t calls = posix::LastShellExecute().Calls;
    EXPECT_EQ(run(nullptr, "C:\\bin\\true", W("")), 33);
    EXPECT_EQ(posix::LastShellExecute().Calls, calls + 1);
}

// ---- message box, code page, exit ----

TEST(PosixReport, MessageBoxWritesUtf8ToStderr) {
    ::testing::internal::CaptureStderr();
    int answer = MessageBoxA(nullptr, "Ung\xFCltiger Dateiname \x80", "Anwendungsfehler", MB_ICONERROR);
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(out, "[MessageBox] Anwendungsfehler: Ung\xC3\xBCltiger Dateiname \xE2\x82\xAC\n");
}

TEST(PosixReport, DoubleByteCharactersOnlyInCodePage932) {
    for (int c = 0; c < 256; c++) EXPECT_FALSE(IsDBCSLeadByte(static_cast<uint8_t>(c)));
    EXPECT_FALSE(posix::SetAnsiCodePage(936));
    testutil::AnsiCodePageScope cp932(932);
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(IsDBCSLeadByte(static_cast<uint8_t>(c)) != 0, (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) << c;
    ::testing::internal::CaptureStderr();
    MessageBoxA(nullptr, ("Modul " + testutil::So932 + ".exe").c_str(), "Anwendungsfehler", MB_ICONERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[MessageBox] Anwendungsfehler: Modul " + testutil::SoUtf8 + ".exe\n");
}

TEST(PosixReportDeathTest, ExitProcessEndsWithTheCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitProcess(3), ::testing::ExitedWithCode(3), "");
}

}  // namespace
