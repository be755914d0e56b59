#pragma once

#include "camera_platform.h"

#include <libusb.h>

#include <cstdint>
#include <memory>

// The camera counts as attached while a USB device of its vendor is on the bus.
class UsbDeviceChecker : public CameraPresence {
public:
    static constexpr std::uint16_t cameraVendorId = 0x1BCF;

    UsbDeviceChecker();
    bool isCameraAttached() override;

    // Shared with tests: the decision over a list of vendor ids.
    static bool listHasCameraVendor(const std::uint16_t* vendorIds, std::size_t count);

private:
    struct ContextCloser {
        void operator()(libusb_context* context) const { libusb_exit(context); }
    };

    // Null after a failed libusb_init: the checker then reports "not attached".
    std::unique_ptr<libusb_context, ContextCloser> context;
    int initResult = 0;
    ssize_t deviceCount = 0;
};
