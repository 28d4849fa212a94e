#pragma once

#include "protocol/geometry.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>

class Ftd;
class FtdDeviceInfo;

// What the programmer reports about itself (the information command).
struct ProgrammerInfo
{
    float level = 0.0f; // the device's level reading, 0..255 scaled to 0..3.6
    int major = 0;
    int minor = 0;
    int blockCount = Geometry::BlockCount;
};

// One attached device as the survey of the bus found it.
struct ProgrammerListing
{
    enum State
    {
        Free,
        OpenedElsewhere,
        BootLoader,
        // Free, but it neither answered as a programmer nor as a boot loader.
        NoAnswer,
    };
    // The number open(int) takes; -1 for a device that cannot be opened.
    int index = -1;
    // Empty for a device opened elsewhere: the driver does not show them.
    QString serialNumber;
    QString description;
    State state = Free;
    // "major.minor", empty where it could not be read.
    QString firmware;
};

// The programmer device as the host sees it: it owns the FTDI channel, picks and opens the
// device, frames commands and checks answers, runs every device command and uploads firmware
// to the device's boot loader. All operations are synchronous; the callers make sure only one
// thread drives the object at a time. The state another thread may read meanwhile (connected,
// firmware version, ECC wish) is atomic.
class Programmer : public QObject
{
    Q_OBJECT

public:
    // Result of every device operation.
    enum Result
    {
        ResultOk = 0,
        ResultNotConnected = 1,
        ResultTransferFailed = 2,
        ResultInvalidOperation = 3,
        ResultOperationError = 4,
        ResultBusyNotActivated = 5,
        ResultBusyTimeout = 6,
        ResultVerifyFailed = 7,
        ResultNotBlank = 8,
        ResultUnsupported = 9,
        ResultEccUncorrectable = 11,
    };
    Q_ENUM(Result)

    explicit Programmer(QObject *parent = nullptr);
    ~Programmer() override;

    // Opens the n-th free programmer (counting from 0) and configures it.
    bool open(int n);
    // Opens the free programmer with this serial number and configures it.
    bool open(const QString &serialNumber);
    bool isConnected() const { return connected; }
    // The serial number of the programmer the last open chose.
    QString serialNumber() const { return serial; }
    QString errorString() const;
    // Firmware version of the connected device: major * 256 + minor.
    quint16 fwVersion() const { return firmwareVersion; }
    bool useEcc() const { return eccWanted; }
    // The last open() refused the device because its firmware speaks a newer protocol than this
    // program knows: a newer version of the program is needed.
    bool firmwareUnsupported() const { return unsupportedFirmware; }

    // The flash geometry of protocol/geometry.h, for the callers that hold a Programmer.
    static constexpr int blockCount() { return Geometry::BlockCount; }
    static constexpr int blockSize() { return Geometry::BlockSize; }

    // CRC-16/XMODEM of `length` bytes.
    static quint16 crc16(const quint8 *data, qint64 length);

    Result getInfo(ProgrammerInfo *info);
    Result power(bool on);
    Result setMode(int mode);
    Result setPeriod(int period, float fraction);
    Result setParameter(quint8 value);
    Result setEccMode(quint8 value);
    Result setUseEcc(bool on);
    // ECC is in use when it is wanted and the firmware can move the spare record.
    bool eccActive() const;
    // `marks` receives the block's two mark bytes (0, 0 unless the command succeeds).
    Result readBlockMarks(int block, quint8 *marks);
    Result readBadBlockList(QList<int> &blocks);
    Result eraseBlock(int block, bool flag);
    // Erases the first `count` blocks with one command; a count past the last block means all.
    Result fastErase(unsigned count, bool flag);
    Result markBad(int block);
    Result readId(QByteArray &id);

    // The block commands with their data phases, which the block transfers (BlockTransfer)
    // build on. The checks before a block command: the connection, whose absence is reported.
    Result checkBlockCommand();
    // Sends the block command `code` for `block`. With `incoming` bytes the device answers at
    // once and then sends them: the answer is awaited and decoded, and the bytes are expected
    // whenever the device may send them (after a good answer, and after a damaged one on a live
    // link), so that what the host does not take is dropped before the next command. Without,
    // the host sends the data phase next and finishBlockCommand() takes the answer.
    Result startBlockCommand(quint8 code, int block, qint64 incoming = 0);
    // Sends `length` bytes of the data phase; a short write fails with a text of its own.
    Result sendBlockData(const char *data, qint64 length);
    // Receives the next `length` bytes of the data phase the device sends.
    Result receiveBlockData(char *data, qint64 length);
    // Awaits and decodes the answer to a block command whose data phase the host has sent.
    Result finishBlockCommand();
    // The text errorString() gives, for a failure found above the device commands.
    void setError(const QString &text);

    // Loads the built-in firmware image into the device's boot loader.
    Result upgradeFirmware();

    // Every attached programmer, and every device some process holds (which may be one).
    // With `inspect`, free ones are opened briefly to ask for their firmware version, or
    // whether their boot loader waits for an image; nothing is changed on them. Without, they
    // are all listed as free.
    static QList<ProgrammerListing> survey(bool inspect);

signals:
    void info(QString text);
    void deviceOpened();
    void deviceClosed();
    void fwUpgradeProgress(int current, int max);
    void fwUpgradeNeed(QString oldVersion, QString newVersion);

public slots:
    void setBusyMode(bool busy);
    void setBusyMode();
    void setReadyMode(bool ready);
    void setReadyMode();
    void ftdClosed();

private:
    // Frame layer.
    qint64 sendData(const char *data, qint64 length);
    qint64 receiveData(char *data, qint64 length, int timeout);
    bool sendCommand(const quint8 *command);
    bool receiveAnswer(quint8 *answer, int timeout, bool closeOnFailure);
    bool checkAnswer(const quint8 *frame);
    Result decodeAnswer(const quint8 *answer);
    void closeDevice();

    // Sets the error text `text` completed with `reason` and runs the closing sequence.
    void transferFailed(const char *text, const QString &reason);
    // False, after transferFailed(), when the channel is closed and cannot carry a transfer.
    bool channelUsable(const char *failureText);
    // The checks every command makes before it sends anything: connection and firmware.
    Result checkCommand(quint16 minFirmware, bool reportNotConnected);
    // Send `command`, await its answer into the same buffer and decode it.
    Result exchange(quint8 *command);
    Result runCommand(quint8 *command, quint16 minFirmware, bool reportNotConnected);
    Result runConfigure(quint8 function, quint8 p3, quint8 p4, quint16 minFirmware,
                        bool reportNotConnected);
    // Receives a data phase of exactly `length` bytes.
    Result receivePhase(char *data, qint64 length, int timeout);
    // Reads and drops what is left of a data phase the host gave up on, as long as the device
    // keeps sending it: a purge only clears the bridge, and the device goes on streaming. False
    // when the link broke meanwhile (and has been closed).
    bool drainUnreadPhase();

    // Opens the first programmer `pick` accepts among the free ones, in the driver's order.
    bool openPicked(const std::function<bool(const FtdDeviceInfo &)> &pick);
    // Sends the boot loader's probe; true when some answer frame came back.
    bool probeBootLoader(quint8 *answer);
    // True when the boot loader answered its probe with the ready code.
    bool bootLoaderAnswers();
    // Fills the firmware version or boot loader state of the free programmer at driver
    // position `deviceIndex`.
    void inspect(int deviceIndex, ProgrammerListing *entry);

    // Firmware upload.
    bool runFirmwareUpload();
    bool streamFirmwareImage();

    static bool isProgrammer(const FtdDeviceInfo &device);

    Ftd *ftd;
    QString error;
    const int answerTimeout = 2000;
    std::atomic<bool> connected{false};
    std::atomic<bool> reconnectRequired{false};
    std::atomic<quint16> firmwareVersion{0}; // major * 256 + minor
    std::atomic<bool> eccWanted{true};
    QString serial;
    bool unsupportedFirmware = false;
    bool closing = false; // the closing sequence is running
    // Bytes of the current data phase the device has still to send.
    qint64 unreadPhase = 0;
};
