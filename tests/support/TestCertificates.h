#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace testsupport {

// The one throw-away certificate authority of the tests, made with the openssl
// command in a fresh temporary directory (removed on destruction), and two
// server certificates it signed: one for 127.0.0.1 and localhost, one only
// for another host name. All are PEM files.
class TestCertificates {
public:
    TestCertificates() {
        char pattern[] = "/tmp/test-certs-XXXXXX";
        if (!::mkdtemp(pattern)) return;
        dir_ = pattern;
        ok_ = run("openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -sha256"
                  " -subj /CN=TestCA -addext basicConstraints=critical,CA:TRUE"
                  " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " + dir_ + "/ca.key -out " + caFile()) &&
              issue("server", "IP:127.0.0.1,DNS:localhost") && issue("other", "DNS:other.invalid");
    }
    ~TestCertificates() {
        if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
    }
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool ok() const { return ok_; }
    std::string caFile() const { return dir_ + "/ca.pem"; }
    std::string serverCertificate() const { return dir_ + "/server.pem"; }
    std::string serverKey() const { return dir_ + "/server.key"; }
    std::string otherHostCertificate() const { return dir_ + "/other.pem"; }
    std::string otherHostKey() const { return dir_ + "/other.key"; }

private:
    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    bool issue(const std::string& name, const std::string& altNames) const {
        const std::string base = dir_ + "/" + name;
        std::ofstream(base + ".ext") << "subjectAltName=" << altNames << "\nbasicConstraints=CA:FALSE\n"
                                     << "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n";
        return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
                   " -keyout " + base + ".key -out " + base + ".csr") &&
               run("openssl x509 -req -in " + base + ".csr -CA " + caFile() + " -CAkey " + dir_ +
                   "/ca.key -CAcreateserial -days 2 -sha256 -extfile " + base + ".ext -out " + base + ".pem");
    }

    std::string dir_;
    bool ok_ = false;
};

} // namespace testsupport
