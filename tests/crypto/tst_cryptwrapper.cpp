#include "cryptwrapper.h"
#include "productinipublickey.h"
#include "rsakeyrelease.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

QByteArray bytes(const unsigned char* data, unsigned long length)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(length));
}

const unsigned char* raw(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

// The DER RSAPublicKey header of a 1024-bit key: SEQUENCE (137 bytes), then
// the modulus INTEGER of 129 bytes (a leading zero keeps it positive).
const QByteArray publicKeyHeader = QByteArray::fromHex("30818902818100");
// The public exponent 65537 that closes the 140-byte structure.
const QByteArray publicExponentTail = QByteArray::fromHex("0203010001");

QString thrownText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const crypt_exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

QByteArray sign(rsa_key* key, const QByteArray& data)
{
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    rsaSign(key, raw(data), static_cast<unsigned long>(data.size()), signature, &length);
    return bytes(signature, length);
}

// A failed check either way: false, or a crypt_exception for a malformed
// signature. Never true, never anything else.
bool verifies(rsa_key* key, const QByteArray& data, const QByteArray& signature)
{
    try {
        return rsaVerify(key, raw(data), static_cast<unsigned long>(data.size()), raw(signature),
            static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestCryptWrapper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void checkPassesSuccessQuietly();
    void checkNamesOperationAndLibraryText();
    void initTwiceKeepsWorking();

    void generatedKeyIs1024BitWithExponent65537();
    void publicKeyFileRoundTrip();
    void privateKeyFileRoundTrip();
    void importKeyFileOfMissingPathIsImportError();
    void importOfDamagedKeyThrows();
    void exportKeyFileToMissingDirectoryThrows();

    void builtInKeyImportsFromWholeArray();
    void builtInKeyIsTheConfiguredKeyFile();
    void developmentKeyPairMatches();

    void signatureRoundTrip();
    void tamperedDataFails();
    void tamperedSignatureFails();
    void wrongKeyFails();
    void signatureOfWrongLengthFails_data();
    void signatureOfWrongLengthFails();
    void signatureTooSmallForBufferThrows();
    void verificationOnSeveralThreads();

    void readBinaryFileGrowsInPieces();
    void readBinaryFileOfEmptyFile();
    void readBinaryFileOfMissingFileThrows();
    void readBinaryFileOfDirectoryThrows();
    void writeBinaryFileRoundTrip();
    void writeBinaryFileToMissingDirectoryThrows();

private:
    QTemporaryDir m_Dir;
    rsa_key m_Key;
    rsa_key m_OtherKey;
};

void TestCryptWrapper::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    // Before initialisation the library has no math provider; the wrapper
    // refuses instead of calling through it.
    QVERIFY(thrownText([] {
        rsa_key key;
        rsaImportKey(&key, productIniPublicKey, cryptKeyFileSize);
    }).startsWith("rsa_import: "));
    cryptInit();
    rsaMakeKey(&m_Key);
    rsaMakeKey(&m_OtherKey);
}

void TestCryptWrapper::cleanupTestCase()
{
    rsa_free(&m_Key);
    rsa_free(&m_OtherKey);
}

void TestCryptWrapper::checkPassesSuccessQuietly()
{
    cryptCheck("rsa_verify_hash", CRYPT_OK);
}

void TestCryptWrapper::checkNamesOperationAndLibraryText()
{
    const QString text = thrownText([] { cryptCheck("rsa_verify_hash", CRYPT_INVALID_PACKET); });
    QCOMPARE(text, QString("rsa_verify_hash: ") + error_to_string(CRYPT_INVALID_PACKET));
}

void TestCryptWrapper::initTwiceKeepsWorking()
{
    cryptInit();
    const QByteArray data("twice");
    QVERIFY(verifies(&m_Key, data, sign(&m_Key, data)));
}

void TestCryptWrapper::generatedKeyIs1024BitWithExponent65537()
{
    const QString path = m_Dir.filePath("generated.pub");
    rsaExportKeyFile(&m_Key, PK_PUBLIC, path.toLocal8Bit().constData());
    const QByteArray file = readAll(path);
    QCOMPARE(file.size(), 2048);
    QVERIFY(file.startsWith(publicKeyHeader));
    QCOMPARE(file.mid(135, 5), publicExponentTail);
    QCOMPARE(file.mid(140), QByteArray(2048 - 140, '\0'));
}

void TestCryptWrapper::publicKeyFileRoundTrip()
{
    const QString first = m_Dir.filePath("first.pub");
    const QString second = m_Dir.filePath("second.pub");
    rsaExportKeyFile(&m_Key, PK_PUBLIC, first.toLocal8Bit().constData());
    rsa_key imported;
    rsaImportKeyFile(&imported, first.toLocal8Bit().constData());
    RsaKeyRelease release(&imported);
    QCOMPARE(imported.type, int(PK_PUBLIC));
    QCOMPARE(ltc_mp.compare(imported.N, m_Key.N), LTC_MP_EQ);
    QCOMPARE(ltc_mp.compare(imported.e, m_Key.e), LTC_MP_EQ);
    rsaExportKeyFile(&imported, PK_PUBLIC, second.toLocal8Bit().constData());
    QCOMPARE(readAll(second), readAll(first));

    const QByteArray data("signed with the private half");
    QVERIFY(verifies(&imported, data, sign(&m_Key, data)));
}

void TestCryptWrapper::privateKeyFileRoundTrip()
{
    const QString path = m_Dir.filePath("key.priv");
    rsaExportKeyFile(&m_Key, PK_PRIVATE, path.toLocal8Bit().constData());
    QCOMPARE(QFileInfo(path).size(), 2048);
    rsa_key imported;
    rsaImportKeyFile(&imported, path.toLocal8Bit().constData());
    RsaKeyRelease release(&imported);
    QCOMPARE(imported.type, int(PK_PRIVATE));
    const QByteArray data("signed with the re-imported key");
    QVERIFY(verifies(&m_Key, data, sign(&imported, data)));
}

void TestCryptWrapper::importKeyFileOfMissingPathIsImportError()
{
    const QByteArray path = m_Dir.filePath("no-such.pub").toLocal8Bit();
    const QString text = thrownText([&] {
        rsa_key key;
        rsaImportKeyFile(&key, path.constData());
    });
    QVERIFY2(text.startsWith("rsa_import: "), qPrintable(text));
}

void TestCryptWrapper::importOfDamagedKeyThrows()
{
    // Truncated, empty and scrambled keys are import errors, never a crash.
    QByteArray key(reinterpret_cast<const char*>(productIniPublicKey), 140);
    QList<QByteArray> damaged {QByteArray(), key.left(1), key.left(7), key.left(139),
        QByteArray(2048, '\0'), QByteArray(2048, '\xff')};
    for (int i = 0; i < 140; i += 3) {
        QByteArray scrambled = key;
        scrambled[i] = char(scrambled[i] ^ 0x5a);
        damaged << scrambled;
    }
    for (const QByteArray& der : damaged) {
        rsa_key imported;
        try {
            rsaImportKey(&imported, raw(der), static_cast<unsigned long>(der.size()));
            // Some flipped modulus bits still make a valid key; it just
            // verifies nothing signed with the real one.
            rsa_free(&imported);
        } catch (const crypt_exception& e) {
            QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
        }
    }
    rsa_key imported;
    QVERIFY(thrownText([&] { rsaImportKey(&imported, nullptr, 0); }).startsWith("rsa_import: "));
}

void TestCryptWrapper::exportKeyFileToMissingDirectoryThrows()
{
    const QByteArray path = m_Dir.filePath("missing/key.pub").toLocal8Bit();
    QCOMPARE(thrownText([&] { rsaExportKeyFile(&m_Key, PK_PUBLIC, path.constData()); }),
        QString("Cannot open file for writing: ") + path);
}

void TestCryptWrapper::builtInKeyImportsFromWholeArray()
{
    QCOMPARE(bytes(productIniPublicKey, 7), publicKeyHeader);
    rsa_key key;
    rsaImportKey(&key, productIniPublicKey, cryptKeyFileSize);
    RsaKeyRelease release(&key);
    QCOMPARE(key.type, int(PK_PUBLIC));
    QCOMPARE(ltc_mp.count_bits(key.N), 1024);
}

void TestCryptWrapper::builtInKeyIsTheConfiguredKeyFile()
{
    QByteArray file = readAll(KV_EMBEDDED_PUBLIC_KEY);
    file.append(QByteArray(2048 - file.size(), '\0'));
    QCOMPARE(bytes(productIniPublicKey, cryptKeyFileSize), file);
}

void TestCryptWrapper::developmentKeyPairMatches()
{
    rsa_key privateKey;
    rsa_key publicKey;
    rsaImportKeyFile(&privateKey, KV_DEV_PRIVATE_KEY);
    RsaKeyRelease releasePrivate(&privateKey);
    rsaImportKeyFile(&publicKey, KV_DEV_PUBLIC_KEY);
    RsaKeyRelease releasePublic(&publicKey);
    const QByteArray data("[update_linux_x86]\n");
    QVERIFY(verifies(&publicKey, data, sign(&privateKey, data)));
}

void TestCryptWrapper::signatureRoundTrip()
{
    const QByteArray data("release 4711");
    const QByteArray signature = sign(&m_Key, data);
    QCOMPARE(signature.size(), 128);
    QVERIFY(verifies(&m_Key, data, signature));
    // The salt makes every signature different; each one verifies.
    const QByteArray again = sign(&m_Key, data);
    QVERIFY(again != signature);
    QVERIFY(verifies(&m_Key, data, again));
    QVERIFY(verifies(&m_Key, QByteArray(), sign(&m_Key, QByteArray())));
}

void TestCryptWrapper::tamperedDataFails()
{
    const QByteArray data("abcdefghijklmnopqrstuvwxyz");
    const QByteArray signature = sign(&m_Key, data);
    for (int i = 0; i < data.size(); i += 5) {
        QByteArray tampered = data;
        tampered[i] = char(tampered[i] ^ 0x01);
        QVERIFY(!verifies(&m_Key, tampered, signature));
    }
    QVERIFY(!verifies(&m_Key, data + '\n', signature));
}

void TestCryptWrapper::tamperedSignatureFails()
{
    const QByteArray data("payload");
    const QByteArray signature = sign(&m_Key, data);
    for (int i : {0, 1, 63, 64, 126, 127}) {
        QByteArray tampered = signature;
        tampered[i] = char(tampered[i] ^ 0x10);
        QVERIFY2(!verifies(&m_Key, data, tampered), qPrintable(QString::number(i)));
    }
}

void TestCryptWrapper::wrongKeyFails()
{
    const QByteArray data("payload");
    QVERIFY(!verifies(&m_OtherKey, data, sign(&m_Key, data)));
    rsa_key builtIn;
    rsaImportKey(&builtIn, productIniPublicKey, cryptKeyFileSize);
    RsaKeyRelease release(&builtIn);
    QVERIFY(!verifies(&builtIn, data, sign(&m_Key, data)));
}

void TestCryptWrapper::signatureOfWrongLengthFails_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("one short") << 127;
    QTest::newRow("one long") << 129;
    QTest::newRow("double") << 256;
}

void TestCryptWrapper::signatureOfWrongLengthFails()
{
    QFETCH(int, length);
    const QByteArray data("payload");
    QByteArray signature = sign(&m_Key, data);
    signature = signature.leftJustified(length, '\0', true);
    const QString text = thrownText([&] {
        QVERIFY(!rsaVerify(&m_Key, raw(data), static_cast<unsigned long>(data.size()),
            raw(signature), static_cast<unsigned long>(signature.size())));
    });
    QVERIFY(text.isEmpty() || text.startsWith("rsa_verify_hash: "));
}

void TestCryptWrapper::signatureTooSmallForBufferThrows()
{
    unsigned char signature[64];
    unsigned long length = sizeof signature;
    const QString text
        = thrownText([&] { rsaSign(&m_Key, raw(QByteArray("x")), 1, signature, &length); });
    QVERIFY2(text.startsWith("rsa_sign_hash: "), qPrintable(text));
}

void TestCryptWrapper::verificationOnSeveralThreads()
{
    // Workers verify concurrently, each with its own key record.
    const QByteArray data("shared data");
    const QByteArray signature = sign(&m_Key, data);
    const QString path = m_Dir.filePath("threads.pub");
    rsaExportKeyFile(&m_Key, PK_PUBLIC, path.toLocal8Bit().constData());
    const QByteArray keyFile = readAll(path);
    std::vector<int> results(4, -1);
    std::vector<std::thread> threads;
    for (int& result : results) {
        threads.emplace_back([&] {
            int passes = 0;
            for (int round = 0; round < 5; ++round) {
                rsa_key key;
                rsaImportKey(&key, raw(keyFile), cryptKeyFileSize);
                RsaKeyRelease release(&key);
                passes += verifies(&key, data, signature) ? 1 : 0;
            }
            result = passes;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(results, std::vector<int>(4, 5));
}

void TestCryptWrapper::readBinaryFileGrowsInPieces()
{
    QByteArray content(5000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString path = m_Dir.filePath("5000.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    unsigned char* buffer = nullptr;
    unsigned long length = 12345;
    readBinaryFile(path.toLocal8Bit().constData(), &buffer, &length);
    QCOMPARE(length, 5000UL);
    QCOMPARE(bytes(buffer, length), content);
    // Three pieces of 2048 bytes: the buffer holds 6144 bytes.
    buffer[6143] = 1;
    std::free(buffer);
}

void TestCryptWrapper::readBinaryFileOfEmptyFile()
{
    const QString path = m_Dir.filePath("empty.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    unsigned char* buffer = nullptr;
    unsigned long length = 99;
    readBinaryFile(path.toLocal8Bit().constData(), &buffer, &length);
    QCOMPARE(length, 0UL);
    QVERIFY(buffer != nullptr);
    buffer[2047] = 0;
    std::free(buffer);
}

void TestCryptWrapper::readBinaryFileOfMissingFileThrows()
{
    const QByteArray path = m_Dir.filePath("missing.bin").toLocal8Bit();
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    QCOMPARE(thrownText([&] { readBinaryFile(path.constData(), &buffer, &length); }),
        QString("Cannot open file for reading: ") + path);
    QVERIFY(buffer == nullptr);
}

void TestCryptWrapper::readBinaryFileOfDirectoryThrows()
{
    // Opening succeeds but every read fails: the read must end, not grow.
    const QByteArray path = m_Dir.path().toLocal8Bit();
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    QCOMPARE(thrownText([&] { readBinaryFile(path.constData(), &buffer, &length); }),
        QString("Cannot read file: ") + path);
    std::free(buffer);
}

void TestCryptWrapper::writeBinaryFileRoundTrip()
{
    const QString path = m_Dir.filePath("written.bin");
    const QByteArray content("first version, longer");
    writeBinaryFile(
        path.toLocal8Bit().constData(), raw(content), static_cast<unsigned long>(content.size()));
    const QByteArray shorter("second");
    writeBinaryFile(
        path.toLocal8Bit().constData(), raw(shorter), static_cast<unsigned long>(shorter.size()));
    QCOMPARE(readAll(path), shorter);
}

void TestCryptWrapper::writeBinaryFileToMissingDirectoryThrows()
{
    const QByteArray path = m_Dir.filePath("missing/out.bin").toLocal8Bit();
    QCOMPARE(thrownText([&] { writeBinaryFile(path.constData(), raw("x"), 1); }),
        QString("Cannot open file for writing: ") + path);
}

QTEST_GUILESS_MAIN(TestCryptWrapper)
#include "tst_cryptwrapper.moc"
