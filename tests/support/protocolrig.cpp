#include "support/protocolrig.h"
#include "support/simtestconfig.h"

#include "protocol/commands.h"

SimRig::SimRig(const QByteArray &config) : set(simTestConfig(config)), driver(set.driver()) {}

AnsweringRig::AnsweringRig(quint8 major, quint8 minor) : end(major, minor)
{
    sim.addProgrammer(&end);
}

QByteArray commandBytes(quint8 code, quint8 p2, quint8 p3, quint8 p4)
{
    const char bytes[] = {char(Npx4Protocol::CommandMarker), char(code), char(p2), char(p3),
                          char(p4)};
    return QByteArray(bytes, sizeof bytes);
}
