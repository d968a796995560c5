#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// The result of every profile read and load step: a code and a message. On success the message holds the
// warnings of the read (possibly none); on failure the text to show the user. A plain value.
struct ProfileLoadStatus {
    enum Code : int32_t {
        kSuccess = 0,
        kError = 1,
        kWrongMasterPassword = 2,
        kAccountKeyFailed = 3, // cannot decrypt with the current user's credentials
        kProxyPasswordFailed = 4, // cannot decrypt one proxy's password
    };

    int32_t code = kSuccess;
    std::string message;

    bool ok() const { return code == kSuccess; }
};

} // namespace corvantis
