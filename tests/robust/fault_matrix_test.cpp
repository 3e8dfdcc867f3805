// Every fault the stand-in server can inject, against synchronous and
// asynchronous callers, on plain and encrypted connections. Whatever the
// fault, every submitted operation completes exactly once with the outcome
// the fault calls for, DravolinClient_Free never hangs, and the process
// holds as many threads and handles afterwards as before.
#include "client_harness.h"
#include "config.h"
#include "fault.h"
#include "resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace dravolin::robust;
using Clock = std::chrono::steady_clock;

enum class Stage { Connect, Login, Request };

enum class Expect {
    AllSucceed,         // every operation succeeds with the records of a clean run
    AllFail,            // the connection is lost: every operation fails
    Outstanding,        // nothing completes until DravolinClient_Free fails it all
    LoginFails,         // the login reports failure, once
    LoginSucceeds,      // the fault does not concern this login
    ConnectFails,       // the greeting never comes whole: connect reports failure
    ConnectOutstanding, // the greeting never comes: connect waits for Free
};

struct Cell {
    const char* fault; // the fault as written on the server's command line
    Stage stage;
    bool async;
    bool encrypted;
    Expect expect;
};

void PrintTo(const Cell& c, std::ostream* os) {
    *os << c.fault << (c.async ? " async" : " sync") << (c.encrypted ? " encrypted" : " plain");
}

std::string CellName(const testing::TestParamInfo<Cell>& info) {
    std::string name = info.param.fault;
    for (auto& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    name += info.param.async ? "_async" : "_sync";
    name += info.param.encrypted ? "_encrypted" : "_plain";
    return name;
}

std::vector<Cell> Matrix() {
    std::vector<Cell> cells;
    for (bool async : {false, true}) {
        for (bool enc : {false, true}) {
            auto add = [&](const char* f, Stage s, Expect e) {
                cells.push_back({f, s, async, enc, e});
            };
            // Faults on the reply to a device listing, with requests behind it.
            add("none", Stage::Request, Expect::AllSucceed);
            add("close", Stage::Request, Expect::AllFail);
            add("close,at=0", Stage::Request, Expect::AllFail);
            add("reset", Stage::Request, Expect::AllFail);
            add("hang", Stage::Request, Expect::Outstanding);
            add("mute", Stage::Request, Expect::Outstanding);
            add("double", Stage::Request, Expect::AllSucceed);
            // One byte per send, an over-long line: lines and frames reassemble
            // however the bytes arrive.
            add("drip", Stage::Request, Expect::AllSucceed);
            add("longline", Stage::Request, Expect::AllSucceed);
            // What real networks do to the sends: cut them, or join them.
            add("split", Stage::Request, Expect::AllSucceed);
            add("split,size=5,gap=0", Stage::Request, Expect::AllSucceed);
            add("coalesce", Stage::Request, Expect::AllSucceed);
            add("split,on=auth,times=0,size=3,gap=0", Stage::Login, Expect::LoginSucceeds);
            // Encrypted: a damaged frame, and 16 or 40 random bytes that leave a frame
            // unfinished until the idle limit (10 s) rejects it.
            if (enc) {
                add("corruptframe", Stage::Request, Expect::AllFail);
                add("frame16", Stage::Request, Expect::AllFail);
                add("frame40", Stage::Request, Expect::AllFail);
            }
            // Faults during a mutual CHAP login.
            add("badproof", Stage::Login, Expect::LoginFails);
            add("badname", Stage::Login, Expect::LoginFails);
            add("nocrypt", Stage::Login, enc ? Expect::LoginFails : Expect::LoginSucceeds);
            add("close,on=auth check", Stage::Login, Expect::LoginFails);
            add("reset,on=auth start", Stage::Login, Expect::LoginFails);
            add("status,on=auth check,status=102", Stage::Login, Expect::LoginFails);
            add("mute,on=auth start", Stage::Login, Expect::Outstanding);
            // Faults on the greeting (no login, so one column is enough).
            if (!enc) {
                add("close,on=greeting", Stage::Connect, Expect::ConnectFails);
                add("hang,on=greeting", Stage::Connect, Expect::ConnectOutstanding);
            }
        }
    }
    return cells;
}

struct Op {
    unsigned code;
    const char* argument;
};

// The faulted request first, then requests queued (or sent) behind it.
const Op kOps[] = {
    {DRAVOLIN_REQUEST_LIST_DEVICES, nullptr},
    {DRAVOLIN_REQUEST_GET_PARAMETER, "CtlAuthMode"},
    {DRAVOLIN_REQUEST_STATISTICS, "all"},
};
constexpr std::size_t kOpCount = sizeof kOps / sizeof kOps[0];

// Outcome of one operation, however it was submitted.
struct Outcome {
    int completions = 0;
    int failed = -1;
    Records records;
};

std::atomic<long long> gLongestFreeMs{0};

// DravolinClient_Free, bounded; records how long it took.
void FreeClient() {
    const auto start = Clock::now();
    ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound))
        << "DravolinClient_Free did not return";
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    long long prev = gLongestFreeMs.load();
    while (ms > prev && !gLongestFreeMs.compare_exchange_weak(prev, ms)) {
    }
}

dravolin::testserver::ServerConfig ConfigWithFault(const Cell& cell) {
    auto config = LoopbackServer::DefaultConfig();
    if (cell.stage != Stage::Request && std::string(cell.fault) != "none") {
        std::string error;
        auto spec = dravolin::testserver::parseFaultSpec(cell.fault, error);
        EXPECT_TRUE(spec) << error;
        if (spec)
            config.faults.push_back(*spec);
    }
    return config;
}

// "-fault:"MODE" -on:"list" ..." for the control line that arms a fault.
std::string ControlArgument(const std::string& spec) {
    std::string arg;
    std::size_t start = 0;
    bool first = true;
    while (start <= spec.size()) {
        std::size_t comma = spec.find(',', start);
        if (comma == std::string::npos)
            comma = spec.size();
        const std::string part = spec.substr(start, comma - start);
        if (first) {
            arg = "-fault:\"" + part + "\" -on:\"list\"";
            first = false;
        } else {
            const std::size_t eq = part.find('=');
            arg += " -" + part.substr(0, eq) + ":\"" + part.substr(eq + 1) + "\"";
        }
        start = comma + 1;
    }
    return arg;
}

// One cell of the matrix: the operations, their outcomes, and (when
// `countResources`) the threads and handles given back.
void RunCell(const Cell& cell, bool countResources) {
    CompletionLog::instance().reset();
    const ResourceUse before = countResources ? StableResources() : ResourceUse{};
    {
        LoopbackServer server(ConfigWithFault(cell));
        ASSERT_TRUE(server.started());
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
        CompletionLog& log = CompletionLog::instance();
        auto cb = cell.async ? &CompletionLog::Callback : nullptr;

        // Connect.
        std::uint32_t conn = 0, connectId = 0;
        if (cell.stage == Stage::Connect && cell.expect == Expect::ConnectOutstanding) {
            // The greeting never ends: a synchronous caller waits until Free.
            std::atomic<int> result{-1};
            std::thread caller([&] {
                result = DravolinClient_Connect("127.0.0.1", server.servicePort(), &conn,
                                                &connectId, cb);
            });
            ASSERT_TRUE(server.waitForFaults(1));
            if (cell.async) {
                caller.join();
                EXPECT_EQ(result.load(), DRAVOLIN_OK);
                EXPECT_EQ(log.get(connectId).count, 0);
            }
            FreeClient();
            if (cell.async) {
                EXPECT_EQ(log.get(connectId).count, 1);
                EXPECT_EQ(log.get(connectId).failed, 1);
            } else {
                ASSERT_TRUE(FinishesWithin([&] { caller.join(); }, kHangBound));
                EXPECT_EQ(result.load(), DRAVOLIN_FAILED);
            }
            EXPECT_EQ(log.total(), cell.async ? 1u : 0u);
            server.stop();
            goto resources;
        }
        const int connectResult =
            DravolinClient_Connect("127.0.0.1", server.servicePort(), &conn, &connectId, cb);
        if (cell.stage == Stage::Connect) {
            if (cell.async) {
                ASSERT_EQ(connectResult, DRAVOLIN_OK);
                ASSERT_TRUE(log.waitFor({connectId}));
                EXPECT_EQ(log.get(connectId).failed, 1);
                DravolinClient_Disconnect(conn, nullptr, nullptr);
                FreeClient();
                EXPECT_EQ(log.get(connectId).count, 1);
            } else {
                EXPECT_EQ(connectResult, DRAVOLIN_FAILED);
                FreeClient();
            }
            EXPECT_EQ(log.total(), cell.async ? 1u : 0u);
            server.stop();
            goto resources;
        }
        if (cell.async) {
            ASSERT_EQ(connectResult, DRAVOLIN_OK);
            ASSERT_TRUE(log.waitFor({connectId}));
            ASSERT_EQ(log.get(connectId).failed, 0);
        } else {
            ASSERT_EQ(connectResult, DRAVOLIN_OK);
        }

        // Log in: plain on the plain column, mutual CHAP with encryption on
        // the other; login faults always meet a mutual CHAP login.
        LoginParameters login =
            cell.encrypted || cell.stage == Stage::Login ? ChapLogin(cell.encrypted) : PlainLogin();
        std::uint32_t loginId = 0;
        if (cell.stage == Stage::Login && cell.expect == Expect::Outstanding) {
            std::atomic<int> syncResult{-1};
            std::thread caller(
                [&] { syncResult = DravolinClient_Login(conn, &login, &loginId, cb); });
            ASSERT_TRUE(server.waitForFaults(1));
            if (cell.async) {
                caller.join();
                EXPECT_EQ(syncResult.load(), DRAVOLIN_OK);
                EXPECT_EQ(log.get(loginId).count, 0);
            }
            FreeClient();
            if (!cell.async) {
                caller.join();
                EXPECT_EQ(syncResult.load(), DRAVOLIN_FAILED);
            } else {
                EXPECT_EQ(log.get(loginId).count, 1);
                EXPECT_EQ(log.get(loginId).failed, 1);
            }
            server.stop();
            goto resources;
        }
        const int loginResult = DravolinClient_Login(conn, &login, &loginId, cb);
        int loginFailed = loginResult;
        if (cell.async) {
            ASSERT_EQ(loginResult, DRAVOLIN_OK);
            ASSERT_TRUE(log.waitFor({loginId})) << "login never completed";
            loginFailed = log.get(loginId).failed;
        }
        if (cell.stage == Stage::Login) {
            EXPECT_EQ(loginFailed, cell.expect == Expect::LoginFails ? 1 : 0);
            DravolinClient_Disconnect(conn, nullptr, nullptr);
            FreeClient();
            if (cell.async) {
                EXPECT_EQ(log.get(loginId).count, 1);
                EXPECT_EQ(log.total(), 2u); // connect and login, nothing more
            }
            server.stop();
            goto resources;
        }
        ASSERT_EQ(loginFailed, 0);

        // A clean listing to compare with, then arm the fault.
        Response* baselineResponse = nullptr;
        ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr,
                                             &baselineResponse, nullptr, nullptr),
                  DRAVOLIN_OK);
        const Records baseline = ReadRecords(baselineResponse);
        DravolinClient_ResponseFree(baselineResponse);
        ASSERT_FALSE(baseline.empty());
        if (std::string(cell.fault) != "none") {
            const std::string arg = ControlArgument(cell.fault);
            Response* r = nullptr;
            ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_CONTROL, arg.c_str(), &r,
                                                 nullptr, nullptr),
                      DRAVOLIN_OK)
                << arg;
            DravolinClient_ResponseFree(r);
        }

        // Submit the operations.
        std::vector<Outcome> outcomes(kOpCount);
        std::vector<std::uint32_t> ids(kOpCount, 0);
        std::vector<Response*> responses(kOpCount, nullptr);
        std::vector<int> results(kOpCount, -1);
        std::thread syncCaller;
        if (cell.async) {
            for (std::size_t i = 0; i < kOpCount; ++i)
                ASSERT_EQ(DravolinClient_SendRequest(conn, kOps[i].code, kOps[i].argument,
                                                     &responses[i], &ids[i], cb),
                          DRAVOLIN_OK);
        } else {
            syncCaller = std::thread([&] {
                for (std::size_t i = 0; i < kOpCount; ++i) {
                    results[i] = DravolinClient_SendRequest(conn, kOps[i].code, kOps[i].argument,
                                                            &responses[i], nullptr, nullptr);
                    if (results[i] == DRAVOLIN_OK || results[i] == DRAVOLIN_FAILED)
                        outcomes[i] = {1, results[i], ReadRecords(responses[i])};
                }
            });
        }

        if (cell.expect == Expect::Outstanding) {
            ASSERT_TRUE(server.waitForFaults(1));
            if (cell.async) {
                for (auto id : ids)
                    EXPECT_EQ(log.get(id).count, 0) << "completed although the reply never ended";
            }
            FreeClient();
            if (!cell.async) {
                ASSERT_TRUE(FinishesWithin([&] { syncCaller.join(); }, kHangBound))
                    << "a synchronous caller stayed blocked after Free";
                EXPECT_EQ(results[0], DRAVOLIN_FAILED);
                for (std::size_t i = 1; i < kOpCount; ++i)
                    EXPECT_EQ(results[i], DRAVOLIN_NOT_INITIALISED);
            } else {
                for (auto id : ids) {
                    EXPECT_EQ(log.get(id).count, 1);
                    EXPECT_EQ(log.get(id).failed, 1);
                }
            }
        } else {
            if (cell.async) {
                ASSERT_TRUE(log.waitFor({ids.begin(), ids.end()})) << "a completion was lost";
                for (std::size_t i = 0; i < kOpCount; ++i) {
                    const auto e = log.get(ids[i]);
                    outcomes[i] = {e.count, e.failed, e.records};
                }
            } else {
                ASSERT_TRUE(FinishesWithin([&] { syncCaller.join(); }, kHangBound))
                    << "a synchronous request never returned";
            }
            const bool lost = cell.expect == Expect::AllFail;
            for (std::size_t i = 0; i < kOpCount; ++i) {
                SCOPED_TRACE("operation " + std::to_string(i));
                EXPECT_EQ(outcomes[i].completions, 1);
                EXPECT_EQ(outcomes[i].failed, lost ? 1 : 0);
                // The unsolicited second reply must never reach a caller.
                EXPECT_FALSE(HasRecord(outcomes[i].records, "Extra"));
                // An over-long line is dropped whole.
                EXPECT_FALSE(HasRecord(outcomes[i].records, "Filler"));
            }
            if (!lost) {
                EXPECT_EQ(outcomes[0].records, baseline);
            }

            // The handle is still known; a lost connection stays lost.
            std::uint32_t discId = 0;
            const int disc = DravolinClient_Disconnect(conn, &discId, cb);
            if (cell.async) {
                ASSERT_EQ(disc, DRAVOLIN_OK);
                ASSERT_TRUE(log.waitFor({discId}));
            }
            FreeClient();
            // Nothing is delivered twice, nor after Free.
            for (auto& [id, e] : log.all())
                EXPECT_EQ(e.count, 1) << "request " << id;
            if (cell.async) {
                EXPECT_EQ(log.total(), 2 + kOpCount + 1);
            }
        }
        for (Response* r : responses)
            DravolinClient_ResponseFree(r);
        server.stop();
    }
resources:
    if (!countResources)
        return;
    const ResourceUse after = SettledResources(before);
    EXPECT_EQ(after.threads, before.threads)
        << "before: " << before.describe() << "\nafter:  " << after.describe();
    EXPECT_EQ(after.handles, before.handles)
        << "before: " << before.describe() << "\nafter:  " << after.describe();
}

class FaultMatrix : public testing::TestWithParam<Cell> {
  protected:
    static void SetUpTestSuite() {
        // Whatever the platform creates once (Wine starts a thread the first
        // time a cell runs) must be there before the first count.
        WarmUp();
        RunCell({"none", Stage::Request, false, false, Expect::AllSucceed}, false);
    }

    static void TearDownTestSuite() {
        std::printf("longest DravolinClient_Free in the matrix: %lld ms\n", gLongestFreeMs.load());
    }
};

TEST_P(FaultMatrix, EveryOperationCompletesOnceWithTheRightOutcome) {
    RunCell(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(Matrix()), CellName);

} // namespace
