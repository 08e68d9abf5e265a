#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace nmb::test {

// A self-signed certificate for localhost and 127.0.0.1 with its private key.
struct TlsCredentials {
    bool ok = false;
    QString error;            // why making or loading failed
    QString certificate_path; // PEM files in the given directory
    QString key_path;
    QSslCertificate certificate;
    QSslKey key;
};

// Makes the certificate and key in `directory` with the openssl command
// (an elliptic-curve key, valid one day). Bounded to 20 s.
TlsCredentials make_self_signed_certificate(const QString& directory);

} // namespace nmb::test
