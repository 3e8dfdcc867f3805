/*
 * A consumer of the package that needs no C runtime, so that it links with either toolchain
 * alone: with mingw-w64 against either import library, and for the Microsoft ABI (clang-cl,
 * lld-link with /SAFESEH) against DravolinClient.lib. It calls all the exports through the
 * import library, with answers that need no server, loads one at run time by the name the
 * DLL of its architecture exports (x86: decorated; x64: plain), and ends through ExitProcess
 * with a bit set for each check that failed.
 */
#include <DravolinClient.h>

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);

typedef int(__stdcall* GetVersionFunction)(void);

void __cdecl start(void) {
    unsigned int failed = 0;
    Response* response = 0;
    Response* own = 0;
    char name[8], value[8];
    uint32_t handle = 0, id = 0;
    LoginParameters login; /* set field by field: an initialiser may become a memcpy call */
    void* library = 0;
    GetVersionFunction byName = 0;

    login.mode = DRAVOLIN_LOGIN_PLAIN;
    login.name = login.password = login.peerName = login.peerPassword = 0;
    login.encrypt = 0;

    if (DravolinClient_GetVersion() != DRAVOLIN_CLIENT_VERSION)
        failed |= 0x1;
    if (DravolinClient_Init() != DRAVOLIN_OK)
        failed |= 0x2;
    /* Unknown handles are answered without a server. */
    if (DravolinClient_Disconnect(0xDEAD, &id, 0) != DRAVOLIN_UNKNOWN_HANDLE)
        failed |= 0x4;
    if (DravolinClient_SendRequest(0xDEAD, DRAVOLIN_REQUEST_LIST_DEVICES, 0, &response, &id, 0) !=
            DRAVOLIN_UNKNOWN_HANDLE ||
        !response)
        failed |= 0x8;
    if (DravolinClient_ResponseGetNext(DravolinClient_ResponseReset(response), name, value) != 0)
        failed |= 0x10;
    DravolinClient_ResponseFree(response);
    if (DravolinClient_ResponseInit(&own) != own || !own)
        failed |= 0x20;
    DravolinClient_ResponseFree(own);
    DravolinClient_Free();
    /* Uninitialised: every entry that needs the library answers 2. */
    if (DravolinClient_Connect("127.0.0.1", 3260, &handle, &id, 0) != DRAVOLIN_NOT_INITIALISED ||
        DravolinClient_Login(1, &login, &id, 0) != DRAVOLIN_NOT_INITIALISED ||
        DravolinClient_SendRequest(1, 0, 0, 0, &id, 0) != DRAVOLIN_NOT_INITIALISED ||
        DravolinClient_CancelRequest(1) != DRAVOLIN_NOT_INITIALISED ||
        DravolinClient_SetServiceLogDirectory(1, "") != DRAVOLIN_NOT_INITIALISED)
        failed |= 0x40;

    /* Run-time loading: only the names of this architecture resolve. */
    library = GetModuleHandleA("DravolinClient.dll");
    byName = (GetVersionFunction)GetProcAddress(
        library, sizeof(void*) == 4 ? "_DravolinClient_GetVersion@0" : "DravolinClient_GetVersion");
    if (!library || !byName || byName() != DRAVOLIN_CLIENT_VERSION)
        failed |= 0x80;
    if (GetProcAddress(library, sizeof(void*) == 4 ? "DravolinClient_GetVersion"
                                                   : "_DravolinClient_GetVersion@0"))
        failed |= 0x100;
    ExitProcess(failed);
}
