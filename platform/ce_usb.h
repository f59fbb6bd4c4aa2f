// The USB host stack as a client driver sees it: records, the USB_FUNCS table handed to
// USBDeviceAttach, the client registration functions and the transfer flags.
#pragma once

#include "ce_types.h"

typedef struct _USB_HANDLE_OPAQUE* USB_HANDLE;
typedef struct _USB_PIPE_OPAQUE* USB_PIPE;
typedef struct _USB_TRANSFER_OPAQUE* USB_TRANSFER;

// ---- Standard descriptors (packed, as on the wire) ----------------------------------------------
#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;
typedef const USB_ENDPOINT_DESCRIPTOR* LPCUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_DEVICE_REQUEST {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
} USB_DEVICE_REQUEST, *PUSB_DEVICE_REQUEST;
typedef const USB_DEVICE_REQUEST* LPCUSB_DEVICE_REQUEST;
#pragma pack(pop)

C_ASSERT(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
C_ASSERT(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
C_ASSERT(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
C_ASSERT(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
C_ASSERT(sizeof(USB_DEVICE_REQUEST) == 8);

#define USB_DEVICE_DESCRIPTOR_TYPE 1
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 2
#define USB_STRING_DESCRIPTOR_TYPE 3
#define USB_INTERFACE_DESCRIPTOR_TYPE 4
#define USB_ENDPOINT_DESCRIPTOR_TYPE 5

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

// ---- The host stack's view of an attached device ---------------------------------------------
typedef struct _USB_ENDPOINT {
  DWORD dwCount;
  USB_ENDPOINT_DESCRIPTOR Descriptor;
  LPVOID lpvExtended;
} USB_ENDPOINT, *PUSB_ENDPOINT;
typedef const USB_ENDPOINT* LPCUSB_ENDPOINT;

typedef struct _USB_INTERFACE {
  DWORD dwCount;
  USB_INTERFACE_DESCRIPTOR Descriptor;
  LPVOID lpvExtended;
  LPCUSB_ENDPOINT lpEndpoints;
} USB_INTERFACE, *PUSB_INTERFACE;
typedef const USB_INTERFACE* LPCUSB_INTERFACE;

typedef struct _USB_CONFIGURATION {
  DWORD dwCount;
  USB_CONFIGURATION_DESCRIPTOR Descriptor;
  LPVOID lpvExtended;
  DWORD dwNumInterfaces;
  LPCUSB_INTERFACE lpInterfaces;
} USB_CONFIGURATION, *PUSB_CONFIGURATION;
typedef const USB_CONFIGURATION* LPCUSB_CONFIGURATION;

typedef struct _USB_DEVICE {
  DWORD dwCount;
  USB_DEVICE_DESCRIPTOR Descriptor;
  LPCUSB_CONFIGURATION lpConfigs;
  LPCUSB_CONFIGURATION lpActiveConfig;
} USB_DEVICE, *PUSB_DEVICE;
typedef const USB_DEVICE* LPCUSB_DEVICE;

// ---- Driver settings: 0xFFFFFFFF (USB_NO_INFO) in a member matches any value -------------------
#define USB_NO_INFO 0xFFFFFFFFu
typedef struct _USB_DRIVER_SETTINGS {
  DWORD dwCount;
  DWORD dwVendorId;
  DWORD dwProductId;
  DWORD dwReleaseNumber;
  DWORD dwDeviceClass;
  DWORD dwDeviceSubClass;
  DWORD dwDeviceProtocol;
  DWORD dwInterfaceClass;
  DWORD dwInterfaceSubClass;
  DWORD dwInterfaceProtocol;
} USB_DRIVER_SETTINGS, *PUSB_DRIVER_SETTINGS;
typedef const USB_DRIVER_SETTINGS* LPCUSB_DRIVER_SETTINGS;
C_ASSERT(sizeof(USB_DRIVER_SETTINGS) == 40);

// ---- Transfer flags, error codes, notification codes --------------------------------------------
#define USB_NO_WAIT 0x00000001u
#define USB_IN_TRANSFER 0x00000080u
#define USB_OUT_TRANSFER 0x00000000u
#define USB_SHORT_TRANSFER_OK 0x00000200u
#define USB_SEND_TO_DEVICE 0x00000000u
#define USB_SEND_TO_INTERFACE 0x00000010u
#define USB_SEND_TO_ENDPOINT 0x00000020u
#define USB_DONT_BLOCK_FOR_MEM 0x00000400u
#define USB_ISOCH_ASAP 0x00000800u
#define USB_VENDOR_REQUEST 0x00001000u

// USB error words reported by GetTransferStatus.
#define USB_NO_ERROR 0x00000000u
#define USB_CRC_ERROR 0x00000001u
#define USB_STALL_ERROR 0x00000004u
#define USB_DEVICE_NOT_RESPONDING_ERROR 0x00000005u
#define USB_DATA_UNDERRUN_ERROR 0x00000009u
#define USB_NOT_COMPLETE_ERROR 0x00000103u
#define USB_CLIENT_BUFFER_ERROR 0x00000104u
#define USB_CANCELED_ERROR 0x00000101u
#define USB_CLOSED_ERROR 0x00000102u

#define USB_CLOSE_DEVICE 1u

// ---- Routines handed to the host stack ----------------------------------------------------------
typedef DWORD(WINAPI* LPTRANSFER_NOTIFY_ROUTINE)(LPVOID notifyParameter);
typedef BOOL(WINAPI* LPDEVICE_NOTIFY_ROUTINE)(LPVOID notifyParameter, DWORD code, LPDWORD* info1,
                                              LPDWORD* info2, LPDWORD* info3, LPDWORD* info4);

// ---- Operations table ---------------------------------------------------------------------------
typedef LPCUSB_DEVICE (*LPGET_DEVICE_INFO)(USB_HANDLE device);
typedef USB_TRANSFER (*LPSET_INTERFACE)(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                                        LPVOID parameter, DWORD flags, UCHAR interfaceNumber,
                                        UCHAR alternateSetting);
typedef USB_PIPE (*LPOPEN_PIPE)(USB_HANDLE device, LPCUSB_ENDPOINT_DESCRIPTOR endpoint);
typedef BOOL (*LPCLOSE_PIPE)(USB_PIPE pipe);
typedef USB_TRANSFER (*LPGET_DESCRIPTOR)(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                                         LPVOID parameter, DWORD flags, UCHAR type, UCHAR index,
                                         WORD language, WORD length, LPVOID buffer);
typedef BOOL (*LPREGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE device, LPDEVICE_NOTIFY_ROUTINE routine,
                                                LPVOID context);
typedef BOOL (*LPUN_REGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE device,
                                                   LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context);
typedef USB_TRANSFER (*LPISSUE_VENDOR_TRANSFER)(USB_HANDLE device,
                                                LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                                                DWORD flags, LPCUSB_DEVICE_REQUEST setup,
                                                LPVOID buffer, ULONG physicalAddress);
typedef USB_TRANSFER (*LPISSUE_BULK_TRANSFER)(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                                              LPVOID parameter, DWORD flags, DWORD length,
                                              LPVOID buffer, ULONG physicalAddress);
typedef BOOL (*LPGET_TRANSFER_STATUS)(USB_TRANSFER transfer, LPDWORD bytesTransferred,
                                      LPDWORD usbError);
typedef BOOL (*LPIS_TRANSFER_COMPLETE)(USB_TRANSFER transfer);
typedef BOOL (*LPABORT_TRANSFER)(USB_TRANSFER transfer, DWORD flags);
typedef BOOL (*LPCLOSE_TRANSFER)(USB_TRANSFER transfer);

typedef struct _USB_FUNCS {
  DWORD dwCount;
  LPGET_DEVICE_INFO lpGetDeviceInfo;
  LPSET_INTERFACE lpSetInterface;
  LPOPEN_PIPE lpOpenPipe;
  LPCLOSE_PIPE lpClosePipe;
  LPGET_DESCRIPTOR lpGetDescriptor;
  LPREGISTER_NOTIFICATION_ROUTINE lpRegisterNotificationRoutine;
  LPUN_REGISTER_NOTIFICATION_ROUTINE lpUnRegisterNotificationRoutine;
  LPISSUE_VENDOR_TRANSFER lpIssueVendorTransfer;
  LPISSUE_BULK_TRANSFER lpIssueBulkTransfer;
  LPGET_TRANSFER_STATUS lpGetTransferStatus;
  LPIS_TRANSFER_COMPLETE lpIsTransferComplete;
  LPABORT_TRANSFER lpAbortTransfer;
  LPCLOSE_TRANSFER lpCloseTransfer;
} USB_FUNCS, *PUSB_FUNCS;
typedef const USB_FUNCS* LPCUSB_FUNCS;

// ---- Client registration, imported from the host stack ------------------------------------------
extern "C" BOOL RegisterClientDriverID(LPCWSTR uniqueDriverId);
extern "C" BOOL UnRegisterClientDriverID(LPCWSTR uniqueDriverId);
extern "C" BOOL RegisterClientSettings(LPCWSTR driverLibFile, LPCWSTR uniqueDriverId,
                                       LPCWSTR reserved, LPCUSB_DRIVER_SETTINGS settings);
extern "C" BOOL UnRegisterClientSettings(LPCWSTR uniqueDriverId, LPCWSTR reserved,
                                         LPCUSB_DRIVER_SETTINGS settings);

// ---- Client entry points a USB client module exports -------------------------------------------
typedef BOOL (*LPUSB_DEVICE_ATTACH)(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE iface,
                                    LPCWSTR uniqueDriverId, LPBOOL acceptControl,
                                    LPCUSB_DRIVER_SETTINGS settings, DWORD reserved);
typedef BOOL (*LPUSB_INSTALL_DRIVER)(LPCWSTR driverLibFile);
typedef BOOL (*LPUSB_UNINSTALL_DRIVER)(void);
