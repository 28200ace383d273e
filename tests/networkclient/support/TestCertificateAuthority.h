#pragma once

#include <string>

namespace testsupport {

// A throwaway CA made at run time and one server certificate it signed for
// 127.0.0.1 (and "localhost"). The CA's PEM file lives in a fresh temporary
// directory that the destructor removes.
class TestCertificateAuthority {
public:
    TestCertificateAuthority();
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    const std::string& caFile() const { return caPath; }
    const std::string& serverCertificatePem() const { return serverCertificate; }
    const std::string& serverPrivateKeyPem() const { return serverKey; }

private:
    std::string directory;
    std::string caPath;
    std::string serverCertificate;
    std::string serverKey;
};

} // namespace testsupport
