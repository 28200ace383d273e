#pragma once

#include <string>

namespace orvanta {
namespace websocket {
namespace test {

// A throw-away certificate authority and two server certificates it signed,
// made with the openssl command in a fresh temporary directory (removed on
// destruction): one valid for 127.0.0.1 and localhost, one only for another
// host name.
class TestCertificates {
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool ok() const { return ok_; }
    const std::string& caFile() const { return caFile_; }
    const std::string& serverCertificate() const { return serverCert_; }
    const std::string& serverKey() const { return serverKey_; }
    const std::string& otherHostCertificate() const { return otherCert_; }
    const std::string& otherHostKey() const { return otherKey_; }

private:
    std::string dir_, caFile_, serverCert_, serverKey_, otherCert_, otherKey_;
    bool ok_ = false;
};

} // namespace test
} // namespace websocket
} // namespace orvanta
