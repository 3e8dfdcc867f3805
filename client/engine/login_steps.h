// The steps of a login as a table: what each step sends and what its reply leads to.
#pragma once

#include "outcome.h"
#include "random_source.h"
#include "request.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravolin {

// What a login sends; copied from the caller's parameters, wiped when it goes.
struct LoginData {
    LoginData() = default;
    LoginData(const LoginData&) = default;
    LoginData& operator=(const LoginData&) = default;
    ~LoginData();

    int mode = 0; // 0 plain, 1 CHAP
    std::string userName;
    std::string userPassword;
    std::string chapName;
    std::string chapSecret;
    std::string peerName;
    std::string peerSecret;
    bool mutualAuth = false;
    bool encryptRequested = false;
};

// State of one login while its steps run; shared by its steps, wiped with the last of them.
struct LoginSession {
    ~LoginSession();
    LoginData data;
    std::vector<std::uint8_t> serverChallenge;
    std::vector<std::uint8_t> clientChallenge;
};

// The key material of the encrypted channel, handed to the transport once the login is done.
// It has no moves: a moved short string keeps its bytes, where no destructor would wipe them,
// so passing it on copies, and each copy wipes its own bytes when it goes.
struct ChannelKey {
    ChannelKey(const std::vector<std::uint8_t>& challenge, const std::string& key)
        : serverChallenge(challenge), secret(key) {}
    ChannelKey(const ChannelKey&) = default;
    ChannelKey& operator=(const ChannelKey&) = default;
    ~ChannelKey();
    std::vector<std::uint8_t> serverChallenge;
    std::string secret;
};

// What a completed step leads to.
struct StepResult {
    std::optional<Failure> failure; // the step (and the login) failed on the client's side
    bool deliver = false;           // the login ends here: its caller hears of it now
    std::unique_ptr<Request> next;  // the step to queue next
    std::optional<ChannelKey> key;  // switch the channel on now
};

// The first steps of a login: one for plain, two for CHAP.
std::vector<std::unique_ptr<Request>> firstLoginSteps(std::uint32_t requestId,
                                                      const LoginData& data);

// What the reply of a login step leads to (`ok`: status 200). Steps that are no login
// step lead to nothing.
StepResult afterLoginStep(Request& step, bool ok, crypto::RandomSource& random);

} // namespace dravolin
