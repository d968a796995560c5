#pragma once

namespace corvantis {

class CCorvantisAppUI;

// The application's one core object. The first call makes it (thread-safe), stores it in `theApp` and registers
// it for GetAppUI (CorvantisAppUI.h); every later call returns the same object. It is never destroyed: threads
// of its may still run while the process exits.
CCorvantisAppUI& InstallAppUI();

} // namespace corvantis
