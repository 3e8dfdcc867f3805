#include "login_steps.h"

#include "DravolinClient.h"
#include "byte_order.h"
#include "chap.h"

namespace dravolin {

using protocol::RequestKind;

namespace {

void wipe(std::string& text) {
    crypto::detail::secureWipe(text.data(), text.size());
}

void wipe(std::vector<std::uint8_t>& bytes) {
    crypto::detail::secureWipe(bytes.data(), bytes.size());
}

StepResult loginFailed(std::string text) {
    StepResult result;
    result.failure = Failure{DRAVOLIN_REASON_LOGIN, std::move(text)};
    result.deliver = true;
    return result;
}

std::unique_ptr<Request> stepOf(RequestKind kind, std::string line, const Request& after,
                                bool deliver) {
    auto step = std::make_unique<Request>(kind, std::move(line), after.requestId, deliver);
    step->login = after.login;
    return step;
}

ChannelKey keyOf(const LoginSession& session) {
    return ChannelKey{session.serverChallenge, session.data.chapSecret};
}

StepResult afterStart(Request& step, bool ok, crypto::RandomSource& random) {
    LoginSession& session = *step.login;
    if (!ok) {
        return StepResult{std::nullopt, true, nullptr, std::nullopt};
    }
    const protocol::StartReply start = protocol::readStartReply(step.reply.records);
    if (session.data.encryptRequested && !start.cryptOffered) {
        return loginFailed("login failed: the server offers no encrypted channel");
    }
    session.serverChallenge = protocol::decodeChallenge(start.challengeText);
    session.clientChallenge.clear();
    if (session.data.mutualAuth) {
        session.clientChallenge.resize(protocol::kClientChallengeSize);
        if (!random.fill(session.clientChallenge.data(), session.clientChallenge.size())) {
            return loginFailed("login failed: no random challenge could be made");
        }
    }
    StepResult result;
    result.next =
        stepOf(RequestKind::AuthCheck,
               protocol::buildCheckLine(session.data.chapName, session.data.chapSecret,
                                        session.serverChallenge, session.data.encryptRequested,
                                        session.clientChallenge),
               step, !session.data.mutualAuth);
    return result;
}

StepResult afterCheck(Request& step, bool ok, crypto::RandomSource&) {
    const LoginSession& session = *step.login;
    StepResult result;
    if (!session.data.mutualAuth) {
        if (ok && session.data.encryptRequested) {
            result.key = keyOf(session);
        }
        return result;
    }
    if (!ok) {
        result.deliver = true;
        return result;
    }
    if (!protocol::verifyServerProof(step.reply.records, session.data.peerName,
                                     session.data.peerSecret, session.clientChallenge)) {
        return loginFailed("login failed: the server could not prove it is '" +
                           session.data.peerName.substr(0, 80) + "'");
    }
    result.next = stepOf(RequestKind::AuthOk, protocol::authOkLine(session.data.encryptRequested),
                         step, true);
    return result;
}

StepResult afterOk(Request& step, bool ok, crypto::RandomSource&) {
    StepResult result;
    if (ok && step.login->data.encryptRequested) {
        result.key = keyOf(*step.login);
    }
    return result;
}

// The CHAP steps after "get CtlAuthMode" (whose reply changes nothing: the login goes on).
struct LoginStep {
    RequestKind kind;
    StepResult (*after)(Request& step, bool ok, crypto::RandomSource& random);
};
constexpr LoginStep kLoginSteps[] = {
    {RequestKind::AuthStart, afterStart},
    {RequestKind::AuthCheck, afterCheck},
    {RequestKind::AuthOk, afterOk},
};

} // namespace

LoginData::~LoginData() {
    wipe(userPassword);
    wipe(chapSecret);
    wipe(peerSecret);
}

LoginSession::~LoginSession() {
    wipe(serverChallenge);
    wipe(clientChallenge);
}

ChannelKey::~ChannelKey() {
    wipe(serverChallenge);
    wipe(secret);
}

std::vector<std::unique_ptr<Request>> firstLoginSteps(std::uint32_t requestId,
                                                      const LoginData& data) {
    std::vector<std::unique_ptr<Request>> steps;
    if (data.mode == 0) {
        steps.push_back(std::make_unique<Request>(
            RequestKind::Login, protocol::plainLoginLine(data.userName, data.userPassword),
            requestId, true));
        return steps;
    }
    auto session = std::make_shared<LoginSession>();
    session->data = data;
    steps.push_back(std::make_unique<Request>(
        RequestKind::AuthMode, std::string(protocol::kAuthModeLine), requestId, false));
    steps.push_back(std::make_unique<Request>(
        RequestKind::AuthStart, std::string(protocol::kAuthStartLine), requestId, false));
    for (auto& step : steps) {
        step->login = session;
    }
    return steps;
}

StepResult afterLoginStep(Request& step, bool ok, crypto::RandomSource& random) {
    for (const LoginStep& rule : kLoginSteps) {
        if (rule.kind == step.kind && step.login) {
            return rule.after(step, ok, random);
        }
    }
    return {};
}

} // namespace dravolin
