// Fixed keys and certificates for the security tests, made once with the openssl tool and kept
// in data/: two RSA 2048 keys, a CA (valid for 100 years from 2026-12-07), a client certificate
// it signed for key B (URI urn:test:client, DNS localhost, serial 0x1234), the CA's revocation
// list without entries and one that revokes the client certificate; a 4096-bit key C with a
// self-signed certificate whose key may not sign (nosign), a 1024-bit key D, and a self-signed
// certificate of an 8192-bit key (big).
#pragma once

#include "unit/app/TempDir.h"

#include <string>

namespace dravon::test {

inline std::string UaTestPem(const char* name) {
    return ReadFile(std::string(DRAVON_UA_TEST_DATA) + "/" + name + ".pem");
}
inline std::string TestKeyA() { return UaTestPem("key-a"); }
inline std::string TestKeyB() { return UaTestPem("key-b"); }
inline std::string TestCaCert() { return UaTestPem("ca"); }
inline std::string TestClientCert() { return UaTestPem("client"); }
inline std::string TestCrlEmpty() { return UaTestPem("crl-empty"); }
inline std::string TestCrlRevoked() { return UaTestPem("crl-revoked"); }

} // namespace dravon::test
