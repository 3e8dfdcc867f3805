// Prints the version resource of each file named on the command line as Windows itself reads
// it (GetFileVersionInfo, as Explorer's Properties do), one "key=value" line per item under a
// line with the file's name. Exit code 1 when a file has no readable version resource.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void printFixed(const char* key, DWORD high, DWORD low) {
    std::printf("  %s=%u.%u.%u.%u\n", key, static_cast<unsigned>(HIWORD(high)),
                static_cast<unsigned>(LOWORD(high)), static_cast<unsigned>(HIWORD(low)),
                static_cast<unsigned>(LOWORD(low)));
}

bool probe(const char* file) {
    std::printf("%s\n", file);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) {
        std::printf("  error=no version resource (%lu)\n", GetLastError());
        return false;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(file, 0, size, data.data())) {
        std::printf("  error=unreadable version resource (%lu)\n", GetLastError());
        return false;
    }
    void* item = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &item, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        std::printf("  error=no fixed file information\n");
        return false;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(item);
    printFixed("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    printFixed("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    std::printf("  FileType=%lu\n", fixed->dwFileType);

    // The strings live under the first language and code page the resource lists.
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &item, &length) ||
        length < 2 * sizeof(WORD)) {
        std::printf("  error=no translation table\n");
        return false;
    }
    const auto* translation = static_cast<const WORD*>(item);
    for (const char* key : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                            "OriginalFilename", "ProductName", "ProductVersion"}) {
        char path[96];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], key);
        if (VerQueryValueA(data.data(), path, &item, &length) && length > 0) {
            std::printf("  %s=%s\n", key, static_cast<const char*>(item));
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int result = argc > 1 ? 0 : 2;
    for (int i = 1; i < argc; ++i) {
        if (!probe(argv[i])) {
            result = 1;
        }
    }
    std::fflush(stdout);
    return result;
}
