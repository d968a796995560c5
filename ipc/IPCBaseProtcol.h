#pragma once

#include <functional>
#include <string>

namespace corvantis {

// The greeting both programs (and the privileged helper) understand: the caller's version text in, the
// callee's version text out. Reply blocks are called at most once, and never when the link breaks first.
class IPCBaseProtcol {
public:
    using StringReply = std::function<void(std::string)>;

    virtual ~IPCBaseProtcol() = default;
    // "helloWithVersion:reply:"
    virtual void helloWithVersion(const std::string& version, StringReply reply) = 0;
};

} // namespace corvantis
