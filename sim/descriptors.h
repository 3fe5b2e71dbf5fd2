// The camera's standard descriptors as it sends them, shaped by the descriptor faults.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct DescriptorShape {
    bool twoPipes = false;          // interface 0 has pipes 0 and 1 only
    bool interfaces0And2 = false;   // a second interface, numbered 2
    bool missingInterface = false;  // two interfaces declared, one present
    bool noInterface = false;       // none declared, none present
};

constexpr uint8_t kCommandEndpoint = 0x01;
constexpr uint8_t kReplyEndpoint = 0x82;
constexpr uint8_t kFrameEndpoint = 0x86;
constexpr uint8_t kSecondInterfaceEndpoint = 0x83;
constexpr uint8_t kConfigurationValue = 1;

std::vector<uint8_t> DeviceDescriptorBytes();
std::vector<uint8_t> ConfigurationDescriptorBytes(const DescriptorShape& shape);

}  // namespace sim
