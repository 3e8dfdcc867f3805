/*
 * list_devices: a synchronous session in plain C.
 *
 *     list_devices HOST PORT [USER PASSWORD]
 *
 * Connects to the management service (PORT + 1), logs in when a user is given, lists the
 * devices and prints each record as name=value. Without arguments it prints the library
 * version and this usage.
 *
 * Linked through the import library of its SDK, the same source builds for x86 and x64 (and
 * natively). A program that loads DravolinClient.dll at run time instead asks GetProcAddress
 * for the names of the DLL's architecture: "_DravolinClient_GetVersion@0" on x86 (decorated),
 * "DravolinClient_GetVersion" on x64 (plain); the header's Windows note lists them.
 */
#include <stdio.h>
#include <stdlib.h>

#include <DravolinClient.h>

static char name[DRAVOLIN_MAX_LINE + 1];
static char value[DRAVOLIN_MAX_LINE + 1];

int main(int argc, char** argv) {
    uint32_t conn = 0;
    Response* response = NULL;
    int rc = 0;

    if (argc != 3 && argc != 5) {
        printf("DravolinClient version %d\n", DravolinClient_GetVersion());
        printf("usage: %s HOST PORT [USER PASSWORD]\n", argv[0]);
        return argc == 1 ? 0 : 64;
    }
    if (DravolinClient_Init() != DRAVOLIN_OK) {
        fprintf(stderr, "cannot initialise the client library\n");
        return 2;
    }
    if (DravolinClient_Connect(argv[1], atoi(argv[2]), &conn, NULL, NULL) != DRAVOLIN_OK) {
        fprintf(stderr, "cannot connect to %s, service port %s\n", argv[1], argv[2]);
        DravolinClient_Free();
        return 2;
    }
    if (argc == 5) {
        LoginParameters login = {DRAVOLIN_LOGIN_PLAIN, argv[3], argv[4], NULL, NULL, 0};
        if (DravolinClient_Login(conn, &login, NULL, NULL) != DRAVOLIN_OK) {
            fprintf(stderr, "login as %s refused\n", argv[3]);
            DravolinClient_Free();
            return 2;
        }
    }

    /* The Response belongs to us whatever the result; a failed listing may carry records. */
    rc = DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_LIST_DEVICES, NULL, &response, NULL,
                                    NULL);
    DravolinClient_ResponseReset(response);
    while (DravolinClient_ResponseGetNext(response, name, value))
        printf("%s=%s\n", name, value);
    DravolinClient_ResponseFree(response);
    if (rc != DRAVOLIN_OK)
        fprintf(stderr, "the server refused the listing\n");

    DravolinClient_Disconnect(conn, NULL, NULL);
    DravolinClient_Free();
    return rc == DRAVOLIN_OK ? 0 : 1;
}
