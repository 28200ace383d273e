#include "websocket/support/TestCertificates.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace orvanta {
namespace websocket {
namespace test {

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool issue(const std::string& dir, const std::string& name, const std::string& altNames) {
    const std::string base = dir + "/" + name;
    {
        std::ofstream ext(base + ".ext");
        ext << "subjectAltName=" << altNames << "\nbasicConstraints=CA:FALSE\n"
            << "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n";
    }
    return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
               " -keyout " + base + ".key -out " + base + ".csr") &&
           run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -sha256 -extfile " + base + ".ext -out " + base + ".pem");
}

} // namespace

TestCertificates::TestCertificates() {
    char pattern[] = "/tmp/ws-certs-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir_ = pattern;
    caFile_ = dir_ + "/ca.pem";
    serverCert_ = dir_ + "/server.pem";
    serverKey_ = dir_ + "/server.key";
    otherCert_ = dir_ + "/other.pem";
    otherKey_ = dir_ + "/other.key";
    ok_ = run("openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -sha256"
              " -subj /CN=WebSocketTestCA -addext basicConstraints=critical,CA:TRUE"
              " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
              dir_ + "/ca.key -out " + caFile_) &&
          issue(dir_, "server", "IP:127.0.0.1,DNS:localhost") && issue(dir_, "other", "DNS:other.invalid");
}

TestCertificates::~TestCertificates() {
    if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
}

} // namespace test
} // namespace websocket
} // namespace orvanta
