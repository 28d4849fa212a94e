#pragma once

#include "engine/aprogrammer.h"

// The program's version, 1.0.1120, as the log's banner shows it.
constexpr int versionMajor()
{
    return 1;
}

constexpr int versionMinor()
{
    return 0;
}

constexpr int versionBuild()
{
    return 1120;
}

// Where the newest version of the program can be downloaded.
constexpr const char *DownloadAddress = AProgrammer::DownloadAddress;
