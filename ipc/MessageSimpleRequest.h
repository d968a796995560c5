#pragma once

namespace corvantis {

// A message field with no content; its property-list form is an empty dictionary.
struct MessageSimpleRequest {
    friend bool operator==(const MessageSimpleRequest&, const MessageSimpleRequest&) = default;
};

} // namespace corvantis
