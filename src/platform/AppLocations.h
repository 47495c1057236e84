// Where the server keeps its files on Linux.
//
// DRAVON_HOME, when set, is the application directory and holds both store files
// (machine.store, user.store). Otherwise:
// - application directory: the executable's directory when it is writable, else
//   $XDG_DATA_HOME/dravon (~/.local/share/dravon);
// - per-user store: $XDG_CONFIG_HOME/dravon/user.store (~/.config/dravon/user.store);
// - machine-wide store: /var/lib/dravon/machine.store when that directory exists and is
//   writable (an administrator creates it), else $XDG_DATA_HOME/dravon/machine.store.
#pragma once

#include <string>

namespace dravon {

struct TAppLocations {
    std::string ApplicationDirectory; // with a trailing "/"
    std::string MachineStoreFile;
    std::string UserStoreFile;
    // Names the single-instance lock and channel: one server per user and DRAVON_HOME.
    std::string InstanceScope;

    // Reads the environment and the executable's location (needs a QCoreApplication).
    static TAppLocations FromEnvironment();
};

} // namespace dravon
