// The shared library exports exactly the interface functions and nothing else: the Win32 DLL
// under their decorated standard-call names, the native library under the plain names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
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

// Names in the PE export table.
bool peExports(const Bytes& b, std::vector<std::string>& names, std::uint32_t& functions) {
    std::uint32_t pe = 0;
    std::uint16_t sections = 0;
    std::uint16_t optionalSize = 0;
    std::uint16_t magic = 0;
    if (!readAt(b, 0x3c, pe) || !readAt(b, pe + 6, sections) || !readAt(b, pe + 20, optionalSize) ||
        !readAt(b, pe + 24, magic) || magic != 0x10b) {
        return false;
    }
    std::uint32_t exportRva = 0;
    if (!readAt(b, pe + 24 + 96, exportRva) || exportRva == 0) {
        return false;
    }
    const std::uint64_t sectionTable = pe + 24 + optionalSize;
    auto toOffset = [&](std::uint32_t rva, std::uint64_t& offset) {
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
};

} // namespace

TEST(LibraryExports, ExactlyTheInterfaceFunctions) {
    const Bytes image = readAll(DRAVOLIN_CLIENT_LIBRARY);
    ASSERT_GT(image.size(), 64u) << DRAVOLIN_CLIENT_LIBRARY;
    std::vector<std::string> found;
    std::vector<std::string> expected;
    if (image[0] == 'M' && image[1] == 'Z') {
        std::uint32_t functions = 0;
        ASSERT_TRUE(peExports(image, found, functions));
        EXPECT_EQ(functions, kExports.size()) << "no exports by ordinal only";
        for (const auto& [name, bytes] : kExports) {
            expected.push_back("_" + name + "@" + std::to_string(bytes));
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
