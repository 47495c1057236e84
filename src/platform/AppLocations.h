// Where the server keeps its files on Linux.
//
// DRAVON_HOME, when set, is the application directory and holds both store files
// (machine.store, user.store). Otherwise:
// - application directory: the executable's directory when it is writable, else
//   $XDG_DATA_HOME/dravon (~/.local/share/dravon);
// - per-user store: $XDG_CONFIG_HOME/dravon/user.store (~/.config/dravon/user.store);
// - machine-wide store: machine.store in /var/lib/dravon (DRAVON_MACHINE_DIR moves it)
//   whenever that directory exists (an administrator creates it). Every user reads the
//   same settings and PLC list there; a user who may not write it gets a read-only view
//   and the store's write failures. Without it: $XDG_DATA_HOME/dravon/machine.store.
//
// One server runs per pair of store files: the single-instance scope is made of them,
// not of where the program lies.
#pragma once

#include <string>

namespace dravon {

struct TAppLocations {
    std::string ApplicationDirectory; // with a trailing "/"
    std::string MachineStoreFile;
    std::string UserStoreFile;
    // Names the single-instance lock and channel: one server per pair of store files.
    std::string InstanceScope;
    // Where the lock and the channel live: DRAVON_HOME, so that a service's channel is
    // found outside its private temp folder; the temp folder without DRAVON_HOME (or when
    // the path would be too long for a local socket).
    std::string InstanceDirectory;

    // Reads the environment and the executable's location (needs a QCoreApplication).
    static TAppLocations FromEnvironment();
};

} // namespace dravon
