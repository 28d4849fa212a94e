#pragma once

class QIODevice;
struct ChipRecord;

// Puts the CRC32, MD5 and SHA1 of what `device` holds from its current position to its end into
// the record, in lowercase hexadecimal as md5sum prints them.
void addDigests(QIODevice &device, ChipRecord *record);
