#pragma once

#include "protocol/programmer.h"
#include "sim/simfirmware.h"
#include "sim/simprogrammerset.h"
#include "support/answeringdeviceend.h"
#include "support/countingdriver.h"

// A Programmer on simulated programmers built from a configuration text, their driver
// installed for the rig's lifetime.
struct SimRig
{
    explicit SimRig(const QByteArray &config = QByteArray());

    SimFirmware &firmware(int i = 0) const { return set.firmware(i); }
    SimDevice &device(int i = 0) const { return set.driver().device(i); }
    // Writes the host has made so far.
    int writes() const { return driver.calls(CountingDriver::Call::Write); }

    SimProgrammerSet set;
    CountingDriver driver;
    Programmer programmer;
};

// A Programmer on one AnsweringDeviceEnd, for exact bytes in both directions.
struct AnsweringRig
{
    explicit AnsweringRig(quint8 major = 1, quint8 minor = 5);

    AnsweringDeviceEnd end;
    SimDriver sim;
    CountingDriver driver{sim};
    Programmer programmer;
};

// The five bytes of a command, as the tests spell them.
QByteArray commandBytes(quint8 code, quint8 p2 = 0, quint8 p3 = 0, quint8 p4 = 0);
