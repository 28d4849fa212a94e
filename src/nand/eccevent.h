#pragma once

// What the ECC check of a block read found in one subpage, other than a clean one.
struct EccEvent
{
    enum Kind
    {
        Corrected,     // one data bit was wrong and has been flipped back
        DamagedCode,   // one bit of the stored code is wrong; the data is left as it is
        Uncorrectable, // more damage than the code can repair: the read failed here
    };

    int block = 0;
    // Byte offset within the block: of the corrected byte, otherwise of the subpage's first byte.
    int offset = 0;
    // Corrected: the bit number 0..7 in that byte; -1 otherwise.
    int bit = -1;
    Kind kind = Corrected;
};
