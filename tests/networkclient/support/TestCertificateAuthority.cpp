#include "networkclient/support/TestCertificateAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {
namespace {

void require(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test CA: ") + what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

X509* makeCertificate(EVP_PKEY* key, const char* commonName, long serial) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    return certificate;
}

std::string toPem(X509* certificate) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

std::string toPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

} // namespace

TestCertificateAuthority::TestCertificateAuthority() {
    EVP_PKEY* caKey = EVP_EC_gen("P-256");
    EVP_PKEY* serverKeyPair = EVP_EC_gen("P-256");
    require(caKey && serverKeyPair, "key generation");

    X509* ca = makeCertificate(caKey, "Orvanta Test CA", 1);
    X509_set_issuer_name(ca, X509_get_subject_name(ca));
    addExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca, ca, NID_subject_key_identifier, "hash");
    require(X509_sign(ca, caKey, EVP_sha256()) > 0, "sign CA");

    X509* server = makeCertificate(serverKeyPair, "127.0.0.1", 2);
    X509_set_issuer_name(server, X509_get_subject_name(ca));
    addExtension(server, ca, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server, ca, NID_ext_key_usage, "serverAuth");
    addExtension(server, ca, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    addExtension(server, ca, NID_authority_key_identifier, "keyid:always");
    require(X509_sign(server, caKey, EVP_sha256()) > 0, "sign server");

    serverCertificate = toPem(server);
    serverKey = toPem(serverKeyPair);
    const std::string caPem = toPem(ca);
    X509_free(server);
    X509_free(ca);
    EVP_PKEY_free(serverKeyPair);
    EVP_PKEY_free(caKey);

    char pattern[] = "/tmp/orvanta-test-ca-XXXXXX";
    require(::mkdtemp(pattern) != nullptr, "temporary directory");
    directory = pattern;
    caPath = directory + "/ca.pem";
    std::ofstream(caPath) << caPem;
}

TestCertificateAuthority::~TestCertificateAuthority() {
    std::remove(caPath.c_str());
    ::rmdir(directory.c_str());
}

} // namespace testsupport
