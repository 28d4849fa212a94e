#include "usb/ftddeviceinfo.h"

struct FtdDeviceInfo::Record
{
    int index;
    FtDeviceListInfoNode node;
};

FtdDeviceInfo::FtdDeviceInfo() = default;

FtdDeviceInfo::FtdDeviceInfo(int index, const FtDeviceListInfoNode &node)
    : d(new Record{index, node})
{}

FtdDeviceInfo::FtdDeviceInfo(const FtdDeviceInfo &other)
    : d(other.d ? new Record(*other.d) : nullptr)
{}

FtdDeviceInfo::FtdDeviceInfo(FtdDeviceInfo &&other) noexcept = default;

FtdDeviceInfo &FtdDeviceInfo::operator=(const FtdDeviceInfo &other)
{
    if (this != &other)
        d.reset(other.d ? new Record(*other.d) : nullptr);
    return *this;
}

FtdDeviceInfo &FtdDeviceInfo::operator=(FtdDeviceInfo &&other) noexcept = default;

FtdDeviceInfo::~FtdDeviceInfo() = default;

int FtdDeviceInfo::index() const
{
    return d ? d->index : -1;
}

bool FtdDeviceInfo::isOpened() const
{
    return d && (d->node.flags & FtFlagOpened);
}

QByteArray FtdDeviceInfo::description() const
{
    return d ? QByteArray(d->node.description, sizeof d->node.description) : QByteArray();
}

QByteArray FtdDeviceInfo::serialNumber() const
{
    return d ? QByteArray(d->node.serialNumber, sizeof d->node.serialNumber) : QByteArray();
}
