#pragma once

#include "usb/ftdidriver.h"

#include <QByteArray>
#include <memory>

// One attached FTDI device as the driver listed it: its position in the listing and the
// driver's information record. A default-constructed value describes no device. Copies are deep.
class FtdDeviceInfo
{
public:
    FtdDeviceInfo();
    FtdDeviceInfo(int index, const FtDeviceListInfoNode &node);
    FtdDeviceInfo(const FtdDeviceInfo &other);
    FtdDeviceInfo(FtdDeviceInfo &&other) noexcept;
    FtdDeviceInfo &operator=(const FtdDeviceInfo &other);
    FtdDeviceInfo &operator=(FtdDeviceInfo &&other) noexcept;
    ~FtdDeviceInfo();

    // Position in the listing (0-based), -1 without a record.
    int index() const;
    // The device is opened by some process.
    bool isOpened() const;
    // The 64-byte description field, trailing zero bytes included; empty without a record.
    QByteArray description() const;
    // The 16-byte serial number field, trailing zero bytes included; empty without a record.
    QByteArray serialNumber() const;

private:
    struct Record;
    std::unique_ptr<Record> d;
};
