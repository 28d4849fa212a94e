#pragma once

#include <QByteArray>
#include <QString>

class AutoResetEvent;

// Status codes of the FTDI driver operations, numbered as the vendor library numbers them.
enum FtStatus : int
{
    FtOk = 0,
    FtInvalidHandle = 1,
    FtDeviceNotFound = 2,
    FtDeviceNotOpened = 3,
    FtIoError = 4,
    FtInsufficientResources = 5,
    FtInvalidParameter = 6,
    FtInvalidBaudRate = 7,
    FtDeviceNotOpenedForErase = 8,
    FtDeviceNotOpenedForWrite = 9,
    FtFailedToWriteDevice = 10,
    FtEepromReadFailed = 11,
    FtEepromWriteFailed = 12,
    FtEepromEraseFailed = 13,
    FtEepromNotPresent = 14,
    FtEepromNotProgrammed = 15,
    FtInvalidArgs = 16,
    FtNotSupported = 17,
    FtOtherError = 18,
};

// Opaque handle of an open device; each driver gives it its own meaning.
using FtHandle = void *;

// Purge masks and event masks as the vendor library defines them.
enum : quint32
{
    FtPurgeRx = 1,
    FtPurgeTx = 2,
    FtEventRxChar = 1,
};

// Flags bit 0: the device is opened by some process.
enum : quint32
{
    FtFlagOpened = 1
};

// One entry of the device information list.
struct FtDeviceListInfoNode
{
    quint32 flags = 0;
    quint32 type = 0;
    quint32 id = 0;
    quint32 locId = 0;
    char serialNumber[16] = {};
    char description[64] = {};
    FtHandle handle = nullptr;
};

// The FTDI driver the channel talks to: the operations of the vendor library that the channel
// uses, with the library's semantics and status codes. One driver serves the whole process; it
// is either the real USB driver or the simulated programmer. Implementations must be safe to
// call from several threads, but the channel never calls one handle from two threads at once.
class FtdiDriver
{
public:
    virtual ~FtdiDriver() = default;

    // Builds the internal device list and returns the number of attached devices.
    virtual int createDeviceInfoList(quint32 *count) = 0;
    // Copies the list built by the last createDeviceInfoList(); *count holds the capacity of
    // `nodes` on entry and the number of entries on return.
    virtual int getDeviceInfoList(FtDeviceListInfoNode *nodes, quint32 *count) = 0;

    virtual int open(int index, FtHandle *handle) = 0;
    virtual int close(FtHandle handle) = 0;
    virtual int resetDevice(FtHandle handle) = 0;
    virtual int purge(FtHandle handle, quint32 mask) = 0;
    virtual int setTimeouts(FtHandle handle, quint32 readMs, quint32 writeMs) = 0;
    virtual int setChars(FtHandle handle, quint8 eventChar, bool eventEnabled, quint8 errorChar,
                         bool errorEnabled) = 0;
    virtual int setUsbParameters(FtHandle handle, quint32 inSize, quint32 outSize) = 0;
    virtual int setLatencyTimer(FtHandle handle, quint8 ms) = 0;
    // Asks the driver to signal `event` whenever an event of `mask` happens.
    virtual int setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event) = 0;
    // Number of received bytes that a read can return at once.
    virtual int getQueueStatus(FtHandle handle, quint32 *rxBytes) = 0;
    // Fails once the device is gone.
    virtual int getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes,
                          quint32 *eventStatus) = 0;
    // Returns at most `size` bytes within the read time-out.
    virtual int read(FtHandle handle, void *buffer, quint32 size, quint32 *received) = 0;
    // Returns the number of bytes accepted within the write time-out.
    virtual int write(FtHandle handle, const void *buffer, quint32 size, quint32 *written) = 0;
    virtual int stopInTask(FtHandle handle) = 0;

    // The process's driver, as installed. Using a channel before a driver is installed is a
    // programming error that stops the process.
    static FtdiDriver &instance();
    // Makes `driver` the process's driver; the caller keeps ownership and keeps it alive while
    // channels use it. Start-up installs the chosen backend's driver (ProgrammerBackend) once,
    // before the first channel opens; tests install their own for a while, nullptr ending that.
    static void install(FtdiDriver *driver);
};

// The driver of the real USB backend, defined by libftdidriver.cpp (nousbdriver.cpp without
// libftdi1).
FtdiDriver &usbFtdiDriver();
// The driver of the simulated programmers that `keys` configure (the text NPX4_SIMULATOR takes),
// defined by the simulator. They are set up once per process and serve until it ends; bad keys
// give null, with the reason in `*error`.
FtdiDriver *simulatedFtdiDriver(const QByteArray &keys, QString *error);
