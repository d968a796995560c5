#pragma once

#include <string>

namespace corvantis {

// A message field carrying one text; its property-list form is a dictionary with "text".
struct MessageText {
    std::string text;
    friend bool operator==(const MessageText&, const MessageText&) = default;
};

} // namespace corvantis
