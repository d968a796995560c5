#pragma once

namespace corvantis {

// The provider layer's process-wide entry points.
class NEProvider final {
public:
    NEProvider() = delete;
    // Tells the flow layer that this process is the extension, whose providers it may start. Called once by the
    // extension's main before its service starts.
    static void startSystemExtensionMode();
};

} // namespace corvantis
