// The program's entry on Linux. A Windows build carries the archive as its
// resource "ZIP", 1; here the archive is linked in as plain bytes between
// the symbols launcher_payload and launcher_payload_end (cmake/payload.cmake)
// and registered under that name before the launcher runs.
#include <cstdint>

#include "launcher/launcher.h"
#include "platform/posix/posix_backend.h"

extern "C" const unsigned char launcher_payload[];
extern "C" const unsigned char launcher_payload_end[];

int main() {
    auto size = static_cast<win::DWORD>(launcher_payload_end - launcher_payload);
    win::posix::RegisterResource("ZIP", 1, launcher_payload, size);
    return LauncherMain();
}
