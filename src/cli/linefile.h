#pragma once

#include <QFile>
#include <QMutex>
#include <QString>

// A text file that several threads add whole lines to, each line written at once; "-" stands
// for standard output.
class LineFile
{
public:
    enum Mode
    {
        Truncate,
        Append,
    };

    // False, with `*error` saying why, when the file cannot be opened for writing.
    bool open(const QString &path, Mode mode, QString *error);
    bool isOpen() const { return file.isOpen(); }
    // False when the line could not be written.
    bool writeLine(const QString &line);

private:
    QMutex mutex;
    QFile file;
};
