#pragma once

#include <string>

// A USB disk's serial number from its Windows device instance ID: the last part of
// "USBSTOR\DISK&VEN_..&PROD_..&REV_..\4C530001231221116432&0" without the "&0" Windows adds.
// "" when the stick reports none (Windows then makes one up, with '&' in its second place).
std::string usb_serial_from_instance_id(const std::string& instance_id);

// What a terminal line and a CSV field can hold: printable ASCII without spaces and commas.
std::string printable_identity(const std::string& text);
