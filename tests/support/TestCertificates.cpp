#include "support/TestCertificates.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace testsupport {
namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool issue(const std::string& dir, const std::string& name, const std::string& altNames) {
    const std::string base = dir + "/" + name;
    std::ofstream(base + ".ext") << "subjectAltName=" << altNames << "\nbasicConstraints=CA:FALSE\n"
                                 << "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n";
    return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
               " -keyout " + base + ".key -out " + base + ".csr") &&
           run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -sha256 -extfile " + base + ".ext -out " + base + ".pem");
}

} // namespace

TestCertificates::TestCertificates() {
    char pattern[] = "/tmp/test-certs-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir_ = pattern;
    ok_ = run("openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -sha256"
              " -subj /CN=TestCA -addext basicConstraints=critical,CA:TRUE"
              " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
              dir_ + "/ca.key -out " + caFile()) &&
          issue(dir_, "server", "IP:127.0.0.1,DNS:localhost") && issue(dir_, "other", "DNS:other.invalid");
}

TestCertificates::~TestCertificates() {
    if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
}

} // namespace testsupport
