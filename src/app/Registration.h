// How OPC clients find the server: the class registration, the OPC keys and the
// membership in the two OPC Data Access component categories, all under
// HKEY_CLASSES_ROOT of the store, and the write-access probe under HKEY_LOCAL_MACHINE.
#pragma once

#include "app/CommandLine.h"

#include <string>

namespace dravon {

class IKeyValueStore;

inline constexpr const char* ServerProgID = "DravonOPC.DA2";
inline constexpr const char* ServerDescription = "Dravon OPC Data Access Server";
// Fixed for every build: clients and the type library refer to them.
inline constexpr const char* ServerClassID = "{FA72F982-0A03-494D-A52D-0064A9E3E423}";
inline constexpr const char* ServerAppID = "{A0F97982-8249-479D-90B6-3C1C4194174D}";
// Published by the OPC Foundation.
inline constexpr const char* CATID_OPCDAServer10 = "{63D5F430-CFE4-11d1-B2C8-0060083BA1FB}";
inline constexpr const char* CATID_OPCDAServer20 = "{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
// The locale under which a category's description is recorded (English, United States).
inline constexpr const char* CategoryLocaleName = "409";

struct TRegistrationResult {
    bool Ok = false;
    // What the configuration dialog shows: the success or failure sentence.
    std::string Message;
    // Why it failed (the key or value that could not be written); empty on success.
    std::string Error;
};

// The component categories manager: a category's description and a class's membership.
// GUIDs in registry text form.
class ICategoryRegistrar {
public:
    virtual bool RegisterCategory(const std::string& catid, const std::string& description) = 0;
    virtual bool RegisterClassImplemented(const std::string& clsid, const std::string& catid) = 0;
    virtual bool UnregisterClassImplemented(const std::string& clsid, const std::string& catid) = 0;

protected:
    ~ICategoryRegistrar() = default;
};

// Writes the OPC keys and the category membership. executablePath is the full path
// written as the local server. Without categories the store records the membership
// itself, in the keys the Windows manager writes.
TRegistrationResult RegisterServer(IKeyValueStore& store, const std::string& progId,
                                   const std::string& executablePath,
                                   ICategoryRegistrar* categories = nullptr);
// Removes the class's membership in both categories; the keys stay.
TRegistrationResult UnregisterServer(IKeyValueStore& store, const std::string& progId,
                                     ICategoryRegistrar* categories = nullptr);

// Opens (creating) SOFTWARE\Norvane\Dravon under HKEY_LOCAL_MACHINE and writes
// "Writer" = 1; false means no write access.
bool ProbeWriteAccess(IKeyValueStore& store);

// The class registration refreshed at every start with write access: CLSID key with
// description, AppID, local server and ProgID; the ProgID key with its class ID; the AppID
// key.
bool RegisterServerClass(IKeyValueStore& store, const std::string& executablePath);
bool UnregisterServerClass(IKeyValueStore& store);

struct TComServerStart {
    bool WriteAccess = false;
    // The process ends after the class registration (REGSERVER / UNREGSERVER).
    bool EndProcess = false;
    // Only reported for REGSERVER; a refresh failure at a normal start is ignored.
    bool RegistrationFailed = false;
};
TComServerStart InitializeComServer(IKeyValueStore& store, TStartMode mode,
                                    const std::string& executablePath);

} // namespace dravon
