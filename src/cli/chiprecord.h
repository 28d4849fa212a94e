#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// What one command did to one chip: a line of the --report file, the row of the gang summary
// and the --json result of the commands without a result of their own.
struct ChipRecord
{
    enum Result
    {
        Succeeded,
        Failed,
        Aborted,
    };

    QDateTime start;
    QDateTime end;
    QString serialNumber;
    QString firmware;
    QByteArray chipId;
    QString chip;
    // What the ID says of the chip ("1 Gbit, 3.3 V, x8, ..."); empty when it says nothing.
    QString organisation;
    // The most bad blocks the chip may have to be written; -1 for no limit.
    int badBlockLimit = -1;
    QString command;
    // The blocks the command's operation walked through (its last phase).
    int blocks = 0;
    QList<int> badBefore;
    QList<int> newlyBad;
    // Of a surface test: the blocks that failed it.
    QList<int> failedBlocks;
    // Of a verify or a write's read-back: the blocks that differ, with their counts; of reads,
    // the blocks whose repeated reads disagreed.
    QJsonArray differences;
    QJsonArray unstableBlocks;
    int toleratedBits = 0;
    // Blocks of all 0xFF that a write left erased.
    QList<int> blankSkipped;
    // The bits ECC corrected in the blocks the command read.
    int eccCorrections = 0;
    // CRC32, MD5, SHA1 and SHA256 of the data written or read, in lowercase hexadecimal; empty for
    // the commands that move no image.
    QString crc32;
    QString md5;
    QString sha1;
    QString sha256;
    Result result = Failed;
    // How the engine ended the command's operation ("complete", "no-chip", ...: the keys of
    // OperationResult::statusKey()); empty when none ran.
    QString status;
    QString error;
    qint64 bytes = 0;

    QList<int> badAfter() const;
    // Null without a limit.
    QJsonValue withinBadBlockLimit() const;
    double seconds() const;
    double megabytesPerSecond() const;
    static QString resultText(Result result);
    QJsonObject toJson() const;
};
