#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace corvantis {

// The address of an anonymous listener (XpcListener::createAnonymous): the name of an abstract Unix socket,
// without the leading NUL. It can be sent inside a message and connected to by another process of the same
// network namespace.
//
// `owner` is never sent: a connection that receives an endpoint sets it to the uid of the process that sent it
// (the peer credentials of that connection), and a connection made to the endpoint then refuses a listener
// owned by anyone else. An endpoint built in-process has no owner unless the caller gives one.
// A plain value type.
struct XpcEndpoint {
    std::string name;
    std::optional<uid_t> owner;

    friend bool operator==(const XpcEndpoint& a, const XpcEndpoint& b) { return a.name == b.name; }
};

} // namespace corvantis
