#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The set-up of the simulated programmers, read from the text of the NPX4_SIMULATOR variable:
// empty or "1" for one programmer with defaults, otherwise `key=value` items separated by ';'.
// A text with an unknown key or a malformed value gives an invalid configuration whose
// errorString() names the key and the value; nothing is defaulted silently.
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

private:
    QString error;
};
