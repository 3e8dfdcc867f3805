/* The C side of bench/python_bench.py: N synchronous "get" requests through the library,
 * each reply's records copied out and the Response freed, as the Python package does.
 *   python_bench_baseline PORT USER PASSWORD N
 * Prints "<wall ns> <process CPU ns>" of the N requests (connect and login not counted). */
#include <DravolinClient.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static char name[DRAVOLIN_MAX_LINE + 1], value[DRAVOLIN_MAX_LINE + 1];

static long long nanoseconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
    if (argc != 5 || DravolinClient_Init() != DRAVOLIN_OK) {
        return 2;
    }
    uint32_t conn = 0;
    if (DravolinClient_Connect("127.0.0.1", atoi(argv[1]), &conn, NULL, NULL) != DRAVOLIN_OK) {
        return 1;
    }
    LoginParameters login = {DRAVOLIN_LOGIN_PLAIN, argv[2], argv[3], NULL, NULL, 0};
    if (DravolinClient_Login(conn, &login, NULL, NULL) != DRAVOLIN_OK) {
        return 1;
    }
    const int n = atoi(argv[4]);
    int status = 0;
    long long records = 0;
    const long long wall = nanoseconds(CLOCK_MONOTONIC),
                    cpu = nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < n; ++i) {
        Response* r = NULL;
        if (DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_GET_PARAMETER, "MaxSessions", &r,
                                       NULL, NULL) != DRAVOLIN_OK) {
            return 1;
        }
        DravolinClient_ResponseGetStatus(r, &status, value, sizeof value);
        while (DravolinClient_ResponseGetNext(r, name, value)) {
            ++records;
        }
        DravolinClient_ResponseFree(r);
    }
    const long long wallUsed = nanoseconds(CLOCK_MONOTONIC) - wall;
    const long long cpuUsed = nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    DravolinClient_Disconnect(conn, NULL, NULL);
    DravolinClient_Free();
    if (records != 2LL * n) {
        return 1;
    }
    printf("%lld %lld\n", wallUsed, cpuUsed);
    return 0;
}
