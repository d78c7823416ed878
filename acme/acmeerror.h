// AcmeError: every failure of the ACME client. A refusal by the CA carries
// its problem document (RFC 8555 §6.7, RFC 7807): the type URN, the detail
// text and the subproblems per identifier; local and transport failures
// carry a cause and a text of their own.
#pragma once

#include <json/value.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qm::acme {

inline constexpr std::string_view kAcmeErrorPrefix = "urn:ietf:params:acme:error:";

struct AcmeSubproblem {
    std::string type;
    std::string detail;
    std::string identifier;  // the identifier's value ("shop.example.com"), may be empty
};

class AcmeError : public std::runtime_error {
public:
    enum class Cause {
        Server,    // the CA answered with a problem document (or an unreadable error)
        Network,   // no answer: connection, TLS, time-out of a transfer
        Protocol,  // an answer that does not follow RFC 8555
        Timeout,   // the CA did not finish within the allowed wait
        Stopped,   // the caller asked to stop
        Local,     // keys, files, arguments on this side
    };

    AcmeError(Cause cause, std::string message, std::string type = {}, std::string detail = {},
              std::vector<AcmeSubproblem> subproblems = {}, int httpStatus = 0);

    // From a problem document; `context` ("newOrder", "http-01 validation of
    // a.example") leads the message. Anything that is not an object still
    // gives an error naming the HTTP status.
    static AcmeError FromProblem(const Json::Value& problem, int httpStatus,
                                 std::string_view context);

    Cause cause() const { return cause_; }
    const std::string& type() const { return type_; }  // the full URN, empty when none
    const std::string& detail() const { return detail_; }
    const std::vector<AcmeSubproblem>& subproblems() const { return subproblems_; }
    int httpStatus() const { return httpStatus_; }

    // Whether the type is the ACME error `name` ("badNonce").
    bool Is(std::string_view name) const;

private:
    Cause cause_;
    std::string type_;
    std::string detail_;
    std::vector<AcmeSubproblem> subproblems_;
    int httpStatus_;
};

// "badNonce" for "urn:ietf:params:acme:error:badNonce"; other types unchanged.
std::string ShortProblemType(std::string_view type);

}  // namespace qm::acme
