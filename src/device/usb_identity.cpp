#include "src/device/usb_identity.h"

#include <algorithm>
#include <cctype>

std::string usb_serial_from_instance_id(const std::string& instance_id)
{
    const size_t slash = instance_id.find_last_of('\\');
    if (slash == std::string::npos)
        return std::string();
    std::string serial = instance_id.substr(slash + 1);
    const size_t amp = serial.find_last_of('&');
    if (amp != std::string::npos && amp + 1 < serial.size()
        && std::all_of(serial.begin() + static_cast<std::ptrdiff_t>(amp) + 1, serial.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
        serial.erase(amp);
    if (serial.size() > 1 && serial[1] == '&')
        return std::string(); // made up by Windows for a stick without a serial number
    return printable_identity(serial);
}

std::string printable_identity(const std::string& text)
{
    std::string kept;
    for (const char c : text)
        if (c > 0x20 && c < 0x7f && c != ',')
            kept += c;
    return kept;
}
