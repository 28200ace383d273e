#pragma once

#include <string>

namespace testsupport {

// The one throw-away certificate authority of the tests, made with the openssl
// command in a fresh temporary directory (removed on destruction), and two
// server certificates it signed: one for 127.0.0.1 and localhost, one only
// for another host name. All are PEM files.
class TestCertificates {
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool ok() const { return ok_; }
    std::string caFile() const { return dir_ + "/ca.pem"; }
    std::string serverCertificate() const { return dir_ + "/server.pem"; }
    std::string serverKey() const { return dir_ + "/server.key"; }
    std::string otherHostCertificate() const { return dir_ + "/other.pem"; }
    std::string otherHostKey() const { return dir_ + "/other.key"; }

private:
    std::string dir_;
    bool ok_ = false;
};

} // namespace testsupport
