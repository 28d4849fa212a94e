#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// The set-up of the simulated programmers, read from the keys of the simulated backend (the text of
// NPX4_SIMULATOR, or KEYS of --programmer sim:KEYS): empty or "1" for one programmer with
// defaults, otherwise `key=value` items separated by ';'.
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

    // A page that always fails to program; page -1: every page of the block.
    struct ProgramFail
    {
        int block = 0;
        int page = -1;
        bool operator==(const ProgramFail &other) const
        {
            return block == other.block && page == other.page;
        }
    };

    // How the bridge carries bytes: in USB packets of 512 bytes (high speed) or 64 bytes (full
    // speed), or instantly, without packets, pacing or bounded buffers (for unit tests).
    enum class Link
    {
        HighSpeed,
        FullSpeed,
        Instant
    };

    static SimConfig parse(const QByteArray &text);
    // The set-up of programmer `number` (from 1): the items of all programmers, then its own.
    // The storage file serves programmer 1 unless another one names its own.
    SimConfig forProgrammer(int number) const;

    // The USB packet size of the link; 0 for an instant link.
    int packetSize() const;
    // The link's throughput in bytes per second (0: unlimited): as given, or the bridge's own.
    qint64 linkRate() const;

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
    // Each bit a read returns flips with this probability, from a generator seeded with `seed`.
    double flipRate = 0;
    quint64 seed = 1;
    QList<ProgramFail> programFails;
    // Erases after which every block's erase fails; none: blocks never wear out.
    std::optional<int> wear;
    // File that keeps the first programmer's chip contents; empty: memory only.
    QString storage;
    Link link = Link::HighSpeed;
    // Link throughput in bytes per second (0: unlimited); none: the bridge's own.
    std::optional<qint64> rate;
    // Chip times in microseconds: page read, page program, block erase.
    int pageReadUs = 25;
    int pageProgramUs = 300;
    int blockEraseUs = 2000;
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
