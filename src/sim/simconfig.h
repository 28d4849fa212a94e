#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The set-up of the simulated programmers, read from the text of the NPX4_SIMULATOR variable:
// empty or "1" for one programmer with defaults, otherwise `key=value` items separated by ';'.
// A text with an unknown key or a malformed value gives an invalid configuration whose
// errorString() names the key and the value; nothing is defaulted silently. An item
// `key@N=value` applies to programmer N alone (counted from 1, as the serial numbers
// SIM00001, SIM00002, ... count): forProgrammer(N) gives that programmer's set-up.
struct SimConfig
{
    // A bit that every read of a block shows flipped: `offset` within the block's data.
    struct Flip
    {
        int block = 0;
        int offset = 0;
        int bit = 0;
        bool operator==(const Flip &other) const
        {
            return block == other.block && offset == other.offset && bit == other.bit;
        }
    };

    static SimConfig parse(const QByteArray &text);
    // The set-up of programmer `number` (from 1): the items of all programmers, then its own.
    // The storage file serves programmer 1 unless another one names its own.
    SimConfig forProgrammer(int number) const;

    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }

    int programmers = 1;
    int firmwareMajor = 1;
    int firmwareMinor = 5;
    bool bootLoader = false;
    // The chip's ID bytes; empty when no chip is inserted.
    QByteArray chipId = QByteArray::fromHex("ECF1009540");
    QList<int> badBlocks;
    QList<int> eraseFail;
    QList<Flip> flips;
    // File that keeps the first programmer's chip contents; empty: memory only.
    QString storage;
    // Link throughput in bytes per second; 0: unlimited.
    qint64 rate = 0;
    // The command frame whose arrival pulls the programmer off the bus; 0: never.
    int unplugAtCommand = 0;

private:
    // An item of one programmer: `key@programmer=value`.
    struct Override
    {
        int programmer;
        QString key;
        QString value;
    };

    QString error;
    QList<Override> overrides;
};
