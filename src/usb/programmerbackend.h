#pragma once

#include <QByteArray>
#include <QString>

// The programmer backend a process runs on, chosen by name once at start-up: "usb" is the real
// USB driver, "sim" one simulated programmer with defaults, and "sim:KEYS" the simulated
// programmers that KEYS configure (the key=value;... text NPX4_SIMULATOR takes).
class ProgrammerBackend
{
public:
    // The backend `name` names; one that names none fails to install.
    explicit ProgrammerBackend(const QString &name);
    // The backend when start-up is given no name: the simulated programmers of NPX4_SIMULATOR
    // when that variable is set, otherwise the real USB driver.
    static ProgrammerBackend fromEnvironment();

    bool isSimulated() const { return kind == Simulator; }
    // The simulated programmers' configuration text.
    QByteArray simulatorKeys() const { return keys; }

    // Builds the backend's driver and installs it as the process's FTDI driver, once per
    // process before the first channel opens. Returns what is wrong with the name or the keys
    // (nothing is installed then), or an empty text.
    QString install() const;

private:
    enum Kind
    {
        Unknown,
        Usb,
        Simulator,
    };

    Kind kind = Unknown;
    QByteArray keys;
    // Where the choice came from, as its error texts name it.
    QString origin;
};
