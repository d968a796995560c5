#pragma once

#include "core/foundation/Version.h"

#include <string>

namespace corvantis {

// The identity the two programs exchange and compare when they greet each other.
class IPCHelper final {
public:
    IPCHelper() = delete;

    // kCorvantisVersion ("3.12.2"); both programs must carry the same value.
    static std::string getFullVersionString();
    // The identifier of the program this code runs in; set once at start by the program (see setBundleIdentifier).
    static std::string getBundleIdentifier();
    // Called once by each program's main before any other thread starts.
    static void setBundleIdentifier(const std::string& identifier);
};

inline constexpr const char* kAppBundleIdentifier = "org.corvantis.Corvantis";
inline constexpr const char* kExtensionBundleIdentifier = "com.velmar.corvantis.v3.macos.CorvantisExtension";

} // namespace corvantis
