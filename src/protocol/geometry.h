#pragma once

#include <QtGlobal>

// The NAND flash every programmer carries (1 Gbit): 1024 blocks of 64 pages, each page 2048
// data bytes and 64 spare bytes. The host, the simulated chip, the tests and the benchmarks all
// take the numbers from here.
namespace Geometry {

constexpr int PageSize = 2048;
constexpr int SpareSize = 64;
constexpr int PagesPerBlock = 64;
constexpr int BlockCount = 1024;
// The data of one block, 128 KiB.
constexpr int BlockSize = PagesPerBlock * PageSize;
// The data of the whole chip, 128 MiB: the size of a full image.
constexpr qint64 ImageSize = qint64(BlockCount) * BlockSize;

} // namespace Geometry
