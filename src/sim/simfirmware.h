#pragma once

#include "sim/simdeviceend.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <chrono>
#include <memory>

class NandChip;

// The firmware of a simulated programmer: it parses the host's 7-byte command frames (checking
// their CRC), carries out every command on its NAND chip, streams block data in both directions
// with or without the ECC spare record, and implements the boot loader that takes a new firmware
// image. Tests inject faults into what it answers through the methods below; they may be called
// from any thread.
class SimFirmware : public SimDeviceEnd
{
public:
    // A fault applied to the next answer frame(s) the firmware sends.
    struct AnswerFault
    {
        enum Kind
        {
            NoAnswer,    // the command is carried out, no answer is sent
            Delay,       // the answer (and its data phase) arrives `value` ms late
            Truncate,    // only `value` bytes of the answer frame are sent, then silence
            SlowBytes,   // answer and data phase arrive one byte every `value` ms
            CorruptCrc,  // the answer's CRC is wrong
            ErrorStatus, // an error answer with status `value` instead of the real answer
            TruncateData // the data phase after the answer stops after `value` bytes
        };
        Kind kind;
        int value = 0;
        // Only answers to this command code are affected; 0 = any command.
        quint8 command = 0;
    };

    // Faults of the boot loader's side of a firmware upload.
    enum class BootFault
    {
        None,
        WrongReadyCode, // the probe is answered with a valid frame that is not the ready code
        NoAck,          // the image is taken but no acknowledgement follows
        WrongAck        // the acknowledgement is 0x00
    };

    // `chip` is owned by the caller and must outlive the firmware.
    explicit SimFirmware(NandChip *chip);
    ~SimFirmware() override;

    void setVersion(int major, int minor);
    quint16 version() const;
    // Starts in the boot loader, waiting for an image (as after an interrupted upgrade).
    void setInBootLoader(bool waiting);
    bool inBootLoader() const;
    // How long the device stays off the bus while it restarts after an upload (2000 ms).
    void setRestartDelay(int msecs);
    // How long the chip takes for a page read, a page program and a block erase (all 0 by
    // default: an instant chip). The firmware answers when the chip is done; it takes the next
    // page of a program command while the chip programs the one before, never earlier.
    void setChipTiming(std::chrono::microseconds pageRead, std::chrono::microseconds pageProgram,
                       std::chrono::microseconds blockErase);

    // Queues `fault` for the next `count` answers that match its command. A TruncateData fault
    // passes over answers without a data phase (only read block, read ID and block check have
    // one). A fault that replaces the answer with an error status also keeps the command from
    // being carried out.
    void injectAnswerFault(const AnswerFault &fault, int count = 1);
    void setBootFault(BootFault fault);
    // The device leaves the bus for good (as if unplugged) when the `command`-th command frame
    // since it was set up arrives, instead of carrying it out; 0: never.
    void setUnplugAtCommand(int command);
    void clearFaults();

    // State the host has set, for tests.
    int mode() const;             // 0 off, 1 ready, 2 busy
    quint8 periodValue() const;   // P3 of the last period setting
    quint8 periodDivisor() const; // P4 of the last period setting
    quint8 parameter() const;
    int eccSpareSize() const; // 26 or 0
    bool powered() const;
    // The last firmware image received by the boot loader.
    QByteArray uploadedImage() const;
    // Number of command frames received with a valid CRC.
    int commandCount() const;

    void received(const char *data, qint64 size, SimHostLink &link) override;
    void resync() override;
    void attached() override;

private:
    struct State;
    std::unique_ptr<State> d;
    mutable QMutex mutex;
};
