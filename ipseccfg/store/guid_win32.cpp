#include <objbase.h>
#include <windows.h>

#include <cstring>

#include "guid.h"

namespace ipseccfg {

namespace {

Guid FromPlatform(const GUID& in) {
    Guid g;
    g.data1 = in.Data1;
    g.data2 = in.Data2;
    g.data3 = in.Data3;
    std::memcpy(g.data4.data(), in.Data4, 8);
    return g;
}

} // namespace

bool GuidFromReference(std::string_view reference, Guid& guid) noexcept {
    if (reference.size() < kGuidTextLength)
        return false;
    const std::string_view tail = reference.substr(reference.size() - kGuidTextLength);
    // The strict check first: the platform parser would also take a ProgID
    // and look it up in the registry.
    Guid checked;
    if (!ParseBracedGuid(tail, checked))
        return false;
    wchar_t wide[kGuidTextLength + 1];
    for (std::size_t i = 0; i < kGuidTextLength; ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(tail[i]));
    wide[kGuidTextLength] = L'\0';
    CLSID clsid;
    if (FAILED(CLSIDFromString(wide, &clsid)))
        return false;
    guid = FromPlatform(clsid);
    return true;
}

bool CreateGuid(Guid& guid) noexcept {
    GUID g;
    if (FAILED(CoCreateGuid(&g)))
        return false;
    guid = FromPlatform(g);
    return true;
}

} // namespace ipseccfg
