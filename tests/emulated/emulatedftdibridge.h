#pragma once

#include "sim/simdeviceend.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// An FT232H USB bridge (0403:6014) emulated under umockdev, with a simulated programmer's
// firmware behind it. Programs that run under umockdev's preload library (umockdev-wrapper)
// and see this process's UMOCKDEV_DIR find it in sysfs and drive it through usbfs like a real
// chip: libusb's URBs are answered here, the FTDI vendor requests are obeyed, bytes the host
// writes go to the firmware, and what the firmware sends comes back in 512-byte packets that
// each start with the two modem-status bytes, held back by the latency timer as the chip does.
//
// usbfs is answered on umockdev's worker thread; every member may be called from any thread.
// Timed events (delayed answers, leaving and coming back to the bus) happen when the host or
// the caller next looks at the bridge.
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
        qint64 bytesToHost = 0;
        qint64 bytesFromHost = 0;
        int ioctls = 0;
        // Bulk-in transfers that the latency timer ended with data but short of full.
        int latencyExpiries = 0;
    };

    // Why the emulation cannot run in this process, or empty when it can.
    static QString unavailableReason();

    // Creates the test bed (setting UMOCKDEV_DIR for this process and its children) and plugs
    // the bridge in. `end` is not owned.
    explicit EmulatedFtdiBridge(SimDeviceEnd *end, const QByteArray &serialNumber = "NPX4E001");
    ~EmulatedFtdiBridge() override;
    EmulatedFtdiBridge(const EmulatedFtdiBridge &) = delete;
    EmulatedFtdiBridge &operator=(const EmulatedFtdiBridge &) = delete;

    void unplug();
    void plug();
    bool isPlugged();
    // The bridge leaves the bus once it has sent `bytes` more bytes to the host.
    void unplugAfterSending(qint64 bytes);
    // Another program holds the interface: sysfs shows it bound to usbfs and claims fail
    // with EBUSY.
    void setHeldElsewhere(bool held);
    // Without access, opening the device node fails with EACCES.
    void setAccessible(bool accessible);

    Record record();

    void send(const char *data, qint64 size) override;
    using SimHostLink::send;
    void sendAfter(int delayMs, const QByteArray &bytes) override;
    void leaveBus(int returnAfterMs) override;
    void leaveBusAfter(int delayMs, int returnAfterMs) override;

private:
    using Clock = std::chrono::steady_clock;
    // A URB the host submitted and has not reaped yet; `data` and `buffer` are umockdev's
    // copies of the client's URB and of its buffer, written back when it is reaped.
    struct Urb
    {
        UMockdevIoctlData *data;
        UMockdevIoctlData *buffer;
        bool done = false;
    };
    struct Pending
    {
        QByteArray bytes;
        Clock::time_point due;
    };

    static int onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self);
    bool handle(unsigned long request, UMockdevIoctlData *arg, long *result, int *error);
    int submit(UMockdevIoctlData *arg);
    // Answers a control URB, or fails it with a stall.
    void control(Urb &urb);
    int controlAnswer(Urb &urb);
    int reap(UMockdevIoctlData *arg);
    int discard(UMockdevIoctlData *arg);
    int driverName(UMockdevIoctlData *arg);
    int kernelDriverRequest(UMockdevIoctlData *arg);
    int claim(bool disconnectFirst);
    void fillIn(Urb &urb, Clock::time_point now);
    qint64 availableForHost(Clock::time_point now) const;
    QByteArray takeForHost(qint64 size);
    void advance();
    void goOffBus();
    void comeBack();
    void addToTestbed();
    void bindInterface(const char *driver);

    mutable std::recursive_mutex mutex;
    SimDeviceEnd *const end;
    const QByteArray serial;
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    QString sysDir;

    bool plugged = false;
    bool heldElsewhere = false;
    bool kernelDriverBound = true;
    bool claimed = false;
    Record log;
    std::deque<Urb> urbs;
    std::deque<Pending> toHost;
    Clock::time_point lastInPacket;
    qint64 unplugCountdown = -1;
    std::optional<Clock::time_point> leaveAt;
    std::optional<Clock::time_point> returnAt;
    int returnAfterLeaveMs = -1;
};
