#pragma once

#include "sim/simdeviceend.h"

#include <QByteArray>
#include <QStringList>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
// A reference to umockdev's copy of client memory.
using UMockdevData = std::unique_ptr<UMockdevIoctlData, void (*)(void *)>;

// An FT232H USB bridge (0403:6014) emulated under umockdev, with a simulated programmer's
// firmware behind it. Programs under umockdev-wrapper that see this process's UMOCKDEV_DIR
// find it in sysfs and drive it through usbfs like a real chip: the usbfs ioctls and FTDI
// vendor requests that libusb and libftdi send are obeyed (others fail), bytes the host writes
// go to the firmware, and what the firmware sends comes back in 512-byte packets that each
// start with the two modem-status bytes, held back by the latency timer as the chip does.
// usbfs is answered on umockdev's worker thread; every member may be called from any thread.
class EmulatedFtdiBridge final : public SimHostLink
{
public:
    // What the host did to the bridge.
    struct Record
    {
        int latencyTimer = 16;
        // Largest bulk transfers the host asked for, in each direction.
        int largestInTransfer = 0;
        int largestOutTransfer = 0;
        // "detached" and "attached": the kernel's serial driver taken off and given back.
        QStringList kernelDriver;
        // usbfs calls, and bulk-in transfers that the latency timer ended with data but short.
        int ioctls = 0;
        int latencyExpiries = 0;
    };

    // Why the emulation cannot run in this process, or empty when it can; available() also
    // says why on stderr.
    static QString unavailableReason();
    static bool available();

    // Creates the test bed (setting UMOCKDEV_DIR for this process and its children) and plugs
    // the bridge in. `end` is not owned.
    explicit EmulatedFtdiBridge(SimDeviceEnd *end);
    ~EmulatedFtdiBridge() override;

    void plug();
    // The bridge leaves the bus once it has sent `bytes` more bytes to the host.
    void unplugAfterSending(qint64 bytes);
    // Held elsewhere, sysfs shows the interface bound to usbfs (another program's claim) and
    // claims fail with EBUSY; without access, opening the device node fails with EACCES.
    void setAccess(bool heldElsewhere, bool accessible);
    Record record();

    void send(const char *data, qint64 size) override;
    using SimHostLink::send;
    // The firmware's delayed answers and trips off the bus are not emulated.
    void sendAfter(int, const QByteArray &) override { qFatal("%s: not emulated", Q_FUNC_INFO); }
    void leaveBus(int) override { qFatal("%s: not emulated", Q_FUNC_INFO); }
    void leaveBusAfter(int, int) override { qFatal("%s: not emulated", Q_FUNC_INFO); }

private:
    // A URB not reaped yet: umockdev's copies of the client's URB and buffer, written back then.
    struct Urb
    {
        UMockdevData data;
        UMockdevData buffer;
        bool done = false;
        // Ends it with `status` and `length` bytes moved, `answer` at `offset` of its buffer.
        void complete(int status, int length, const QByteArray &answer = QByteArray(),
                      int offset = 0);
    };

    int handle(unsigned long request, UMockdevIoctlData *arg);
    int submit(UMockdevIoctlData *arg);
    std::optional<QByteArray> control(const quint8 *setup);
    int reap(UMockdevIoctlData *arg);
    void unplug();
    void bindInterface(const char *driver);

    std::recursive_mutex mutex;
    SimDeviceEnd *const end;
    UMockdevTestbed *testbed;
    UMockdevIoctlBase *handler;
    QByteArray root;

    bool plugged = false;
    bool heldElsewhere = false;
    bool claimed = false;
    Record log;
    std::deque<Urb> urbs;
    QByteArray toHost;
    Clock::time_point lastInPacket;
    qint64 unplugCountdown = -1;
};
