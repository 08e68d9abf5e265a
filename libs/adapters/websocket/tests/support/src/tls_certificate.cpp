#include <nmb/test/tls_certificate.h>

#include <QDir>
#include <QFile>
#include <QProcess>

namespace nmb::test {

namespace {

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TlsCredentials make_self_signed_certificate(const QString& directory)
{
    TlsCredentials result;
    result.certificate_path = QDir(directory).filePath(QStringLiteral("certificate.pem"));
    result.key_path = QDir(directory).filePath(QStringLiteral("key.pem"));

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"),
                   QStringLiteral("-keyout"), result.key_path, QStringLiteral("-out"),
                   result.certificate_path});
    if (!openssl.waitForFinished(20000)) {
        openssl.kill();
        openssl.waitForFinished(2000);
        result.error = QStringLiteral("openssl did not finish: ") + openssl.errorString();
        return result;
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        result.error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
        return result;
    }

    result.certificate = QSslCertificate(read_file(result.certificate_path), QSsl::Pem);
    result.key = QSslKey(read_file(result.key_path), QSsl::Ec, QSsl::Pem);
    if (result.certificate.isNull() || result.key.isNull()) {
        result.error = QStringLiteral("the certificate or key made by openssl could not be loaded");
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace nmb::test
