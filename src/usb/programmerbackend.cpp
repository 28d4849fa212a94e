#include "usb/programmerbackend.h"

#include "usb/ftdidriver.h"

ProgrammerBackend::ProgrammerBackend(const QString &name)
    : origin(QStringLiteral("Programmer backend \"%1\"").arg(name))
{
    if (name == QLatin1String("usb")) {
        kind = Usb;
    } else if (name == QLatin1String("sim") || name.startsWith(QLatin1String("sim:"))) {
        kind = Simulator;
        keys = name.mid(4).toUtf8();
    }
}

ProgrammerBackend ProgrammerBackend::fromEnvironment()
{
    if (!qEnvironmentVariableIsSet("NPX4_SIMULATOR"))
        return ProgrammerBackend(QStringLiteral("usb"));
    ProgrammerBackend backend(QStringLiteral("sim"));
    backend.keys = qgetenv("NPX4_SIMULATOR");
    backend.origin = QStringLiteral("NPX4_SIMULATOR");
    return backend;
}

QString ProgrammerBackend::install() const
{
    FtdiDriver *driver = nullptr;
    QString reason;
    switch (kind) {
    case Unknown:
        return origin + QStringLiteral(" is unknown: use usb, sim or sim:KEYS");
    case Usb:
        driver = &usbFtdiDriver();
        break;
    case Simulator:
        driver = simulatedFtdiDriver(keys, &reason);
        break;
    }
    if (!driver)
        return origin + QStringLiteral(": ") + reason;
    FtdiDriver::install(driver);
    return {};
}
