// Test-only stand-in for the Windows SDK header of the same name (disk and storage control codes).
#pragma once

#include "windows.h"

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define IOCTL_DISK_IS_WRITABLE 0x00070024u
#define IOCTL_DISK_UPDATE_PROPERTIES 0x00070140u
#define IOCTL_DISK_DELETE_DRIVE_LAYOUT 0x0007C100u
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u
#define FSCTL_LOCK_VOLUME 0x00090018u
#define FSCTL_DISMOUNT_VOLUME 0x00090020u

typedef DWORD DEVICE_TYPE;

typedef enum _STORAGE_PROPERTY_ID { StorageDeviceProperty = 0 } STORAGE_PROPERTY_ID;
typedef enum _STORAGE_QUERY_TYPE { PropertyStandardQuery = 0 } STORAGE_QUERY_TYPE;

typedef enum _STORAGE_BUS_TYPE { BusTypeUsb = 7, BusTypeSata = 11, BusTypeNvme = 17 } STORAGE_BUS_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    BYTE AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BYTE DeviceType;
    BYTE DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    DWORD VendorIdOffset;
    DWORD ProductIdOffset;
    DWORD ProductRevisionOffset;
    DWORD SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR;

typedef struct _STORAGE_DEVICE_NUMBER {
    DEVICE_TYPE DeviceType;
    DWORD DeviceNumber;
    DWORD PartitionNumber;
} STORAGE_DEVICE_NUMBER;

typedef enum _MEDIA_TYPE { RemovableMedia = 11 } MEDIA_TYPE;

typedef struct _DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
} DISK_GEOMETRY;
