#pragma once

#include "protocol/geometry.h"

#include <QtGlobal>
#include <array>

// The programmer's side of the protocol: frame markers, command codes, configuration
// sub-functions, device status codes and the boot loader's codes. The host and the simulated
// programmer both take them from here.
namespace Npx4Protocol {

constexpr int FrameSize = 7;
constexpr int PayloadSize = 5; // frame bytes 0..4, followed by the CRC low and high byte
constexpr quint8 CommandMarker = 0xA5;
constexpr quint8 ErrorAnswerMarker = 0xAA;

// The five bytes of a command frame before its CRC.
using CommandBytes = std::array<quint8, PayloadSize>;

// A command whose P2 and P3 carry a 16-bit value, low byte first (block numbers are taken
// modulo 65536).
inline CommandBytes wordCommand(quint8 code, int value, quint8 p4 = 0)
{
    const quint16 word = quint16(value);
    return {CommandMarker, code, quint8(word & 0xFF), quint8(word >> 8), p4};
}

enum Command : quint8
{
    CmdGetInfo = 0x01,
    CmdPowerOn = 0x02,
    CmdPowerOff = 0x03,
    CmdConfigure = 0x04,
    CmdBlockCheck = 0x05,
    CmdErase = 0x06,
    CmdProgramBlock = 0x07,
    CmdReadBlock = 0x08,
    CmdMarkBad = 0x09,
    CmdReadId = 0x0A,
    CmdFwUpgrade = 0xE0,
};

// Sub-functions of CmdConfigure (P2).
enum ConfigFunction : quint8
{
    CfgMode = 0,
    CfgPeriod = 1,
    CfgParameter = 2,
    CfgEcc = 4,
};

// Indicator modes of CfgMode (P4).
enum Mode : quint8
{
    ModeOff = 0,
    ModeReady = 1,
    ModeBusy = 2,
};

// P4 bits of CmdErase.
constexpr quint8 EraseSeveralBlocks = 0x01;
constexpr quint8 EraseInPlaceFlag = 0x80;

// P2..P4 of the list form of CmdBlockCheck: the block one past the last, list flag.
constexpr quint16 BlockListMarker = Geometry::BlockCount;
constexpr quint8 BlockListFlag = 0x01;

// Status codes of an error answer.
enum Status : quint32
{
    StatusInvalidOperation = 0x11,
    StatusBusyNotActivated = 0x20,
    StatusBusyTimeout = 0x30,
    StatusOperationError = 0x40,
};
constexpr int BusyTimeoutMs = 30;

// Spare bytes that travel with each page while ECC is in use.
constexpr int EccSpareSize = 26;

// Boot loader: the entry code goes in P2..P4 of CmdFwUpgrade; the probe is one raw byte; the
// boot loader answers the probe with an answer frame whose five bytes are the ready code (two
// bytes followed by the entry code); after the image it sends one acknowledgement byte.
constexpr quint8 FwEntryCode[3] = {0x4E, 0x50, 0x34};
constexpr quint32 FwReadyWord = 0x504E5342; // ready code bytes 0..3, little-endian: 42 53 4E 50
constexpr quint8 FwReadyLastByte = 0x34;    // ready code byte 4
constexpr quint8 FwProbe = 0x55;
constexpr quint8 FwAckOk = 0x01;
constexpr int FwPieceSize = 128;
constexpr int FwImageSize = 12288;

} // namespace Npx4Protocol
