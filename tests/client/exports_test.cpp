// The shared library exports exactly the interface functions (the original thirteen plus the
// documented extension) and nothing else: the x86 DLL under their decorated standard-call
// names, the x64 DLL and the native library under the plain names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

template <typename T> bool readAt(const Bytes& b, std::uint64_t at, T& out) {
    if (at > b.size() || b.size() - at < sizeof(T)) {
        return false;
    }
    std::memcpy(&out, b.data() + at, sizeof(T)); // both formats are little-endian here
    return true;
}

std::string stringAt(const Bytes& b, std::uint64_t at) {
    std::string s;
    while (at < b.size() && b[at] != 0) {
        s.push_back(static_cast<char>(b[at++]));
    }
    return s;
}

// A PE image (PE32 of x86 or PE32+ of x64): where its data directories point in the file.
struct PeImage {
    const Bytes& b;
    std::uint32_t pe = 0;
    std::uint16_t sections = 0;
    std::uint16_t optionalSize = 0;
    std::uint16_t magic = 0;

    bool open() {
        return readAt(b, 0x3c, pe) && readAt(b, pe + 6, sections) &&
               readAt(b, pe + 20, optionalSize) && readAt(b, pe + 24, magic) &&
               (magic == 0x10b || magic == 0x20b);
    }
    bool is64() const { return magic == 0x20b; }
    bool directory(int index, std::uint32_t& rva) const {
        const std::uint32_t directories = is64() ? 112 : 96; // the optional header's fixed part
        return readAt(b, pe + 24 + directories + 8u * index, rva) && rva != 0;
    }
    bool toOffset(std::uint32_t rva, std::uint64_t& offset) const {
        const std::uint64_t sectionTable = pe + 24 + optionalSize;
        for (std::uint16_t i = 0; i < sections; ++i) {
            std::uint32_t vsize = 0, vaddr = 0, rawSize = 0, rawPtr = 0;
            const std::uint64_t s = sectionTable + 40u * i;
            if (!readAt(b, s + 8, vsize) || !readAt(b, s + 12, vaddr) ||
                !readAt(b, s + 16, rawSize) || !readAt(b, s + 20, rawPtr)) {
                return false;
            }
            if (rva >= vaddr && rva < vaddr + std::max(vsize, rawSize)) {
                offset = std::uint64_t(rawPtr) + (rva - vaddr);
                return true;
            }
        }
        return false;
    }
};

// Names of the DLLs a PE image imports from.
bool peImports(const Bytes& b, std::vector<std::string>& dlls) {
    PeImage image{b};
    std::uint32_t importRva = 0;
    std::uint64_t at = 0;
    if (!image.open() || !image.directory(1, importRva) || !image.toOffset(importRva, at)) {
        return false;
    }
    for (;; at += 20) {
        std::uint32_t nameRva = 0;
        std::uint64_t nameAt = 0;
        if (!readAt(b, at + 12, nameRva)) {
            return false;
        }
        if (nameRva == 0) {
            return true;
        }
        if (!image.toOffset(nameRva, nameAt)) {
            return false;
        }
        dlls.push_back(stringAt(b, nameAt));
    }
}

// Names in the PE export table; is64 tells whether the image is PE32+.
bool peExports(const Bytes& b, std::vector<std::string>& names, std::uint32_t& functions,
               bool& is64) {
    PeImage image{b};
    std::uint32_t exportRva = 0;
    if (!image.open() || !image.directory(0, exportRva)) {
        return false;
    }
    is64 = image.is64();
    auto toOffset = [&](std::uint32_t rva, std::uint64_t& offset) {
        return image.toOffset(rva, offset);
    };
    std::uint64_t dir = 0;
    std::uint32_t nameCount = 0, namesRva = 0;
    std::uint64_t namesAt = 0;
    if (!toOffset(exportRva, dir) || !readAt(b, dir + 20, functions) ||
        !readAt(b, dir + 24, nameCount) || !readAt(b, dir + 32, namesRva) ||
        !toOffset(namesRva, namesAt)) {
        return false;
    }
    for (std::uint32_t i = 0; i < nameCount; ++i) {
        std::uint32_t nameRva = 0;
        std::uint64_t nameAt = 0;
        if (!readAt(b, namesAt + 4u * i, nameRva) || !toOffset(nameRva, nameAt)) {
            return false;
        }
        names.push_back(stringAt(b, nameAt));
    }
    return true;
}

// Defined global symbols of an ELF64 dynamic symbol table.
bool elfExports(const Bytes& b, std::vector<std::string>& names) {
    if (b.size() < 64 || b[4] != 2) {
        return false; // 64-bit only
    }
    std::uint64_t shoff = 0;
    std::uint16_t shentsize = 0, shnum = 0;
    if (!readAt(b, 0x28, shoff) || !readAt(b, 0x3a, shentsize) || !readAt(b, 0x3c, shnum)) {
        return false;
    }
    for (std::uint16_t i = 0; i < shnum; ++i) {
        const std::uint64_t sh = shoff + std::uint64_t(shentsize) * i;
        std::uint32_t type = 0, link = 0;
        std::uint64_t offset = 0, size = 0, entsize = 0;
        if (!readAt(b, sh + 4, type) || !readAt(b, sh + 24, offset) || !readAt(b, sh + 32, size) ||
            !readAt(b, sh + 40, link) || !readAt(b, sh + 56, entsize)) {
            return false;
        }
        if (type != 11 || entsize == 0) { // SHT_DYNSYM
            continue;
        }
        std::uint64_t strOffset = 0;
        if (!readAt(b, shoff + std::uint64_t(shentsize) * link + 24, strOffset)) {
            return false;
        }
        for (std::uint64_t at = offset; at + entsize <= offset + size; at += entsize) {
            std::uint32_t name = 0;
            unsigned char info = 0;
            std::uint16_t shndx = 0;
            if (!readAt(b, at, name) || !readAt(b, at + 4, info) || !readAt(b, at + 6, shndx)) {
                return false;
            }
            const int binding = info >> 4;
            if (shndx != 0 && (binding == 1 || binding == 2) && name != 0) {
                names.push_back(stringAt(b, strOffset + name));
            }
        }
        return true;
    }
    return false;
}

const std::vector<std::pair<std::string, int>> kExports = {
    {"DravolinClient_Init", 0},
    {"DravolinClient_Free", 0},
    {"DravolinClient_GetVersion", 0},
    {"DravolinClient_Connect", 20},
    {"DravolinClient_Disconnect", 12},
    {"DravolinClient_Login", 16},
    {"DravolinClient_SendRequest", 24},
    {"DravolinClient_CancelRequest", 4},
    {"DravolinClient_ResponseInit", 4},
    {"DravolinClient_ResponseReset", 4},
    {"DravolinClient_ResponseGetNext", 12},
    {"DravolinClient_ResponseFree", 4},
    {"DravolinClient_SetServiceLogDirectory", 8},
    // The documented extension (time-outs and failure reasons).
    {"DravolinClient_ConnectWithTimeouts", 28},
    {"DravolinClient_SetReplyTimeout", 8},
    {"DravolinClient_ResponseGetStatus", 16},
    {"DravolinClient_ResponseGetReason", 16},
    {"DravolinClient_GetLastFailure", 20},
    // Keep-alive.
    {"DravolinClient_SetKeepAlive", 16},
    // The wire trace.
    {"DravolinClient_SetTrace", 12},
};

} // namespace

TEST(LibraryExports, ExactlyTheInterfaceFunctions) {
    const Bytes image = readAll(DRAVOLIN_CLIENT_LIBRARY);
    ASSERT_GT(image.size(), 64u) << DRAVOLIN_CLIENT_LIBRARY;
    std::vector<std::string> found;
    std::vector<std::string> expected;
    if (image[0] == 'M' && image[1] == 'Z') {
        std::uint32_t functions = 0;
        bool is64 = false;
        ASSERT_TRUE(peExports(image, found, functions, is64));
        EXPECT_EQ(is64, sizeof(void*) == 8) << "the DLL of this build's architecture";
        EXPECT_EQ(functions, kExports.size()) << "no exports by ordinal only";
        for (const auto& [name, bytes] : kExports) {
            // x64 has one calling convention and no decoration.
            expected.push_back(is64 ? name : "_" + name + "@" + std::to_string(bytes));
        }
        // The runtime is linked in: only DLLs of the system itself are needed.
        std::vector<std::string> dlls;
        ASSERT_TRUE(peImports(image, dlls));
        for (std::string dll : dlls) {
            std::transform(dll.begin(), dll.end(), dll.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            EXPECT_TRUE(dll == "kernel32.dll" || dll == "msvcrt.dll" || dll == "ws2_32.dll" ||
                        dll == "bcrypt.dll" || dll == "advapi32.dll" || dll == "ntdll.dll" ||
                        dll.rfind("api-ms-win-", 0) == 0)
                << dll;
        }
    } else {
        ASSERT_EQ(image[0], 0x7f);
        ASSERT_TRUE(elfExports(image, found));
        for (const auto& [name, bytes] : kExports) {
            expected.push_back(name);
        }
    }
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
}

// The header tells run-time loaders the decorated names: all of them, and only real ones.
TEST(LibraryExports, HeaderNamesEveryDecoratedExport) {
    std::ifstream in(DRAVOLIN_CLIENT_HEADER);
    const std::string header(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(header.empty()) << DRAVOLIN_CLIENT_HEADER;
    // Every "_DravolinClient_<letters>@<digits>" in the text.
    std::set<std::string> named;
    const std::string prefix = "_DravolinClient_";
    for (auto at = header.find(prefix); at != std::string::npos; at = header.find(prefix, at + 1)) {
        auto end = at + prefix.size();
        while (end < header.size() && std::isalpha(static_cast<unsigned char>(header[end]))) {
            ++end;
        }
        const auto digits = end + 1;
        auto last = digits;
        while (last < header.size() && std::isdigit(static_cast<unsigned char>(header[last]))) {
            ++last;
        }
        if (end < header.size() && header[end] == '@' && last > digits) {
            named.insert(header.substr(at, last - at));
        }
    }
    std::set<std::string> expected;
    for (const auto& [name, bytes] : kExports) {
        expected.insert("_" + name + "@" + std::to_string(bytes));
    }
    EXPECT_EQ(named, expected);
}
