#include "usb_device_checker.h"

#include <iostream>
#include <vector>

namespace {

struct DeviceListFreer {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListFreer>;

} // namespace

UsbDeviceChecker::UsbDeviceChecker() {
    libusb_context* raw = nullptr;
    initResult = libusb_init(&raw);
    if (initResult < 0) {
        std::cout << "Init Error!" << initResult << std::endl;
        return;
    }
    context.reset(raw);
    libusb_set_option(context.get(), LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);
}

bool UsbDeviceChecker::isCameraAttached() {
    if (!context) {
        return false;
    }
    libusb_device** raw = nullptr;
    deviceCount = libusb_get_device_list(context.get(), &raw);
    DeviceList list(deviceCount >= 0 ? raw : nullptr);
    if (deviceCount < 0) {
        std::cout << "Get Device Error" << std::endl;
        return false;
    }
    std::vector<std::uint16_t> vendors;
    vendors.reserve(static_cast<std::size_t>(deviceCount));
    for (ssize_t i = 0; i < deviceCount; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list.get()[i], &descriptor) < 0) {
            std::cout << "failed to get device descriptor" << std::endl;
            return false;
        }
        vendors.push_back(descriptor.idVendor);
    }
    return listHasCameraVendor(vendors.data(), vendors.size());
}

bool UsbDeviceChecker::listHasCameraVendor(const std::uint16_t* vendorIds, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (vendorIds[i] == cameraVendorId) {
            return true;
        }
    }
    return false;
}
