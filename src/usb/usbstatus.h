#pragma once

// The driver status (FtStatus) for the result of libftdi's ftdi_usb_open_dev(): FtOk for 0,
// FtDeviceNotOpened when the device could not be taken (no permission, held by another
// program, its kernel driver could not be detached), FtIoError when it was taken but did not
// answer.
int ftStatusFromOpenResult(int result);
