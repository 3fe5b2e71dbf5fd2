// Descriptor bytes, little-endian as on the wire.
#include "sim/descriptors.h"

#include "platform/host/wdk.h"

namespace sim {

namespace {

void Put16(std::vector<uint8_t>* out, uint16_t v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}

void Interface(std::vector<uint8_t>* out, uint8_t number, uint8_t endpoints) {
    out->insert(out->end(),
                {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, 0xFF, 0x00, 0x00, 0});
}

void Endpoint(std::vector<uint8_t>* out, uint8_t address, uint8_t type, uint16_t maxPacket,
              uint8_t interval) {
    out->insert(out->end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type});
    Put16(out, maxPacket);
    out->push_back(interval);
}

}  // namespace

std::vector<uint8_t> DeviceDescriptorBytes() {
    std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(&d, 0x0200);                          // bcdUSB
    d.insert(d.end(), {0xFF, 0xFF, 0xFF, 64});  // vendor class, subclass, protocol; EP0 packet
    Put16(&d, 0xBAC0);                          // idVendor (made up)
    Put16(&d, 0x0656);                          // idProduct
    Put16(&d, 0x0100);                          // bcdDevice
    d.insert(d.end(), {0, 0, 0, 1});            // no strings; one configuration
    return d;
}

std::vector<uint8_t> ConfigurationDescriptorBytes(const DescriptorShape& shape) {
    uint8_t declared = 1;
    if (shape.noInterface)
        declared = 0;
    else if (shape.interfaces0And2 || shape.missingInterface)
        declared = 2;
    std::vector<uint8_t> d = {9,        USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              0,        0,
                              declared, kConfigurationValue,
                              0,        USB_CONFIG_BUS_POWERED,
                              250};
    if (!shape.noInterface) {
        Interface(&d, 0, shape.twoPipes ? 2 : 3);
        Endpoint(&d, kCommandEndpoint, USB_ENDPOINT_TYPE_BULK, 64, 0);
        Endpoint(&d, kReplyEndpoint, USB_ENDPOINT_TYPE_BULK, 64, 0);
        if (!shape.twoPipes)
            Endpoint(&d, kFrameEndpoint, USB_ENDPOINT_TYPE_BULK, 512, 0);
        if (shape.interfaces0And2) {
            Interface(&d, 2, 1);
            Endpoint(&d, kSecondInterfaceEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
        }
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

}  // namespace sim
